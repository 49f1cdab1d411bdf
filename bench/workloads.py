"""The benchmark's workloads: message layouts and the messages themselves.

Every layout is written once, in this module's own type names (the same
names `_korvex_messages.register_schema` takes), and each contender derives
its native description from it: ROS 2 `.msg` text for rosbags and
mcap-ros2-support, IDL dataclasses for pycdr2.  A message is built once as a
plain dict (the "logical" message); contenders convert it to their native
representation outside the timed region.

All message types live in the package `bench_msgs`, so `Header` is registered
as "bench_msgs/Header" with `_korvex_messages` and is `bench_msgs/msg/Header`
for rosbags.
"""

from __future__ import annotations

import array
import math
import random
import struct
from dataclasses import dataclass, field

from tests.support import cdr, layouts

PACKAGE = "bench_msgs"

# Every message type used by the workloads, as ordered (field, type) pairs:
# the standard ROS 2 ones (tests/support/layouts.py) and the benchmark's own.
# "time" is the module's built-in time type: int32 sec, uint32 nanosec.
TYPES: dict[str, list[tuple[str, str]]] = {
    **layouts.with_dependencies(
        "PoseStamped", "Imu", "TFMessage", "DiagnosticArray", "LaserScan", "Odometry"
    ),
    "PointXYZIR": [
        ("x", "float32"),
        ("y", "float32"),
        ("z", "float32"),
        ("intensity", "float32"),
        ("ring", "uint16"),
    ],
    "PointList": [("points", "array<struct:PointXYZIR>")],
    "FloatArray": [("values", "array<float32>")],
    "Blob": [("data", "bytes")],
    "Names": [("names", "array<string>")],
}

# Time is a built-in type of the module; peers see it as this message type.
TIME_FIELDS = list(cdr.TIME_FIELDS)
TIME_TYPE = "Time"


def qualified(short: str) -> str:
    """Schema name under which `_korvex_messages` knows a message type."""
    return f"{PACKAGE}/{short}"


def our_fields(short: str) -> list[tuple[str, str]]:
    """Fields of a message type as registered with `_korvex_messages`."""
    return [(name, t.replace("struct:", f"struct:{PACKAGE}/")) for name, t in fields_of(short)]


def struct_name(type_name: str) -> str | None:
    """Short name of the nested message of a "struct:" type, else None."""
    t = cdr.parse_type(type_name)
    return t.struct if t.leaf == "struct" and not t.depth else None


def element_type(type_name: str) -> str | None:
    """Element type of an "array<...>" type, else None."""
    t = cdr.parse_type(type_name)
    return t.element().name() if t.depth else None


def fields_of(short: str) -> list[tuple[str, str]]:
    if short == TIME_TYPE:
        return TIME_FIELDS
    return TYPES[short]


def dependencies(top: str) -> list[str]:
    """Message types reachable from `top`, `top` first, each listed once.

    The built-in time type appears as "Time" when a field uses it.
    """
    order: list[str] = []

    def visit(short: str) -> None:
        if short in order:
            return
        order.append(short)
        for _, type_name in fields_of(short):
            inner = type_name
            while element_type(inner) is not None:
                inner = element_type(inner)
            if inner == "time":
                visit(TIME_TYPE)
            elif struct_name(inner) is not None:
                visit(struct_name(inner))

    visit(top)
    return order


@dataclass
class Workload:
    key: str  # short id used on the command line and in the table: "1", "4a", ...
    title: str
    top: str  # short name of the message type
    message: dict = field(repr=False)
    # Fastest pure-Python ways to do the same job, beyond marshal and pickle,
    # as (label, encode, encode_arg, decode, decode_arg).
    extra_floors: list = field(default_factory=list, repr=False)

    @property
    def schema(self) -> str:
        return qualified(self.top)


def float32_values(rng: random.Random, n: int, scale: float = 100.0) -> list[float]:
    """n floats that survive a round trip through float32 unchanged."""
    raw = array.array("f", (rng.uniform(-scale, scale) for _ in range(n)))
    return raw.tolist()


def _stamp(rng: random.Random) -> dict:
    return {"sec": 1_700_000_000 + rng.randrange(100_000), "nanosec": rng.randrange(1_000_000_000)}


def build_pose_stamped(rng: random.Random) -> dict:
    return {
        "header": {"stamp": _stamp(rng), "frame_id": "base_link"},
        "pose": {
            "position": {
                "x": rng.uniform(-50, 50),
                "y": rng.uniform(-50, 50),
                "z": rng.uniform(0, 3),
            },
            "orientation": {"x": 0.0, "y": 0.0, "z": 0.3826834323650898, "w": 0.9238795325112867},
        },
    }


