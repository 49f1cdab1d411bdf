"""Standard ROS 2 message layouts, written once for the tests and the benchmark.

Each is the ROS 2 message of that name (its package in the comment above
it) in this module's type names: ordered ``(field, type name)`` pairs, with
``struct:X`` naming another entry of `ROS2`, so that a user registers them
under names of their own (tests/test_interop.py under a per-run prefix,
bench/workloads.py in its package).  The module has no fixed-length arrays:
the few that ROS 2 declares (the covariances of Imu, PoseWithCovariance and
TwistWithCovariance) are sequences here, so the peers are given the same
layout as sequences too (bench/contenders/ros_msg.py) rather than ROS 2's
own definitions.
"""

from tests.support import cdr

ROS2 = {
    # std_msgs
    "Header": [("stamp", "time"), ("frame_id", "string")],
    "Float64": [("data", "float64")],
    "MultiArrayDimension": [("label", "string"), ("size", "uint32"), ("stride", "uint32")],
    "MultiArrayLayout": [("dim", "array<struct:MultiArrayDimension>"), ("data_offset", "uint32")],
    "Int32MultiArray": [("layout", "struct:MultiArrayLayout"), ("data", "array<int32>")],
    "Int64MultiArray": [("layout", "struct:MultiArrayLayout"), ("data", "array<int64>")],
    "Float32MultiArray": [("layout", "struct:MultiArrayLayout"), ("data", "array<float32>")],
    # geometry_msgs
    "Point": [("x", "float64"), ("y", "float64"), ("z", "float64")],
    "Point32": [("x", "float32"), ("y", "float32"), ("z", "float32")],
    "Vector3": [("x", "float64"), ("y", "float64"), ("z", "float64")],
    "Quaternion": [("x", "float64"), ("y", "float64"), ("z", "float64"), ("w", "float64")],
    "Pose": [("position", "struct:Point"), ("orientation", "struct:Quaternion")],
    "PoseStamped": [("header", "struct:Header"), ("pose", "struct:Pose")],
    "PoseWithCovariance": [("pose", "struct:Pose"), ("covariance", "array<float64>")],
    "Polygon": [("points", "array<struct:Point32>")],
    "PolygonStamped": [("header", "struct:Header"), ("polygon", "struct:Polygon")],
    "Transform": [("translation", "struct:Vector3"), ("rotation", "struct:Quaternion")],
    "TransformStamped": [
        ("header", "struct:Header"),
        ("child_frame_id", "string"),
        ("transform", "struct:Transform"),
    ],
    "Twist": [("linear", "struct:Vector3"), ("angular", "struct:Vector3")],
    "TwistWithCovariance": [("twist", "struct:Twist"), ("covariance", "array<float64>")],
    # sensor_msgs
    "Image": [
        ("header", "struct:Header"),
        ("height", "uint32"),
        ("width", "uint32"),
        ("encoding", "string"),
        ("is_bigendian", "uint8"),
        ("step", "uint32"),
        ("data", "bytes"),
    ],
    "Imu": [
        ("header", "struct:Header"),
        ("orientation", "struct:Quaternion"),
        ("orientation_covariance", "array<float64>"),
        ("angular_velocity", "struct:Vector3"),
        ("angular_velocity_covariance", "array<float64>"),
        ("linear_acceleration", "struct:Vector3"),
        ("linear_acceleration_covariance", "array<float64>"),
    ],
    "ChannelFloat32": [("name", "string"), ("values", "array<float32>")],
    "PointCloud": [
        ("header", "struct:Header"),
        ("points", "array<struct:Point32>"),
        ("channels", "array<struct:ChannelFloat32>"),
    ],
    "PointField": [
        ("name", "string"),
        ("offset", "uint32"),
        ("datatype", "uint8"),
        ("count", "uint32"),
    ],
    "PointCloud2": [
        ("header", "struct:Header"),
        ("height", "uint32"),
        ("width", "uint32"),
        ("fields", "array<struct:PointField>"),
        ("is_bigendian", "bool"),
        ("point_step", "uint32"),
        ("row_step", "uint32"),
        ("data", "bytes"),
        ("is_dense", "bool"),
    ],
    "LaserScan": [
        ("header", "struct:Header"),
        ("angle_min", "float32"),
        ("angle_max", "float32"),
        ("angle_increment", "float32"),
        ("time_increment", "float32"),
        ("scan_time", "float32"),
        ("range_min", "float32"),
        ("range_max", "float32"),
        ("ranges", "array<float32>"),
        ("intensities", "array<float32>"),
    ],
    # nav_msgs
    "Odometry": [
        ("header", "struct:Header"),
        ("child_frame_id", "string"),
        ("pose", "struct:PoseWithCovariance"),
        ("twist", "struct:TwistWithCovariance"),
    ],
    # tf2_msgs
    "TFMessage": [("transforms", "array<struct:TransformStamped>")],
    # diagnostic_msgs
    "KeyValue": [("key", "string"), ("value", "string")],
    "DiagnosticStatus": [
        ("level", "uint8"),
        ("name", "string"),
        ("message", "string"),
        ("hardware_id", "string"),
        ("values", "array<struct:KeyValue>"),
    ],
    "DiagnosticArray": [("header", "struct:Header"), ("status", "array<struct:DiagnosticStatus>")],
}


def with_dependencies(*names):
    """The named layouts of `ROS2` and every layout they refer to, each once,
    as a new {name: fields} (the named ones first, in the order given)."""
    out = {}
    pending = list(names)
    while pending:
        name = pending.pop(0)
        if name in out:
            continue
        out[name] = list(ROS2[name])
        for _, type_name in out[name]:
            t = cdr.parse_type(type_name)
            if t.leaf == "struct":
                pending.append(t.struct)
    return out
