"""Open ROS 2 recordings and read their topics, without a ROS install.

    pip install korvex-messages[recordings] mcap-ros2-support
    python examples/ros2_recording.py [--keep DIR]

It records a few seconds of a robot's pose, twice: into an MCAP file with
mcap-ros2-support's writer (zstd chunks, as `ros2 bag record` writes them),
then copies its messages into an MCAP file whose schema text is empty, as a
recorder that stores no definitions leaves it.  It reads the first with
`ros2.open_recording`, then the second, which needs the definition passed
with `types=`.  The definitions stay with each recording: the process's own
registry is the same afterwards.
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path
from typing import Any

from mcap.reader import make_reader
from mcap.writer import CompressionType
from mcap.writer import Writer as McapWriter
from mcap_ros2.writer import Writer

from korvex_messages import ros2

POSE_2D = "float64 x\nfloat64 y\nfloat64 theta\n"
START = 1_700_000_000_000_000_000


def finish(writer: Any) -> None:
    """Writes the file's summary and footer (mcap's finish() is not typed)."""
    writer.finish()


def record(path: Path) -> None:
    with path.open("wb") as stream:
        writer = Writer(stream, compression=CompressionType.ZSTD)
        schema = writer.register_msgdef("turtlesim/msg/Pose2D", POSE_2D)
        for step in range(50):
            pose = {"x": step * 0.1, "y": 1.0, "theta": step * 0.01}
            t = START + step * 100_000_000
            writer.write_message("/pose", schema, pose, log_time=t, publish_time=t)
        finish(writer)


def copy_without_definitions(source: Path, target: Path) -> None:
    """The same messages, under a schema whose text is empty."""
    with source.open("rb") as stream, target.open("wb") as out:
        writer = McapWriter(out)
        writer.start(profile="ros2")
        schema = writer.register_schema("turtlesim/msg/Pose2D", "ros2msg", b"")
        channel = writer.register_channel("/pose", "cdr", schema)
        for _, _, message in make_reader(stream).iter_messages():
            writer.add_message(channel, message.log_time, message.data, message.publish_time)
        finish(writer)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--keep", type=Path, help="write the recordings here and keep them")
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = arguments.keep or Path(scratch)
        before = ros2.registered()

        full = folder / "poses.mcap"
        record(full)
        with ros2.open_recording(full) as recording:
            (topic,) = recording.topics
            assert topic.start is not None and topic.end is not None
            print(f"{full.name}: {topic.name} {topic.type} x{topic.message_count},",
                  f"{(topic.end - topic.start) / 1e9:.1f} s")  # fmt: skip
            window = list(recording.messages(start=START + 10**9, end=START + 2 * 10**9))
            print(f"second 1 to 2: {len(window)} poses, first x={window[0][2]['x']:.1f}")

        bare = folder / "bare.mcap"
        copy_without_definitions(full, bare)
        try:
            ros2.open_recording(bare)
        except ros2.MissingDefinitionsError as error:
            print("without definitions:", str(error).splitlines()[1].strip())
        with ros2.open_recording(bare, types={"turtlesim/msg/Pose2D": POSE_2D}) as recording:
            last = list(recording.messages())[-1]
            print(f"{bare.name} with types=: last pose theta={last[2]['theta']:.2f}")
        print("registry unchanged:", ros2.registered() == before)


if __name__ == "__main__":
    main()
