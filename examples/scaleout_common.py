"""What examples/dask_decode.py and examples/ray_decode.py share.

Both read ROS 2 recordings with `read_topic` (korvex_messages.ros2.dask and
korvex_messages.ros2.ray), so they first make some: the messages of
examples/record_replay.py (a file it kept with --keep, or simulated here),
cut into 8 consecutive stretches of time, each written as a rosbag2 `.db3`
file.  The files are written with the standard library's sqlite3 and this
package's ROS 2 encoder, under the standard message types, with their
definitions stored in the files as rosbag2 (Iron and later) stores them.

The workers are sent the paths, never message data: each opens its files
and decodes them.  Each example sums columns on the workers and checks the
totals (rows per topic, sums of a few columns) against a sequential read
of the same files with open_recording in this process, and prints its rate
beside that of that sequential read.
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

# The other examples live beside this file.
EXAMPLES = str(Path(__file__).resolve().parent)
if EXAMPLES not in sys.path:
    sys.path.insert(0, EXAMPLES)

import quickstart  # noqa: E402
import record_replay  # noqa: E402

from korvex_messages import ros2  # noqa: E402

SEPARATOR = "=" * 80
_TIME = "int32 sec\nuint32 nanosec"
_HEADER = "builtin_interfaces/Time stamp\nstring frame_id"
_XYZ = "float64 x\nfloat64 y\nfloat64 z"
_QUATERNION = "float64 x\nfloat64 y\nfloat64 z\nfloat64 w"


def _with(text: str, *dependencies: tuple[str, str]) -> str:
    """A type's text with its dependencies after it, as rosbag2 stores it."""
    return "\n".join([text, *(f"{SEPARATOR}\nMSG: {n}\n{body}" for n, body in dependencies)])


_HEADER_DEPENDENCIES = (("std_msgs/Header", _HEADER), ("builtin_interfaces/Time", _TIME))

# record_replay's topics under the standard types of the same shape: topic
# index -> (topic, type, definition).
ROS_TOPICS: list[tuple[str, str, str]] = [
    (
        "/imu",
        "sensor_msgs/msg/Imu",
        _with(
            "std_msgs/Header header\ngeometry_msgs/Quaternion orientation\n"
            "float64[9] orientation_covariance\ngeometry_msgs/Vector3 angular_velocity\n"
            "float64[9] angular_velocity_covariance\ngeometry_msgs/Vector3 linear_acceleration\n"
            "float64[9] linear_acceleration_covariance",
            *_HEADER_DEPENDENCIES,
            ("geometry_msgs/Quaternion", _QUATERNION),
            ("geometry_msgs/Vector3", _XYZ),
        ),
    ),
    (
        "/pose",
        "geometry_msgs/msg/PoseStamped",
        _with(
            "std_msgs/Header header\ngeometry_msgs/Pose pose",
            *_HEADER_DEPENDENCIES,
            (
                "geometry_msgs/Pose",
                "geometry_msgs/Point position\ngeometry_msgs/Quaternion orientation",
            ),
            ("geometry_msgs/Point", _XYZ),
            ("geometry_msgs/Quaternion", _QUATERNION),
        ),
    ),
    (
        "/camera/image_raw",
        "sensor_msgs/msg/Image",
        _with(
            "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\n"
            "uint8 is_bigendian\nuint32 step\nuint8[] data",
            *_HEADER_DEPENDENCIES,
        ),
    ),
]
TOPIC_NAMES = [topic for topic, _, _ in ROS_TOPICS]
# The column summed per topic (flattened names), None for a row count alone.
SUMMED: dict[str, str | None] = {
    "/imu": "linear_acceleration.z",
    "/pose": "pose.position.x",
    "/camera/image_raw": "step",
}

Stream = list[tuple[int, dict[str, Any]]]


def stamp_of(message: dict[str, Any]) -> int:
    stamp = message["header"]["stamp"]
    return int(stamp["sec"]) * 1_000_000_000 + int(stamp["nanosec"])


def write_db3(path: Path, stream: Sequence[tuple[int, dict[str, Any]]]) -> None:
    """One rosbag2 sqlite3 file of `stream` (record_replay's topic index,
    message), every message logged at its header stamp."""
    for _, kind, text in ROS_TOPICS:
        # The encoder's registry is the process's: registering the same
        # text again is allowed.
        ros2.register_msg(kind, text)
    rows = (
        (topic + 1, stamp_of(message), ros2.serialize(ROS_TOPICS[topic][1], message))
        for topic, message in stream
    )
    quickstart.write_db3(path, ROS_TOPICS, rows)


