# Type stubs for the korvex_messages._columns extension module, the native
# half of korvex_messages.decode_table (which is the documented interface).

from collections.abc import Sequence
from typing import Any

from typing_extensions import Buffer

__all__ = ["install", "decode_table", "encode_table"]

def install(name: str, fields: list[tuple[str, str]]) -> bool:
    """Register a schema in this module's registry, replacing one of the name."""

def decode_table(
    schema_name: str,
    messages: Sequence[Buffer] | Buffer,
    *,
    offsets: Buffer | Sequence[int] | None = None,
    flatten: bool = False,
) -> Table:
    """Decode a batch of CDR messages of an installed schema into Arrow columns."""

def encode_table(schema_name: str, table: object, *, as_buffer: bool = False) -> Any:
    """Encode each row of anything exporting an Arrow C stream, nested or
    flattened, as serialize encodes the row's dict: a list of bytes, or with
    ``as_buffer=True`` a tuple of one buffer and its N+1 offsets."""

def _canonical_type_name(type_name: object) -> str | None:
    """The name get_schema gives a field of this type, or None if refused."""

class Table:
    """Decoded messages as Arrow columns; Arrow libraries read it directly."""

    @property
    def num_rows(self) -> int: ...
    @property
    def num_columns(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...
    @property
    def type_name(self) -> str: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def to_pyarrow(self) -> Any: ...
    def to_polars(self) -> Any: ...
    def to_pandas(self) -> Any: ...
