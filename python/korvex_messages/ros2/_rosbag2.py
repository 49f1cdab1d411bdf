"""rosbag2 recordings: the metadata.yaml of a bag directory, and its sqlite3
storage files (the mcap ones are `McapFile`s).

A topic's messages come out of sqlite in large batches, ordered by time, and
are packed into one buffer with int64 offsets, the form decode_table takes.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from korvex_messages.ros2._mcap_file import RecordingError, TopicTally
from korvex_messages.ros2._packed import Batch, concatenate, int64s, pack

from . import _native
from . import _plain_yaml as plain_yaml

__all__ = ["BagMetadata", "SqliteFile", "read_metadata", "zstd_decompressor"]

_ROWS_PER_FETCH = 4096
# Up to this many topics, their messages are counted in one pass that sums
# a comparison per topic; beyond, GROUP BY (which sorts every row's topic id
# in a temporary b-tree) costs less than a comparison per topic and row.
_SUMMED_TOPICS = 4
_FIRST_TIME = "SELECT timestamp FROM messages WHERE topic_id = ? ORDER BY timestamp LIMIT 1"
_LAST_TIME = "SELECT timestamp FROM messages WHERE topic_id = ? ORDER BY timestamp DESC LIMIT 1"
# Pages are read through a map of the file rather than copied into sqlite's
# cache: a topic's rows are read once, in index order.
_MAP_BYTES = 1 << 30
_INT64_MAX = 2**63 - 1


def zstd_decompressor(what: str) -> Any:
    try:
        import zstandard
    except ImportError:
        raise RecordingError(
            f"{what} is zstd-compressed: pip install zstandard (or korvex-messages[recordings])"
        ) from None
    return zstandard.ZstdDecompressor()


@dataclass
class BagMetadata:
    version: int
    storage: str  # "sqlite3" or "mcap"
    files: list[Path]
    compression_format: str  # "" or "zstd"
    compression_mode: str  # "", "file" or "message"
    # topic -> (type, serialization format, message count)
    topics: dict[str, tuple[str, str, int]]


def _need(mapping: Any, key: str, kind: type | tuple[type, ...], where: str) -> Any:
    if not isinstance(mapping, Mapping) or key not in mapping:
        raise RecordingError(f"{where}: '{key}' is missing")
    value = mapping[key]
    if not isinstance(value, kind) or isinstance(value, bool):
        raise RecordingError(f"{where}: '{key}' is {value!r}, not of the expected kind")
    return value


def _optional_text(mapping: Mapping[str, Any], key: str, where: str) -> str:
    value = mapping.get(key)
    if value is None:
        return ""
    if not isinstance(value, str):
        raise RecordingError(f"{where}: '{key}' is {value!r}, not text")
    return value


def _load_with_pyyaml(text: str, path: Path) -> Any:
    try:
        import yaml  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise RecordingError(
            f"{path}: reading this metadata.yaml needs PyYAML: pip install PyYAML"
            " (or korvex-messages[recordings])"
        ) from None
    try:
        return yaml.safe_load(text)
    except yaml.YAMLError as error:
        raise RecordingError(f"{path}: not valid YAML: {error}") from None


def read_metadata(directory: Path) -> BagMetadata:
    """The metadata.yaml of a bag directory (versions 4 to 9), checked
    against the files the directory holds."""
    path = directory / "metadata.yaml"
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise RecordingError(f"{directory}: not a rosbag2 directory (no metadata.yaml)") from None
    except UnicodeDecodeError as error:
        raise RecordingError(f"{path}: not valid YAML: {error}") from None
    try:
        document = plain_yaml.load(text)
    except plain_yaml.Unsupported:
        document = _load_with_pyyaml(text, path)
    where = str(path)
    info = _need(document, "rosbag2_bagfile_information", dict, where)
    version = _need(info, "version", int, where)
    if not 4 <= version <= 9:
        raise RecordingError(f"{where}: version {version}; versions 4 to 9 are read")
    storage = _need(info, "storage_identifier", str, where)
    if storage not in ("sqlite3", "mcap"):
        raise RecordingError(f"{where}: storage {storage!r}; sqlite3 and mcap are read")
    names = _need(info, "relative_file_paths", list, where)
    if not names or not all(isinstance(n, str) for n in names):
        raise RecordingError(f"{where}: 'relative_file_paths' lists no files")
    compression_format = _optional_text(info, "compression_format", where)
    compression_mode = _optional_text(info, "compression_mode", where).lower()
    if compression_format not in ("", "zstd"):
        raise RecordingError(f"{where}: compression {compression_format!r}; only zstd is read")
    if compression_mode not in ("", "none", "file", "message"):
        raise RecordingError(f"{where}: compression mode {compression_mode!r} is not known")
    if compression_mode in ("file", "message") and not compression_format:
        raise RecordingError(f"{where}: compression mode {compression_mode} without a format")
    if compression_mode == "none":
        compression_mode = ""
    files = []
    for name in names:
        file = directory / name
        if not file.is_file():
            raise RecordingError(f"{where} lists {name}, which is not in {directory}")
        files.append(file)
    listed = info.get("files")
    if listed is not None:
        if not isinstance(listed, list):
            raise RecordingError(f"{where}: 'files' is {listed!r}, not a list")
        paths = [_need(entry, "path", str, where) for entry in listed]
        if sorted(paths) != sorted(names):
            raise RecordingError(f"{where}: 'files' names {paths}, 'relative_file_paths' {names}")
    topics: dict[str, tuple[str, str, int]] = {}
    for entry in _need(info, "topics_with_message_count", list, where):
        topic = _need(entry, "topic_metadata", dict, where)
        name = _need(topic, "name", str, where)
        topics[name] = (
            _need(topic, "type", str, where),
            _optional_text(topic, "serialization_format", where) or "cdr",
            _need(entry, "message_count", int, where),
        )
    return BagMetadata(version, storage, files, compression_format, compression_mode, topics)


@contextmanager
def _database_errors(path: Path) -> Iterator[None]:
    """sqlite's errors on a damaged file as RecordingError naming it."""
    try:
        yield
    except sqlite3.Error as error:
        raise RecordingError(f"{path}: {error}") from None


