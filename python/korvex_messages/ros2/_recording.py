"""open_recording: a ROS 2 recording (an MCAP file, a rosbag2 directory or
a single .db3 file) read topic by topic.

    with ros2.open_recording("run.mcap") as recording:
        for topic in recording.topics:
            print(topic.name, topic.type, topic.message_count)
        for topic, log_time, message in recording.messages(["/imu"]):
            ...

The recording's message types belong to it (see `_definitions`): reading
registers nothing under the names the process uses.
"""

from __future__ import annotations

import datetime
import heapq
import os
import shutil
import tempfile
import weakref
from collections.abc import Iterable, Iterator, Mapping
from pathlib import Path
from typing import Any, NamedTuple

from korvex_messages.ros2._definitions import RecordingTypes, TypeSource
from korvex_messages.ros2._mcap_file import McapFile, RecordingError, TopicTally
from korvex_messages.ros2._packed import Batch, merge_in_time_order, pack
from korvex_messages.ros2._rosbag2 import BagMetadata, SqliteFile, read_metadata, zstd_decompressor

from . import _native
from ._native import Table

__all__ = ["Recording", "RecordingError", "TopicInfo", "open_recording"]

# About this much message data per batch, unless one chunk holds more.
DEFAULT_BATCH_BYTES = 16 * 1024 * 1024
_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


class TopicInfo(NamedTuple):
    """One topic of a recording; times are log times in int nanoseconds
    since the epoch (None for a topic without messages)."""

    name: str
    type: str
    message_count: int
    start: int | None
    end: int | None
    serialization_format: str


def as_nanoseconds(value: int | datetime.datetime | None, what: str) -> int | None:
    """A window bound as int ns since the epoch."""
    if value is None:
        return None
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None or value.utcoffset() is None:
            raise ValueError(f"{what}: a datetime must be aware (have a tzinfo), got {value}")
        delta = value - _EPOCH
        return (delta.days * 86400 + delta.seconds) * 10**9 + delta.microseconds * 1000
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    raise TypeError(
        f"{what}: expected int nanoseconds or an aware datetime, got {type(value).__name__}"
    )


class _Installer:
    """The codec's own install and remove, for a recording's private names."""

    install = staticmethod(_native.register_types)
    remove = staticmethod(_native.unregister_types)


def _process_definition(name: str) -> Any:
    from korvex_messages import ros2

    return ros2.definition(name)


class _McapSource:
    """An MCAP file as a source of topics."""

    def __init__(self, path: Path, message_compression: str = "") -> None:
        self.file = McapFile(path)
        self.path = path
        # rosbag2's message-level zstd: each message's data is a zstd frame.
        self._decompressor = (
            zstd_decompressor(f"{path}: its messages are") if message_compression else None
        )

    def topics(self) -> dict[str, tuple[str, str, set[int]]]:
        """topic -> (type, serialization format, channel ids)."""
        result: dict[str, tuple[str, str, set[int]]] = {}
        for channel in self.file.channels.values():
            schema = self.file.schemas.get(channel.schema_id)
            kind = "" if schema is None else schema[0]
            have = result.get(channel.topic)
            if have is None:
                result[channel.topic] = (kind, channel.message_encoding, {channel.id})
            elif have[0] != kind:
                raise RecordingError(
                    f"{self.path}: topic {channel.topic} has channels of types {have[0]} and {kind}"
                )
            else:
                have[2].add(channel.id)
        return result

    def definitions(self) -> dict[str, tuple[str, str]]:
        found: dict[str, tuple[str, str]] = {}
        for name, encoding, data in self.file.schemas.values():
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError:
                raise RecordingError(
                    f"{self.path}: the schema of {name} is not UTF-8 text"
                ) from None
            # An empty schema text is no definition: another schema or the
            # caller's types may still give one.
            if name not in found or not found[name][1].strip():
                found[name] = (encoding, text)
        return found

    def tallies(self) -> dict[str, TopicTally]:
        by_channel = self.file.tallies()
        result: dict[str, TopicTally] = {}
        for topic, (_, _, channels) in self.topics().items():
            tally = TopicTally()
            for channel in channels:
                if channel in by_channel:
                    have = by_channel[channel]
                    tally.add(have.count, have.start, have.end)
            result[topic] = tally
        return result

    def batches(
        self, topic: str, start: int | None, end: int | None, max_bytes: int | None
    ) -> Iterator[tuple[int, Batch]]:
        channels = self.topics().get(topic, ("", "", set()))[2]
        if not channels:
            return
        for batch in self.file.batches(channels, start, end, max_bytes):
            if self._decompressor is not None:
                decompress = self._decompressor.decompressobj
                batch = pack(
                    [decompress().decompress(batch.message(i)) for i in range(len(batch))],
                    batch.log_times,
                )
            yield batch.first_log_time(), batch

    def close(self) -> None:
        self.file.close()


