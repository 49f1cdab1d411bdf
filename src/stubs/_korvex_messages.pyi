# Type stubs for the _korvex_messages extension module.
#
# Every parameter can be passed by position or by keyword.  The argument
# types are checked at run time by exact kind (subclasses accepted): `str`,
# `list`, `dict` and `bytes`; `bytearray`, `memoryview`, tuples and other
# mappings are refused with TypeError, so the stubs do not admit them either.

from typing import Any

__all__ = [
    "register_schema",
    "get_schema",
    "schema_exists",
    "unregister_schema",
    "serialize",
    "deserialize",
]

def register_schema(
    name: str,
    fields: list[tuple[str, str]] | list[list[str]],
) -> None:
    """Register a message schema: an ordered list of (field name, type name) pairs.

    Raises ValueError if the name is taken or an entry is malformed, and
    TypeError for an unsupported type name.
    """

def get_schema(name: str) -> list[tuple[str, str]]:
    """Return a registered schema's fields, type names in canonical form.

    Raises KeyError(name) if no schema of that name is registered.
    """

def schema_exists(name: str) -> bool:
    """Return whether a schema of that name is registered."""

def unregister_schema(name: str) -> None:
    """Remove a registered schema.

    Raises KeyError(name) if no schema of that name is registered.
    """

def serialize(schema_name: str, values: dict[str, Any]) -> bytes:
    """Encode a dict as little-endian CDR bytes (with the 00 01 00 00 header).

    Raises KeyError for an unregistered schema and TypeError for a missing
    field or a value of the wrong kind.
    """

def deserialize(schema_name: str, data: bytes) -> dict[str, Any]:
    """Decode little-endian CDR bytes into a dict keyed by the schema's field names.

    Raises ValueError for a missing or unsupported header, KeyError for an
    unregistered schema and TypeError for truncated or malformed input.
    """