class SqliteFile:
    """One rosbag2 sqlite3 storage file (a `.db3`), opened read-only."""

    def __init__(self, path: Path, *, message_compression: str = "") -> None:
        self.path = path
        self._message_compression = message_compression
        uri = path.resolve().as_uri() + "?mode=ro"
        try:
            self._db = sqlite3.connect(uri, uri=True, check_same_thread=False)
            self._db.execute(f"PRAGMA mmap_size={_MAP_BYTES}")
            tables = {
                row[0]
                for row in self._db.execute("SELECT name FROM sqlite_master WHERE type='table'")
            }
        except sqlite3.Error as error:
            if hasattr(self, "_db"):
                self._db.close()
            raise RecordingError(f"{path}: not a rosbag2 sqlite3 file ({error})") from None
        if not {"topics", "messages"} <= tables:
            self._db.close()
            raise RecordingError(
                f"{path}: not a rosbag2 sqlite3 file (no topics or messages table)"
            )
        self._tables = tables
        try:
            # topic name -> (id, type, serialization format)
            self.topics = {
                name: (topic_id, kind, fmt)
                for topic_id, name, kind, fmt in self._db.execute(
                    "SELECT id, name, type, serialization_format FROM topics ORDER BY id"
                )
            }
        except sqlite3.Error as error:
            self._db.close()
            raise RecordingError(f"{path}: {error}") from None
        for name, (_, kind, fmt) in self.topics.items():
            if not all(isinstance(text, str) for text in (name, kind, fmt)):
                self._db.close()
                raise RecordingError(f"{path}: a topic's name, type or format is not text")

    def close(self) -> None:
        self._db.close()

    def definitions(self) -> dict[str, tuple[str, str]]:
        """The definitions the file stores (none before Iron): type ->
        (encoding, text)."""
        if "message_definitions" not in self._tables:
            return {}
        with _database_errors(self.path):
            return {
                kind: (encoding, text)
                for kind, encoding, text in self._db.execute(
                    "SELECT topic_type, encoding, encoded_message_definition"
                    " FROM message_definitions"
                )
            }

    def tallies(self) -> dict[str, TopicTally]:
        by_id = {topic_id: name for name, (topic_id, _, _) in self.topics.items()}
        result: dict[str, TopicTally] = {}
        with _database_errors(self.path):
            ids = list(by_id)
            if not ids:
                counts = []
            elif len(ids) <= _SUMMED_TOPICS:
                terms = ", ".join(["coalesce(sum(topic_id = ?), 0)"] * len(ids))
                row = self._db.execute(f"SELECT {terms} FROM messages", ids).fetchone()
                counts = list(zip(ids, row))
            else:
                counts = self._db.execute(
                    "SELECT topic_id, count(*) FROM messages GROUP BY topic_id"
                ).fetchall()
            for topic_id, count in counts:
                if topic_id in by_id and count:
                    # The first and last times walk the time index from each
                    # end, where min() and max() would read every row again.
                    (first,) = self._db.execute(_FIRST_TIME, (topic_id,)).fetchone()
                    (last,) = self._db.execute(_LAST_TIME, (topic_id,)).fetchone()
                    result[by_id[topic_id]] = TopicTally(count, first, last)
        return result

    def batches(
        self, topic: str, start: int | None, end: int | None, max_bytes: int | None
    ) -> Iterator[tuple[int, Batch]]:
        """The topic's messages in [start, end), by time, as (first log time,
        batch) pairs of about `max_bytes` of data each (None: each fetch of
        rows as it comes)."""
        if topic not in self.topics:
            return
        low = -(2**63) if start is None else max(start, -(2**63))
        high = _INT64_MAX if end is None else min(end, _INT64_MAX)
        bound = "<" if end is not None else "<="
        with _database_errors(self.path):
            cursor = self._db.execute(
                f"SELECT timestamp, data FROM messages WHERE topic_id = ? AND timestamp >= ?"
                f" AND timestamp {bound} ? ORDER BY timestamp, id",
                (self.topics[topic][0], low, high),
            )
        decompress = None
        if self._message_compression:
            decompressor = zstd_decompressor(f"{self.path}: its messages are")

            def decompress(data: bytes) -> bytes:
                # Output grows with the data, whatever size the frame claims.
                try:
                    out: bytes = decompressor.decompressobj().decompress(data)
                except Exception as error:  # zstandard.ZstdError
                    raise RecordingError(f"{self.path}: a message: zstd: {error}") from None
                return out

        pieces: list[Batch] = []
        size = 0
        while True:
            with _database_errors(self.path):
                rows = cursor.fetchmany(_ROWS_PER_FETCH)
            if not rows:
                break
            packed = None if decompress is not None else _native.pack_rows(rows)
            if packed is not None:
                piece = Batch(packed[0], int64s(packed[1]), int64s(packed[2]))
            else:
                piece = self._piece(topic, rows, decompress)
            if max_bytes is None:
                yield piece.first_log_time(), piece
                continue
            pieces.append(piece)
            size += piece.nbytes
            if size >= max_bytes:
                # Batches of about max_bytes; the rest waits for more rows.
                *whole, rest = concatenate(pieces).split(max_bytes)
                for batch in whole:
                    yield batch.log_times[0], batch
                pieces, size = [rest], rest.nbytes
        if pieces:
            yield pieces[0].log_times[0], concatenate(pieces)

    def _piece(
        self, topic: str, rows: list[Any], decompress: Callable[[bytes], bytes] | None
    ) -> Batch:
        """Rows the native packing leaves (compressed messages, or rows that
        are not an integer time and a blob), packed one by one."""
        times: list[int] = []
        blobs: list[bytes] = []
        for timestamp, data in rows:
            if not isinstance(data, bytes) or not isinstance(timestamp, int):
                raise RecordingError(
                    f"{self.path}: a message of {topic} at {timestamp!r} has no"
                    " integer timestamp or no blob of data"
                )
            times.append(timestamp)
            blobs.append(data if decompress is None else decompress(data))
        return pack(blobs, times)
