"""Byte layout produced by ``serialize``: every field type, alignment and value conversion."""

import collections
import math
import struct

import numpy as np
import pytest

import _korvex_messages as km
from tests.support import cdr
from tests.support.cdr import HEADER
from tests.support.values import (
    BytesSub,
    DictSub,
    FloatOnly,
    IndexOnly,
    IntSub,
    ListSub,
    StrSub,
    fake_type,
)

FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]


@pytest.fixture
def encode(unique_name):
    """Register a fresh schema with the given fields and serialize ``values`` with it."""

    def run(fields, values):
        name = unique_name("enc")
        km.register_schema(name, fields)
        return km.serialize(name, values)

    return run


def h(text):
    return bytes.fromhex(text)


def f32(x):
    return struct.pack("<f", x)


def f64(x):
    return struct.pack("<d", x)


class IntSubWithIndex(int):
    def __index__(self):  # never consulted for a real int
        return 99


class FloatSubWithFloat(float):
    def __float__(self):  # never consulted for a real float
        return 99.0


# ---------------------------------------------------------------------------
# Whole messages of one field


@pytest.mark.parametrize(
    "ftype, value, body",
    [
        ("bool", True, "01"),
        ("bool", False, "00"),
        ("int8", 0, "00"),
        ("int8", -1, "ff"),
        ("int8", -128, "80"),
        ("int8", 127, "7f"),
        ("uint8", 255, "ff"),
        ("uint8", 7, "07"),
        ("int16", -2, "feff"),
        ("int16", -32768, "0080"),
        ("int16", 0x1234, "3412"),
        ("uint16", 65535, "ffff"),
        ("uint16", 0x1234, "3412"),
        ("int32", 1, "01000000"),
        ("int32", -(2**31), "00000080"),
        ("int32", 2**31 - 1, "ffffff7f"),
        ("uint32", 2**32 - 1, "ffffffff"),
        ("uint32", 0x12345678, "78563412"),
        ("int64", 1, "00000000 0100000000000000"),
        ("int64", -1, "00000000 ffffffffffffffff"),
        ("int64", -(2**63), "00000000 0000000000000080"),
        ("int64", 2**63 - 1, "00000000 ffffffffffffff7f"),
        ("uint64", 2**64 - 1, "00000000 ffffffffffffffff"),
        ("uint64", 2**63, "00000000 0000000000000080"),
        ("float32", 1.0, "0000803f"),
        ("float32", 0.1, "cdcccc3d"),
        ("float32", -0.0, "00000080"),
        ("float64", 1.0, "00000000 000000000000f03f"),
        ("float64", -0.0, "00000000 0000000000000080"),
        ("string", "hi", "03000000 686900"),
        ("string", "", "01000000 00"),
        ("ros_string", "hi", "03000000 686900"),
        ("bytes", b"", "00000000"),
        ("bytes", b"\x00\xff\x10", "03000000 00ff10"),
        ("ros_bytes", b"ab", "02000000 6162"),
        ("time", {"sec": -1, "nanosec": 5}, "ffffffff 05000000"),
        ("duration", {"sec": 3, "nanosec": 2**32 - 1}, "03000000 ffffffff"),
        ("array<int32>", [], "00000000"),
        ("array<int64>", [1], "01000000 0100000000000000"),
        ("array<uint8>", [1, 2, 3], "03000000 010203"),
        ("array<bool>", [True, False, True], "03000000 010001"),
    ],
)
def test_single_field_bytes(encode, ftype, value, body):
    assert encode([("f", ftype)], {"f": value}) == HEADER + h(body)


def test_empty_schema_is_header_only(encode):
    assert encode([], {}) == HEADER
    assert encode([], {"ignored": object()}) == HEADER


def test_result_is_plain_bytes(encode):
    out = encode([("a", "uint8")], {"a": 1})
    assert type(out) is bytes


# ---------------------------------------------------------------------------
# Alignment, counted from the first header byte


