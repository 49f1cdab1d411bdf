"""ROS 2 `.msg` definitions from the peers, for the tests of korvex_messages.ros2.

- `typestore`: rosbags' ROS 2 Humble type store, the oracle of the types;
- `rosbags_fields` / `rosbags_constants`: what it holds for one type, in the
  shape the parser's definitions are compared in;
- `rosidl_parse` / `mcap_sections`: ROS 2's own `.msg` parser (rosidl_adapter,
  as mcap-ros2-support ships it) on one section, and mcap-ros2-support's
  reading of a concatenated text; `rosidl_view` puts a parsed definition in
  their shape;
- `RecordingInstaller`: a test double of the codec's installer;
- `random_message`, `as_dict`, `serialize`, `deserialize`, `same`: random
  messages as (our dict, rosbags object) pairs built from the store's field
  definitions, and the conversions between the two sides.

Arrays of uint8 and byte are bytes on our side; rosbags holds them (and every
other primitive array) as numpy arrays.  rosbags packs a single `byte` as a
signed octet, and mcap-ros2-support a `char`, so random bytes and chars stay
below 128, where every reading agrees; `as_dict` reads rosbags' single `byte`
as the octet it is to us.
"""

import functools
import math
import struct
import threading
import time

import numpy as np

# rosidl gives a message without fields this one uint8 member (C has no
# empty structs); rosbags' store keeps it, the `.msg` text has no such line.
EMPTY_PLACEHOLDER = "structure_needs_at_least_one_member"


@functools.cache
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
    """Test double of the codec's installer: records every type installed
    and removed, refuses, when asked, a whole install holding one type name
    (installing none of it, as the codec does), and may take its time (so
    that threads calling the registry meet inside an install)."""

    def __init__(self, fail_on=None, delay=0.0):
        self.calls = []
        self.removed = []
        self.fail_on = fail_on
        self.delay = delay
        self._lock = threading.Lock()

    def install(self, types):
        if any(name == self.fail_on for name, _ in types):
            raise RuntimeError(f"install of {self.fail_on} refused by the test")
        time.sleep(self.delay)
        with self._lock:
            self.calls.extend((name, list(fields)) for name, fields in types)
        return [True] * len(types)

    def remove(self, names):
        with self._lock:
            self.removed.append(list(names))

    def names(self):
        return [name for name, _ in self.calls]


INT_RANGES = {
    "int8": (-(2**7), 2**7 - 1),
    "int16": (-(2**15), 2**15 - 1),
    "int32": (-(2**31), 2**31 - 1),
    "int64": (-(2**63), 2**63 - 1),
    "uint8": (0, 2**8 - 1),
    "uint16": (0, 2**16 - 1),
    "uint32": (0, 2**32 - 1),
    "uint64": (0, 2**64 - 1),
    "char": (0, 2**7 - 1),
    "byte": (0, 2**7 - 1),
}
NUMPY_TYPES = {
    "bool": np.bool_, "int8": np.int8, "int16": np.int16, "int32": np.int32,
    "int64": np.int64, "uint8": np.uint8, "uint16": np.uint16, "uint32": np.uint32,
    "uint64": np.uint64, "char": np.uint8, "byte": np.int8, "float32": np.float32,
    "float64": np.float64,
}  # fmt: skip
OCTETS = ("uint8", "byte")
TEXT = "abcxyz019 _/-ÄéΩ≈😀"


def nodetype():
    from rosbags.typesys.base import Nodetype

    return Nodetype


def message_names():
    return sorted(typestore().fielddefs)


def fields_of(name):
    return typestore().fielddefs[name][1]


def is_empty(name):
    return [field for field, _ in fields_of(name)] == [EMPTY_PLACEHOLDER]


def msgdef_text(name):
    """The type's definition as rosbag2 and MCAP store it, from rosbags."""
    return typestore().generate_msgdef(name, ros_version=2)[0]


def wire_type(node):
    """The field type in the native registration's syntax, read from rosbags."""
    nt = nodetype()
    kind, detail = node
    if kind == nt.BASE:
        base, bound = detail
        return f"{base}<={bound}" if bound else base
    if kind == nt.NAME:
        return detail
    element, length = detail
    inner = wire_type(element)
    if kind == nt.ARRAY:
        return f"{inner}[{length}]"
    return f"{inner}[<={length}]" if length else f"{inner}[]"


