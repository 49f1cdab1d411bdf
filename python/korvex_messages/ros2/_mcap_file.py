"""One MCAP file as a source of message batches.

The file is mapped, not read: its summary (schemas, channels, statistics,
chunk indexes and the message indexes they point to) gives the topics
without touching a chunk.  A file without a summary, or one cut short, is
walked from the start instead, and a file cut short gives its complete
chunks with a warning saying where reading stopped.

The records themselves are walked by the native `scan_mcap_records`, which
packs the wanted messages' data into one buffer with int64 offsets, without
the GIL and without a Python object per message.
"""

from __future__ import annotations

import importlib
import importlib.util
import mmap
import os
import struct
import sys
import threading
import warnings
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from korvex_messages.ros2._packed import Batch, int64s, merge_in_time_order

from . import _native

__all__ = ["McapFile", "RecordingCutShort", "RecordingError", "record_places"]

MAGIC = b"\x89MCAP0\r\n"
# Record opcodes.
HEADER, FOOTER, SCHEMA, CHANNEL, MESSAGE, CHUNK = 0x01, 0x02, 0x03, 0x04, 0x05, 0x06
MESSAGE_INDEX, CHUNK_INDEX, STATISTICS, DATA_END = 0x07, 0x08, 0x0B, 0x0F
FOOTER_LENGTH = 1 + 8 + 20  # opcode, length, summary_start, summary_offset_start, crc
_COMPLETE, _CUT_SHORT = 0, 1
_LITTLE = sys.byteorder == "little"


class RecordingError(ValueError):
    """A recording that cannot be read as it claims to be."""


class RecordingCutShort(UserWarning):
    """A recording that ends inside a record: the whole records before it are read."""


class _Fields:
    """Little-endian fields of one record's content, bounds-checked."""

    def __init__(self, data: memoryview, where: str) -> None:
        self.data, self.at, self.where = data, 0, where

    def take(self, fmt: str) -> int:
        size = struct.calcsize(fmt)
        if self.at + size > len(self.data):
            raise RecordingError(f"{self.where}: the record ends inside its fields")
        (value,) = struct.unpack_from(fmt, self.data, self.at)
        self.at += size
        return int(value)

    def raw(self, length_format: str) -> memoryview:
        length = self.take(length_format)
        if length > len(self.data) - self.at:
            raise RecordingError(
                f"{self.where}: a field claims {length} bytes, {len(self.data) - self.at} remain"
            )
        value = self.data[self.at : self.at + length]
        self.at += length
        return value

    def text(self) -> str:
        try:
            return bytes(self.raw("<I")).decode("utf-8")
        except UnicodeDecodeError:
            raise RecordingError(f"{self.where}: a string is not UTF-8") from None


@dataclass
class Channel:
    id: int
    schema_id: int
    topic: str
    message_encoding: str


@dataclass
class Chunk:
    """Where a chunk lies and what it holds, from its index or its header."""

    offset: int  # of the chunk record, in the file
    start: int
    end: int
    compression: str = ""
    # The channels it holds, and where each one's message index lies; None
    # while unknown (a chunk without message indexes).
    index_offsets: dict[int, int] | None = None
    tallies: dict[int, tuple[int, int, int]] = field(default_factory=dict)


@dataclass
class TopicTally:
    count: int = 0
    start: int | None = None
    end: int | None = None

    def add(self, count: int, start: int | None, end: int | None) -> None:
        self.count += count
        if start is not None:
            self.start = start if self.start is None else min(self.start, start)
        if end is not None:
            self.end = end if self.end is None else max(self.end, end)


# Decompressed output grows by at most this much, or by doubling, at a time,
# so that what a chunk's header or frame claims is never allocated before
# the data bears it out.
_PIECE = 1 << 20


def _grown(buffer: bytearray, limit: int) -> bytearray:
    """`buffer` (full) with room for more output, up to `limit` bytes."""
    more = min(max(len(buffer), _PIECE), limit - len(buffer))
    try:
        buffer += bytes(more)
    except BufferError:  # still viewed by an earlier reader: leave it to that one
        buffer = buffer + bytes(more)
    return buffer


# A chunk that claims at most this many times its compressed size is
# decompressed in one call, which runs without the GIL; a larger claim is
# believed only as far as the data bears it out.
_TRUSTED_RATIO = 64