def write_recordings(folder: Path, stream: Stream, files: int) -> list[Path]:
    """`stream` (in time order) cut into `files` consecutive stretches of
    about equally many messages, one `.db3` file each."""
    paths = []
    for index in range(files):
        part = stream[len(stream) * index // files : len(stream) * (index + 1) // files]
        path = folder / f"run_{index:03d}.db3"
        write_db3(path, part)
        paths.append(path)
    return paths


def read_stream(args: argparse.Namespace) -> Stream:
    """record_replay's messages: those of --file, or --seconds simulated."""
    record_replay.register_layouts()
    if args.file:
        with open(args.file, "rb") as source:
            stream = list(record_replay.read_records(source))
    else:
        stream = list(record_replay.simulate(args.seconds))
    if not stream:
        raise SystemExit("no messages to write: --seconds too short, or an empty --file")
    return stream


@dataclass
class Totals:
    """Rows per topic and the sum of each topic's SUMMED column."""

    rows: dict[str, int] = field(default_factory=dict)
    sums: dict[str, float] = field(default_factory=dict)

    def describe(self) -> list[str]:
        return [
            f"{topic:<20} {self.rows[topic]:7d} rows"
            f"  sum of {SUMMED[topic]}: {self.sums[topic]:.6g}"
            for topic in TOPIC_NAMES
        ]


def sequential(paths: Sequence[Path]) -> tuple[Totals, float]:
    """The totals of reading the files one after another in this process
    with open_recording, and the seconds it took."""
    pa = importlib.import_module("pyarrow")  # imported before the clock starts
    pc = importlib.import_module("pyarrow.compute")

    started = time.perf_counter()
    totals = Totals()
    for topic in TOPIC_NAMES:
        column = SUMMED[topic]
        rows, total = 0, 0.0
        for path in paths:
            with ros2.open_recording(path) as recording:
                table = pa.table(recording.table(topic, flatten=True))
            rows += table.num_rows
            if column is not None and table.num_rows:
                total += pc.sum(table[column]).as_py()
        totals.rows[topic] = rows
        totals.sums[topic] = total
    return totals, time.perf_counter() - started


def check(got: Totals, want: Totals) -> None:
    """Exits with a message unless the totals equal the sequential read's
    (sums of floats up to rounding: they are added up in another order)."""
    problems = []
    for topic in TOPIC_NAMES:
        if got.rows[topic] != want.rows[topic]:
            problems.append(f"{topic}: {got.rows[topic]} rows, sequential {want.rows[topic]}")
        if not math.isclose(got.sums[topic], want.sums[topic], rel_tol=1e-12, abs_tol=1e-9):
            problems.append(f"{topic}: sum {got.sums[topic]!r}, sequential {want.sums[topic]!r}")
    if problems:
        raise SystemExit("the parallel read differs from a sequential read: " + "; ".join(problems))


def parser(description: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument(
        "--file",
        metavar="PATH",
        help="the messages of a record file of record_replay.py --keep (default: simulate them)",
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=5.0,
        help="seconds of simulated data without --file (default 5)",
    )
    parser.add_argument(
        "--files", type=int, default=8, help="recording files to cut them into (default 8)"
    )
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument(
        "--keep", metavar="DIR", type=Path, help="write the recordings here and keep them"
    )
    parser.add_argument(
        "--rows",
        action="store_true",
        help="also time a pass that brings every /imu row back to this process",
    )
    return parser


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.workers < 1 or args.files < 1:
        parser.error("--workers and --files must be at least 1")


@contextmanager
def recordings(args: argparse.Namespace) -> Iterator[list[Path]]:
    """The recording files: in --keep, or in a folder removed afterwards."""
    stream = read_stream(args)
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        yield write_recordings(folder, stream, args.files)


def export_examples_path() -> None:
    """Puts this directory on PYTHONPATH, so that worker processes started
    from now on (which do not share this process's sys.path) can import
    the modules whose functions they are sent by reference."""
    current = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = EXAMPLES + (os.pathsep + current if current else "")


def report(
    label: str,
    paths: Sequence[Path],
    totals: Totals,
    parallel_seconds: float,
    sequential_seconds: float,
    rows_seconds: float | None,
) -> None:
    for line in totals.describe():
        print(line)
    size = sum(path.stat().st_size for path in paths)
    messages = sum(totals.rows.values())
    print(f"recordings: {len(paths)} .db3 files, {size} bytes, {messages} messages")
    one = messages / sequential_seconds
    rate = messages / parallel_seconds
    print(f"one process, open_recording:   {one:10.0f} msg/s  ({sequential_seconds * 1e3:8.1f} ms)")
    print(
        f"{label + ', sums:':<30} {rate:10.0f} msg/s  ({parallel_seconds * 1e3:8.1f} ms)"
        f"  {rate / one:5.2f}x one process"
    )
    if rows_seconds is not None:
        imu = totals.rows["/imu"]
        print(
            f"{label + ', /imu rows back:':<30} {imu / rows_seconds:10.0f} msg/s"
            f"  ({rows_seconds * 1e3:8.1f} ms)"
        )
    print("totals match a sequential read")
