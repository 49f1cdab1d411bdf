"""Messages packed for decode_table: one buffer of their data, N+1 int64
offsets into it and N int64 log times, and the merge that keeps batches of
several chunks or files in log-time order."""

from __future__ import annotations

import heapq
from array import array
from collections.abc import Iterable, Iterator, Sequence
from itertools import accumulate
from typing import TypeAlias

from . import _native

__all__ = ["Batch", "concatenate", "int64s", "merge_in_time_order", "pack"]

Int64s: TypeAlias = "memoryview | array[int]"  # memoryview cast to "q", or array("q")


class Batch:
    """Messages as decode_table's one-buffer form, with their log times.

    A batch made of parts (`joined`) keeps them apart until its buffer is
    read: decode_table takes the parts as they are, without the copy."""

    __slots__ = ("_payload", "_offsets", "_log_times", "parts")

    def __init__(self, payload: bytes, offsets: Int64s, log_times: Int64s) -> None:
        self._payload, self._offsets, self._log_times = payload, offsets, log_times
        self.parts: list[Batch] | None = None

    @classmethod
    def joined(cls, parts: list[Batch]) -> Batch:
        """The parts one after the other, joined when first read."""
        batch = cls(b"", array("q", [0]), array("q"))
        batch.parts = [piece for part in parts for piece in part.pieces()]
        return batch

    def pieces(self) -> list[Batch]:
        """The unjoined parts (itself, where it has none)."""
        return [self] if self.parts is None else self.parts

    def _join(self) -> None:
        if self.parts is not None:
            payload, offsets, times = _native.join_packed(
                [(p.payload, p.offsets, p.log_times) for p in self.parts]
            )
            self._payload, self._offsets, self._log_times = payload, int64s(offsets), int64s(times)
            self.parts = None

    @property
    def payload(self) -> bytes:
        self._join()
        return self._payload

    @property
    def offsets(self) -> Int64s:
        self._join()
        return self._offsets

    @property
    def log_times(self) -> Int64s:
        self._join()
        return self._log_times

    def first_log_time(self) -> int:
        return next(p._log_times[0] for p in self.pieces() if len(p._log_times))

    def last_log_time(self) -> int:
        return next(p._log_times[-1] for p in reversed(self.pieces()) if len(p._log_times))

    def __len__(self) -> int:
        return sum(len(p._log_times) for p in self.pieces())

    @property
    def nbytes(self) -> int:
        return sum(len(p._payload) for p in self.pieces())

    def message(self, index: int) -> memoryview:
        return memoryview(self.payload)[self.offsets[index] : self.offsets[index + 1]]

    def sorted(self) -> Batch:
        """The same messages by log time (equal times keep their order)."""
        payload, offsets, times = _native.sort_packed((self.payload, self.offsets, self.log_times))
        return Batch(payload, int64s(offsets), int64s(times))

    def split(self, max_bytes: int) -> Iterator[Batch]:
        """Consecutive pieces of about `max_bytes` of data (at least one
        message each)."""
        if len(self.payload) <= max_bytes or len(self) <= 1:
            yield self
            return
        first = 0
        while first < len(self):
            last = first + 1
            limit = self.offsets[first] + max_bytes
            while last < len(self) and self.offsets[last + 1] <= limit:
                last += 1
            base = self.offsets[first]
            yield Batch(
                bytes(memoryview(self.payload)[base : self.offsets[last]]),
                array("q", (o - base for o in self.offsets[first : last + 1])),
                array("q", self.log_times[first:last]),
            )
            first = last


def pack(messages: Iterable[bytes | memoryview], log_times: Iterable[int]) -> Batch:
    """A batch of separate messages."""
    messages = list(messages)
    offsets = array("q", [0])
    offsets.extend(accumulate(len(m) for m in messages))
    return Batch(b"".join(messages), offsets, array("q", log_times))


def int64s(data: bytes) -> memoryview:
    """int64s in native byte order, as a sequence."""
    return memoryview(data).cast("q")


def concatenate(batches: list[Batch]) -> Batch:
    """The batches one after the other (joined when first read)."""
    if len(batches) == 1:
        return batches[0]
    return Batch.joined(batches)


def merge_in_time_order(
    streams: Sequence[Iterable[tuple[int, Batch]]], max_bytes: int | None
) -> Iterator[Batch]:
    """Batches from `streams` in log-time order, each of about `max_bytes`.

    Each stream yields (lower bound, batch) with the bounds not decreasing and
    every time in a batch at or after its bound, and each batch sorted.
    Batches whose times interleave (chunks that overlap in time) are merged;
    the rest pass as they are, joined while they are smaller than
    `max_bytes`.  With `max_bytes` None, each batch is yielded as soon as no
    later one can interleave with it, whatever its size."""
    items = heapq.merge(*streams, key=lambda item: item[0])
    group: list[Batch] = []
    group_end = None
    ready: list[Batch] = []
    ready_bytes = 0

    def settle() -> Batch | None:
        if not group:
            return None
        merged = concatenate(group)
        return merged if len(group) == 1 else merged.sorted()

    for bound, batch in items:
        if not len(batch):
            continue
        if group and group_end is not None and bound < group_end:
            group.append(batch)
            group_end = max(group_end, batch.last_log_time())
            continue
        settled = settle()
        group, group_end = [batch], batch.last_log_time()
        if settled is None:
            continue
        if max_bytes is None:
            yield settled
            continue
        for piece in settled.split(max_bytes):
            ready.append(piece)
            ready_bytes += piece.nbytes
            if ready_bytes >= max_bytes:
                yield concatenate(ready)
                ready, ready_bytes = [], 0
    settled = settle()
    if settled is not None and max_bytes is None:
        yield settled
    elif settled is not None and max_bytes is not None:
        for piece in settled.split(max_bytes):
            ready.append(piece)
            ready_bytes += piece.nbytes
            if ready_bytes >= max_bytes:
                yield concatenate(ready)
                ready, ready_bytes = [], 0
    if ready:
        yield concatenate(ready)
