# Type stubs for the _korvex_messages_ros2 extension module, the native half
# of korvex_messages.ros2 (which is the documented interface).

from typing import Any

from typing_extensions import Buffer

__all__ = ["register_type", "type_exists", "serialize", "deserialize"]

def register_type(type_name: str, fields: list[tuple[str, str]]) -> bool:
    """Register a message type (pkg/msg/Name) from (field name, field type) pairs.

    Field types are in .msg syntax with nested types fully named.  Returns
    True when newly registered, False for the very same definition again;
    ValueError for another definition under the name or a bad type.
    """

def type_exists(type_name: str) -> bool:
    """Whether the type (pkg/msg/Name or pkg/Name) is registered."""

def serialize(type_name: str, values: dict[str, Any]) -> bytes:
    """Encode a message dict as ROS 2 CDR (encapsulation 00 01 00 00)."""

def deserialize(type_name: str, data: Buffer, *, numpy: bool = False) -> dict[str, Any]:
    """Decode ROS 2 CDR (little- or big-endian) into a message dict."""