def _usable_cpus() -> int:
    """The CPUs this process may run on (its affinity where the system
    says, else every CPU)."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# Worker threads that decompress, CRC-check and scan chunks ahead of the
# reader, which waits for them most of the time: one per CPU (none on one),
# up to four, beyond which the reader's own decoding is what it waits for.
_WORKERS = 0 if _usable_cpus() <= 1 else min(_usable_cpus(), 4)


# Per thread, the zstd decompressor of one-call chunks: one cannot be shared
# between threads, and making one per chunk cost more than decompressing a
# small chunk (its context is allocated and paged in anew each time).
_this_thread = threading.local()


def _zstd(data: memoryview, limit: int, buffer: bytearray) -> tuple[bytearray | bytes, int]:
    """Decompresses up to `limit` bytes: in one call where the frame states
    the size the chunk claims and that claim is plausible, else into
    `buffer`, grown as output arrives; the output and how many bytes it got."""
    import zstandard

    size = limit - 1
    if size <= _TRUSTED_RATIO * len(data) + _PIECE and zstandard.frame_content_size(data) == size:
        decompressor = getattr(_this_thread, "zstd", None)
        if decompressor is None:
            decompressor = _this_thread.zstd = zstandard.ZstdDecompressor()
        out = decompressor.decompress(data, max_output_size=limit)
        return out, len(out)
    got = 0
    with zstandard.ZstdDecompressor().stream_reader(data) as reader:
        while got < limit:
            if got == len(buffer):
                buffer = _grown(buffer, limit)
            with memoryview(buffer) as view:
                count = reader.readinto(view[got:limit])
            if not count:
                break
            got += count
    return buffer, got


def _lz4(data: memoryview, limit: int, buffer: bytearray) -> tuple[bytearray | bytes, int]:
    lz4_frame = importlib.import_module("lz4.frame")
    decompressor = lz4_frame.LZ4FrameDecompressor()
    out = bytearray(decompressor.decompress(bytes(data), max_length=min(_PIECE, limit)))
    while len(out) < limit and not decompressor.eof and not decompressor.needs_input:
        out += decompressor.decompress(b"", max_length=min(_PIECE, limit - len(out)))
    return out, len(out)


def _decompress(
    compression: str, data: memoryview, size: int, where: str, buffer: bytearray
) -> tuple[bytearray, memoryview]:
    """A chunk's records, decompressed; their size must be the one its header
    gives (one byte more is read, to tell a longer output).  Returns the
    buffer to use for the next chunk (`buffer`, or a bigger one it grew
    into) and a view of the records."""
    if compression not in ("zstd", "lz4"):
        raise RecordingError(f"{where}: unknown compression {compression!r}")
    package = "zstandard" if compression == "zstd" else "lz4"
    if importlib.util.find_spec(package) is None:
        raise RecordingError(
            f"{where} is {compression}-compressed: pip install {package}"
            " (or korvex-messages[recordings])"
        )
    try:
        out, got = (_zstd if compression == "zstd" else _lz4)(data, size + 1, buffer)
    except Exception as error:  # zstandard.ZstdError, lz4's RuntimeError
        raise RecordingError(f"{where}: {compression}: {error}") from None
    if got != size:
        shown = f"more than {size}" if got > size else str(got)
        raise RecordingError(f"{where}: decompressed to {shown} bytes, its header says {size}")
    return (out if isinstance(out, bytearray) else buffer), memoryview(out)[:size]


def record_places(others: bytes) -> Iterator[tuple[int, int, int]]:
    """The (opcode, content offset, content length) triples of a scan's
    other records."""
    places = int64s(others)
    for index in range(0, len(places), 3):
        yield places[index], places[index + 1], places[index + 2]


class McapFile:
    """The schemas, channels and chunks of one MCAP file."""

    def __init__(self, path: str | Path) -> None:
        self.path = Path(path)
        self._file = open(self.path, "rb")  # noqa: SIM115 - closed by close()
        try:
            size = self._file.seek(0, 2)
            if size < len(MAGIC) or self._read(0, len(MAGIC)) != MAGIC:
                raise RecordingError(f"{self.path}: not an MCAP file (no MCAP magic at its start)")
            self._map = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)
            self._view = memoryview(self._map)
            self.schemas: dict[int, tuple[str, str, bytes]] = {}
            self.channels: dict[int, Channel] = {}
            self.chunks: list[Chunk] = []
            # Messages outside chunks: (file offset of the region, its length).
            self._loose: list[tuple[int, int]] = []
            self._loose_tallies: dict[int, tuple[int, int, int]] = {}
            self._spare_buffers: list[bytearray] = []
            # Whether chunks may be read on the worker threads.  The scale-out
            # readers turn it off: their engines already run a task per core,
            # and threads of their own would only compete with those.
            self.chunk_threads = True
            if not self._read_summary(size):
                # A whole file ends in its magic, after the footer record.
                whole = self._read(size - len(MAGIC), len(MAGIC)) == MAGIC
                self._walk(len(MAGIC), size - len(MAGIC) if whole else size)
        except BaseException:
            self.close()
            raise

    def _read(self, at: int, length: int) -> bytes:
        self._file.seek(at)
        return self._file.read(length)

    def close(self) -> None:
        # Views of the map may outlive this (a traceback's frames hold
        # slices of it): then the map is unmapped when the last one goes.
        view: memoryview | None = self.__dict__.pop("_view", None)
        mapped: mmap.mmap | None = self.__dict__.pop("_map", None)
        try:
            if view is not None:
                view.release()
            if mapped is not None:
                mapped.close()
        except BufferError:
            pass
        self._file.close()

    # -- the summary ---------------------------------------------------

    def _records(self, start: int, stop: int) -> list[tuple[int, int, int]]:
        """(opcode, content offset in the file, content length) of the whole
        records of [start, stop)."""
        scan = _native.scan_mcap_records(self._view[start:stop], (), None, None, False)
        return [(op, start + offset, length) for op, offset, length in record_places(scan[4])]

    def _read_summary(self, size: int) -> bool:
        """Takes the summary and its chunk indexes; False where the file has
        no usable summary (none written, or no footer: a file cut short)."""
        footer_at = size - len(MAGIC) - FOOTER_LENGTH
        if footer_at < len(MAGIC) or self._read(size - len(MAGIC), len(MAGIC)) != MAGIC:
            return False
        footer = self._read(footer_at, FOOTER_LENGTH)
        opcode, length, summary_start, _offsets_start, _crc = struct.unpack("<BQQQI", footer)
        if opcode != FOOTER or length != 20 or summary_start == 0:
            return False
        if not len(MAGIC) <= summary_start <= footer_at:
            raise RecordingError(
                f"{self.path}: the footer puts the summary at byte {summary_start},"
                f" outside the file's {size} bytes"
            )
        self._data_end = summary_start
        indexes = []
        for opcode, at, length in self._records(summary_start, footer_at):
            content = self._view[at : at + length]
            if opcode in (SCHEMA, CHANNEL):
                self._take_definition(opcode, content, at)
            elif opcode == CHUNK_INDEX:
                indexes.append(self._chunk_index(content, at))
        if not indexes or not self.channels:
            # No chunk index (an unchunked file, or one written without
            # them), or channels only in the data section: that section
            # tells what it holds.
            self.schemas.clear()
            return False
        self.chunks = sorted(indexes, key=lambda c: (c.start, c.offset))
        for chunk in self.chunks:
            if chunk.index_offsets:
                self._tally_from_message_indexes(chunk)
            else:
                chunk.index_offsets = None
                self._tally_by_scanning(chunk)
        return True

    def _take_definition(self, opcode: int, content: memoryview, at: int) -> None:
        fields = _Fields(content, f"{self.path}: record at byte {at - 9}")
        if opcode == SCHEMA:
            schema_id = fields.take("<H")
            name, encoding = fields.text(), fields.text()
            self.schemas.setdefault(schema_id, (name, encoding, bytes(fields.raw("<I"))))
        else:
            channel_id, schema_id = fields.take("<H"), fields.take("<H")
            topic, encoding = fields.text(), fields.text()
            self.channels.setdefault(channel_id, Channel(channel_id, schema_id, topic, encoding))

    def _chunk_index(self, content: memoryview, at: int) -> Chunk:
        fields = _Fields(content, f"{self.path}: chunk index at byte {at - 9}")
        start, end, offset = fields.take("<Q"), fields.take("<Q"), fields.take("<Q")
        fields.take("<Q")  # chunk length
        entries = fields.raw("<I")
        if len(entries) % 10:
            raise RecordingError(f"{fields.where}: message index offsets of {len(entries)} bytes")
        index_offsets = dict(struct.iter_unpack("<HQ", entries))
        fields.take("<Q")  # message index length
        return Chunk(offset, start, end, fields.text(), index_offsets)

    def _tally_from_message_indexes(self, chunk: Chunk) -> None:
        assert chunk.index_offsets is not None
        for channel, at in chunk.index_offsets.items():
            where = f"{self.path}: message index at byte {at}"
            if at + 9 > len(self._view):
                raise RecordingError(f"{where}: beyond the end of the file")
            opcode, length = struct.unpack_from("<BQ", self._view, at)
            if opcode != MESSAGE_INDEX or length > len(self._view) - at - 9:
                raise RecordingError(f"{where}: not a message index record")
            fields = _Fields(self._view[at + 9 : at + 9 + length], where)
            fields.take("<H")
            count, first, last = _native.tally_message_index(fields.raw("<I"))
            if count:
                chunk.tallies[channel] = (count, first, last)

    def _tally_by_scanning(self, chunk: Chunk) -> None:
        with self._chunk_records(chunk) as records:
            scan = _native.scan_mcap_records(records, None, None, None, False)
            self._check_chunk_scan(chunk, scan, len(records))
            chunk.tallies = {c: (n, first, last) for c, n, first, last in scan[5] or ()}
            for opcode, at, length in record_places(scan[4]):
                if opcode in (SCHEMA, CHANNEL):
                    self._take_definition(opcode, records[at : at + length], at)

    # -- a file without summary ----------------------------------------

    def _walk(self, start: int, size: int) -> None:
        """Reads the data section record by record, from `start` to the
        data end record or the end of the file."""
        scan = _native.scan_mcap_records(self._view[start:size], None, None, None, False)
        regions_start = start
        for opcode, at, length in record_places(scan[4]):
            at += start
            content = self._view[at : at + length]
            if opcode in (SCHEMA, CHANNEL):
                self._take_definition(opcode, content, at)
            elif opcode == CHUNK:
                fields = _Fields(content, f"{self.path}: chunk at byte {at - 9}")
                chunk = Chunk(at - 9, fields.take("<Q"), fields.take("<Q"))
                fields.take("<Q")  # uncompressed size
                fields.take("<I")  # CRC
                chunk.compression = fields.text()
                self._tally_by_scanning(chunk)
                self.chunks.append(chunk)
            elif opcode == DATA_END:
                break
        # The messages outside chunks, tallied by the same walk.
        self._loose_tallies = {c: (n, first, last) for c, n, first, last in scan[5] or ()}
        if self._loose_tallies:
            self._loose.append((regions_start, start + scan[6] - regions_start))
        if scan[7] == _CUT_SHORT:
            stop = start + scan[6]
            warnings.warn(
                f"{self.path}: the recording is cut short: reading stopped at byte {stop} of"
                f" {size} (the record there runs past the end of the file); the"
                f" {len(self.chunks)} complete chunk(s) before it are read",
                RecordingCutShort,
                stacklevel=4,
            )
        elif scan[7] != _COMPLETE:
            raise RecordingError(
                f"{self.path}: the message record at byte {start + scan[6]} is too short"
                " for its fields"
            )
        self.chunks.sort(key=lambda c: (c.start, c.offset))

    # -- chunks ----------------------------------------------------------

    @contextmanager
    def _chunk_records(self, chunk: Chunk) -> Iterator[memoryview]:
        """The decompressed records of a chunk, CRC checked, for the scope of
        the `with`: a chunk decompressed piece by piece goes into a buffer
        that the next such chunk reuses (fresh memory would be paged in anew
        for each)."""
        where = f"{self.path}: chunk at byte {chunk.offset}"
        at = chunk.offset
        if at + 9 > len(self._view):
            raise RecordingError(f"{where}: beyond the end of the file")
        opcode, length = struct.unpack_from("<BQ", self._view, at)
        if opcode != CHUNK or length > len(self._view) - at - 9:
            raise RecordingError(f"{where}: not a whole chunk record")
        fields = _Fields(self._view[at + 9 : at + 9 + length], where)
        fields.take("<Q")
        fields.take("<Q")
        size, crc = fields.take("<Q"), fields.take("<I")
        compression = fields.text()
        data = fields.raw("<Q")
        if compression == "":
            self._check_crc(data, crc, where)
            yield data
            return
        # Taken from the spares and given back after use, so that readers in
        # two threads never share one.
        buffer = self._spare_buffers.pop() if self._spare_buffers else bytearray()
        try:
            buffer, records = _decompress(compression, data, size, where, buffer)
            with records:
                self._check_crc(records, crc, where)
                yield records
        finally:
            self._spare_buffers.append(buffer)

    @staticmethod
    def _check_crc(records: memoryview, crc: int, where: str) -> None:
        if crc != 0:
            actual = _native.crc32(records)
            if actual != crc:
                raise RecordingError(
                    f"{where}: CRC mismatch: the chunk stores {crc:#010x}, its records"
                    f" give {actual:#010x}"
                )

    def _check_chunk_scan(self, chunk: Chunk, scan: tuple[Any, ...], size: int) -> None:
        if scan[7] != _COMPLETE:
            raise RecordingError(
                f"{self.path}: chunk at byte {chunk.offset}: the record at byte {scan[6]} of its"
                f" {size} bytes of records "
                + ("runs past its end" if scan[7] == _CUT_SHORT else "is too short")
            )

    # -- what the file holds ----------------------------------------------

    def compressions(self) -> list[str]:
        """The compressions of its chunks ("none" for uncompressed ones)."""
        return sorted({c.compression or "none" for c in self.chunks})

    def tallies(self) -> dict[int, TopicTally]:
        """Per channel: message count and log time range."""
        result: dict[int, TopicTally] = {}
        for tallies in [self._loose_tallies, *(c.tallies for c in self.chunks)]:
            for channel, (count, first, last) in tallies.items():
                result.setdefault(channel, TopicTally()).add(count, first, last)
        return result

    def batches(
        self, channels: set[int], start: int | None, end: int | None, max_bytes: int | None
    ) -> Iterator[Batch]:
        """The messages of `channels` in [start, end), in log-time order, as
        packed batches of about `max_bytes` of data (one chunk's worth at
        least; None: each chunk's as soon as it is read)."""
        # MCAP log times are uint64: a bound outside that range is no bound,
        # or leaves nothing.
        if end is not None and end <= 0:
            return iter(())
        start = None if start is None or start <= 0 else min(start, 2**64 - 1)
        end = None if end is None or end >= 2**64 else end
        streams: list[Iterator[tuple[int, Batch]]] = []
        for region_start, length in self._loose:
            region = self._view[region_start : region_start + length]
            batch = self._scan(region, channels, start, end, None)
            if len(batch):
                streams.append(iter([(batch.log_times[0], batch)]))
        chunks = [
            c for c in self.chunks
            if (start is None or c.end >= start) and (end is None or c.start < end)
            and (c.index_offsets is None and not c.tallies or channels & set(c.tallies))
        ]  # fmt: skip
        streams.append(self._chunk_batches(chunks, channels, start, end))
        return merge_in_time_order(streams, max_bytes)

    def _chunk_batches(
        self, chunks: list[Chunk], channels: set[int], start: int | None, end: int | None
    ) -> Iterator[tuple[int, Batch]]:
        def read(chunk: Chunk) -> Batch:
            with self._chunk_records(chunk) as records:
                return self._scan(records, channels, start, end, chunk)

        pending: list[Future[Batch]] | None = None
        if len(chunks) > 1 and _WORKERS > 0 and self.chunk_threads:
            # Chunks are decompressed, checked and scanned (all without the
            # GIL) on worker threads, a few ahead of the one the caller
            # takes: uncompressed ones too, whose pages are read from the
            # file there.
            workers = ThreadPoolExecutor(_WORKERS, thread_name_prefix="korvex-mcap-chunks")
            ahead = _WORKERS + 1
            try:
                pending = [workers.submit(read, chunk) for chunk in chunks[:ahead]]
            except RuntimeError:  # the interpreter is shutting down: no new threads
                workers.shutdown(wait=True)
        if pending is None:
            for chunk in chunks:
                yield chunk.start, read(chunk)
            return
        try:
            for index, chunk in enumerate(chunks):
                batch = pending.pop(0).result()
                if index + ahead < len(chunks):
                    pending.append(workers.submit(read, chunks[index + ahead]))
                yield chunk.start, batch
        finally:
            workers.shutdown(wait=True, cancel_futures=True)

    def _scan(
        self,
        records: memoryview,
        channels: set[int],
        start: int | None,
        end: int | None,
        chunk: Chunk | None,
    ) -> Batch:
        scan = _native.scan_mcap_records(records, channels, start, end, True)
        if chunk is not None:
            self._check_chunk_scan(chunk, scan, len(records))
        payload, offsets, times = scan[0], scan[1], scan[2]
        assert payload is not None and offsets is not None and times is not None
        batch = Batch(payload, int64s(offsets), int64s(times))
        return batch if scan[8] else batch.sorted()
