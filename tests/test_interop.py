"""Byte-level interoperability with an independent CDR implementation (rosbags).

For layouts whose values are all 1-, 2- or 4-byte aligned the two encoders
must produce identical bytes, and each side must read the other's bytes back
to the same values.

For layouts with 8-byte values (int64, uint64, float64) the two differ in one
known way: `_korvex_messages` counts alignment from the first byte of the
00 01 00 00 encapsulation header, rosbags (like ROS 2's own middleware)
counts from the end of it. The bytes are identical up to the padding in
front of the first 8-byte value; there one side has exactly four more zero
bytes, and everything after is identical again. Which side is longer depends
on the absolute offset P at which that padding starts: ours when P % 8 is
1, 2, 3 or 4, the peer's when it is 5, 6, 7 or 0.
"""

import itertools
import math
import struct
import uuid

import pytest

np = pytest.importorskip("numpy")
typesys = pytest.importorskip("rosbags.typesys")

import _korvex_messages as km  # noqa: E402
from tests.support import layouts  # noqa: E402
from tests.support.cdr import narrow32  # noqa: E402

Nodetype = pytest.importorskip("rosbags.interfaces").Nodetype
SerdeError = pytest.importorskip("rosbags.serde").SerdeError


f32 = narrow32  # the float32 nearest to a value, as a Python float


# ---------------------------------------------------------------------------
# Layouts on our side: the standard ROS 2 ones (tests/support/layouts.py) and
# this module's own. "struct:X" names another entry of this table; the
# fixture registers everything under a per-run prefix.

OUR_SCHEMAS = {
    **layouts.with_dependencies(
        "Image",
        "Int32MultiArray",
        "Float32MultiArray",
        "PolygonStamped",
        "PointCloud",
        "LaserScan",
        "PointCloud2",
        "Float64",
        "PoseStamped",
        "Int64MultiArray",
    ),
    # ROS 2's String and CompressedImage, spelled with the ros_ aliases.
    "String": [("data", "ros_string")],
    "CompressedImage": [("header", "struct:Header"), ("format", "string"), ("data", "ros_bytes")],
    "Mixed": [
        ("flag", "bool"),
        ("a", "int8"),
        ("b", "uint8"),
        ("c", "int16"),
        ("d", "uint16"),
        ("e", "int32"),
        ("f", "uint32"),
        ("g", "float32"),
        ("s", "string"),
        ("tail", "bool"),
    ],
    "Inner": [("code", "uint16"), ("label", "string")],
    "Outer": [
        ("tag", "uint8"),
        ("inner", "struct:Inner"),
        ("inners", "array<struct:Inner>"),
        ("timeout", "duration"),
        ("names", "array<string>"),
        ("last", "int8"),
    ],
    "Lists": [
        ("ints", "array<int32>"),
        ("floats", "array<float32>"),
        ("names", "array<string>"),
        ("blob", "bytes"),
        ("shorts", "array<int16>"),
        ("flags", "array<bool>"),
        ("grid", "array<array<uint16>>"),
    ],
    # Layouts with 8-byte values.
    "SeqValue": [("seq", "uint32"), ("value", "float64")],
    "ByteThenDoubles": [("a", "uint8"), ("v", "array<float64>"), ("b", "uint8")],
}

# Peer definitions for the layouts ROS 2 does not ship (ROS .msg syntax).
PEER_MSGS = {
    "korvex_interop/msg/Mixed": """
        bool flag
        int8 a
        uint8 b
        int16 c
        uint16 d
        int32 e
        uint32 f
        float32 g
        string s
        bool tail
    """,
    "korvex_interop/msg/Inner": "uint16 code\nstring label\n",
    "korvex_interop/msg/Row": "uint16[] values\n",
    "korvex_interop/msg/Outer": """
        uint8 tag
        korvex_interop/Inner inner
        korvex_interop/Inner[] inners
        builtin_interfaces/Duration timeout
        string[] names
        int8 last
    """,
    "korvex_interop/msg/Lists": """
        int32[] ints
        float32[] floats
        string[] names
        uint8[] blob
        int16[] shorts
        bool[] flags
        korvex_interop/Row[] grid
    """,
    "korvex_interop/msg/SeqValue": "uint32 seq\nfloat64 value\n",
    "korvex_interop/msg/ByteThenDoubles": "uint8 a\nfloat64[] v\nuint8 b\n",
}