@pytest.mark.parametrize(
    "fields, values, expected",
    [
        # uint8 then uint16: one padding byte at offset 5
        ([("a", "uint8"), ("b", "uint16")], {"a": 7, "b": 0x1234}, "07 00 3412"),
        # uint8 then uint32: three padding bytes
        ([("a", "uint8"), ("b", "uint32")], {"a": 7, "b": 1}, "07 000000 01000000"),
        # uint8 then int64: value at offset 8 (padding 5..7)
        ([("a", "uint8"), ("b", "int64")], {"a": 7, "b": 2}, "07 000000 0200000000000000"),
        # int32 then int64: value at offset 8, no padding
        ([("a", "int32"), ("b", "int64")], {"a": 1, "b": 2}, "01000000 0200000000000000"),
        # int16 then float64: padding 6..7
        ([("a", "int16"), ("b", "float64")], {"a": 1, "b": 1.0}, "0100 0000" + f64(1.0).hex()),
        # uint8 then float32
        ([("a", "uint8"), ("b", "float32")], {"a": 1, "b": 1.0}, "01 000000 0000803f"),
        # bool and int8 need no alignment
        ([("a", "bool"), ("b", "int8"), ("c", "uint8")], {"a": True, "b": -1, "c": 2}, "01ff02"),
        # string then int32: one padding byte, int32 at offset 12
        ([("s", "string"), ("i", "int32")], {"s": "hi", "i": 1}, "03000000 686900 00 01000000"),
        # string then uint8: no padding after the terminator
        ([("s", "string"), ("b", "uint8")], {"s": "hi", "b": 9}, "03000000 686900 09"),
        # uint8 then string: the length aligns to 4
        ([("b", "uint8"), ("s", "string")], {"b": 9, "s": "a"}, "09 000000 02000000 6100"),
        # uint8 then bytes
        ([("b", "uint8"), ("r", "bytes")], {"b": 9, "r": b"z"}, "09 000000 01000000 7a"),
        # bytes then int16
        ([("r", "bytes"), ("i", "int16")], {"r": b"z", "i": 1}, "01000000 7a 00 0100"),
        # uint8 then array<int64> [5]: count at 8..11, padding 12..15, element 16..23
        (
            [("b", "uint8"), ("a", "array<int64>")],
            {"b": 1, "a": [5]},
            "01 000000 01000000 00000000 0500000000000000",
        ),
        # an empty array writes only its count, no padding for the element type
        (
            [("b", "uint8"), ("a", "array<int64>"), ("c", "uint8")],
            {"b": 1, "a": [], "c": 2},
            "01 000000 00000000 02",
        ),
        # array<uint16> after a uint8: count aligned, elements 2-aligned right after it
        (
            [("b", "uint8"), ("a", "array<uint16>")],
            {"b": 1, "a": [1, 2]},
            "01 000000 02000000 0100 0200",
        ),
        # time after a uint8 aligns to 4
        (
            [("b", "uint8"), ("t", "time")],
            {"b": 1, "t": {"sec": 1, "nanosec": 2}},
            "01 000000 01000000 02000000",
        ),
        # duration after a uint16
        (
            [("b", "uint16"), ("d", "duration")],
            {"b": 1, "d": {"sec": -2, "nanosec": 0}},
            "0100 0000 feffffff 00000000",
        ),
        # time followed by int64: time ends at 12, int64 at 16
        (
            [("t", "time"), ("x", "int64")],
            {"t": {"sec": 0, "nanosec": 0}, "x": 3},
            "00000000 00000000 00000000 0300000000000000",
        ),
        # array of strings: each length 4-aligned
        (
            [("a", "array<string>")],
            {"a": ["a", "bc", ""]},
            "03000000 02000000 6100 0000 03000000 626300 00 01000000 00",
        ),
        # array of bytes
        ([("a", "array<bytes>")], {"a": [b"\x01", b""]}, "02000000 01000000 01 000000 00000000"),
        # array of arrays
        (
            [("a", "array<array<int32>>")],
            {"a": [[1, 2], [], [3]]},
            "03000000 02000000 01000000 02000000 00000000 01000000 03000000",
        ),
        # array of arrays of int64: inner count at 8, padding, elements at 16
        (
            [("a", "array<array<int64>>")],
            {"a": [[7]]},
            "01000000 01000000 00000000 0700000000000000",
        ),
        # array of time
        (
            [("a", "array<time>")],
            {"a": [{"sec": 1, "nanosec": 2}, {"sec": 3, "nanosec": 4}]},
            "02000000 01000000 02000000 03000000 04000000",
        ),
        # array of float64 after a count at offset 4: first element at 8
        (
            [("a", "array<float64>")],
            {"a": [1.0, -0.0]},
            "02000000" + f64(1.0).hex() + f64(-0.0).hex(),
        ),
        # array of float32
        ([("a", "array<float32>")], {"a": [1.0, 0.1]}, "02000000 0000803f cdcccc3d"),
    ],
)
def test_alignment(encode, fields, values, expected):
    assert encode(fields, values) == HEADER + h(expected)


