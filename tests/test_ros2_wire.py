"""The ROS 2 codec's wire format against rosbags, over every message type of
rosbags' ROS 2 Humble type store, and its own checks."""

import array
import random
import re
import struct
import types

import numpy as np
import pytest

from korvex_messages import ros2 as public
from tests.support import ros2 as peers

ros2 = pytest.importorskip("korvex_messages.ros2._native")
pytest.importorskip("rosbags")

NAMES = peers.message_names()


@pytest.fixture(scope="module", autouse=True)
def registered():
    """Every type of the store, registered from the text a recording stores."""
    for name in NAMES:
        public.register_msg(name, peers.msgdef_text(name))


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("name", NAMES)
def test_bytes_and_values_match_rosbags(name, seed):
    rng = random.Random(f"{name}/{seed}")
    values, message = peers.random_message(name, rng)
    theirs = peers.serialize(message)
    ours = public.serialize(name, values)
    assert ours == theirs
    assert peers.same(ros2.deserialize(name, theirs), values)
    assert peers.same(peers.as_dict(peers.deserialize(ours, name)), values)
    big_endian = peers.serialize(message, little_endian=False)
    assert big_endian[:2] == b"\x00\x00"
    assert peers.same(ros2.deserialize(name, big_endian), values)
    as_arrays = peers.as_dict(peers.deserialize(theirs, name), numpy=True)
    assert peers.same(ros2.deserialize(name, theirs, numpy=True), as_arrays)
    assert peers.same(ros2.deserialize(name, big_endian, numpy=True), as_arrays)
    # A message is read to its last byte, so every shorter prefix is refused.
    for cut in sorted({rng.randrange(len(ours)) for _ in range(8)}):
        with pytest.raises(ValueError):
            ros2.deserialize(name, ours[:cut])


SHAPES = [
    # (fields, values, hex after the header)
    ([("a", "uint8[3]")], {"a": b"\x01\x02\x03"}, "010203"),
    ([("a", "uint8[<=3]")], {"a": b"\x01"}, "0100000001"),
    ([("a", "byte[]")], {"a": b""}, "00000000"),
    ([("a", "int16[2]")], {"a": [-1, 2]}, "ffff0200"),
    ([("a", "float64[1]")], {"a": [1.5]}, "000000000000f83f"),
    ([("a", "uint8"), ("b", "float64")], {"a": 7, "b": 0.0}, "07000000000000000000000000000000"),
    ([("a", "string<=3")], {"a": "abc"}, "0400000061626300"),
    ([("a", "string<=2[<=2]")], {"a": ["", "ab"]}, "02000000010000000000000003000000616200"),
    ([("a", "char[2]")], {"a": [65, 255]}, "41ff"),
    # Single octets too are 0 to 255 (rosbags reads this byte as -128).
    ([("a", "byte"), ("b", "char")], {"a": 128, "b": 255}, "80ff"),
]


@pytest.mark.parametrize("fields,values,body", SHAPES)
def test_shapes_on_the_wire(fields, values, body):
    name = f"shape_msgs/msg/S{abs(hash(str(fields))) % 10**8}"
    ros2.register_type(name, fields)
    data = ros2.serialize(name, values)
    assert data.hex() == "00010000" + body
    assert ros2.deserialize(name, data) == values


def test_empty_message_is_one_zero_octet():
    ros2.register_type("empty_msgs/msg/Empty", [])
    ros2.register_type("empty_msgs/msg/Holder", [("e", "empty_msgs/msg/Empty"), ("x", "uint8")])
    assert ros2.serialize("empty_msgs/msg/Empty", {}) == b"\x00\x01\x00\x00\x00"
    assert ros2.serialize("empty_msgs/Holder", {"e": {}, "x": 9}).hex() == "000100000009"
    assert ros2.deserialize("empty_msgs/msg/Holder", bytes.fromhex("000100000009")) == {
        "e": {},
        "x": 9,
    }
    with pytest.raises(ValueError, match="failed to fill whole buffer"):
        ros2.deserialize("empty_msgs/msg/Empty", b"\x00\x01\x00\x00")


