"""What korvex_messages.ros2.dask and .ray share: the plan of a read.

The driver opens every recording once, for its inventory: the topic's
message count and log-time range in each file, and the topic's columns (an
empty table decoded with the file's own definitions).  Every file must hold
the topic, and with the same columns as the first; then the plan is a list
of parts, each a file and a log-time window, which the workers read on their
own: they are sent paths and windows, never message data.

When the parts' log-time ranges do not overlap, they are put in time order,
and their bounds are the divisions of a frame indexed by log time.
"""

from __future__ import annotations

import datetime
import importlib
import os
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from korvex_messages.ros2._mcap_file import RecordingError
from korvex_messages.ros2._recording import as_nanoseconds, open_recording

__all__ = ["Part", "Plan", "make_plan", "missing", "read_blocks", "read_table", "shipped"]

Types = Mapping[str, str] | str | os.PathLike[str] | None
PathsArgument = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]
Bound = int | datetime.datetime | None

# An end bound before every log time: the window that decodes no message
# (an MCAP file returns before it reads a chunk).
_NOTHING = -(2**63)


def missing(library: str, extra: str, what: str) -> ImportError:
    """The error for an optional library that is not installed."""
    return ImportError(
        f"{what} needs {library}, which is not installed: pip install 'korvex-messages[{extra}]'"
    )


def import_optional(module: str, extra: str, what: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise missing(module, extra, what) from None


@dataclass(frozen=True)
class Part:
    """One unit of work: the messages of one file in [start, end).

    `low` and `high` bound the log times it can hold (inclusive), `rows` is
    its exact number of messages where the inventory gives it (None when a
    window cuts the file's range), `size` an estimate of its message bytes."""

    path: str
    start: int
    end: int
    low: int
    high: int
    rows: int | None
    size: int


@dataclass(frozen=True)
class Plan:
    topic: str
    # The topic's pyarrow schema, log_time first, as Arrow IPC bytes, which
    # is how the workers get it too (see shipped).
    columns: bytes
    parts: list[Part]
    # Whether the parts are in time order without overlap.
    ordered: bool

    @property
    def schema(self) -> Any:
        return received(self.columns)

    def divisions(self) -> list[int] | None:
        """The parts' first log times and the last part's last, if ordered."""
        if not self.ordered or not self.parts:
            return None
        return [part.low for part in self.parts] + [self.parts[-1].high]


def _paths(paths: PathsArgument) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    elif isinstance(paths, (bytes, Mapping)):
        raise TypeError(f"paths: expected a path or paths, got {type(paths).__name__}")
    found = []
    for path in paths:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"paths: expected str or os.PathLike, got {type(path).__name__}")
        # Absolute: a worker may run in another directory.
        found.append(os.path.abspath(os.fspath(path)))
    if not found:
        raise ValueError("paths: no recording given")
    return found


def _stored_bytes(path: Path) -> int:
    if path.is_dir():
        return sum(p.stat().st_size for p in path.iterdir() if p.is_file())
    return path.stat().st_size


def _first_difference(schema: Any, other: Any) -> str:
    names, other_names = schema.names, other.names
    if names != other_names:
        gone = [n for n in names if n not in other_names]
        extra = [n for n in other_names if n not in names]
        if gone or extra:
            return f"columns {gone} missing, {extra} added"
        return f"columns in another order: {other_names}"
    for field, theirs in zip(schema, other):
        if not field.type.equals(theirs.type):
            return f"column {field.name!r} is {theirs.type}, not {field.type}"
    return "the column metadata differs"


