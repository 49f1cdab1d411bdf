"""A batch of ROS 2 messages as one Arrow table, then as pandas and pyarrow.

    pip install 'korvex-messages[arrow]'
    python examples/ros2_table.py [--count N]

It registers sensor_msgs/msg/Imu from its `.msg` text (as a recording stores
it), makes N messages with `ros2.serialize`, alternately little- and
big-endian as a recorder on another machine would, and decodes them in one
call: `ros2.decode_table` writes every value straight into Arrow columns,
which pyarrow, polars, pandas and DuckDB then read without a copy.
"""

from __future__ import annotations

import argparse
import math
import struct

from korvex_messages import ros2

SEPARATOR = "=" * 80
IMU = "\n".join(
    [
        "std_msgs/Header header",
        "geometry_msgs/Quaternion orientation",
        "float64[9] orientation_covariance",
        "geometry_msgs/Vector3 angular_velocity",
        "float64[9] angular_velocity_covariance",
        "geometry_msgs/Vector3 linear_acceleration",
        "float64[9] linear_acceleration_covariance",
        SEPARATOR,
        "MSG: std_msgs/Header",
        "builtin_interfaces/Time stamp",
        "string frame_id",
        SEPARATOR,
        "MSG: builtin_interfaces/Time",
        "int32 sec",
        "uint32 nanosec",
        SEPARATOR,
        "MSG: geometry_msgs/Quaternion",
        "float64 x",
        "float64 y",
        "float64 z",
        "float64 w",
        SEPARATOR,
        "MSG: geometry_msgs/Vector3",
        "float64 x",
        "float64 y",
        "float64 z",
    ]
)


def reading(index: int) -> dict[str, object]:
    """The index-th IMU reading of a slow turn at 100 Hz."""
    angle = index / 100.0
    vector = {"x": math.cos(angle), "y": math.sin(angle), "z": 9.81}
    return {
        "header": {
            "stamp": {"sec": index // 100, "nanosec": index % 100 * 10_000_000},
            "frame_id": "imu",
        },
        "orientation": {"x": 0.0, "y": 0.0, "z": math.sin(angle / 2), "w": math.cos(angle / 2)},
        "orientation_covariance": [0.0] * 9,
        "angular_velocity": {"x": 0.0, "y": 0.0, "z": 1.0},
        "angular_velocity_covariance": [0.0] * 9,
        "linear_acceleration": vector,
        "linear_acceleration_covariance": [0.0] * 9,
    }


def big_endian(data: bytes) -> bytes:
    """The same message as a big-endian machine writes it (only for this
    type, whose values are all 4- and 8-byte numbers after the frame_id)."""
    message = ros2.deserialize("sensor_msgs/msg/Imu", data)
    stamp = message["header"]["stamp"]
    frame = message["header"]["frame_id"].encode() + b"\0"
    out = bytearray(b"\x00\x00\x00\x00")
    out += struct.pack(">iI", stamp["sec"], stamp["nanosec"])
    out += struct.pack(">I", len(frame)) + frame
    out += b"\0" * (-(len(out) - 4) % 8)
    numbers: list[float] = []
    for field in ("orientation", "angular_velocity", "linear_acceleration"):
        numbers += list(message[field].values())
        numbers += message[f"{field}_covariance"]
    out += struct.pack(f">{len(numbers)}d", *numbers)
    return bytes(out)


def main() -> None:
    parser = argparse.ArgumentParser(description="A batch of ROS 2 messages as one Arrow table")
    parser.add_argument("--count", type=int, default=1000)
    count = parser.parse_args().count

    ros2.register_msg("sensor_msgs/msg/Imu", IMU)
    little = [ros2.serialize("sensor_msgs/msg/Imu", reading(i)) for i in range(count)]
    batch = [big_endian(data) if i % 2 else data for i, data in enumerate(little)]

    table = ros2.decode_table("sensor_msgs/msg/Imu", batch, flatten=True)
    print(table)

    frame = table.to_pandas()
    print(frame[["header.stamp.sec", "linear_acceleration.x", "linear_acceleration.y"]].describe())

    arrow = table.to_pyarrow()
    # Both byte orders read as the same values.
    assert arrow.equals(ros2.decode_table("sensor_msgs/msg/Imu", little, flatten=True).to_pyarrow())
    assert arrow.num_rows == count
    print(f"decoded {count} messages into {arrow.num_columns} columns")


if __name__ == "__main__":
    main()