@pytest.fixture(scope="module")
def peer():
    store = typesys.get_typestore(typesys.Stores.ROS2_HUMBLE)
    for name, text in PEER_MSGS.items():
        store.register(
            typesys.get_types_from_msg(
                "\n".join(line.strip() for line in text.strip().splitlines()), name
            )
        )
    return store


# The registry is process-wide: keep this module's schema names apart.
PREFIX = f"interop_{uuid.uuid4().hex[:8]}/"


@pytest.fixture(scope="module")
def ours():
    """Registers OUR_SCHEMAS under PREFIX; returns name -> registered name."""
    names = {name: PREFIX + name for name in OUR_SCHEMAS}

    def rename(type_name):
        head, marker, tail = type_name.partition("struct:")
        if not marker:
            return type_name
        target = tail.rstrip(">")
        return f"{head}struct:{names[target]}{tail[len(target) :]}"

    for name, fields in OUR_SCHEMAS.items():
        km.register_schema(names[name], [(field, rename(kind)) for field, kind in fields])
    yield names
    for registered in names.values():
        if km.schema_exists(registered):
            km.unregister_schema(registered)


# ---------------------------------------------------------------------------
# Conversion between our dict values and the peer's message objects, driven
# by the peer's own field definitions. A uint8[] sequence is a `bytes` value
# on our side; the element lists of other primitive sequences are numpy
# arrays on the peer's side.


def to_peer(store, typename, value):
    _, fields = store.fielddefs[typename]
    return store.types[typename](
        **{
            name: _to_peer_value(store, nodetype, detail, value[name])
            for name, (nodetype, detail) in fields
        }
    )


def _to_peer_value(store, nodetype, detail, value):
    if nodetype == Nodetype.BASE:
        return value
    if nodetype == Nodetype.NAME:
        return to_peer(store, detail, value)
    assert nodetype == Nodetype.SEQUENCE, (nodetype, detail)
    (element_nodetype, element_detail), _bound = detail
    if element_nodetype == Nodetype.BASE and element_detail[0] != "string":
        if element_detail[0] == "uint8" and isinstance(value, bytes):
            return np.frombuffer(value, dtype=np.uint8)
        with np.errstate(over="ignore"):  # float32 overflow to infinity is intended
            return np.array(value, dtype=element_detail[0])
    return [_to_peer_value(store, element_nodetype, element_detail, item) for item in value]


def from_peer(store, typename, message):
    _, fields = store.fielddefs[typename]
    return {
        name: _from_peer_value(store, nodetype, detail, getattr(message, name))
        for name, (nodetype, detail) in fields
    }


def _from_peer_value(store, nodetype, detail, value):
    if nodetype == Nodetype.BASE:
        return value.item() if isinstance(value, np.generic) else value
    if nodetype == Nodetype.NAME:
        return from_peer(store, detail, value)
    (element_nodetype, element_detail), _bound = detail
    if element_nodetype == Nodetype.BASE and element_detail[0] == "uint8":
        return bytes(value)
    if isinstance(value, np.ndarray):
        return value.tolist()
    return [_from_peer_value(store, element_nodetype, element_detail, item) for item in value]


def peer_bytes(store, typename, value):
    # rosbags writes the host's byte order unless told; our bytes are
    # little-endian on every host.
    return bytes(store.serialize_cdr(to_peer(store, typename, value), typename, little_endian=True))


def hexdump(data):
    return " ".join(f"{byte:02x}" for byte in data)


# ---------------------------------------------------------------------------
# Layouts with values of at most 4-byte alignment: identical bytes.


