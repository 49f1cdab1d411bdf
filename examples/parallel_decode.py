"""Decode a record file of examples/record_replay.py on several processes.

Every call into `_korvex_messages` holds the GIL from start to end, so
threads decode one message at a time; to use more cores, use more
processes.  The schema registry belongs to the process, so each worker
process must register the layouts itself: here the pool's initializer does
it (record_replay.register_layouts, which skips names already registered).
Workers are started with "spawn" by default, so they begin with an empty
registry as they do on macOS and Windows, and nothing depends on inheriting
the parent's registry through fork.

The parent only indexes the file (it reads the record headers, not the
payloads) and splits it into byte ranges; each worker reads its ranges
from the file and decodes them, so payloads are never sent between
processes.  The decoded messages come back to the parent, which checks
them against the recorded stream.

    python examples/parallel_decode.py                   # 5 s of simulated data, 2 workers
    python examples/parallel_decode.py --workers 4 --seconds 30
    python examples/record_replay.py --keep run.rec &&
        python examples/parallel_decode.py --file run.rec
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

# record_replay.py lives beside this file; make it importable however this
# module is reached (as a script, or imported by the benchmark).
sys.path.insert(0, str(Path(__file__).resolve().parent))

import record_replay  # noqa: E402
from record_replay import MAGIC, RECORD_HEADER, TOPICS  # noqa: E402

import _korvex_messages as km  # noqa: E402

Record = tuple[int, dict[str, Any]]


def index_records(path: str) -> list[int]:
    """Byte offsets of every record of the file, then the file size.

    Reads only the record headers; raises ValueError for a file that is not
    a complete record file.
    """
    offsets = []
    with open(path, "rb") as source:
        if source.read(len(MAGIC)) != MAGIC:
            raise ValueError("not a record file")
        size = os.fstat(source.fileno()).st_size
        position = len(MAGIC)
        while position < size:
            prefix = source.read(RECORD_HEADER.size)
            if len(prefix) != RECORD_HEADER.size:
                raise ValueError("truncated record header")
            topic, length = RECORD_HEADER.unpack(prefix)
            if topic >= len(TOPICS):
                raise ValueError(f"unknown topic index {topic}")
            offsets.append(position)
            position += RECORD_HEADER.size + length
            source.seek(position)
        if position != size:
            raise ValueError("truncated record payload")
    offsets.append(size)
    return offsets


def split(offsets: list[int], parts: int) -> list[tuple[int, int]]:
    """Byte ranges (start, stop) of about equally many records each."""
    count = len(offsets) - 1
    bounds = [offsets[count * i // parts] for i in range(parts)] + [offsets[-1]]
    return [(start, stop) for start, stop in zip(bounds, bounds[1:]) if stop > start]


def decode_range(
    path: str, start: int, stop: int, keep: bool = True
) -> tuple[list[int], list[Record] | None]:
    """Decodes the records in bytes [start, stop) of the file.

    Returns the number of messages per topic and, with `keep`, the decoded
    (topic, message) pairs in file order.
    """
    with open(path, "rb") as source:
        source.seek(start)
        data = source.read(stop - start)
    layouts = [layout for _, layout, _ in TOPICS]
    counts = [0] * len(TOPICS)
    kept: list[Record] | None = [] if keep else None
    deserialize = km.deserialize
    unpack = RECORD_HEADER.unpack_from
    header_size = RECORD_HEADER.size
    position = 0
    while position < len(data):
        topic, length = unpack(data, position)
        position += header_size
        message = deserialize(layouts[topic], data[position : position + length])
        position += length
        counts[topic] += 1
        if kept is not None:
            kept.append((topic, message))
    return counts, kept


def make_pool(workers: int, start_method: str = "spawn") -> ProcessPoolExecutor:
    """A process pool whose every worker registers the layouts when it starts."""
    return ProcessPoolExecutor(
        max_workers=workers,
        mp_context=multiprocessing.get_context(start_method),
        initializer=record_replay.register_layouts,
    )


def decode_file(
    pool: ProcessPoolExecutor, path: str, ranges: list[tuple[int, int]], keep: bool = True
) -> tuple[list[int], list[Record] | None]:
    """Decodes every range on the pool; per-topic counts and, with `keep`,
    all messages in file order."""
    futures = [pool.submit(decode_range, path, start, stop, keep) for start, stop in ranges]
    results = [future.result() for future in futures]
    counts = [sum(column) for column in zip(*(counts for counts, _ in results))]
    if not keep:
        return counts, None
    return counts, [record for _, kept in results for record in (kept or [])]


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Decode a file of CDR records on a pool of worker processes."
    )
    parser.add_argument(
        "--file",
        metavar="PATH",
        help="a record file written by record_replay.py --keep "
        "(default: simulate one, as record_replay.py does)",
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=5.0,
        help="seconds of simulated data when no --file is given (default 5)",
    )
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--chunks", type=int, default=4, help="byte ranges per worker (default 4)")
    parser.add_argument(
        "--start-method",
        default="spawn",
        choices=multiprocessing.get_all_start_methods(),
        help="how worker processes are started (default spawn)",
    )
    args = parser.parse_args()
    if args.workers < 1 or args.chunks < 1:
        parser.error("--workers and --chunks must be at least 1")

    record_replay.register_layouts()
    expected: list[Record] | None = None
    if args.file:
        path = args.file
    else:
        expected = list(record_replay.simulate(args.seconds))
        if not expected:
            parser.error("--seconds is too short to produce any message")
        handle, path = tempfile.mkstemp(suffix=".rec")
        with os.fdopen(handle, "wb") as out:
            record_replay.write_records(out, expected)
    try:
        offsets = index_records(path)
        ranges = split(offsets, args.workers * args.chunks)
        size = offsets[-1]
        with make_pool(args.workers, args.start_method) as pool:
            started = time.perf_counter()
            counts, decoded = decode_file(pool, path, ranges, keep=True)
            first_seconds = time.perf_counter() - started
            # Again, with the workers running and without sending the
            # messages back: the decoding throughput itself.
            started = time.perf_counter()
            again, _ = decode_file(pool, path, ranges, keep=False)
            second_seconds = time.perf_counter() - started
        if expected is None:
            # A file from elsewhere: the reference is a plain sequential read.
            with open(path, "rb") as source:
                expected = list(record_replay.read_records(source))
    finally:
        if not args.file:
            os.unlink(path)

    if decoded != expected:
        raise SystemExit("messages decoded in parallel differ from the recorded ones")
    if again != counts:
        raise SystemExit("the second pass decoded other numbers of messages")

    for (name, layout, _), count in zip(TOPICS, counts):
        print(f"{name:<20} {layout:<20} {count:7d} messages")
    total = sum(counts)
    print(
        f"file: {size} bytes in {total} records, {len(ranges)} ranges, "
        f"{args.workers} worker processes ({args.start_method})"
    )
    print(f"first pass (worker start-up, messages sent back): {first_seconds * 1e3:8.2f} ms")
    print(
        f"second pass (decode only): {second_seconds * 1e3:8.2f} ms  "
        f"{total / second_seconds:10.0f} msg/s  {size / 1e6 / second_seconds:8.1f} MB/s"
    )
    print("parallel decode matches the recording")


if __name__ == "__main__":
    main()
