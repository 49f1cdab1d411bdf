"""decode_table for schemas registered with `_korvex_messages`.

The core's module keeps its own six functions; its schemas are decoded into
Arrow columns by `korvex_messages._columns`, the same codec compiled again
with a registry of its own.  Each call copies the schema and every schema it
nests from the core's registry into that one (resolved once per call), then
decodes there.
"""

from __future__ import annotations

import threading
from collections.abc import Sequence
from typing import Any

import _korvex_messages

from . import _columns as _native

Table = _native.Table


def _nested_name(field_type: str) -> str | None:
    """The schema a field type in get_schema's canonical form nests: the
    Name of struct:Name inside any number of array<...> (a name may itself
    hold '<' and '>')."""
    depth = 0
    while field_type.startswith("array<", depth * 6):
        depth += 1
    inner = field_type[depth * 6 : len(field_type) - depth]
    return inner[len("struct:") :] if inner.startswith("struct:") else None


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
            nested = _nested_name(field_type)
            if nested is not None:
                todo.append(nested)
    return list(found.items())


def decode_table(
    schema_name: str,
    messages: Sequence[Any] | Any,
    *,
    offsets: Any = None,
    flatten: bool = False,
) -> Table:
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


def encode_table(schema_name: str, table: Any, *, as_buffer: bool = False) -> Any:
    """Encode each row of `table` (anything exporting an Arrow C stream:
    a pyarrow Table or RecordBatchReader, a polars DataFrame, a Table of
    decode_table), nested or flattened, exactly as serialize encodes the
    row's dict: a list of bytes, or with ``as_buffer=True`` one buffer and
    its N+1 offsets."""
    if not isinstance(schema_name, str):
        raise TypeError(f"argument 'schema_name': expected str, got {type(schema_name).__name__}")
    with _lock:
        for name, fields in _closure(schema_name):
            _native.install(name, fields)
        return _native.encode_table(schema_name, table, as_buffer=as_buffer)