def header(frame_id="base_link", sec=1_700_000_000, nanosec=123_456_789):
    return {"stamp": {"sec": sec, "nanosec": nanosec}, "frame_id": frame_id}


DIMS = [{"label": "rows", "size": 2, "stride": 6}, {"label": "cols", "size": 3, "stride": 3}]

ALIGNED_CASES = [
    pytest.param("Header", "std_msgs/msg/Header", header(), id="header"),
    pytest.param(
        "Header",
        "std_msgs/msg/Header",
        header("", sec=-(2**31), nanosec=2**32 - 1),
        id="header-extremes",
    ),
    pytest.param(
        "Header", "std_msgs/msg/Header", header("kamera_vorn_ü_✓"), id="header-non-ascii-frame"
    ),
    pytest.param("String", "std_msgs/msg/String", {"data": "hello"}, id="string"),
    pytest.param("String", "std_msgs/msg/String", {"data": ""}, id="string-empty"),
    pytest.param("String", "std_msgs/msg/String", {"data": "ünïcödé ✓ 日本語"}, id="string-utf8"),
    pytest.param(
        "Image",
        "sensor_msgs/msg/Image",
        {
            "header": header("camera"),
            "height": 2,
            "width": 3,
            "encoding": "rgb8",
            "is_bigendian": 0,
            "step": 9,
            "data": bytes(range(18)),
        },
        id="image-rgb8",
    ),
    pytest.param(
        "Image",
        "sensor_msgs/msg/Image",
        {
            "header": header("cam"),
            "height": 1,
            "width": 5,
            "encoding": "mono8",
            "is_bigendian": 1,
            "step": 5,
            "data": b"\x00\xff\x10\x20\x30",
        },
        id="image-odd-payload",
    ),
    pytest.param(
        "Image",
        "sensor_msgs/msg/Image",
        {
            "header": header(""),
            "height": 0,
            "width": 0,
            "encoding": "",
            "is_bigendian": 0,
            "step": 0,
            "data": b"",
        },
        id="image-empty",
    ),
    pytest.param(
        "CompressedImage",
        "sensor_msgs/msg/CompressedImage",
        {
            "header": header("cam"),
            "format": "jpeg",
            "data": b"\xff\xd8\xff\xe0" + bytes(7),
        },
        id="compressed-image",
    ),
    pytest.param(
        "Int32MultiArray",
        "std_msgs/msg/Int32MultiArray",
        {
            "layout": {"dim": DIMS, "data_offset": 0},
            "data": [-(2**31), -1, 0, 1, 2**31 - 1, 42],
        },
        id="int32-array-with-array-of-structs",
    ),
    pytest.param(
        "Int32MultiArray",
        "std_msgs/msg/Int32MultiArray",
        {
            "layout": {"dim": [], "data_offset": 7},
            "data": [],
        },
        id="int32-array-empty",
    ),
    pytest.param(
        "Float32MultiArray",
        "std_msgs/msg/Float32MultiArray",
        {
            "layout": {"dim": DIMS[:1], "data_offset": 3},
            "data": [f32(0.1), -2.5, math.inf, -math.inf, f32(1e-40), f32(3.4028234663852886e38)],
        },
        id="float32-array",
    ),
    pytest.param(
        "PolygonStamped",
        "geometry_msgs/msg/PolygonStamped",
        {
            "header": header("map"),
            "polygon": {
                "points": [
                    {"x": 0.0, "y": 0.0, "z": 0.0},
                    {"x": 1.5, "y": -2.25, "z": 0.0},
                    {"x": f32(0.3), "y": 4.0, "z": f32(-0.7)},
                ]
            },
        },
        id="nested-struct-with-array-of-structs",
    ),
    pytest.param(
        "PointCloud",
        "sensor_msgs/msg/PointCloud",
        {
            "header": header("lidar"),
            "points": [{"x": float(i), "y": f32(i / 3), "z": -float(i)} for i in range(4)],
            "channels": [
                {"name": "intensity", "values": [0.5, 1.0, 0.25, 0.0]},
                {"name": "", "values": []},
            ],
        },
        id="arrays-of-structs-holding-arrays",
    ),
    pytest.param(
        "LaserScan",
        "sensor_msgs/msg/LaserScan",
        {
            "header": header("laser"),
            "angle_min": -1.5,
            "angle_max": 1.5,
            "angle_increment": f32(0.01),
            "time_increment": f32(1e-5),
            "scan_time": f32(0.1),
            "range_min": f32(0.05),
            "range_max": 30.0,
            "ranges": [1.0, f32(2.7), math.inf, 0.0],
            "intensities": [],
        },
        id="laser-scan",
    ),
    pytest.param(
        "PointCloud2",
        "sensor_msgs/msg/PointCloud2",
        {
            "header": header("velodyne"),
            "height": 1,
            "width": 2,
            "fields": [
                {"name": n, "offset": 4 * i, "datatype": 7, "count": 1}
                for i, n in enumerate(["x", "y", "z"])
            ]
            + [{"name": "ring", "offset": 12, "datatype": 4, "count": 1}],
            "is_bigendian": False,
            "point_step": 14,
            "row_step": 28,
            "data": struct.pack("<fffH", 1.0, 2.0, 3.0, 5) * 2,
            "is_dense": True,
        },
        id="point-cloud2",
    ),
    pytest.param(
        "Mixed",
        "korvex_interop/msg/Mixed",
        {
            "flag": True,
            "a": -128,
            "b": 255,
            "c": -32768,
            "d": 65535,
            "e": -(2**31),
            "f": 2**32 - 1,
            "g": 1.5,
            "s": "odd",
            "tail": False,
        },
        id="mixed-small-scalars",
    ),
    pytest.param(
        "Outer",
        "korvex_interop/msg/Outer",
        {
            "tag": 7,
            "inner": {"code": 0xBEEF, "label": "x"},
            "inners": [{"code": 1, "label": ""}, {"code": 2, "label": "abc"}],
            "timeout": {"sec": -5, "nanosec": 999_999_999},
            "names": ["a", "bb", "ccc"],
            "last": -1,
        },
        id="nested-structs-and-duration",
    ),
    pytest.param(
        "Lists",
        "korvex_interop/msg/Lists",
        {
            "ints": [3, -4, 5],
            "floats": [f32(0.1), f32(-1e30)],
            "names": ["", "x", "yz", "ü"],
            "blob": b"\x01\x02\x03",
            "shorts": [-1, 2, 3],
            "flags": [True, False, True],
            "grid": [{"values": [1, 2, 3]}, {"values": []}, {"values": [65535]}],
        },
        id="arrays-of-int32-float32-strings",
    ),
]


