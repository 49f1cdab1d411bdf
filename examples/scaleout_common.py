"""What examples/dask_decode.py and examples/ray_decode.py share.

Both decode a record file of examples/record_replay.py split into byte
ranges (parallel_decode.index_records and split), and each worker returns a
small summary of its range instead of the decoded dicts: sending a dict to
another process pickles it, which costs more than decoding it did.  A
summary holds the number of messages per topic, the header stamps of all
messages as one array('q'), the image bytes and the sum of the IMU's
vertical acceleration.  The totals are checked against a plain sequential
read of the file (record_replay.read_records), and the parallel rate is
printed beside the rate of one process decoding the same ranges.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time
from array import array
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

# The other examples live beside this file.
EXAMPLES = str(Path(__file__).resolve().parent)
if EXAMPLES not in sys.path:
    sys.path.insert(0, EXAMPLES)

import parallel_decode  # noqa: E402
import record_replay  # noqa: E402
from record_replay import RECORD_HEADER, TOPICS  # noqa: E402

import _korvex_messages as km  # noqa: E402
from korvex_messages import ensure_schemas  # noqa: E402

# The layouts as ensure_schemas takes them: name -> fields.
LAYOUTS = dict(record_replay.LAYOUTS)

Range = tuple[int, int]


@dataclass
class Summary:
    """What a worker sends back for its byte range (or what the ranges add up to)."""

    counts: list[int] = field(default_factory=lambda: [0] * len(TOPICS))
    stamps: array[int] = field(default_factory=lambda: array("q"))
    image_bytes: int = 0
    imu_accel_z: float = 0.0

    def add(self, other: Summary) -> None:
        self.counts = [a + b for a, b in zip(self.counts, other.counts)]
        self.stamps.extend(other.stamps)
        self.image_bytes += other.image_bytes
        self.imu_accel_z += other.imu_accel_z

    @property
    def messages(self) -> int:
        return sum(self.counts)


def _read(path: str, start: int, stop: int) -> bytes:
    with open(path, "rb") as source:
        source.seek(start)
        return source.read(stop - start)


def summarize_range(path: str, start: int, stop: int) -> Summary:
    """Decodes the records in bytes [start, stop) of the file and summarizes them.

    The layouts must be registered in the calling process."""
    data = _read(path, start, stop)
    layouts = [layout for _, layout, _ in TOPICS]
    summary = Summary()
    counts, stamps = summary.counts, summary.stamps
    deserialize, unpack, header_size = km.deserialize, RECORD_HEADER.unpack_from, RECORD_HEADER.size
    position = 0
    while position < len(data):
        topic, length = unpack(data, position)
        position += header_size
        message = deserialize(layouts[topic], data[position : position + length])
        position += length
        counts[topic] += 1
        stamp = message["header"]["stamp"]
        stamps.append(stamp["sec"] * 1_000_000_000 + stamp["nanosec"])
        if topic == 0:
            summary.imu_accel_z += message["linear_acceleration"]["z"]
        elif topic == 2:
            summary.image_bytes += len(message["data"])
    return summary


def reference_summary(path: str) -> Summary:
    """The summary of a plain sequential read of the whole file."""
    ensure_schemas(LAYOUTS)
    summary = Summary()
    with open(path, "rb") as source:
        for topic, message in record_replay.read_records(source):
            summary.counts[topic] += 1
            stamp = message["header"]["stamp"]
            summary.stamps.append(stamp["sec"] * 1_000_000_000 + stamp["nanosec"])
            if topic == 0:
                summary.imu_accel_z += message["linear_acceleration"]["z"]
            elif topic == 2:
                summary.image_bytes += len(message["data"])
    return summary


def check(total: Summary, reference: Summary) -> None:
    """Exits with a message if the parallel totals differ from the sequential read."""
    problems = []
    if total.counts != reference.counts:
        problems.append(f"messages per topic {total.counts}, sequential {reference.counts}")
    if total.stamps != reference.stamps:
        problems.append("the header stamps differ")
    if total.image_bytes != reference.image_bytes:
        problems.append(f"image bytes {total.image_bytes}, sequential {reference.image_bytes}")
    # Added up in another order: equal up to rounding.
    if not math.isclose(total.imu_accel_z, reference.imu_accel_z, rel_tol=1e-12):
        problems.append(f"IMU z sum {total.imu_accel_z!r}, sequential {reference.imu_accel_z!r}")
    if problems:
        raise SystemExit("parallel decode differs from a sequential read: " + "; ".join(problems))


def parser(description: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument(
        "--file",
        metavar="PATH",
        help="a record file of record_replay.py --keep (default: simulate one)",
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=5.0,
        help="seconds of simulated data without --file (default 5)",
    )
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--chunks", type=int, default=4, help="byte ranges per worker (default 4)")
    parser.add_argument(
        "--dicts",
        action="store_true",
        help="also time a pass that returns the decoded dicts, to see what sending them costs",
    )
    return parser


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.workers < 1 or args.chunks < 1:
        parser.error("--workers and --chunks must be at least 1")


@contextmanager
def recording(args: argparse.Namespace) -> Iterator[str]:
    """The record file to decode: --file, or a simulated one removed afterwards."""
    if args.file:
        yield args.file
        return
    record_replay.register_layouts()
    stream = list(record_replay.simulate(args.seconds))
    if not stream:
        raise SystemExit("--seconds is too short to produce any message")
    handle, path = tempfile.mkstemp(suffix=".rec")
    try:
        with os.fdopen(handle, "wb") as out:
            record_replay.write_records(out, stream)
        yield path
    finally:
        os.unlink(path)


def ranges_of(path: str, parts: int) -> tuple[int, list[Range]]:
    """The file size and its byte ranges, about equally many records each."""
    offsets = parallel_decode.index_records(path)
    return offsets[-1], parallel_decode.split(offsets, parts)


def one_process(path: str, ranges: Sequence[Range]) -> tuple[Summary, float]:
    """The same ranges decoded one after another in this process, and the seconds it took."""
    ensure_schemas(LAYOUTS)
    started = time.perf_counter()
    total = Summary()
    for start, stop in ranges:
        total.add(summarize_range(path, start, stop))
    return total, time.perf_counter() - started


def report(
    label: str,
    size: int,
    ranges: Sequence[Range],
    total: Summary,
    parallel_seconds: float,
    sequential_seconds: float,
    dicts_seconds: float | None,
) -> None:
    messages = total.messages
    for (name, layout, _), count in zip(TOPICS, total.counts):
        print(f"{name:<20} {layout:<20} {count:7d} messages")
    print(f"file: {size} bytes in {messages} records, {len(ranges)} ranges")
    rate = messages / parallel_seconds
    one = messages / sequential_seconds
    print(f"one process, same ranges:      {one:10.0f} msg/s  ({sequential_seconds * 1e3:8.1f} ms)")
    print(
        f"{label + ', summaries:':<30} {rate:10.0f} msg/s  ({parallel_seconds * 1e3:8.1f} ms)"
        f"  {rate / one:5.2f}x one process"
    )
    if dicts_seconds is not None:
        dicts = messages / dicts_seconds
        print(
            f"{label + ', decoded dicts:':<30} {dicts:10.0f} msg/s  ({dicts_seconds * 1e3:8.1f} ms)"
            f"  {dicts / one:5.2f}x one process"
        )
    print("totals match a sequential read")


def export_examples_path() -> None:
    """Puts this directory on PYTHONPATH, so that worker processes started
    from now on (which do not share this process's sys.path) can import
    the modules whose functions they are sent by reference."""
    current = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = EXAMPLES + (os.pathsep + current if current else "")
