"""Record a stream of robot messages to a file of CDR records and replay it.

Registers the layouts of a few common message types (a header, a stamped
pose, an IMU reading and a camera image), encodes a simulated sensor stream
into a file of length-prefixed CDR records, reads the file back, decodes
every record and checks it against what was written, and times both halves.

    python examples/record_replay.py                  # 5 s of simulated data
    python examples/record_replay.py --seconds 30 --keep /tmp/run.rec

Record file layout (all integers little-endian):

    b"KVXREC1\\n"                          magic, 8 bytes
    then, per record:
      uint8   topic index into TOPICS
      uint32  length n of the CDR payload
      n bytes CDR payload (begins with the 00 01 00 00 header)
"""

from __future__ import annotations

import argparse
import math
import os
import struct
import tempfile
import time
from collections.abc import Iterator
from typing import Any, BinaryIO

import _korvex_messages as km

Message = dict[str, Any]

MAGIC = b"KVXREC1\n"
RECORD_HEADER = struct.Struct("<BI")

# The layouts, in an order in which every struct names an already known
# layout (not required: "struct:" names are only resolved when a message is
# encoded or decoded).
LAYOUTS: list[tuple[str, list[tuple[str, str]]]] = [
    ("example/Header", [("stamp", "time"), ("frame_id", "string")]),
    ("example/Point", [("x", "float64"), ("y", "float64"), ("z", "float64")]),
    ("example/Vector3", [("x", "float64"), ("y", "float64"), ("z", "float64")]),
    (
        "example/Quaternion",
        [("x", "float64"), ("y", "float64"), ("z", "float64"), ("w", "float64")],
    ),
    (
        "example/Pose",
        [("position", "struct:example/Point"), ("orientation", "struct:example/Quaternion")],
    ),
    ("example/PoseStamped", [("header", "struct:example/Header"), ("pose", "struct:example/Pose")]),
    (
        "example/Imu",
        [
            ("header", "struct:example/Header"),
            ("orientation", "struct:example/Quaternion"),
            ("orientation_covariance", "array<float64>"),
            ("angular_velocity", "struct:example/Vector3"),
            ("angular_velocity_covariance", "array<float64>"),
            ("linear_acceleration", "struct:example/Vector3"),
            ("linear_acceleration_covariance", "array<float64>"),
        ],
    ),
    (
        "example/Image",
        [
            ("header", "struct:example/Header"),
            ("height", "uint32"),
            ("width", "uint32"),
            ("encoding", "string"),
            ("is_bigendian", "uint8"),
            ("step", "uint32"),
            ("data", "bytes"),
        ],
    ),
]

# Topic index (as stored in the file) -> (topic name, layout name, rate in Hz).
TOPICS: list[tuple[str, str, float]] = [
    ("/imu", "example/Imu", 200.0),
    ("/pose", "example/PoseStamped", 50.0),
    ("/camera/image_raw", "example/Image", 10.0),
]

IMAGE_WIDTH = 160
IMAGE_HEIGHT = 120


def register_layouts() -> None:
    for name, fields in LAYOUTS:
        if not km.schema_exists(name):
            km.register_schema(name, fields)


def header(t_ns: int, frame_id: str) -> Message:
    sec, nanosec = divmod(t_ns, 1_000_000_000)
    return {"stamp": {"sec": sec, "nanosec": nanosec}, "frame_id": frame_id}


def quaternion_from_yaw(yaw: float) -> Message:
    return {"x": 0.0, "y": 0.0, "z": math.sin(yaw / 2.0), "w": math.cos(yaw / 2.0)}


def imu_message(t_ns: int) -> Message:
    t = t_ns * 1e-9
    diagonal = [0.01, 0.0, 0.0, 0.0, 0.01, 0.0, 0.0, 0.0, 0.01]
    return {
        "header": header(t_ns, "imu_link"),
        "orientation": quaternion_from_yaw(0.1 * t),
        "orientation_covariance": diagonal,
        "angular_velocity": {"x": 0.001 * math.sin(t), "y": 0.0, "z": 0.1},
        "angular_velocity_covariance": diagonal,
        "linear_acceleration": {"x": 0.2 * math.cos(t), "y": 0.0, "z": 9.81},
        "linear_acceleration_covariance": diagonal,
    }