def _grid_as_ours(value):
    # The peer spells an array of arrays as a sequence of structs holding a
    # sequence; on our side it is array<array<uint16>>, the same bytes.
    if "grid" in value:
        value = dict(value, grid=[row["values"] for row in value["grid"]])
    return value


@pytest.mark.parametrize("ours_name, peer_type, value", ALIGNED_CASES)
def test_serialize_is_byte_identical_to_peer(peer, ours, ours_name, peer_type, value):
    expected = peer_bytes(peer, peer_type, value)
    produced = km.serialize(ours[ours_name], _grid_as_ours(value))
    assert hexdump(produced) == hexdump(expected)


@pytest.mark.parametrize("ours_name, peer_type, value", ALIGNED_CASES)
def test_deserialize_reads_peer_bytes(peer, ours, ours_name, peer_type, value):
    data = peer_bytes(peer, peer_type, value)
    assert km.deserialize(ours[ours_name], data) == _grid_as_ours(value)


@pytest.mark.parametrize("ours_name, peer_type, value", ALIGNED_CASES)
def test_peer_reads_our_bytes(peer, ours, ours_name, peer_type, value):
    data = km.serialize(ours[ours_name], _grid_as_ours(value))
    assert from_peer(peer, peer_type, peer.deserialize_cdr(data, peer_type)) == value