def build_imu(rng: random.Random) -> dict:
    def vec() -> dict:
        return {"x": rng.gauss(0, 1), "y": rng.gauss(0, 1), "z": rng.gauss(0, 9.81)}

    def cov() -> list[float]:
        return [rng.uniform(0, 0.01) if i % 4 == 0 else 0.0 for i in range(9)]

    return {
        "header": {"stamp": _stamp(rng), "frame_id": "imu_link"},
        "orientation": {"x": 0.01, "y": -0.02, "z": 0.7, "w": 0.71},
        "orientation_covariance": cov(),
        "angular_velocity": vec(),
        "angular_velocity_covariance": cov(),
        "linear_acceleration": vec(),
        "linear_acceleration_covariance": cov(),
    }


def build_point_list(rng: random.Random, n: int = 10_000) -> dict:
    xs = float32_values(rng, 4 * n, 80.0)
    return {
        "points": [
            {
                "x": xs[4 * i],
                "y": xs[4 * i + 1],
                "z": xs[4 * i + 2],
                "intensity": abs(xs[4 * i + 3]),
                "ring": i % 32,
            }
            for i in range(n)
        ]
    }


def build_float_array(rng: random.Random, n: int = 100_000) -> dict:
    return {"values": float32_values(rng, n)}


def build_blob(rng: random.Random, n: int = 1 << 20) -> dict:
    return {"data": rng.randbytes(n)}


def build_names(rng: random.Random, n: int = 1_000) -> dict:
    stems = ["joint", "wheel", "arm/link", "camera_", "lidar", "gripper.finger", "base"]
    return {"names": [f"{rng.choice(stems)}_{i}" for i in range(n)]}


# `value` rounded to the nearest float32, as a Python float.
f32 = cdr.narrow32


def _unit_quaternion(rng: random.Random) -> dict:
    x, y, z, w = (rng.gauss(0, 1) for _ in range(4))
    norm = math.sqrt(x * x + y * y + z * z + w * w) or 1.0
    return {"x": x / norm, "y": y / norm, "z": z / norm, "w": w / norm}


def build_tf(rng: random.Random, n: int = 50) -> dict:
    """A TF message of `n` transforms: a robot's links, each under its parent."""
    parts = [
        "base_link",
        "torso",
        "head",
        "camera_link",
        "imu_link",
        "laser",
        "arm_shoulder",
        "arm_elbow",
        "arm_wrist",
        "gripper",
    ]
    stamp = _stamp(rng)
    transforms = []
    for i in range(n):
        child = f"{rng.choice(parts)}_{i}"
        parent = "odom" if i == 0 else transforms[rng.randrange(i)]["child_frame_id"]
        transforms.append(
            {
                "header": {"stamp": dict(stamp), "frame_id": parent},
                "child_frame_id": child,
                "transform": {
                    "translation": {
                        "x": rng.uniform(-1, 1),
                        "y": rng.uniform(-1, 1),
                        "z": rng.uniform(0, 2),
                    },
                    "rotation": _unit_quaternion(rng),
                },
            }
        )
    return {"transforms": transforms}


def build_diagnostics(rng: random.Random, n: int = 20, pairs: int = 8) -> dict:
    """A diagnostics array: `n` statuses of `pairs` key/value strings each."""
    devices = ["motor_driver", "battery", "lidar", "camera", "imu", "wheel_encoder", "cpu"]
    messages = ["OK", "Temperature rising", "Voltage low", "Stale", "Running"]
    keys = [
        "temperature",
        "voltage",
        "current",
        "uptime",
        "firmware",
        "errors",
        "frequency",
        "load",
    ]
    statuses = []
    for i in range(n):
        device = rng.choice(devices)
        statuses.append(
            {
                "level": rng.randrange(4),
                "name": f"/robot/{device}/{i}",
                "message": rng.choice(messages),
                "hardware_id": f"can0/node{rng.randrange(64)}",
                "values": [
                    {"key": keys[k % len(keys)], "value": f"{rng.uniform(0, 100):.2f}"}
                    for k in range(pairs)
                ],
            }
        )
    return {"header": {"stamp": _stamp(rng), "frame_id": ""}, "status": statuses}


def build_laser_scan(rng: random.Random, n: int = 1_080) -> dict:
    """A 270-degree scan of `n` beams, every float a float32."""
    angle_min = f32(-3 * math.pi / 4)
    angle_max = f32(3 * math.pi / 4)
    return {
        "header": {"stamp": _stamp(rng), "frame_id": "laser"},
        "angle_min": angle_min,
        "angle_max": angle_max,
        "angle_increment": f32((angle_max - angle_min) / (n - 1)),
        "time_increment": f32(1 / 40 / n),
        "scan_time": f32(1 / 40),
        "range_min": f32(0.05),
        "range_max": f32(30.0),
        "ranges": [f32(rng.uniform(0.05, 30.0)) for _ in range(n)],
        "intensities": [f32(rng.uniform(0, 4000)) for _ in range(n)],
    }


