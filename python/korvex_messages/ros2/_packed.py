"""Messages packed for decode_table: one buffer of their data, N+1 int64
offsets into it and N int64 log times, and the merge that keeps batches of
several chunks or files in log-time order."""

from __future__ import annotations

import heapq
from array import array
from collections.abc import Iterable, Iterator, Sequence
from itertools import accumulate

from . import _native

__all__ = ["Batch", "concatenate", "int64s", "merge_in_time_order", "pack"]

Int64s = Sequence[int]  # memoryview cast to "q", or array("q")


class Batch:
    """Messages as decode_table's one-buffer form, with their log times."""

    __slots__ = ("payload", "offsets", "log_times")

    def __init__(self, payload: bytes, offsets: Int64s, log_times: Int64s) -> None:
        self.payload, self.offsets, self.log_times = payload, offsets, log_times

    def __len__(self) -> int:
        return len(self.log_times)

    @property
    def nbytes(self) -> int:
        return len(self.payload)

    def message(self, index: int) -> memoryview:
        return memoryview(self.payload)[self.offsets[index] : self.offsets[index + 1]]

    def sorted(self) -> Batch:
        """The same messages by log time (equal times keep their order)."""
        times = self.log_times
        order = sorted(range(len(times)), key=times.__getitem__)
        return pack([self.message(i) for i in order], [times[i] for i in order])

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
    """The batches one after the other."""
    if len(batches) == 1:
        return batches[0]
    payload, offsets, times = _native.join_packed(
        [(b.payload, b.offsets, b.log_times) for b in batches]
    )
    return Batch(payload, int64s(offsets), int64s(times))


def merge_in_time_order(
    streams: Sequence[Iterable[tuple[int, Batch]]], max_bytes: int
) -> Iterator[Batch]:
    """Batches from `streams` in log-time order, each of about `max_bytes`.

    Each stream yields (lower bound, batch) with the bounds not decreasing and
    every time in a batch at or after its bound, and each batch sorted.
    Batches whose times interleave (chunks that overlap in time) are merged;
    the rest pass as they are, joined while they are smaller than
    `max_bytes`."""
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
            group_end = max(group_end, batch.log_times[-1])
            continue
        settled = settle()
        group, group_end = [batch], batch.log_times[-1]
        if settled is None:
            continue
        for piece in settled.split(max_bytes):
            ready.append(piece)
            ready_bytes += piece.nbytes
            if ready_bytes >= max_bytes:
                yield concatenate(ready)
                ready, ready_bytes = [], 0
    settled = settle()
    if settled is not None:
        for piece in settled.split(max_bytes):
            ready.append(piece)
            ready_bytes += piece.nbytes
            if ready_bytes >= max_bytes:
                yield concatenate(ready)
                ready, ready_bytes = [], 0
    if ready:
        yield concatenate(ready)