def test_float32_narrowing_matches_peer(peer, ours):
    # Values that are not float32: both sides round to nearest even.
    data = [0.1, 1 / 3, 16777217.0, 1e-46, 1e39, -1e39]
    value = {"layout": {"dim": [], "data_offset": 0}, "data": data}
    produced = km.serialize(ours["Float32MultiArray"], value)
    assert produced == peer_bytes(peer, "std_msgs/msg/Float32MultiArray", value)
    decoded = km.deserialize(ours["Float32MultiArray"], produced)["data"]
    assert decoded == [f32(0.1), f32(1 / 3), 16777216.0, 0.0, math.inf, -math.inf]


def test_small_aligned_layout_pairs_match_peer(peer, ours):
    """Every pair of 1-, 2- and 4-byte kinds (and strings), the second also as
    an array, around a byte string of 0 to 3 bytes, so that every alignment
    gap is crossed."""
    scalars = {
        "bool": [True, False],
        "int8": [-3, 100],
        "uint8": [0, 200],
        "int16": [-300, 7],
        "uint16": [60000, 1],
        "int32": [-70000, 5],
        "uint32": [4_000_000_000, 9],
        "float32": [0.75, -8.0],
        "string": ["", "abc", "abcd"],
    }
    kinds = list(scalars)
    counter = itertools.count()
    checked = 0
    for first, second in itertools.product(kinds, repeat=2):
        for as_array in (False, True):
            index = next(counter)
            peer_type = f"korvex_interop/msg/Pair{index}"
            our_type = f"{PREFIX}Pair{index}"
            b_kind = f"{second}[]" if as_array else second
            peer.register(
                typesys.get_types_from_msg(
                    f"{first} a\n{b_kind} b\nuint8[] blob\n{first} c\n", peer_type
                )
            )
            km.register_schema(
                our_type,
                [
                    ("a", first),
                    ("b", f"array<{second}>" if as_array else second),
                    ("blob", "bytes"),
                    ("c", first),
                ],
            )
            try:
                for a_value, b_value in zip(scalars[first], scalars[second]):
                    value = {
                        "a": a_value,
                        "b": [b_value, b_value] if as_array else b_value,
                        "blob": bytes(len(str(b_value)) % 4),
                        "c": a_value,
                    }
                    expected = peer_bytes(peer, peer_type, value)
                    produced = km.serialize(our_type, value)
                    assert hexdump(produced) == hexdump(expected), (first, b_kind, value)
                    assert km.deserialize(our_type, expected) == value
                    checked += 1
            finally:
                km.unregister_schema(our_type)
    assert checked == 2 * sum(
        min(len(scalars[a]), len(scalars[b])) for a, b in itertools.product(kinds, repeat=2)
    )


# ---------------------------------------------------------------------------
# Layouts with 8-byte values: exactly four bytes of padding differ.


def test_float64_padding_difference_in_hex(peer, ours):
    value = {"data": 1.0}
    assert hexdump(km.serialize(ours["Float64"], value)) == (
        "00 01 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f"
    )
    assert hexdump(peer_bytes(peer, "std_msgs/msg/Float64", value)) == (
        "00 01 00 00 00 00 00 00 00 00 f0 3f"
    )


def test_uint32_then_float64_padding_difference_in_hex(peer, ours):
    value = {"seq": 1, "value": 1.0}
    assert hexdump(km.serialize(ours["SeqValue"], value)) == (
        "00 01 00 00 01 00 00 00 00 00 00 00 00 00 f0 3f"
    )
    assert hexdump(peer_bytes(peer, "korvex_interop/msg/SeqValue", value)) == (
        "00 01 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f"
    )


def pose_stamped(frame_id):
    return {
        "header": header(frame_id),
        "pose": {
            "position": {"x": 1.0, "y": -2.0, "z": 0.5},
            "orientation": {"x": 0.0, "y": 0.0, "z": 0.7071067811865476, "w": 0.7071067811865476},
        },
    }