def dependencies_first(name, seen=None):
    """`name` and every type it nests, each after the types it nests."""
    nt = nodetype()
    seen = [] if seen is None else seen
    if name in seen:
        return seen
    for _, (kind, detail) in fields_of(name):
        if kind == nt.NAME:
            dependencies_first(detail, seen)
        elif kind in (nt.ARRAY, nt.SEQUENCE) and detail[0][0] == nt.NAME:
            dependencies_first(detail[0][1], seen)
    seen.append(name)
    return seen


def _float32(rng):
    return struct.unpack("<f", struct.pack("<f", rng.uniform(-1e6, 1e6)))[0]


def _primitive(base, bound, rng):
    if base == "bool":
        return rng.random() < 0.5
    if base in INT_RANGES:
        low, high = INT_RANGES[base]
        return rng.choice([low, high, 0, rng.randint(low, high)])
    if base == "float32":
        return rng.choice([0.0, -0.0, math.inf, _float32(rng)])
    if base == "float64":
        return rng.choice([0.0, 5e-324, -math.inf, rng.uniform(-1e300, 1e300)])
    if base == "string":
        length = rng.randint(0, bound or 12)
        text = "".join(rng.choice(TEXT) for _ in range(length))
        # A bound counts UTF-8 bytes: trim until it holds.
        while bound and len(text.encode()) > bound:
            text = text[:-1]
        return text
    raise AssertionError(f"no generator for {base}")


def random_value(node, rng, depth=0):
    """A random (ours, rosbags') value pair for a field of type `node`."""
    nt = nodetype()
    kind, detail = node
    if kind == nt.BASE:
        value = _primitive(detail[0], detail[1], rng)
        return value, value
    if kind == nt.NAME:
        return random_message(detail, rng, depth + 1)
    element, length = detail
    if kind == nt.ARRAY:
        count = length
    else:
        count = rng.randint(0, min(length or 4, 4) if depth < 3 else 0)
    if element[0] == nt.BASE and element[1][0] != "string":
        base = element[1][0]
        values = [_primitive(base, 0, rng) for _ in range(count)]
        array = np.array(values, dtype=NUMPY_TYPES[base])
        if base in OCTETS:
            return array.astype(np.uint8).tobytes(), array
        return values, array
    pairs = [random_value(element, rng, depth) for _ in range(count)]
    return [ours for ours, _ in pairs], [theirs for _, theirs in pairs]


def random_message(name, rng, depth=0):
    """A random message of type `name` as (dict, rosbags object)."""
    ours, theirs = {}, {}
    for field, node in fields_of(name):
        ours[field], theirs[field] = random_value(node, rng, depth)
    if is_empty(name):
        ours, theirs = {}, {EMPTY_PLACEHOLDER: 0}
    return ours, typestore().types[name](**theirs)


def as_dict(message, numpy=False):
    """A rosbags message object as the dict our decoder returns (in numpy
    mode with ``numpy=True``: every primitive array a numpy array, octets as
    uint8)."""
    if is_empty(message.__msgtype__):
        return {}
    result = {}
    for field, node in fields_of(message.__msgtype__):
        result[field] = _plain(getattr(message, field), node, numpy)
    return result


def _plain(value, node, numpy):
    nt = nodetype()
    kind, detail = node
    if kind == nt.NAME:
        return as_dict(value, numpy)
    if kind == nt.BASE:
        # A `byte` is an octet to us: rosbags' -128 is our 128.
        return value & 0xFF if detail[0] == "byte" else value
    element = detail[0]
    if element[0] == nt.BASE and element[1][0] != "string":
        array = np.asarray(value, dtype=NUMPY_TYPES[element[1][0]])
        if element[1][0] in OCTETS:
            array = array.view(np.uint8)
            return array if numpy else array.tobytes()
        return array if numpy else array.tolist()
    return [_plain(item, element, numpy) for item in value]


def serialize(message, little_endian=True):
    return bytes(
        typestore().serialize_cdr(message, message.__msgtype__, little_endian=little_endian)
    )


def deserialize(data, name):
    return typestore().deserialize_cdr(data, name)


def same(a, b):
    """Equality that takes NaN as equal to itself and tells -0.0 from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (
            a == b and math.copysign(1, a) == math.copysign(1, b)
        )
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b