def pose_message(t_ns: int) -> Message:
    t = t_ns * 1e-9
    return {
        "header": header(t_ns, "map"),
        "pose": {
            "position": {"x": 2.0 * math.cos(0.1 * t), "y": 2.0 * math.sin(0.1 * t), "z": 0.0},
            "orientation": quaternion_from_yaw(0.1 * t + math.pi / 2.0),
        },
    }


def image_message(t_ns: int, frame: int) -> Message:
    step = 3 * IMAGE_WIDTH
    # A moving gradient: cheap to make, different in every frame.
    row = bytes((x + frame) % 256 for x in range(step))
    return {
        "header": header(t_ns, "camera_optical_frame"),
        "height": IMAGE_HEIGHT,
        "width": IMAGE_WIDTH,
        "encoding": "rgb8",
        "is_bigendian": 0,
        "step": step,
        "data": row * IMAGE_HEIGHT,
    }


def simulate(
    seconds: float, start_ns: int = 1_700_000_000 * 10**9
) -> Iterator[tuple[int, Message]]:
    """Yields (topic index, message) in time order for `seconds` of data."""
    imu_rate = TOPICS[0][2]
    period_ns = round(1e9 / imu_rate)
    pose_every = round(imu_rate / TOPICS[1][2])
    image_every = round(imu_rate / TOPICS[2][2])
    for tick in range(int(seconds * imu_rate)):
        t_ns = start_ns + tick * period_ns
        yield 0, imu_message(t_ns)
        if tick % pose_every == 0:
            yield 1, pose_message(t_ns)
        if tick % image_every == 0:
            yield 2, image_message(t_ns, tick // image_every)


def write_records(out: BinaryIO, stream: list[tuple[int, Message]]) -> int:
    """Encodes and writes every message; returns the number of bytes written."""
    written = out.write(MAGIC)
    for topic, message in stream:
        payload = km.serialize(TOPICS[topic][1], message)
        written += out.write(RECORD_HEADER.pack(topic, len(payload)))
        written += out.write(payload)
    return written


def read_records(source: BinaryIO) -> Iterator[tuple[int, Message]]:
    """Reads and decodes the records of a file written by write_records."""
    if source.read(len(MAGIC)) != MAGIC:
        raise ValueError("not a record file")
    while True:
        prefix = source.read(RECORD_HEADER.size)
        if not prefix:
            return
        if len(prefix) != RECORD_HEADER.size:
            raise ValueError("truncated record header")
        topic, length = RECORD_HEADER.unpack(prefix)
        payload = source.read(length)
        if len(payload) != length:
            raise ValueError("truncated record payload")
        yield topic, km.deserialize(TOPICS[topic][1], payload)


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Record simulated robot messages to a file of CDR records and replay it."
    )
    parser.add_argument(
        "--seconds", type=float, default=5.0, help="seconds of simulated data (default 5)"
    )
    parser.add_argument(
        "--keep",
        metavar="PATH",
        help="write the record file here and keep it (default: a temporary file)",
    )
    args = parser.parse_args()

    register_layouts()
    stream = list(simulate(args.seconds))
    if not stream:
        parser.error("--seconds is too short to produce any message")

    if args.keep:
        path = str(args.keep)
    else:
        handle, path = tempfile.mkstemp(suffix=".rec")
        os.close(handle)
    try:
        started = time.perf_counter()
        with open(path, "wb") as out:
            size = write_records(out, stream)
        write_seconds = time.perf_counter() - started

        started = time.perf_counter()
        with open(path, "rb") as source:
            replayed = list(read_records(source))
        read_seconds = time.perf_counter() - started
    finally:
        if not args.keep:
            os.unlink(path)

    if replayed != stream:
        raise SystemExit("replayed messages differ from the recorded ones")

    counts = [0] * len(TOPICS)
    for topic, _ in stream:
        counts[topic] += 1
    for (name, layout, rate), count in zip(TOPICS, counts):
        print(f"{name:<20} {layout:<20} {rate:6.0f} Hz {count:7d} messages")
    total = len(stream)
    megabytes = size / 1e6
    print(f"file: {size} bytes in {total} records" + (f" at {path}" if args.keep else ""))
    print(
        f"encode + write: {write_seconds * 1e3:8.2f} ms  "
        f"{total / write_seconds:10.0f} msg/s  {megabytes / write_seconds:8.1f} MB/s"
    )
    print(
        f"read + decode:  {read_seconds * 1e3:8.2f} ms  "
        f"{total / read_seconds:10.0f} msg/s  {megabytes / read_seconds:8.1f} MB/s"
    )
    print("replay matches the recording")


if __name__ == "__main__":
    main()