OCTET_INPUTS = [
    bytes([1, 2, 3]),
    bytearray([1, 2, 3]),
    memoryview(bytes([1, 2, 3])),
    np.array([1, 2, 3], dtype=np.uint8),
    array.array("B", [1, 2, 3]),
    array.array("b", [1, 2, 3]),
]


@pytest.mark.parametrize("value", OCTET_INPUTS, ids=lambda v: type(v).__name__)
def test_octets_come_from_any_buffer_of_bytes(value):
    ros2.register_type("octet_msgs/msg/Three", [("data", "uint8[3]"), ("tail", "byte[]")])
    data = ros2.serialize("octet_msgs/msg/Three", {"data": value, "tail": value})
    assert data.hex() == "00010000" + "010203" + "00" + "03000000" + "010203"
    assert ros2.deserialize("octet_msgs/msg/Three", data) == {
        "data": b"\x01\x02\x03",
        "tail": b"\x01\x02\x03",
    }


REFUSED = [
    # (field type, value, exception, text); a value is named by its kind, as
    # the core names it (a str is a string, a tuple a list)
    ("uint8[3]", b"\x01\x02", TypeError,
     "Value of 'f' has 2 bytes, but uint8[3] holds exactly 3"),
    ("uint8[<=1]", bytearray(2), TypeError,
     "Value of 'f' has 2 bytes, but uint8[<=1] holds at most 1"),
    ("uint8[]", array.array("f", [1.0]), TypeError,
     "Field type mismatch on 'f': expected uint8[], got list"),
    ("uint8[]", "text", TypeError, "Field type mismatch on 'f': expected uint8[], got string"),
    ("int32[2]", [1, 2, 3], TypeError,
     "Value of 'f' has 3 elements, but int32[2] holds exactly 2"),
    ("int32[<=2]", [1, 2, 3], TypeError,
     "Value of 'f' has 3 elements, but int32[<=2] holds at most 2"),
    ("string<=2", "äb", TypeError,
     "Value of 'f' has 3 UTF-8 bytes, but string<=2 holds at most 2"),
    ("string<=2[]", ["ok", "abc"], TypeError,
     "Value of 'f[1]' has 3 UTF-8 bytes, but string<=2 holds at most 2"),
    ("float64[2]", (1.0, 2.0), TypeError,
     "Field type mismatch on 'f': expected float64[2], got list"),
    ("int8", 128, TypeError, "Field type mismatch on 'f': expected int8, got int"),
    ("byte", 256, TypeError, "Field type mismatch on 'f': expected byte, got int"),
    # Signed bytes are octets only where not negative; the item is named.
    ("uint8[]", np.array([1, -1], np.int8), TypeError,
     "Field type mismatch on 'f[1]': expected uint8, got int"),
    ("byte[]", array.array("b", [-128]), TypeError,
     "Field type mismatch on 'f[0]': expected byte, got int"),
    ("uint8[2]", np.array([-1, 0], np.int8), TypeError,
     "Field type mismatch on 'f[0]': expected uint8, got int"),
    # A complex number is no float, whatever its imaginary part.
    ("float64", np.complex128(1 + 0j), TypeError,
     "Field type mismatch on 'f': expected float64, got complex"),
    ("float32", np.complex64(1 + 2j), TypeError,
     "Field type mismatch on 'f': expected float32, got complex"),
    ("float64", np.clongdouble(1), TypeError,
     "Field type mismatch on 'f': expected float64, got complex"),
    ("float64[]", [1.0, 2j], TypeError,
     "Field type mismatch on 'f[1]': expected float64, got complex"),
    # char and byte fields are named as declared.
    ("char", "a", TypeError, "Field type mismatch on 'f': expected char, got string"),
    ("char[]", [1, 256], TypeError, "Field type mismatch on 'f[1]': expected char, got int"),
    ("char[2]", [1], TypeError, "Value of 'f' has 1 elements, but char[2] holds exactly 2"),
    # Two items: numpy before 2 converts an array of one item to a float.
    ("char[]", np.array([1, 2], np.int8), TypeError,
     "Field type mismatch on 'f': expected char[], got list"),
    ("byte[2]", b"abc", TypeError, "Value of 'f' has 3 bytes, but byte[2] holds exactly 2"),
]  # fmt: skip


