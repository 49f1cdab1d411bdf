# Type stubs for the _korvex_messages_ros2 extension module, the native half
# of korvex_messages.ros2 (which is the documented interface).

from typing import Any

from typing_extensions import Buffer

__all__ = [
    "register_type",
    "register_types",
    "unregister_types",
    "type_exists",
    "serialize",
    "deserialize",
]

def register_type(type_name: str, fields: list[tuple[str, str]]) -> bool:
    """Register a message type (pkg/msg/Name, pkg/srv/Name, pkg/action/Name) from
    (field name, field type) pairs.

    Field types are in .msg syntax with nested types fully named.  Returns
    True when newly registered, False for the very same definition again;
    ValueError for another definition under the name or a bad type.
    """

def register_types(types: list[tuple[str, list[tuple[str, str]]]]) -> list[bool]:
    """Register (type name, fields) pairs together, or none of them.

    Returns, per type, what register_type would; ValueError naming the type
    (and the field, for a bad field type) registers nothing.
    """

def unregister_types(type_names: list[str]) -> None:
    """Remove the named types (full names) together, or none of them.

    KeyError for a name that is not registered; ValueError when a type that
    stays registered has a field of a removed one.
    """

def type_exists(type_name: str) -> bool:
    """Whether the type (pkg/msg/Name, pkg/Name or Header) is registered."""

def serialize(type_name: str, values: dict[str, Any]) -> bytes:
    """Encode a message dict as ROS 2 CDR (encapsulation 00 01 00 00)."""

def deserialize(type_name: str, data: Buffer, *, numpy: bool = False) -> dict[str, Any]:
    """Decode ROS 2 CDR (little- or big-endian) into a message dict."""
