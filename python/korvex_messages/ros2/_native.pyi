# Type stubs for the korvex_messages.ros2._native extension module, the native half
# of korvex_messages.ros2 (which is the documented interface).

from collections.abc import Iterable, Sequence
from typing import Any

from typing_extensions import Buffer

__all__ = [
    "register_type",
    "register_types",
    "unregister_types",
    "type_exists",
    "serialize",
    "deserialize",
    "decode_table",
    "encode_table",
    "scan_mcap_records",
    "tally_message_index",
    "pack_rows",
    "join_packed",
    "sort_packed",
    "crc32",
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

def decode_table(
    type_name: str,
    messages: Sequence[Buffer] | Buffer,
    *,
    offsets: Buffer | Sequence[int] | None = None,
    flatten: bool = False,
) -> Table:
    """Decode a batch of ROS 2 CDR messages (each with its own header) into
    Arrow columns, one row a message.

    `messages` is a sequence of bytes-like objects, or one buffer cut at
    `offsets` (N+1 int64 starts).  With ``flatten=True`` nested messages
    become top-level columns named "outer.inner".  A malformed message
    raises ValueError naming its index, the offset and the field.
    """

def encode_table(type_name: str, table: object, *, as_buffer: bool = False) -> Any:
    """Encode each row of anything exporting an Arrow C stream, nested or
    flattened, as serialize encodes the row's dict: a list of bytes, or with
    ``as_buffer=True`` a tuple of one buffer and its N+1 offsets."""

def _primitive_types() -> tuple[tuple[str, str, int | None, int | None], ...]:
    """The primitive types of `.msg` definitions: (name, sort, low, high)."""

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

def scan_mcap_records(
    data: Buffer,
    channels: Iterable[int] | None,
    start: int | None,
    end: int | None,
    pack: bool,
    /,
) -> tuple[
    bytes | None,
    bytes | None,
    bytes | None,
    bytes | None,
    bytes,
    list[tuple[int, int, int, int]] | None,
    int,
    int,
    bool,
]:
    """Walk the MCAP records of `data` (a decompressed chunk or a region of an
    uncompressed file), taking the messages of `channels` (None: all) whose log
    time lies in [start, end).

    Returns (payload, offsets, log_times, channels, others, tallies, stop, end,
    in_time_order).  With pack=True: the taken messages' data one after the
    other, N+1 int64 offsets, N int64 log times and N uint16 channel ids, in
    native byte order, and tallies None; with pack=False those four are None
    and tallies lists (channel, count, first log time, last log time).
    `others` holds (opcode, content offset, content length) of every other
    record as int64 triples in native byte order; `stop` is the first byte
    not read as a whole record, `end` 0 when every byte was, 1 when the
    record at `stop` runs past the end, 2 when the message record there is
    too short.  The walk runs without the GIL.
    """

def pack_rows(rows: list[tuple[int, bytes]], /) -> tuple[bytes, bytes, bytes, bool] | None:
    """Pack (log time, data) rows as (payload, offsets, log_times, in_time_order):
    their data one after the other, N+1 int64 offsets and N int64 log times in
    native byte order.  None, with nothing packed, where a row is not a pair of
    an int in the int64 range and a bytes object."""

def join_packed(batches: list[tuple[Buffer, Buffer, Buffer]], /) -> tuple[bytes, bytes, bytes]:
    """Join (payload, offsets, log_times) batches into one, the offsets moved
    to their place in the joined payload; the copies run without the GIL."""

def crc32(data: Buffer, /) -> int:
    """The CRC-32 of `data`, as zlib.crc32(data) gives it; runs without the GIL."""

def tally_message_index(entries: Buffer, /) -> tuple[int, int, int]:
    """(count, least log time, greatest log time) of an MCAP Message Index
    record's 16-byte (log_time, offset) entries; (0, 0, 0) for none."""

def sort_packed(batch: tuple[Buffer, Buffer, Buffer], /) -> tuple[bytes, bytes, bytes]:
    """The messages of a (payload, offsets, log_times) batch by log time,
    equal times in their order; runs without the GIL."""
