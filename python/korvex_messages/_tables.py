"""decode_table for schemas registered with `_korvex_messages`.

The core's module keeps its own six functions; its schemas are decoded into
Arrow columns by `_korvex_messages_columns`, the same codec compiled again
with a registry of its own.  Each call copies the schema and every schema it
nests from the core's registry into that one (resolved once per call), then
decodes there.
"""

from __future__ import annotations

import re
import threading
from collections.abc import Sequence
from typing import Any

import _korvex_messages_columns as _native

import _korvex_messages

Table = _native.Table

# The names a field type nests: struct:Name, inside any number of array<...>.
_STRUCT_NAME = re.compile(r"struct:([^<>]+)")

# A call installs its schemas and decodes under this lock, so that another
# thread's installs cannot change them in between.
_lock = threading.Lock()


def _closure(schema_name: str) -> list[tuple[str, list[tuple[str, str]]]]:
    """The schema and every schema it nests, each once, as registered now."""
    found: dict[str, list[tuple[str, str]]] = {}
    todo = [schema_name]
    while todo:
        name = todo.pop()
        if name in found:
            continue
        fields = _korvex_messages.get_schema(name)
        found[name] = fields
        for _, field_type in fields:
            todo.extend(_STRUCT_NAME.findall(field_type))
    return list(found.items())


def decode_table(
    schema_name: str,
    messages: Sequence[Any] | Any,
    *,
    offsets: Any = None,
    flatten: bool = False,
) -> Any:
    """Decode a batch of CDR messages of a registered schema into Arrow
    columns, one row a message (see korvex_messages.ros2.decode_table for
    the arguments).  time and duration become struct<sec: int32, nanosec:
    uint32>, bytes binary, array<T> list<T>; a schema that contains itself
    is refused with the cycle named."""
    if not isinstance(schema_name, str):
        raise TypeError(f"argument 'schema_name': expected str, got {type(schema_name).__name__}")
    with _lock:
        for name, fields in _closure(schema_name):
            _native.install(name, fields)
        return _native.decode_table(schema_name, messages, offsets=offsets, flatten=flatten)