CHAR_INPUTS = [
    [104, 105],
    b"hi",
    bytearray(b"hi"),
    memoryview(b"hi"),
    np.array([104, 105], np.uint8),
    array.array("B", b"hi"),
]


@pytest.mark.parametrize("value", CHAR_INPUTS, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize(("field_type", "count"), [("char[]", "02000000"), ("char[2]", "")])
def test_char_arrays_take_every_bytes_like_alike(value, field_type, count):
    name = f"char_msgs/msg/C{field_type.count('2')}"
    ros2.register_type(name, [("f", field_type)])
    data = ros2.serialize(name, {"f": value})
    assert data.hex() == "00010000" + count + "6869"
    assert ros2.deserialize(name, data) == {"f": [104, 105]}


@pytest.mark.parametrize("field_type,value,error,text", REFUSED)
def test_serialize_refusals_name_path_and_type(field_type, value, error, text):
    name = f"refused_msgs/msg/R{abs(hash(field_type)) % 10**8}"
    ros2.register_type(name, [("f", field_type)])
    with pytest.raises(error) as raised:
        ros2.serialize(name, {"f": value})
    expected = text if text.startswith("Field type mismatch") else "Serialization failed: " + text
    assert str(raised.value) == expected


BAD_INPUT = [
    # (field type, bytes after the header, text)
    ("uint8[<=2]", "03000000010203", "Value of 'f' has 3 bytes, but uint8[<=2] holds at most 2"),
    ("int32[<=1]", "02000000", "Value of 'f' has 2 elements, but int32[<=1] holds at most 1"),
    (
        "string<=1",
        "0300000061620000",
        "Value of 'f' has 2 UTF-8 bytes, but string<=1 holds at most 1",
    ),
    ("float64", "00000000", "field 'f': failed to fill whole buffer (at offset 4)"),
    ("int32[3]", "0100000002000000", "field 'f': failed to fill whole buffer (at offset 4)"),
    ("string", "020000006162", "field 'f': missing NUL terminator (at offset 4)"),
    (
        "string",
        "03000000ff6100",
        "field 'f': invalid utf-8 sequence of 1 bytes from index 0 (at offset 4)",
    ),
    ("int32[]", "02000000", "field 'f': failed to fill whole buffer (at offset 8)"),
]


@pytest.mark.parametrize("field_type,body,text", BAD_INPUT)
def test_malformed_input_raises_value_error_with_offset(field_type, body, text):
    name = f"bad_msgs/msg/B{abs(hash(field_type)) % 10**8}"
    ros2.register_type(name, [("f", field_type)])
    with pytest.raises(ValueError) as raised:
        ros2.deserialize(name, bytes.fromhex("00010000" + body))
    assert text in str(raised.value)


PLACES = """uint8 flag
string name
place_msgs/Point pose
place_msgs/Labeled[] items
int16[2] few
uint8[] data
================================================================================
MSG: place_msgs/Point
float64 x
float64 y
float64 z
================================================================================
MSG: place_msgs/Labeled
float64 x
string label
"""


def places(order):
    """The message of PLACES in byte order `order` ("<" or ">"), laid out by
    hand: offsets count from the header's first byte, alignment from the
    byte after the header (offset 4)."""

    def pack(form, *values):
        return struct.pack(order + form, *values)

    return b"".join([
        b"\x00\x01\x00\x00" if order == "<" else b"\x00\x00\x00\x00",
        b"\x01", b"\x00" * 3,         # 4 flag, 5..7 padding
        pack("I", 3), b"ab\x00",        # 8 name's length, 12 its text
        b"\x00" * 5,                    # 15..19 padding
        pack("ddd", 1, 2, 3),           # 20 pose.x, 28 pose.y, 36 pose.z
        pack("I", 2), b"\x00" * 4,      # 44 items' count, 48..51 padding
        pack("d", 4),                   # 52 items[0].x
        pack("I", 2), b"p\x00",         # 60 items[0].label's length, 64 its text
        b"\x00" * 2, pack("d", 5),      # 66..67 padding, 68 items[1].x
        pack("I", 2), b"q\x00",         # 76 items[1].label's length, 80 its text
        pack("hh", 6, 7), b"\x00" * 2,  # 82 few, 86..87 padding
        pack("I", 3), b"\x01\x02\x03",  # 88 data's count, 92 its bytes (95 in all)
    ])  # fmt: skip


def cut(end):
    def fault(data):
        return data[:end]

    fault.__name__ = f"cut_at_{end}"
    return fault


def swap(old, new):
    def fault(data):
        return data.replace(old, new)

    fault.__name__ = f"{old!r}_as_{new!r}"
    return fault


TRUNCATED = "failed to fill whole buffer"
ALIGNING = "Input truncated while aligning CDR stream"
DECODE_FAULTS = [
    # (what is wrong with PLACES, text after "Deserialization failed: ")
    (cut(6), f"field 'name': {ALIGNING} (at offset 5)"),
    (cut(10), f"field 'name': {TRUNCATED} (at offset 8)"),
    (cut(13), f"field 'name': {TRUNCATED} (at offset 12)"),
    (swap(b"ab\x00", b"a\xff\x00"),
     "field 'name': invalid utf-8 sequence of 1 bytes from index 1 (at offset 8)"),
    (swap(b"ab\x00", b"\xe2\x82\x00"),
     "field 'name': incomplete utf-8 byte sequence from index 0 (at offset 8)"),
    (swap(b"ab\x00", b"abc"), "field 'name': missing NUL terminator (at offset 8)"),
    (cut(30), f"field 'pose.y': {TRUNCATED} (at offset 28)"),
    (cut(43), f"field 'pose.z': {TRUNCATED} (at offset 36)"),
    (cut(46), f"field 'items': {TRUNCATED} (at offset 44)"),
    (cut(50), f"field 'items[0].x': {ALIGNING} (at offset 48)"),
    (cut(56), f"field 'items[0].x': {TRUNCATED} (at offset 52)"),
    (swap(b"p\x00", b"pp"), "field 'items[0].label': missing NUL terminator (at offset 60)"),
    (cut(67), f"field 'items[1].x': {ALIGNING} (at offset 66)"),
    (cut(81), f"field 'items[1].label': {TRUNCATED} (at offset 80)"),
    (swap(b"q\x00", b"\xff\x00"),
     "field 'items[1].label': invalid utf-8 sequence of 1 bytes from index 0 (at offset 76)"),
    (cut(84), f"field 'few': {TRUNCATED} (at offset 82)"),
    (cut(87), f"field 'data': {ALIGNING} (at offset 86)"),
    (cut(90), f"field 'data': {TRUNCATED} (at offset 88)"),
    (cut(94), f"field 'data': {TRUNCATED} (at offset 92)"),
]  # fmt: skip


@pytest.fixture(scope="module")
def places_type():
    public.register_msg("place_msgs/msg/Outer", PLACES)
    return "place_msgs/msg/Outer"


@pytest.mark.parametrize("order", ["<", ">"])
def test_the_hand_laid_message_reads_back(places_type, order):
    assert ros2.deserialize(places_type, places(order)) == {
        "flag": 1,
        "name": "ab",
        "pose": {"x": 1.0, "y": 2.0, "z": 3.0},
        "items": [{"x": 4.0, "label": "p"}, {"x": 5.0, "label": "q"}],
        "few": [6, 7],
        "data": b"\x01\x02\x03",
    }


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("fault,text", DECODE_FAULTS)
def test_decode_errors_name_the_field_and_offset(places_type, order, fault, text):
    good = places(order)
    bad = fault(good)
    assert bad != good
    for numpy in (False, True):
        with pytest.raises(ValueError) as raised:
            ros2.deserialize(places_type, bad, numpy=numpy)
        assert str(raised.value) == "Deserialization failed: " + text
    # decode_table gives the same text after naming the message.
    with pytest.raises(ValueError) as raised:
        ros2.decode_table(places_type, [good, bad])
    assert str(raised.value) == "message 1: " + text
    # So do the decoders of MCAP readers.
    schema = types.SimpleNamespace(name=places_type, encoding="ros2msg", data=PLACES.encode())
    decode = public.DecoderFactory().decoder_for("cdr", schema)
    with pytest.raises(ValueError) as raised:
        decode(bad)
    assert str(raised.value) == "Deserialization failed: " + text


EMPTY_FAULTS = [
    # (type, bytes, text after "Deserialization failed: "): a message without
    # fields is one zero octet, at offset 4 here and at 5 after a uint8.
    ("place_msgs/msg/Nothing", "00010000", f"{TRUNCATED} (at offset 4)"),
    ("place_msgs/msg/Holder", "0001000001", f"field 'e': {TRUNCATED} (at offset 5)"),
    ("place_msgs/msg/Holder", "000100000100", None),
]


@pytest.mark.parametrize("name,data,text", EMPTY_FAULTS)
def test_a_missing_empty_message_octet_is_placed(name, data, text):
    ros2.register_type("place_msgs/msg/Nothing", [])
    ros2.register_type("place_msgs/msg/Holder", [("n", "uint8"), ("e", "place_msgs/msg/Nothing")])
    if text is None:
        assert ros2.deserialize(name, bytes.fromhex(data)) == {"n": 1, "e": {}}
        return
    with pytest.raises(ValueError) as raised:
        ros2.deserialize(name, bytes.fromhex(data))
    assert str(raised.value) == "Deserialization failed: " + text


@pytest.mark.parametrize(
    "header,text",
    [
        ("00020000", "Unsupported CDR encapsulation [00, 02, 00, 00]: plain CDR starts with 00 01"),
        ("01010000", "Unsupported CDR encapsulation [01, 01, 00, 00]"),
        ("0001", "CDR payload too short"),
    ],
)
def test_headers_other_than_little_endian_cdr_are_refused(header, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        ros2.deserialize("std_msgs/msg/Bool", bytes.fromhex(header) + b"\x01")


def test_names_and_registry():
    assert ros2.type_exists("std_msgs/Bool") and ros2.type_exists("std_msgs/msg/Bool")
    assert ros2.serialize("std_msgs/Bool", {"data": True}) == b"\x00\x01\x00\x00\x01"
    with pytest.raises(KeyError) as raised:
        ros2.serialize("nowhere_msgs/Missing", {})
    assert raised.value.args == (
        "ROS 2 message type 'nowhere_msgs/msg/Missing' is not registered in this process",
    )
    # The same definition again is nothing new; another one under the name is refused.
    assert ros2.register_type("std_msgs/msg/Bool", [("data", "bool")]) is False
    with pytest.raises(ValueError, match="already registered with a different definition"):
        ros2.register_type("std_msgs/msg/Bool", [("data", "uint8")])
    for bad in ["string<=0", "int32[0]", "wstring", "flot64", "pkg/Name", "int32[<=x]", "uint8<=3"]:
        with pytest.raises(ValueError, match="Unsupported ROS 2 field type"):
            ros2.register_type("bad_msgs/msg/Type", [("f", bad)])
    with pytest.raises(ValueError, match="two fields named 'f'"):
        ros2.register_type("bad_msgs/msg/Twice", [("f", "bool"), ("f", "bool")])


def test_padding_after_the_last_field_is_ignored():
    # Writers pad a message to a multiple of 4 bytes: "hi" is 11 bytes, stored as 12.
    assert ros2.deserialize("std_msgs/msg/String", bytes.fromhex("000100000300000068690000")) == {
        "data": "hi"
    }


def test_data_may_be_any_contiguous_buffer():
    data = ros2.serialize("std_msgs/msg/String", {"data": "hi"})
    for view in [bytearray(data), memoryview(data), np.frombuffer(data, np.uint8)]:
        assert ros2.deserialize("std_msgs/msg/String", view) == {"data": "hi"}
    with pytest.raises(TypeError, match="bytes-like"):
        ros2.deserialize("std_msgs/msg/String", "text")


def test_the_core_module_takes_none_of_these_types():
    core = pytest.importorskip("_korvex_messages")
    for field_type in ["uint8[3]", "string<=3", "int32[<=2]", "byte", "char"]:
        with pytest.raises((TypeError, ValueError)):
            core.register_schema(f"core_refuses_{abs(hash(field_type))}", [("f", field_type)])
    assert not core.schema_exists("std_msgs/msg/Bool")


NUMERIC_BUFFERS = [
    # (field type, value, hex after the header)
    ("float32[]", np.array([1.0, -2.0], dtype=np.float32), "020000000000803f000000c0"),
    ("float32[2]", array.array("f", [1.0, -2.0]), "0000803f000000c0"),
    ("float64[<=2]", np.array([0.5], dtype=">f8"), "01000000" + "00000000" + "000000000000e03f"),
    ("int16[]", np.array([-2, 3], dtype="<i2"), "02000000feff0300"),
    ("uint64[1]", np.array([2**64 - 1], dtype=np.uint64), "ff" * 8),
    ("bool[]", np.array([True, False, True]), "03000000010001"),
    ("int32[]", np.array([], dtype=np.int32), "00000000"),
    ("int32[]", np.arange(6, dtype=np.int32)[::2].copy(), "03000000000000000200000004000000"),
]


@pytest.mark.parametrize("field_type,value,body", NUMERIC_BUFFERS)
def test_numeric_arrays_from_buffers_of_their_element_type(field_type, value, body):
    name = f"buffer_msgs/msg/N{abs(hash(field_type)) % 10**8}"
    ros2.register_type(name, [("f", field_type)])
    data = ros2.serialize(name, {"f": value})
    assert data.hex() == "00010000" + body
    assert ros2.deserialize(name, data) == {"f": value.tolist()}


@pytest.mark.parametrize(
    "field_type,value",
    [
        ("float32[]", np.zeros(2, dtype=np.float64)),
        ("int32[]", np.zeros(2, dtype=np.uint32)),
        ("uint16[]", np.zeros(2, dtype=np.int16)),
        ("int64[]", np.zeros((2, 2), dtype=np.int64)),
        ("int32[]", np.arange(6, dtype=np.int32)[::2]),
        ("float64[]", b"\x00" * 8),
        ("bool[]", np.zeros(2, dtype=np.uint8)),
        ("string[]", np.array(["a"])),
    ],
    ids=str,
)
def test_buffers_of_another_element_type_are_refused(field_type, value):
    name = f"buffer_msgs/msg/R{abs(hash(field_type)) % 10**8}"
    ros2.register_type(name, [("f", field_type)])
    with pytest.raises(TypeError, match=re.escape(f"expected {field_type}, got")):
        ros2.serialize(name, {"f": value})


def test_numpy_arrays_are_writable_copies():
    ros2.register_type("numpy_msgs/msg/A", [("f", "float32[]"), ("o", "uint8[2]"), ("e", "int8[]")])
    data = bytearray(ros2.serialize("numpy_msgs/msg/A", {"f": [1.5, 2.5], "o": b"ab", "e": []}))
    value = ros2.deserialize("numpy_msgs/msg/A", data, numpy=True)
    data[8:16] = bytes(8)
    assert value["f"].dtype == np.float32 and value["f"].tolist() == [1.5, 2.5]
    assert value["o"].dtype == np.uint8 and value["o"].tobytes() == b"ab"
    assert value["e"].dtype == np.int8 and value["e"].shape == (0,)
    value["f"][0] = 7.0  # writable: the array owns its copy
    assert ros2.deserialize("numpy_msgs/msg/A", bytes(data), numpy=False)["o"] == b"ab"


@pytest.mark.parametrize("big_endian", [False, True])
def test_numpy_booleans_are_zero_and_one(big_endian):
    # Any nonzero byte is True; numpy's booleans are stored as 0 and 1.
    ros2.register_type("numpy_msgs/msg/Flags", [("f", "bool[]"), ("g", "uint16[2]")])
    count, pair = ("00000004", "00010203") if big_endian else ("04000000", "01000302")
    header = "00000000" if big_endian else "00010000"
    data = bytes.fromhex(header + count + "02ff0001" + pair)
    value = ros2.deserialize("numpy_msgs/msg/Flags", data, numpy=True)
    assert value["f"].dtype == np.bool_ and value["f"].view(np.uint8).tolist() == [1, 1, 0, 1]
    assert value["g"].dtype == np.uint16 and value["g"].tolist() == [1, 0x0203]
    assert ros2.deserialize("numpy_msgs/msg/Flags", data)["f"] == [True, True, False, True]


@pytest.mark.parametrize(
    "call,text",
    [
        (
            lambda: ros2.deserialize("std_msgs/msg/Bool", b"", numpy=1),
            "argument 'numpy': expected bool",
        ),
        (lambda: ros2.deserialize("std_msgs/msg/Bool"), "missing required argument 'data'"),
        (lambda: ros2.deserialize("a", b"", b""), "takes 2 positional arguments but 3 were given"),
        (lambda: ros2.deserialize("a", b"", numbers=True), "unexpected keyword argument 'numbers'"),
        (
            lambda: ros2.deserialize("a", b"", type_name="a"),
            "multiple values for argument 'type_name'",
        ),
    ],
)
def test_deserialize_arguments(call, text):
    with pytest.raises(TypeError, match=re.escape(text)):
        call()
    assert ros2.deserialize(data=b"\x00\x01\x00\x00\x01", type_name="std_msgs/Bool") == {
        "data": True
    }


def point_cloud(**change):
    message = {
        "header": {"stamp": {"sec": 0, "nanosec": 0}, "frame_id": ""},
        "points": [{"x": 0.0, "y": 0.0, "z": 0.0} for _ in range(4)],
        "channels": [],
    }
    for path, value in change.items():
        *outer, last = path.split("__")
        target = message
        for key in outer:
            target = target[int(key)] if key.isdigit() else target[key]
        target[int(last) if last.isdigit() else last] = value
    return message


MISMATCH = "Field type mismatch on "
PATH_ERRORS = [
    ({"points__3__z": "a"}, MISMATCH + "'points[3].z': expected float32, got string"),
    ({"points__3": {"x": 0.0, "y": 0.0}}, "Missing nested field 'points[3].z'"),
    ({"points__1": 5}, MISMATCH + "'points[1]': expected geometry_msgs/msg/Point32, got int"),
    ({"header__stamp__sec": 2**40}, MISMATCH + "'header.stamp.sec': expected int32, got int"),
    (
        {"channels": [{"name": "c", "values": [1.0, "x"]}]},
        MISMATCH + "'channels[0].values[1]': expected float32, got string",
    ),
]


@pytest.mark.parametrize("change,text", PATH_ERRORS)
def test_errors_name_the_full_path(change, text):
    with pytest.raises(TypeError) as raised:
        public.serialize("sensor_msgs/msg/PointCloud", point_cloud(**change))
    assert str(raised.value).endswith(text)


def test_decode_errors_name_elements_by_index():
    ros2.register_type("path_msgs/msg/Inner", [("s", "string<=1")])
    ros2.register_type("path_msgs/msg/Outer", [("items", "path_msgs/msg/Inner[]")])
    data = bytes.fromhex("00010000" + "02000000" + "0200000061000000" + "03000000616200")
    with pytest.raises(ValueError, match=re.escape("Value of 'items[1].s' has 2 UTF-8 bytes")):
        ros2.deserialize("path_msgs/msg/Outer", data)


EMPTY_WIDE_BUFFERS = [
    ("float64[]", np.zeros(0, dtype=np.float64)),
    ("float64[]", array.array("d")),
    ("int64[]", np.zeros(0, dtype=np.int64)),
    ("uint64[<=3]", np.zeros(0, dtype=">u8")),
]


@pytest.mark.parametrize("field_type,value", EMPTY_WIDE_BUFFERS, ids=str)
def test_empty_wide_buffer_is_written_like_an_empty_list(field_type, value):
    # No element, no padding before the elements (found by fuzz/fuzz_ros2_serialize.py).
    name = f"buffer_msgs/msg/E{abs(hash(field_type)) % 10**8}"
    ros2.register_type(name, [("f", field_type), ("after", "uint8")])
    # The count at offset 0, the next field right after it.
    assert ros2.serialize(name, {"f": value, "after": 7}).hex() == "00010000" + "00000000" + "07"


@pytest.mark.parametrize("field_type", ["float64", "float32"])
def test_long_double_is_rounded_as_float_rounds_it(field_type):
    name = f"longdouble_msgs/msg/{field_type.capitalize()}"
    ros2.register_type(name, [("f", field_type)])
    value = np.longdouble(1) + np.longdouble(2) ** -60  # 1.0 where longdouble is float64
    assert ros2.serialize(name, {"f": value}) == ros2.serialize(name, {"f": float(value)})