def _split(part: Part, rows_per_part: int | None, estimate: int) -> list[Part]:
    """A part cut into equal log-time slices of about `rows_per_part` rows."""
    if rows_per_part is None or estimate <= rows_per_part:
        return [part]
    count = min(-(-estimate // rows_per_part), part.high - part.low + 1)
    span = part.high + 1 - part.low
    bounds = [part.low + span * i // count for i in range(count + 1)]
    return [
        Part(part.path, a, b, a, b - 1, None, part.size // count)
        for a, b in zip(bounds, bounds[1:])
        if b > a
    ]


def make_plan(
    paths: PathsArgument,
    topic: str,
    *,
    start: Bound = None,
    end: Bound = None,
    flatten: bool = False,
    types: Types = None,
    rows_per_part: int | None = None,
) -> Plan:
    """Every file's share of the topic in [start, end), checked to agree."""
    if not isinstance(topic, str):
        raise TypeError(f"topic: expected str, got {type(topic).__name__}")
    if rows_per_part is not None and (
        not isinstance(rows_per_part, int) or isinstance(rows_per_part, bool) or rows_per_part < 1
    ):
        raise ValueError(f"expected a positive int of rows per part, got {rows_per_part!r}")
    low_bound, high_bound = as_nanoseconds(start, "start"), as_nanoseconds(end, "end")
    files = _paths(paths)
    schema: Any = None
    parts: list[Part] = []
    for path in files:
        with open_recording(path, types=types) as recording:
            info = recording._topic(topic)
            if info.serialization_format != "cdr":
                raise RecordingError(
                    f"{path}: topic {topic} is serialized as {info.serialization_format!r};"
                    " only cdr is read"
                )
            columns = _pyarrow_table(recording.table(topic, end=_NOTHING, flatten=flatten)).schema
            every = sum(t.message_count for t in recording.topics)
        if schema is None:
            schema = columns
        elif not columns.equals(schema):
            raise RecordingError(
                f"{path}: topic {topic} has other columns than in {files[0]}:"
                f" {_first_difference(schema, columns)}"
            )
        if not info.message_count or info.start is None or info.end is None:
            continue
        low = info.start if low_bound is None else max(info.start, low_bound)
        high = info.end if high_bound is None else min(info.end, high_bound - 1)
        if low > high:
            continue
        whole = low == info.start and high == info.end
        share = _stored_bytes(Path(path)) * info.message_count // max(every, 1)
        # Messages spread evenly over the file's range, for want of better.
        estimate = info.message_count
        if not whole:
            fraction = (high - low + 1) / (info.end - info.start + 1)
            estimate = max(1, round(info.message_count * fraction))
            share = round(share * fraction)
        part = Part(path, low, high + 1, low, high, info.message_count if whole else None, share)
        parts.extend(_split(part, rows_per_part, estimate))
    ordered = False
    if parts:
        by_time = sorted(parts, key=lambda p: p.low)
        if all(a.high < b.low for a, b in zip(by_time, by_time[1:])):
            parts, ordered = by_time, True
    else:
        # Nothing in the window: one empty part keeps the columns.
        parts = [Part(files[0], _NOTHING, _NOTHING, 0, 0, 0, 0)]
    return Plan(topic, shipped(schema), parts, ordered)


def shipped(schema: Any) -> bytes:
    """A schema as the workers get it: Arrow IPC bytes.  (A pickled schema
    loses the nullability of a fixed-size list's items, in pyarrow 26 at
    least, and then no longer equals what the files decode to.)"""
    return bytes(schema.serialize().to_pybytes())


def _pyarrow_table(table: Any) -> Any:
    """A recording's Table as the pyarrow Table the workers hand on."""
    return importlib.import_module("pyarrow").table(table)


def received(schema: bytes) -> Any:
    pa = importlib.import_module("pyarrow")
    return pa.ipc.read_schema(pa.py_buffer(schema))


def _checked(table: Any, schema: Any, path: str, topic: str) -> Any:
    if not table.schema.equals(schema):
        raise RecordingError(
            f"{path}: topic {topic} was read with other columns than planned:"
            f" {_first_difference(schema, table.schema)}"
        )
    return table


def read_table(
    path: str, topic: str, start: int, end: int, flatten: bool, types: Types, schema: bytes
) -> Any:
    """A part's messages as one pyarrow Table, in a worker; `schema` is
    what `shipped` made of the plan's."""
    with open_recording(path, types=types) as recording:
        recording._read_chunks_here()
        table = _pyarrow_table(recording.table(topic, start=start, end=end, flatten=flatten))
    return _checked(table, received(schema), path, topic)


def read_blocks(
    path: str, topic: str, start: int, end: int, flatten: bool, types: Types, schema: bytes
) -> Iterator[Any]:
    """A part's messages as pyarrow Tables of a batch's size each, in a
    worker (at least one, empty if the part is); `schema` as for read_table."""
    columns = received(schema)
    with open_recording(path, types=types) as recording:
        recording._read_chunks_here()
        empty = True
        for table in recording.batches(topic, start=start, end=end, flatten=flatten):
            empty = False
            yield _checked(_pyarrow_table(table), columns, path, topic)
        if empty:
            yield columns.empty_table()