def test_int64_first_field_exact_bytes(encode):
    out = encode([("v", "int64")], {"v": 1})
    assert out == bytes([0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0])
    assert len(out) == 16


def test_messages_that_change_size_from_call_to_call(unique_name):
    # Each call starts from the size of the last one: small messages are
    # built in the encoder's own storage, large ones in the result itself,
    # and either may outgrow its start.
    name = unique_name("sizes")
    fields = [("s", "string"), ("a", "array<uint8>"), ("d", "array<float64>")]
    km.register_schema(name, fields)
    registry = cdr.parse_schemas({name: fields})
    lengths = [0, 600, 1, 480, 505, 508, 509, 512, 513, 2000, 3, 70000, 0, 500, 100000, 7]
    for index, length in enumerate(lengths):
        values = {
            "s": "x" * (length % 97),
            "a": [index % 256] * length,
            "d": [float(index)] * (length % 5),
        }
        assert km.serialize(name, values) == cdr.encode(name, values, registry), length


@pytest.mark.parametrize(
    "first,second",
    [(1 << 20, 0), (1 << 20, 5), (1 << 20, (1 << 17) - 16), (1 << 20, (1 << 17) + 16),
     (300_000, 3 << 20)],
)  # fmt: skip
def test_large_payload_then_more_fields(unique_name, first, second):
    # A payload larger than the buffer's doubling, then fields that fit in the
    # room left after it, or outgrow it once more.
    name = unique_name("large")
    fields = [("a", "bytes"), ("b", "bytes"), ("x", "float64")]
    km.register_schema(name, fields)
    registry = cdr.parse_schemas({name: fields})
    values = {"a": bytes(range(256)) * (first // 256), "b": b"\x5a" * second, "x": -2.5}
    for _ in range(2):  # the second call starts from the size of the first
        assert km.serialize(name, values) == cdr.encode(name, values, registry)


def test_padding_bytes_are_zero_after_odd_payload(encode):
    out = encode([("r", "bytes"), ("x", "int64")], {"r": b"\xff" * 5, "x": -1})
    # bytes: count 4..7, payload 8..12, padding 13..15, int64 16..23
    assert out == HEADER + h("05000000") + b"\xff" * 5 + b"\x00" * 3 + b"\xff" * 8


# ---------------------------------------------------------------------------
# Nested structs


def test_struct_has_no_alignment_of_its_own(encode, schema):
    inner = schema([("b", "uint8"), ("q", "int64")], "Inner")
    out = encode([("tag", "uint8"), ("p", f"struct:{inner}")], {"tag": 1, "p": {"b": 2, "q": 3}})
    # tag at 4, b at 5 (no padding before the struct), q at 8
    assert out == HEADER + h("01 02 0000 0300000000000000")


def test_empty_struct_occupies_no_bytes(encode, schema):
    empty = schema([], "Empty")
    out = encode(
        [
            ("a", "uint8"),
            ("e", f"struct:{empty}"),
            ("b", "uint8"),
            ("es", f"array<struct:{empty}>"),
        ],
        {"a": 1, "e": {"junk": 5}, "b": 2, "es": [{}, {}, {}]},
    )
    # the array count is aligned after b: offset 8
    assert out == HEADER + h("01 02 0000 03000000")


def test_nested_struct_three_levels(encode, schema):
    point = schema([("x", "float64"), ("y", "float64")], "Point")
    pose = schema([("frame", "string"), ("position", f"struct:{point}"), ("stamp", "time")], "Pose")
    out = encode(
        [("id", "uint8"), ("pose", f"struct:{pose}")],
        {
            "pose": {
                "position": {"y": 2.0, "x": 1.0},
                "stamp": {"nanosec": 9, "sec": 8},
                "frame": "m",
            },
            "id": 5,
        },
    )
    expected = (
        HEADER
        + h("05 000000")  # id + padding to 8
        + h("02000000 6d00")  # frame "m": length at 8, text ends at 14
        + h("0000")  # padding to 16
        + f64(1.0)
        + f64(2.0)  # x at 16, y at 24
        + h("08000000 09000000")  # stamp at 32
    )
    assert out == expected


def test_array_of_structs(encode, schema):
    point = schema([("x", "int16"), ("y", "int32")], "Point")
    out = encode(
        [("points", f"array<struct:{point}>")], {"points": [{"x": 1, "y": 2}, {"x": 3, "y": 4}]}
    )
    # count at 4; x at 8, pad, y at 12; x at 16, pad, y at 20
    assert out == HEADER + h("02000000 0100 0000 02000000 0300 0000 04000000")


def test_struct_holding_arrays_of_arrays_of_structs(encode, schema):
    leaf = schema([("v", "uint8")], "Leaf")
    mid = schema([("rows", f"array<array<struct:{leaf}>>"), ("n", "uint8")], "Mid")
    out = encode(
        [("m", f"struct:{mid}")], {"m": {"rows": [[{"v": 1}, {"v": 2}], [{"v": 3}]], "n": 4}}
    )
    assert out == HEADER + h("02000000 02000000 0102 0000 01000000 03 04")


def test_nested_struct_values_may_be_dict_subclasses(encode, schema):
    point = schema([("x", "int8"), ("y", "int8")], "Point")
    dd = collections.defaultdict(int, {"x": 1, "y": 2})
    od = collections.OrderedDict([("y", 4), ("x", 3)])
    out = encode([("p", f"array<struct:{point}>")], {"p": [dd, od, DictSub(x=5, y=6)]})
    assert out == HEADER + h("03000000 0102 0304 0506")


# ---------------------------------------------------------------------------
# Dictionaries: lookup, order, extra keys, duplicate schema fields


def test_key_order_in_values_is_irrelevant(encode, schema):
    fields = [("a", "uint8"), ("b", "int32"), ("c", "string")]
    name = schema(fields)
    one = km.serialize(name, {"a": 1, "b": 2, "c": "x"})
    two = km.serialize(name, {"c": "x", "b": 2, "a": 1})
    assert one == two == HEADER + h("01 000000 02000000 02000000 7800")


def test_extra_keys_are_ignored_whatever_their_type(encode):
    values = {"a": 1, "zzz": "unused", 5: None, (1, 2): [], b"a": 3, None: object()}
    assert encode([("a", "int32")], values) == HEADER + h("01000000")


def test_duplicate_field_names_write_the_value_twice(encode):
    assert encode([("a", "int32"), ("a", "int32")], {"a": 5}) == HEADER + h("05000000 05000000")
    assert encode([("a", "uint8"), ("a", "int32")], {"a": 5}) == HEADER + h("05 000000 05000000")


@pytest.mark.parametrize("field_name", ["", " ", "é", "a.b", "名前", "x\x00y"])
def test_unusual_field_names_are_looked_up_verbatim(encode, field_name):
    assert encode([(field_name, "uint8")], {field_name: 3}) == HEADER + b"\x03"


def test_ordered_dict_and_dict_subclass_as_values(encode):
    od = collections.OrderedDict([("b", 2), ("a", 1)])
    assert encode([("a", "uint8"), ("b", "uint8")], od) == HEADER + h("0102")
    assert encode([("a", "uint8"), ("b", "uint8")], DictSub(a=1, b=2)) == HEADER + h("0102")


def test_dict_subclass_getitem_and_missing_are_not_consulted(encode):
    class Tricky(dict):
        def __getitem__(self, key):
            return 77

        def __missing__(self, key):
            return 88

        def get(self, key, default=None):
            return 99

    assert encode([("a", "uint8")], Tricky(a=1)) == HEADER + b"\x01"


def test_defaultdict_present_keys_are_used(encode):
    dd = collections.defaultdict(lambda: 42, {"a": 1})
    assert encode([("a", "uint8")], dd) == HEADER + b"\x01"
    assert dict(dd) == {"a": 1}


# ---------------------------------------------------------------------------
# Booleans


@pytest.mark.parametrize(
    "value, byte",
    [
        (True, b"\x01"),
        (False, b"\x00"),
        (np.True_, b"\x01"),
        (np.False_, b"\x00"),
        (np.bool_(True), b"\x01"),
        (np.bool_(False), b"\x00"),
        (np.array([1, 0], dtype=bool)[0], b"\x01"),
        (np.array([1, 0], dtype=bool)[1], b"\x00"),
    ],
)
def test_bool_values(encode, value, byte):
    assert encode([("b", "bool")], {"b": value}) == HEADER + byte


@pytest.mark.parametrize("type_name", ["bool_", "bool"])
def test_bool_numpy_rule_is_by_module_and_type_name(encode, type_name):
    # any object whose type is named like numpy's boolean scalar in module "numpy"
    for truth, byte in ((True, b"\x01"), (False, b"\x00")):
        value = fake_type(type_name, "numpy", truth)()
        assert encode([("b", "bool")], {"b": value}) == HEADER + byte


def test_str_subclass_key_in_values_is_found(encode):
    assert encode([("a", "uint8")], {StrSub("a"): 4}) == HEADER + b"\x04"


def test_bool_array_with_numpy_elements(encode):
    arr = np.array([True, False, True])
    assert encode([("b", "array<bool>")], {"b": list(arr)}) == HEADER + h("03000000 010001")


# ---------------------------------------------------------------------------
# Integer rule


@pytest.mark.parametrize(
    "ftype, value, body",
    [
        ("int32", True, "01000000"),
        ("int32", False, "00000000"),
        ("uint8", True, "01"),
        ("int64", True, "00000000 0100000000000000"),
        ("uint64", True, "00000000 0100000000000000"),
        ("int32", IntSub(-7), "f9ffffff"),
        ("uint64", IntSub(2**64 - 1), "00000000 ffffffffffffffff"),
        ("int16", IndexOnly(-3), "fdff"),
        ("int8", IndexOnly(-128), "80"),
        ("uint32", IndexOnly(2**32 - 1), "ffffffff"),
        ("int64", IndexOnly(-(2**63)), "00000000 0000000000000080"),
        ("uint64", IndexOnly(2**64 - 1), "00000000 ffffffffffffffff"),
        # an int subclass is taken by its own value, not by an overridden __index__
        ("int32", IntSubWithIndex(5), "05000000"),
        ("uint64", IntSubWithIndex(5), "00000000 0500000000000000"),
        # numpy integer scalars implement __index__
        ("int32", np.int64(-5), "fbffffff"),
        ("uint8", np.uint8(200), "c8"),
        ("uint64", np.uint64(2**64 - 1), "00000000 ffffffffffffffff"),
        ("int16", np.int16(-32768), "0080"),
    ],
)
def test_integer_conversions(encode, ftype, value, body):
    assert encode([("v", ftype)], {"v": value}) == HEADER + h(body)


@pytest.mark.parametrize(
    "ftype, lo, hi, size",
    [(ftype, lo, hi, cdr.FIXED[ftype][0]) for ftype, (lo, hi) in cdr.INT_RANGES.items()],
)
def test_integer_range_ends_are_written_exactly(encode, ftype, lo, hi, size):
    signed = ftype.startswith("int")
    pad = b"\x00" * 4 if size == 8 else b""
    for v in (lo, hi, lo + 1, hi - 1):
        out = encode([("v", ftype)], {"v": v})
        assert out == HEADER + pad + v.to_bytes(size, "little", signed=signed)


# An int's value is read from its digits (15 or 30 bits each) by a fast path
# for small ints and a general one for the rest; values on either side of
# every digit boundary, as fields, array elements and time stamp parts.
DIGIT_EDGES = sorted(
    {
        sign * (2**bits + step)
        for bits in (15, 29, 30, 31, 32, 45, 59, 60, 61, 62, 63, 64)
        for step in (-1, 0, 1)
        for sign in (1, -1)
    }
    | {0, 1, -1}
)
WIDE_INTS = ["int32", "int64", "uint32", "uint64"]


@pytest.mark.parametrize("ftype", WIDE_INTS)
def test_integers_around_digit_boundaries(encode, ftype):
    lo, hi = cdr.INT_RANGES[ftype]
    size = cdr.FIXED[ftype][0]
    signed = ftype.startswith("int")
    pad = b"\x00" * 4 if size == 8 else b""
    inside = [v for v in DIGIT_EDGES if lo <= v <= hi]
    outside = [v for v in DIGIT_EDGES if not lo <= v <= hi]
    assert len(inside) >= 15 and outside
    for v in inside:
        raw = v.to_bytes(size, "little", signed=signed)
        assert encode([("v", ftype)], {"v": v}) == HEADER + pad + raw, v
    packed = b"".join(v.to_bytes(size, "little", signed=signed) for v in inside)
    count = len(inside).to_bytes(4, "little")
    assert encode([("v", f"array<{ftype}>")], {"v": inside}) == HEADER + count + packed
    for v in outside:
        with pytest.raises(TypeError, match=f"expected {ftype}, got"):
            encode([("v", ftype)], {"v": v})
        with pytest.raises(TypeError, match=f"on .v.: expected {ftype}, got"):
            encode([("v", f"array<{ftype}>")], {"v": [0, v]})


def test_time_parts_around_digit_boundaries(encode):
    (sec_lo, sec_hi), (nanosec_lo, nanosec_hi) = (
        cdr.INT_RANGES[part_type] for _, part_type in cdr.TIME_FIELDS
    )
    for sec in DIGIT_EDGES:
        for nanosec in DIGIT_EDGES:
            values = {"t": {"sec": sec, "nanosec": nanosec}}
            if sec_lo <= sec <= sec_hi and nanosec_lo <= nanosec <= nanosec_hi:
                body = struct.pack("<iI", sec, nanosec)
                assert encode([("t", "time")], values) == HEADER + body, (sec, nanosec)
            else:
                with pytest.raises(TypeError, match="expected time with"):
                    encode([("t", "time")], values)


# ---------------------------------------------------------------------------
# Float rule


@pytest.mark.parametrize(
    "value, expected",
    [
        (7, 7.0),
        (-3, -3.0),
        (True, 1.0),
        (False, 0.0),
        (2**64, 18446744073709551616.0),
        (2**53 + 1, float(2**53 + 1)),  # int rounded to the nearest double
        (IntSub(4), 4.0),
        (FloatOnly(2.5), 2.5),
        (IndexOnly(3), 3.0),
        (FloatSubWithFloat(1.5), 1.5),  # a float subclass is taken by its own value
        (np.float32(0.1), float(np.float32(0.1))),
        (np.float64(0.2), 0.2),
        (np.int32(9), 9.0),
    ],
)
def test_float64_accepts_float_rule_values(encode, value, expected):
    assert encode([("v", "float64")], {"v": value}) == HEADER + b"\x00" * 4 + f64(expected)
    assert encode([("v", "float32")], {"v": value}) == HEADER + f32(expected)


@pytest.mark.parametrize(
    "value",
    [
        0.0,
        -0.0,
        1.0,
        -1.5,
        0.1,
        1e-300,
        -1e300,
        5e-324,
        -5e-324,
        2.2250738585072014e-308,
        1.7976931348623157e308,
        math.inf,
        -math.inf,
        math.pi,
    ],
)
def test_float64_bits_are_exact(encode, value):
    out = encode([("v", "float64")], {"v": value})
    assert out == HEADER + b"\x00" * 4 + f64(value)


def test_float64_nan_keeps_its_bits(encode):
    for bits in (0x7FF8000000000000, 0xFFF8000000000000, 0x7FF8000000000123):
        nan = struct.unpack("<d", bits.to_bytes(8, "little"))[0]
        out = encode([("v", "float64")], {"v": nan})
        assert out[8:] == bits.to_bytes(8, "little")


@pytest.mark.parametrize(
    "value",
    [
        1.0 + 2**-24,  # tie between 1.0 (even) and 1+2**-23: rounds down
        1.0 + 3 * 2**-24,  # tie between 1+2**-23 (odd) and 1+2**-22: rounds up
        -(1.0 + 2**-24),
        -(1.0 + 3 * 2**-24),
        1.0 + 2**-24 + 2**-50,  # just above a tie: rounds up
        1.0 + 2**-24 - 2**-50,  # just below a tie: rounds down
        2**-150,  # tie between 0 and the smallest subnormal: rounds to 0
        3 * 2**-150,  # tie between 2**-149 (odd) and 2**-148: rounds up
        -(2**-150),
        1e-45,
        1e-46,
        2**-149,
        1.17549435e-38,
        0.1,
        1 / 3,
        16777217.0,  # 2**24 + 1 is a tie: rounds to 2**24
        16777219.0,  # 2**24 + 3 is a tie: rounds to 2**24 + 4
        FLT_MAX,
        -FLT_MAX,
        FLT_MAX + 2**103 - 2**75,  # just below the midpoint to 2**128: rounds down to FLT_MAX
        -(FLT_MAX + 2**103 - 2**75),
        FLT_MAX + 2**80,
        3.4028235e38,
    ],
)
def test_float32_rounds_to_nearest_even(encode, value):
    out = encode([("v", "float32")], {"v": value})
    assert out == HEADER + struct.pack("<f", value)


def test_float32_values_just_above_flt_max_round_down(encode):
    for value in (FLT_MAX + 2**103 - 2**75, FLT_MAX + 2**100, 3.4028235e38):
        assert value > FLT_MAX
        assert encode([("v", "float32")], {"v": value}) == HEADER + b"\xff\xff\x7f\x7f"
        assert encode([("v", "float32")], {"v": -value}) == HEADER + b"\xff\xff\x7f\xff"


@pytest.mark.parametrize(
    "value, body",
    [
        (1e40, "0000807f"),
        (-1e40, "000080ff"),
        (1e300, "0000807f"),
        (-1.7976931348623157e308, "000080ff"),
        (FLT_MAX + 2**103, "0000807f"),  # exact midpoint: FLT_MAX is odd, so it rounds to infinity
        (-(FLT_MAX + 2**103), "000080ff"),
        (math.inf, "0000807f"),
        (-math.inf, "000080ff"),
        (2**128, "0000807f"),
        (-0.0, "00000080"),
        (0.0, "00000000"),
        (1e-50, "00000000"),
        (-1e-50, "00000080"),
    ],
)
def test_float32_overflow_and_underflow(encode, value, body):
    assert encode([("v", "float32")], {"v": value}) == HEADER + h(body)


def test_float32_nan_stays_nan(encode):
    for nan in (math.nan, -math.nan, float("nan")):
        out = encode([("v", "float32")], {"v": nan})
        assert len(out) == 8
        assert math.isnan(struct.unpack("<f", out[4:])[0])
        bits = int.from_bytes(out[4:], "little")
        assert bits & 0x7F800000 == 0x7F800000 and bits & 0x007FFFFF


# ---------------------------------------------------------------------------
# Strings and byte strings


@pytest.mark.parametrize(
    "text",
    [
        "é",
        "héllo",
        "€",
        "😀",
        "a\x00b",
        "\x00",
        "\x00\x00\x00",
        "日本語テキスト",
        "\u0085\u2028",
        "x" * 300,
    ],
)
def test_string_utf8_and_interior_nul(encode, text):
    raw = text.encode("utf-8")
    out = encode([("s", "string")], {"s": text})
    assert out == HEADER + (len(raw) + 1).to_bytes(4, "little") + raw + b"\x00"


def test_string_subclass(encode):
    assert encode([("s", "string")], {"s": StrSub("ab")}) == HEADER + h("03000000 616200")


def test_bytes_subclass_and_long_bytes(encode):
    assert encode([("b", "bytes")], {"b": BytesSub(b"\x00\x01")}) == HEADER + h("02000000 0001")
    payload = bytes(range(256)) * 3
    assert (
        encode([("b", "bytes")], {"b": payload}) == HEADER + (768).to_bytes(4, "little") + payload
    )


def test_list_subclass(encode):
    assert encode([("a", "array<int16>")], {"a": ListSub([1, -1])}) == HEADER + h(
        "02000000 0100 ffff"
    )


def test_long_array_grows_the_buffer(encode):
    values = list(range(1000))
    out = encode([("a", "array<uint32>")], {"a": values})
    assert out == HEADER + struct.pack("<I1000I", 1000, *values)


# ---------------------------------------------------------------------------
# Time and duration


@pytest.mark.parametrize("ftype", cdr.TIME_TYPES)
@pytest.mark.parametrize(
    "value, body",
    [
        ({"sec": 0, "nanosec": 0}, "00000000 00000000"),
        ({"sec": -1, "nanosec": 5}, "ffffffff 05000000"),
        ({"sec": -(2**31), "nanosec": 2**32 - 1}, "00000080 ffffffff"),
        ({"sec": 2**31 - 1, "nanosec": 1_000_000_000}, "ffffff7f 00ca9a3b"),  # not normalised
        ({"sec": 1, "nanosec": 3_999_999_999}, "01000000 ff276bee"),
        ({"nanosec": 2, "sec": 1, "extra": "ignored"}, "01000000 02000000"),
        (collections.OrderedDict([("nanosec", 7), ("sec", 6)]), "06000000 07000000"),
        ({"sec": True, "nanosec": IndexOnly(3)}, "01000000 03000000"),
        ({"sec": np.int32(-2), "nanosec": np.uint32(4)}, "feffffff 04000000"),
    ],
)
def test_time_and_duration(encode, ftype, value, body):
    assert encode([("t", ftype)], {"t": value}) == HEADER + h(body)


def test_time_defaultdict_is_not_modified(encode):
    dd = collections.defaultdict(int, {"sec": 1, "nanosec": 2})
    assert encode([("t", "time")], {"t": dd}) == HEADER + h("01000000 02000000")
    assert dict(dd) == {"sec": 1, "nanosec": 2}
