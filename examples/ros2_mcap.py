"""Read and write ROS 2 MCAP recordings as dicts, without a ROS install.

    pip install korvex-messages mcap mcap-ros2-support
    python examples/ros2_mcap.py [--keep DIR]

It makes its own recording first, with mcap-ros2-support's writer (as a ROS 2
recorder would: each channel's schema is the `.msg` text of its type with its
dependencies after it), then reads it back with `korvex_messages.ros2`'s
DecoderFactory, which registers each schema's text on first sight and
decodes every message to a dict.  Then it writes a second file with mcap's
own writer and `ros2.serialize`, and reads that back in numpy mode.
"""

from __future__ import annotations

import argparse
import math
import tempfile
from pathlib import Path
from typing import Any

from mcap.reader import make_reader
from mcap.writer import Writer
from mcap_ros2.writer import Writer as Ros2Writer

from korvex_messages import ros2

SEPARATOR = "=" * 80
TIME = "int32 sec\nuint32 nanosec\n"
HEADER = "builtin_interfaces/Time stamp\nstring frame_id\n"
POINT = "float64 x\nfloat64 y\nfloat64 z\n"
QUATERNION = "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"


def with_dependencies(text: str, *dependencies: tuple[str, str]) -> str:
    """A type's text followed by its dependencies, as rosbag2 and MCAP store it."""
    parts = [text]
    for name, body in dependencies:
        parts.append(f"{SEPARATOR}\nMSG: {name}\n{body}")
    return "\n".join(parts)


POSE_STAMPED = with_dependencies(
    "std_msgs/Header header\ngeometry_msgs/Pose pose\n",
    ("std_msgs/Header", HEADER),
    ("builtin_interfaces/Time", TIME),
    ("geometry_msgs/Pose", "Point position\nQuaternion orientation\n"),
    ("geometry_msgs/Point", POINT),
    ("geometry_msgs/Quaternion", QUATERNION),
)
LASER_SCAN = with_dependencies(
    "std_msgs/Header header\n"
    "float32 angle_min\nfloat32 angle_max\nfloat32 angle_increment\n"
    "float32 time_increment\nfloat32 scan_time\nfloat32 range_min\nfloat32 range_max\n"
    "float32[] ranges\nfloat32[] intensities\n",
    ("std_msgs/Header", HEADER),
    ("builtin_interfaces/Time", TIME),
)


def pose(step: int) -> dict[str, Any]:
    return {
        "header": {"stamp": {"sec": step, "nanosec": 500}, "frame_id": "odom"},
        "pose": {
            "position": {"x": float(step), "y": 2.0, "z": 0.0},
            "orientation": {"x": 0.0, "y": 0.0, "z": 0.0, "w": 1.0},
        },
    }


def scan(step: int) -> dict[str, Any]:
    return {
        "header": {"stamp": {"sec": step, "nanosec": 0}, "frame_id": "laser"},
        "angle_min": -math.pi,
        "angle_max": math.pi,
        "angle_increment": 2 * math.pi / 360,
        "time_increment": 0.0,
        "scan_time": 0.1,
        "range_min": 0.1,
        "range_max": 30.0,
        "ranges": [1.0 + (i % 10) / 4 for i in range(360)],
        "intensities": [100.0] * 360,
    }


def finish(writer: Any) -> None:
    """Writes the file's summary and footer (mcap's finish() is not typed)."""
    writer.finish()


def record_with_mcap_ros2(path: Path) -> None:
    with path.open("wb") as stream:
        writer = Ros2Writer(stream)
        schema = writer.register_msgdef("geometry_msgs/msg/PoseStamped", POSE_STAMPED)
        for step in range(3):
            writer.write_message("/pose", schema, pose(step), log_time=step, publish_time=step)
        finish(writer)


def record_with_korvex(path: Path) -> None:
    """mcap's writer, with the messages encoded by ros2.serialize."""
    ros2.register_msg("sensor_msgs/msg/LaserScan", LASER_SCAN)
    with path.open("wb") as stream:
        writer = Writer(stream)
        writer.start()
        schema_id = writer.register_schema(
            name="sensor_msgs/msg/LaserScan", encoding="ros2msg", data=LASER_SCAN.encode()
        )
        channel_id = writer.register_channel("/scan", message_encoding="cdr", schema_id=schema_id)
        for step in range(2):
            data = ros2.serialize("sensor_msgs/msg/LaserScan", scan(step))
            writer.add_message(channel_id, log_time=step, data=data, publish_time=step)
        finish(writer)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", type=Path, help="write the two files into this folder")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)

        poses = folder / "poses.mcap"
        record_with_mcap_ros2(poses)
        with poses.open("rb") as stream:
            reader = make_reader(stream, decoder_factories=[ros2.DecoderFactory()])
            decoded = [message for _, _, _, message in reader.iter_decoded_messages()]
        assert decoded == [pose(step) for step in range(3)]
        print(f"{poses.name}: {len(decoded)} PoseStamped read back as dicts, e.g.")
        print(f"  {decoded[-1]}")

        scans = folder / "scans.mcap"
        record_with_korvex(scans)
        with scans.open("rb") as stream:
            reader = make_reader(stream, decoder_factories=[ros2.DecoderFactory(numpy=True)])
            for _, channel, _, message in reader.iter_decoded_messages():
                ranges = message["ranges"]
                print(
                    f"{scans.name}: {channel.topic} ranges as numpy {ranges.dtype}"
                    f" {ranges.shape}, max {ranges.max():.2f}"
                )
        print("ROS 2 MCAP round trip ok")


if __name__ == "__main__":
    main()
