"""ROS 2 `.msg` definitions from the peers, for the tests of korvex_messages.ros2.

- `typestore`: rosbags' ROS 2 Humble type store, the oracle of the types;
- `rosbags_fields` / `rosbags_constants`: what it holds for one type, in the
  shape the parser's definitions are compared in;
- `rosidl_parse` / `mcap_sections`: ROS 2's own `.msg` parser (rosidl_adapter,
  as mcap-ros2-support ships it) on one section, and mcap-ros2-support's
  reading of a concatenated text; `rosidl_view` puts a parsed definition in
  their shape;
- `RecordingInstaller`: a test double of the codec's installer.
"""

import threading
import time

# rosidl gives a message without fields this one uint8 member (C has no
# empty structs); rosbags' store keeps it, the `.msg` text has no such line.
EMPTY_PLACEHOLDER = "structure_needs_at_least_one_member"


def typestore():
    from rosbags.typesys import Stores, get_typestore

    return get_typestore(Stores.ROS2_HUMBLE)


def _rosbags_field(name, desc):
    """(name, base, string bound, array kind, array length) of a rosbags field
    descriptor (Nodetype 1 base, 2 name, 3 array, 4 sequence)."""
    kind, args = int(desc[0]), desc[1]
    array = length = None
    if kind in (3, 4):
        (kind, args), count = args
        kind = int(kind)
        if int(desc[0]) == 3:
            array, length = "fixed", count
        elif count:
            array, length = "bounded", count
        else:
            array = "sequence"
    if kind == 2:
        return (name, args, None, array, length)
    base, bound = args
    return (name, base, bound or None, array, length)


def rosbags_fields(store, name):
    fields = [_rosbags_field(n, d) for n, d in store.fielddefs[name][1]]
    if [f[0] for f in fields] == [EMPTY_PLACEHOLDER]:
        return []
    return fields


def rosbags_constants(store, name):
    return [(n, t, v) for n, t, v in store.fielddefs[name][0]]


def rosbags_closure(store, name):
    """The type and every message type it uses, directly or not."""
    seen, todo = set(), [name]
    while todo:
        current = todo.pop()
        if current in seen:
            continue
        seen.add(current)
        todo.extend(f[1] for f in rosbags_fields(store, current) if "/" in f[1])
    return seen


def rosidl_parse(package, name, text):
    """ROS 2's reading of one `.msg` section: (fields, constants) with field
    types as rosidl writes them (``pkg/Name``, ``string<=5[<=3]``) and
    values tagged with their Python type."""
    from mcap_ros2._vendor.rosidl_adapter.parser import parse_message_string

    spec = parse_message_string(package, name, text)
    fields = [(f.name, str(f.type), tagged(f.default_value)) for f in spec.fields]
    constants = [(c.name, c.type, tagged(c.value)) for c in spec.constants]
    return fields, constants


def mcap_sections(name, text):
    """mcap-ros2-support's reading of a concatenated text (its own splitter,
    rosidl on each section): [(pkg/Name, fields, constants)] as in
    `rosidl_parse`."""
    from mcap_ros2._dynamic import _for_each_msgdef

    sections = []

    def take(_full_name, short_name, spec):
        fields = [(f.name, str(f.type), tagged(f.default_value)) for f in spec.fields]
        constants = [(c.name, c.type, tagged(c.value)) for c in spec.constants]
        sections.append((short_name, fields, constants))

    _for_each_msgdef(name, text, take)
    return sections


def rosidl_view(msgdef):
    """A parsed definition in the shape of `rosidl_parse` and `mcap_sections`."""
    fields = [(f.name, f.wire_type.replace("/msg/", "/"), tagged(f.default)) for f in msgdef.fields]
    constants = [(c.name, c.type, tagged(c.value)) for c in msgdef.constants]
    return fields, constants


def tagged(value):
    """A value with the type of each scalar, so that True and 1 differ."""
    if isinstance(value, (list, tuple)):
        return [tagged(v) for v in value]
    return (type(value).__name__, value)


class RecordingInstaller:
    """Test double of the codec's installer: records every install call,
    fails, when asked, on one type name, and may take its time (so that
    threads calling the registry meet inside an install)."""

    def __init__(self, fail_on=None, delay=0.0):
        self.calls = []
        self.fail_on = fail_on
        self.delay = delay
        self._lock = threading.Lock()

    def install(self, name, fields):
        if name == self.fail_on:
            raise RuntimeError(f"install of {name} refused by the test")
        time.sleep(self.delay)
        with self._lock:
            self.calls.append((name, list(fields)))

    def names(self):
        return [name for name, _ in self.calls]
