"""ROS 2 `.msg` definitions of the workloads' message types."""

from __future__ import annotations

from bench.workloads import PACKAGE, TIME_TYPE, element_type, fields_of, struct_name
from tests.support.cdr import FIXED

# Our scalar type names that .msg spells the same way: the fixed-size ones
# and string.
_SAME = {*FIXED, "string"}


def msg_type(type_name: str) -> str:
    """The .msg spelling of one of our type names (arrays become sequences)."""
    if type_name in _SAME:
        return type_name
    if type_name == "bytes":
        return "uint8[]"
    if type_name == "time":
        return f"{PACKAGE}/{TIME_TYPE}"
    inner = element_type(type_name)
    if inner is not None:
        return msg_type(inner) + "[]"
    return f"{PACKAGE}/{struct_name(type_name)}"


def msg_text(short: str) -> str:
    """The .msg text of one message type."""
    return "".join(f"{msg_type(t)} {name}\n" for name, t in fields_of(short))


def concatenated(shorts: list[str]) -> str:
    """A top-level definition followed by its dependencies, in the form
    used by MCAP `ros2msg` schemas (and rosbag2 metadata)."""
    separator = "=" * 80 + "\n"
    parts = [msg_text(shorts[0])]
    for short in shorts[1:]:
        parts.append(separator + f"MSG: {PACKAGE}/{short}\n" + msg_text(short))
    return "".join(parts)
