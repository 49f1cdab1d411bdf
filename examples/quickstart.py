"""Write a small ROS 2 recording with this package's encoder, open it, show
its topics and one topic as a table, and export that topic to Parquet.

    pip install . pyarrow
    python examples/quickstart.py [--keep DIR]

The recording is a rosbag2 sqlite3 file (`.db3`) in rosbag2's own table
layout, written with the standard library's sqlite3: two topics, an IMU at
100 Hz and a status string at 1 Hz, for two seconds, each message encoded by
`ros2.serialize` and each type's `.msg` definition stored in the file, as
rosbag2 (Iron and later) stores it.  Reading needs no ROS install.
"""

from __future__ import annotations

import argparse
import importlib
import sqlite3
import tempfile
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from korvex_messages import ros2

SEPARATOR = "=" * 80
# sensor_msgs/msg/Imu followed by the types it uses, the concatenated form
# that rosbag2 and MCAP store.
IMU = f"""std_msgs/Header header
geometry_msgs/Quaternion orientation
float64[9] orientation_covariance
geometry_msgs/Vector3 angular_velocity
float64[9] angular_velocity_covariance
geometry_msgs/Vector3 linear_acceleration
float64[9] linear_acceleration_covariance
{SEPARATOR}
MSG: std_msgs/Header
builtin_interfaces/Time stamp
string frame_id
{SEPARATOR}
MSG: builtin_interfaces/Time
int32 sec
uint32 nanosec
{SEPARATOR}
MSG: geometry_msgs/Quaternion
float64 x
float64 y
float64 z
float64 w
{SEPARATOR}
MSG: geometry_msgs/Vector3
float64 x
float64 y
float64 z
"""
STRING = "string data\n"
TOPICS = [("/imu", "sensor_msgs/msg/Imu", IMU), ("/status", "std_msgs/msg/String", STRING)]
START = 1_700_000_000_000_000_000  # ns

# The tables of a rosbag2 sqlite3 file (schema version 4 and later).
TABLES = [
    "CREATE TABLE schema(schema_version INTEGER PRIMARY KEY, ros_distro TEXT NOT NULL)",
    "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL,"
    " serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL,"
    " type_description_hash TEXT NOT NULL)",
    "CREATE TABLE message_definitions(id INTEGER PRIMARY KEY, topic_type TEXT NOT NULL,"
    " encoding TEXT NOT NULL, encoded_message_definition TEXT NOT NULL,"
    " type_description_hash TEXT NOT NULL)",
    "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL,"
    " timestamp INTEGER NOT NULL, data BLOB NOT NULL)",
    "CREATE INDEX timestamp_idx ON messages (timestamp ASC)",
]


def imu(step: int, t: int) -> dict[str, Any]:
    vector = {"x": 0.0, "y": 0.0, "z": 0.0}
    return {
        "header": {"stamp": {"sec": t // 10**9, "nanosec": t % 10**9}, "frame_id": "imu_link"},
        "orientation": {"x": 0.0, "y": 0.0, "z": 0.0, "w": 1.0},
        "orientation_covariance": [0.0] * 9,
        "angular_velocity": {**vector, "z": 0.01 * step},
        "angular_velocity_covariance": [0.0] * 9,
        "linear_acceleration": {**vector, "z": 9.81},
        "linear_acceleration_covariance": [0.0] * 9,
    }


def write_db3(
    path: Path, topics: list[tuple[str, str, str]], rows: Iterable[tuple[int, int, bytes]]
) -> None:
    """A rosbag2 sqlite3 file: `topics` as (name, type, .msg text), numbered
    from 1, and `rows` as (topic number, log time in ns, CDR bytes)."""
    with sqlite3.connect(path) as db:
        for statement in TABLES:
            db.execute(statement)
        db.execute("INSERT INTO schema VALUES (4, 'jazzy')")
        for index, (topic, kind, text) in enumerate(topics, 1):
            db.execute("INSERT INTO topics VALUES (?, ?, ?, 'cdr', '', '')", (index, topic, kind))
            db.execute(
                "INSERT INTO message_definitions VALUES (?, ?, 'ros2msg', ?, '')",
                (index, kind, text),
            )
        db.executemany("INSERT INTO messages (topic_id, timestamp, data) VALUES (?, ?, ?)", rows)
    db.close()


def write_recording(path: Path, seconds: int = 2) -> None:
    """A rosbag2 `.db3` file of `seconds` of both topics."""
    for _, kind, text in TOPICS:
        ros2.register_msg(kind, text)  # the encoder's registry; the same text again is a no-op
    rows = []
    for step in range(100 * seconds):
        t = START + step * 10_000_000
        rows.append((1, t, ros2.serialize("sensor_msgs/msg/Imu", imu(step, t))))
        if step % 100 == 0:
            status = {"data": f"running for {step // 100} s"}
            rows.append((2, t, ros2.serialize("std_msgs/msg/String", status)))
    write_db3(path, TOPICS, rows)


def main() -> None:
    # pyarrow has no type information: imported by name, it is Any to mypy.
    parquet = importlib.import_module("pyarrow.parquet")

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--keep", type=Path, help="write the recording and the Parquet file here")
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = arguments.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / "run.db3"
        path.unlink(missing_ok=True)
        write_recording(path)

        with ros2.open_recording(path) as recording:
            for topic in recording.topics:
                print(f"{topic.name:8} {topic.type:20} {topic.message_count:4} messages")
            table = recording.table("/imu", flatten=True).to_pyarrow()
        print(table.select(["log_time", "header.frame_id", "linear_acceleration.z"]).slice(0, 3))

        out = folder / "imu.parquet"
        parquet.write_table(table, out)
        back = parquet.read_table(out)
        assert back.equals(table), "the Parquet file reads back differently"
        print(f"{out.name}: {back.num_rows} rows, {back.num_columns} columns")


if __name__ == "__main__":
    main()