class _SqliteSource:
    def __init__(self, path: Path, message_compression: str = "") -> None:
        self.file = SqliteFile(path, message_compression=message_compression)
        self.path = path

    def topics(self) -> dict[str, tuple[str, str, set[int]]]:
        return {n: (kind, fmt, {i}) for n, (i, kind, fmt) in self.file.topics.items()}

    def definitions(self) -> dict[str, tuple[str, str]]:
        return self.file.definitions()

    def tallies(self) -> dict[str, TopicTally]:
        return self.file.tallies()

    def batches(
        self, topic: str, start: int | None, end: int | None, max_bytes: int | None
    ) -> Iterator[tuple[int, Batch]]:
        return self.file.batches(topic, start, end, max_bytes)

    def close(self) -> None:
        self.file.close()


def _decompressed_copy(path: Path, folder: Path) -> Path:
    """A zstd-compressed storage file decompressed into `folder`."""
    target = folder / path.name.removesuffix(".zstd")
    decompressor = zstd_decompressor(str(path))
    with path.open("rb") as source, target.open("wb") as out:
        try:
            decompressor.copy_stream(source, out)
        except Exception as error:  # zstandard.ZstdError, without importing it here
            raise RecordingError(f"{path}: zstd: {error}") from None
    return target


class Recording:
    """An open recording; see `open_recording`."""

    def __init__(
        self, path: str | os.PathLike[str], types: Any = None, *, inventory_only: bool = False
    ) -> None:
        """`inventory_only` opens the files for `topics` alone, without
        looking for definitions (the command line's `info`)."""
        self.path = Path(path)
        self._sources: list[Any] = []
        self._scratch: str | None = None
        self._types: RecordingTypes | None = None
        self._closer: Any = None
        self._metadata: BagMetadata | None = None
        try:
            self._open_sources()
            self._collect()
            needed: dict[str, list[str]] = {}
            for info in self._topics:
                if info.serialization_format == "cdr":
                    needed.setdefault(info.type, []).append(info.name)
            stored: dict[str, tuple[str, str]] = {}
            for source in self._sources:
                for name, definition in source.definitions().items():
                    if name not in stored or not stored[name][1].strip():
                        stored[name] = definition
            if not inventory_only:
                self._types = RecordingTypes(
                    needed, stored, TypeSource(types), _process_definition,
                    _Installer.install, _Installer.remove,
                )  # fmt: skip
            self._closer = weakref.finalize(
                self, _release, self._types, self._sources, self._scratch
            )
        except BaseException:
            _release(self._types, self._sources, self._scratch)
            raise

    def _open_sources(self) -> None:
        path = self.path
        if path.is_dir():
            metadata = read_metadata(path)
            self.storage = metadata.storage
            self.compression = (
                f"{metadata.compression_format} ({metadata.compression_mode})"
                if metadata.compression_mode
                else "none"
            )
            self._metadata = metadata
            files = metadata.files
            if metadata.compression_mode == "file":
                self._scratch = tempfile.mkdtemp(prefix="korvex-recording-")
                files = [_decompressed_copy(f, Path(self._scratch)) for f in files]
            message = metadata.compression_format if metadata.compression_mode == "message" else ""
            for file in files:
                if metadata.storage == "mcap":
                    self._sources.append(_McapSource(file, message))
                else:
                    self._sources.append(_SqliteSource(file, message))
        elif path.is_file():
            with path.open("rb") as head:
                magic = head.read(16)
            if magic.startswith(b"\x89MCAP"):
                source = _McapSource(path)
                self._sources.append(source)
                chunks = source.file.compressions()
                self.storage = "mcap"
                self.compression = f"chunks: {', '.join(chunks)}" if chunks else "none (no chunks)"
            elif magic.startswith(b"SQLite format 3\x00"):
                self.storage, self.compression = "sqlite3", "none"
                self._sources.append(_SqliteSource(path))
            else:
                raise RecordingError(
                    f"{path}: neither an MCAP file nor a rosbag2 .db3 file nor a bag directory"
                )
        else:
            raise FileNotFoundError(f"{path}: no such file or directory")

    def _collect(self) -> None:
        kinds: dict[str, tuple[str, str]] = {}
        tallies: dict[str, TopicTally] = {}
        for source in self._sources:
            for topic, (kind, fmt, _) in source.topics().items():
                have = kinds.setdefault(topic, (kind, fmt))
                if have[0] != kind:
                    raise RecordingError(
                        f"{self.path}: topic {topic} is of type {have[0]} in one file and"
                        f" {kind} in {source.path.name}"
                    )
            for topic, tally in source.tallies().items():
                if tally.count:
                    tallies.setdefault(topic, TopicTally()).add(tally.count, tally.start, tally.end)
        metadata = self._metadata
        if metadata is not None:
            for topic, (kind, _, count) in metadata.topics.items():
                stored = kinds.get(topic)
                if stored is not None and stored[0] != kind:
                    raise RecordingError(
                        f"{self.path / 'metadata.yaml'}: topic {topic} is of type {kind},"
                        f" its storage says {stored[0]}"
                    )
                found = tallies.get(topic, TopicTally()).count
                if found != count:
                    raise RecordingError(
                        f"{self.path / 'metadata.yaml'}: topic {topic} has {count} messages,"
                        f" its storage files hold {found}"
                    )
        self._topics = [
            TopicInfo(
                topic, kind, tallies.get(topic, TopicTally()).count,
                tallies.get(topic, TopicTally()).start, tallies.get(topic, TopicTally()).end, fmt,
            )
            for topic, (kind, fmt) in kinds.items()
        ]  # fmt: skip

    # -- the public surface ---------------------------------------------

    @property
    def topics(self) -> list[TopicInfo]:
        return list(self._topics)

    def _topic(self, topic: str) -> TopicInfo:
        for info in self._topics:
            if info.name == topic:
                return info
        raise KeyError(f"{self.path}: no topic {topic!r}; it has {[t.name for t in self._topics]}")

    def _check_open(self) -> RecordingTypes:
        if self._closer is None or not self._closer.alive:
            raise ValueError(f"{self.path}: the recording is closed")
        if self._types is None:
            raise ValueError(f"{self.path}: the recording was opened for its inventory only")
        return self._types

    def codec_type(self, topic: str) -> str:
        """The name the codec knows the topic's type by while the recording
        is open (a private name, see open_recording)."""
        types = self._check_open()
        return types.codec_name(self._topic(topic).type)

    def _read_chunks_here(self) -> None:
        """Reads MCAP chunks on the calling thread only (see
        McapFile.chunk_threads): for the scale-out readers' tasks."""
        for source in self._sources:
            if isinstance(source, _McapSource):
                source.file.chunk_threads = False

    def _topic_batches(
        self,
        topic: str,
        start: int | None = None,
        end: int | None = None,
        max_bytes: int | None = DEFAULT_BATCH_BYTES,
    ) -> Iterator[Batch]:
        """The topic's messages in [start, end), by log time, as batches of
        about `max_bytes` of data (see `Batch`; None: each as soon as it is
        read)."""
        self._check_open()
        self._topic(topic)
        streams = [s.batches(topic, start, end, max_bytes) for s in self._sources]
        batches = streams[0] if len(streams) == 1 else merge_in_time_order(streams, max_bytes)
        for item in batches:
            yield item[1] if isinstance(item, tuple) else item

    def table(
        self,
        topic: str,
        *,
        start: int | datetime.datetime | None = None,
        end: int | datetime.datetime | None = None,
        flatten: bool = False,
    ) -> Table:
        """The topic's messages in [start, end) as one Table (decode_table's,
        which Arrow libraries read directly): first `log_time`
        (timestamp[ns, UTC]), then the columns decode_table gives the type
        (nested messages as "outer.inner" with ``flatten=True``)."""
        low, high = as_nanoseconds(start, "start"), as_nanoseconds(end, "end")
        # One decode of the whole window, each batch decoded as it is read.
        batches = self._topic_batches(topic, low, high, max_bytes=None)
        return self._decode(topic, (p for batch in batches for p in batch.pieces()), flatten)

    def batches(
        self,
        topic: str,
        *,
        start: int | datetime.datetime | None = None,
        end: int | datetime.datetime | None = None,
        flatten: bool = False,
        max_bytes: int = DEFAULT_BATCH_BYTES,
    ) -> Iterator[Table]:
        """The topic's messages as Tables of about `max_bytes` of message
        data each (one MCAP chunk at least), in log-time order; the columns
        as `table` gives them."""
        low, high = as_nanoseconds(start, "start"), as_nanoseconds(end, "end")
        for batch in self._topic_batches(topic, low, high, max_bytes=max_bytes):
            yield self._decode(topic, batch.pieces(), flatten)

    def _decode(self, topic: str, pieces: Iterable[Batch], flatten: bool) -> Table:
        decode_table = getattr(_native, "decode_table", None)
        if decode_table is None:
            raise NotImplementedError(
                "Recording.table and Recording.batches need korvex_messages.ros2.decode_table,"
                " which this build of the codec lacks"
            )
        name = self.codec_type(topic)
        parts = ((p.payload, p.offsets, p.log_times) for p in pieces)
        table: Table = decode_table(name, None, flatten=flatten, _pieces=parts)
        return table

    def messages(
        self,
        topics: Iterable[str] | str | None = None,
        *,
        start: int | datetime.datetime | None = None,
        end: int | datetime.datetime | None = None,
        numpy: bool = False,
    ) -> Iterator[tuple[str, int, dict[str, Any]]]:
        """Yield (topic, log time in ns, message dict) in log-time order
        across every topic and file, for log times in [start, end)."""
        types = self._check_open()
        low, high = as_nanoseconds(start, "start"), as_nanoseconds(end, "end")
        if isinstance(topics, str):
            topics = [topics]
        names = [t.name for t in self._topics] if topics is None else list(topics)
        for name in names:
            info = self._topic(name)
            if info.serialization_format != "cdr":
                raise ValueError(
                    f"{self.path}: topic {name} is serialized as"
                    f" {info.serialization_format!r}; only cdr is read"
                )
        streams = [self._topic_messages(self._topic(n), types, low, high, numpy) for n in names]
        for log_time, _, topic, message in heapq.merge(*streams):
            yield topic, log_time, message

    def _topic_messages(
        self,
        info: TopicInfo,
        types: RecordingTypes,
        start: int | None,
        end: int | None,
        numpy: bool,
    ) -> Iterator[tuple[int, int, str, dict[str, Any]]]:
        codec = types.codec_name(info.type)
        deserialize = _native.deserialize
        order = 0
        for batch in self._topic_batches(info.name, start, end):
            payload, offsets, times = batch.payload, batch.offsets, batch.log_times
            view = memoryview(payload)
            for index, log_time in enumerate(times):
                data = view[offsets[index] : offsets[index + 1]]
                # The order number keeps equal times in file order, and the
                # dicts out of the comparison.
                yield log_time, order, info.name, deserialize(codec, data, numpy=numpy)
                order += 1

    def close(self) -> None:
        """Close the files and remove the recording's types from the codec."""
        if self._closer is not None:
            self._closer()

    def __enter__(self) -> Recording:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self._closer is not None and self._closer.alive else "closed"
        return f"<Recording {str(self.path)!r} {self.storage}, {len(self._topics)} topics, {state}>"


def _release(types: RecordingTypes | None, sources: list[Any], scratch: str | None) -> None:
    for source in sources:
        source.close()
    if types is not None:
        types.close()
    if scratch is not None:
        shutil.rmtree(scratch, ignore_errors=True)


def open_recording(
    path: str | os.PathLike[str], *, types: Mapping[str, str] | str | os.PathLike[str] | None = None
) -> Recording:
    """Open an MCAP file, a rosbag2 directory or a single `.db3` file.

    `types` supplies message definitions the recording lacks: a mapping of
    type name to `.msg` text (the concatenated form is fine) or a folder laid
    out as ``pkg/msg/Name.msg``.  Definitions are taken from the recording
    first, then from `types`, then from the types this process has
    registered; a type found nowhere raises MissingDefinitionsError, naming
    every missing type, before any message is read.
    """
    return Recording(path, types)