def build_odometry(rng: random.Random) -> dict:
    def covariance() -> list[float]:
        return [rng.uniform(0, 0.05) if i % 7 == 0 else 0.0 for i in range(36)]

    def vec() -> dict:
        return {"x": rng.gauss(0, 1), "y": rng.gauss(0, 1), "z": rng.gauss(0, 0.1)}

    return {
        "header": {"stamp": _stamp(rng), "frame_id": "odom"},
        "child_frame_id": "base_link",
        "pose": {
            "pose": {
                "position": {"x": rng.uniform(-50, 50), "y": rng.uniform(-50, 50), "z": 0.0},
                "orientation": _unit_quaternion(rng),
            },
            "covariance": covariance(),
        },
        "twist": {"twist": {"linear": vec(), "angular": vec()}, "covariance": covariance()},
    }


def _float_array_floor() -> tuple:
    """array.array('f') between a list of floats and its raw bytes."""

    def encode(values, _array=array.array):
        return _array("f", values).tobytes()

    def decode(raw, _array=array.array):
        return _array("f", raw).tolist()

    return encode, decode


def _one_copy_floor() -> tuple:
    """What one copy of the payload costs each way, with a CDR-like prefix."""

    # The packer is bound once, as a default, so the timed call only looks it up locally.
    def encode(payload, _pack=struct.Struct("<4xI").pack):  # noqa: B008
        return b"".join((_pack(len(payload)), payload))

    def decode(raw):
        return raw[8:]

    return encode, decode


# key, title, message type, builder
_WORKLOADS = [
    ("1", "stamped pose", "PoseStamped", build_pose_stamped),
    ("2", "IMU-like", "Imu", build_imu),
    ("3", "point list: 10,000 x (4 x float32, uint16)", "PointList", build_point_list),
    ("4a", "array<float32> of 100,000", "FloatArray", build_float_array),
    ("4b", "bytes payload of 1 MiB", "Blob", build_blob),
    ("5", "array<string> of 1,000 short strings", "Names", build_names),
    ("6", "TF message: 50 stamped transforms", "TFMessage", build_tf),
    ("7", "diagnostics: 20 statuses x 8 key/value strings", "DiagnosticArray", build_diagnostics),
    ("8", "laser scan: 2 x 1,080 float32", "LaserScan", build_laser_scan),
    ("9", "odometry: poses and twists with 2 x 36 covariances", "Odometry", build_odometry),
]
KEYS = [entry[0] for entry in _WORKLOADS]


def build_all(seed: int = 5, keys=None) -> list[Workload]:
    """The workloads (all, or those whose key is in `keys`), in report order.

    Each message comes from its own seeded generator, so a workload is the
    same whether it is built alone or with the others.
    """
    workloads = [
        Workload(key, title, top, build(random.Random(f"{seed}/{key}")))
        for key, title, top, build in _WORKLOADS
        if keys is None or key in keys
    ]
    by_key = {w.key: w for w in workloads}

    if "4a" in by_key:
        enc, dec = _float_array_floor()
        values = by_key["4a"].message["values"]
        by_key["4a"].extra_floors.append(("array.array('f')", enc, values, dec, enc(values)))
    if "4b" in by_key:
        enc, dec = _one_copy_floor()
        payload = by_key["4b"].message["data"]
        by_key["4b"].extra_floors.append(("one copy", enc, payload, dec, enc(payload)))
    return workloads


# ---------------------------------------------------------------------------
# Reference layout, for checking contenders' bytes.
#
# `_korvex_messages` aligns every value to its size counting from the first
# byte of the 4-byte encapsulation header; the peers count from the end of
# it.  The two agree except for the padding before 8-byte values.  The
# reference model of the test suite produces either layout from a logical
# message, so both our bytes and a peer's can be checked exactly.
# ---------------------------------------------------------------------------

# Every message type in the reference model (time is its built-in type).
REGISTRY = cdr.parse_schemas(TYPES)


def reference_encode(top: str, message: dict, origin: int) -> bytes:
    """CDR bytes of `message` with alignment counted from byte `origin`."""
    return cdr.encode(top, message, REGISTRY, origin=origin)


def uses_8_byte_values(top: str) -> bool:
    """True when some value of the layout is 8-byte aligned."""
    for short in dependencies(top):
        for _, type_name in fields_of(short):
            inner = type_name
            while element_type(inner) is not None:
                inner = element_type(inner)
            if inner in cdr.FIXED and cdr.FIXED[inner][0] == 8:
                return True
    return False