# (our layout, peer type, value, P: absolute offset where the padding in
# front of the first 8-byte value starts). The frame names of the stamped
# poses are chosen so that P runs through every residue modulo 8.
EIGHT_BYTE_CASES = [
    pytest.param("Float64", "std_msgs/msg/Float64", {"data": -0.0}, 4, id="float64"),
    pytest.param(
        "SeqValue",
        "korvex_interop/msg/SeqValue",
        {"seq": 9, "value": math.pi},
        8,
        id="uint32-float64",
    ),
    pytest.param("Point", "geometry_msgs/msg/Point", {"x": 1.0, "y": 2.0, "z": 3.0}, 4, id="point"),
    pytest.param(
        "Int64MultiArray",
        "std_msgs/msg/Int64MultiArray",
        {"layout": {"dim": [], "data_offset": 0}, "data": [1, -1, 2**63 - 1]},
        16,
        id="int64-array",
    ),
    pytest.param(
        "ByteThenDoubles",
        "korvex_interop/msg/ByteThenDoubles",
        {"a": 1, "v": [1.0, 2.0], "b": 2},
        12,
        id="float64-array-after-count",
    ),
] + [
    pytest.param(
        "PoseStamped",
        "geometry_msgs/msg/PoseStamped",
        pose_stamped(frame),
        17 + len(frame),
        id=f"pose-stamped-P{17 + len(frame)}",
    )
    for frame in ["", "ab", "map", "abcd", "odom1", "abcdef", "odom_12", "odom_123", "base_link"]
]


@pytest.mark.parametrize("ours_name, peer_type, value, offset", EIGHT_BYTE_CASES)
def test_eight_byte_values_differ_by_four_padding_bytes(
    peer, ours, ours_name, peer_type, value, offset
):
    produced = km.serialize(ours[ours_name], value)
    expected = peer_bytes(peer, peer_type, value)
    ours_longer = offset % 8 in (1, 2, 3, 4)
    longer, shorter = (produced, expected) if ours_longer else (expected, produced)
    assert len(longer) == len(shorter) + 4
    assert longer[:offset] == shorter[:offset]
    assert longer[offset : offset + 4] == bytes(4)
    assert longer[offset + 4 :] == shorter[offset:]
    # The rest of the message is still read correctly by each side from its own bytes.
    assert km.deserialize(ours[ours_name], produced) == value


def test_empty_float64_array_has_no_padding_difference(peer, ours):
    value = {"a": 1, "v": [], "b": 2}
    produced = km.serialize(ours["ByteThenDoubles"], value)
    assert produced == peer_bytes(peer, "korvex_interop/msg/ByteThenDoubles", value)
    assert hexdump(produced) == "00 01 00 00 01 00 00 00 00 00 00 00 02"


@pytest.mark.parametrize("ours_name, peer_type, value, offset", EIGHT_BYTE_CASES)
def test_cross_reading_eight_byte_layouts_fails_or_misreads(
    peer, ours, ours_name, peer_type, value, offset
):
    produced = km.serialize(ours[ours_name], value)
    expected = peer_bytes(peer, peer_type, value)
    # The peer checks that a message is consumed exactly, so it refuses ours.
    with pytest.raises(SerdeError):
        peer.deserialize_cdr(produced, peer_type)
    if offset % 8 in (1, 2, 3, 4):
        # The peer's message is four bytes shorter: our decoder runs out.
        with pytest.raises(
            TypeError, match=r"^Deserialization failed: failed to fill whole buffer$"
        ):
            km.deserialize(ours[ours_name], expected)
    else:
        # The peer's message is four bytes longer: our decoder reads padding
        # as data, finishes early and ignores what is left, without an error.
        assert km.deserialize(ours[ours_name], expected) != value


def test_cross_reading_misreads_silently_in_hex_example(peer, ours):
    data = peer_bytes(peer, "korvex_interop/msg/SeqValue", {"seq": 1, "value": 1.0})
    assert km.deserialize(ours["SeqValue"], data) == {"seq": 1, "value": 0.0}
