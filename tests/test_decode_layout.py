"""deserialize: layout and alignment of every field type, on hand-built input."""

import functools
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _korvex_messages as km
from tests.support.cdr import HEADER, TIME_TYPES, Cdr
from tests.support.checks import assert_same
from tests.support.contract import FILL_ERROR


@pytest.fixture(scope="module")
def shared_schema(module_schemas):
    """One registration per field list, for tests that decode many examples."""

    @functools.cache
    def register(fields):
        return module_schemas.register(fields, prefix="shared")

    return register


# ---------------------------------------------------------------------------
# Literal byte strings (independent of the Cdr helper).

LITERAL_CASES = [
    ("int32", [("v", "int32")], "00010000 01000000", {"v": 1}),
    ("int64_pads_to_8", [("v", "int64")], "00010000 00000000 0100000000000000", {"v": 1}),
    (
        "uint8_uint16",
        [("a", "uint8"), ("b", "uint16")],
        "00010000 07 00 3412",
        {"a": 7, "b": 0x1234},
    ),
    (
        "string_then_int32",
        [("s", "string"), ("n", "int32")],
        "00010000 03000000 686900 00 01000000",
        {"s": "hi", "n": 1},
    ),
    ("empty_string", [("s", "string")], "00010000 01000000 00", {"s": ""}),
    ("interior_nul", [("s", "string")], "00010000 03000000 006100", {"s": "\x00a"}),
    ("only_nuls", [("s", "string")], "00010000 04000000 000000 00", {"s": "\x00\x00\x00"}),
    ("empty_bytes", [("b", "bytes")], "00010000 00000000", {"b": b""}),
    ("bytes_with_nul", [("b", "bytes")], "00010000 03000000 00ff00", {"b": b"\x00\xff\x00"}),
    (
        "array_int64_first",
        [("a", "array<int64>")],
        "00010000 01000000 0500000000000000",
        {"a": [5]},
    ),
    (
        "array_int64_after_uint8",
        [("u", "uint8"), ("a", "array<int64>")],
        "00010000 07 000000 01000000 00000000 0500000000000000",
        {"u": 7, "a": [5]},
    ),
    (
        "uint32_then_int64_no_pad",
        [("a", "uint32"), ("b", "int64")],
        "00010000 01000000 0200000000000000",
        {"a": 1, "b": 2},
    ),
    ("time", [("t", "time")], "00010000 ffffffff 05000000", {"t": {"sec": -1, "nanosec": 5}}),
    (
        "duration",
        [("t", "duration")],
        "00010000 ffffffff 05000000",
        {"t": {"sec": -1, "nanosec": 5}},
    ),
    ("float32_tenth", [("f", "float32")], "00010000 cdcccc3d", {"f": 0.10000000149011612}),
    (
        "float64_after_uint8",
        [("u", "uint8"), ("f", "float64")],
        "00010000 01 000000 000000000000f83f",
        {"u": 1, "f": 1.5},
    ),
    ("int8_ff", [("v", "int8")], "00010000 ff", {"v": -1}),
    ("uint8_ff", [("v", "uint8")], "00010000 ff", {"v": 255}),
    (
        "uint64_all_ones",
        [("v", "uint64")],
        "00010000 00000000 ffffffffffffffff",
        {"v": 18446744073709551615},
    ),
    ("int64_min", [("v", "int64")], "00010000 00000000 0000000000000080", {"v": -(2**63)}),
    ("uint32_max", [("v", "uint32")], "00010000 ffffffff", {"v": 4294967295}),
    ("int32_min", [("v", "int32")], "00010000 00000080", {"v": -(2**31)}),
    (
        "int16_min_uint16_max",
        [("a", "int16"), ("b", "uint16")],
        "00010000 0080 ffff",
        {"a": -32768, "b": 65535},
    ),
]


@pytest.mark.parametrize(
    "fields, hexdata, expected", [c[1:] for c in LITERAL_CASES], ids=[c[0] for c in LITERAL_CASES]
)
def test_literal_messages(fields, hexdata, expected, schema):
    name = schema(fields)
    assert_same(km.deserialize(name, bytes.fromhex(hexdata)), expected)


# ---------------------------------------------------------------------------
# Every field type, at every offset modulo 8, with junk in the padding.


def _inner_struct_type(struct_type):
    return struct_type([("b", "uint8"), ("q", "int64")])


TYPE_CASES = [
    ("bool", lambda c: c.u8(1), True),
    ("int8", lambda c: c.u8(0x80), -128),
    ("int16", lambda c: c.i16(-12345), -12345),
    ("int32", lambda c: c.i32(-123456789), -123456789),
    ("int64", lambda c: c.i64(-(2**62) - 7), -(2**62) - 7),
    ("uint8", lambda c: c.u8(0xFE), 254),
    ("uint16", lambda c: c.u16(0xFEDC), 0xFEDC),
    ("uint32", lambda c: c.u32(0xFFFFFFFE), 0xFFFFFFFE),
    ("uint64", lambda c: c.u64(2**64 - 2), 2**64 - 2),
    ("float32", lambda c: c.align(4).raw(bytes.fromhex("cdcccc3d")), 0.10000000149011612),
    ("float64", lambda c: c.f64(-2.75e300), -2.75e300),
    ("string", lambda c: c.string("h\u00e9llo \U0001f600"), "h\u00e9llo \U0001f600"),
    ("ros_string", lambda c: c.string("x"), "x"),
    ("bytes", lambda c: c.blob(b"\x00\xff\x10"), b"\x00\xff\x10"),
    ("ros_bytes", lambda c: c.blob(b"ab"), b"ab"),
    ("array<int64>", lambda c: c.count(2).i64(1).i64(-1), [1, -1]),
    ("array<uint16>", lambda c: c.count(3).u16(1).u16(2).u16(3), [1, 2, 3]),
    (_inner_struct_type, lambda c: c.u8(9).i64(-5), {"b": 9, "q": -5}),
    ("time", lambda c: c.time(-1, 5), {"sec": -1, "nanosec": 5}),
    ("duration", lambda c: c.time(2**31 - 1, 2**32 - 1), {"sec": 2**31 - 1, "nanosec": 2**32 - 1}),
]


def _type_id(case):
    t = case[0]
    return "struct" if callable(t) else t


@pytest.mark.parametrize("lead", range(8))
@pytest.mark.parametrize(
    "type_name, write, expected", TYPE_CASES, ids=[_type_id(c) for c in TYPE_CASES]
)
def test_each_type_at_every_offset(lead, type_name, write, expected, schema, struct_type):
    if callable(type_name):
        type_name = type_name(struct_type)
    fields = [(f"p{i}", "uint8") for i in range(lead)] + [("v", type_name), ("tail", "uint8")]
    name = schema(fields)
    c = Cdr(pad_byte=0xAA)
    for i in range(lead):
        c.u8(i + 1)
    write(c)
    c.u8(0x5C)
    data = c.done()
    want = {f"p{i}": i + 1 for i in range(lead)}
    want["v"] = expected
    want["tail"] = 0x5C
    assert_same(km.deserialize(name, data), want)
    # The tail byte is the very last byte that is read: without it the
    # message is one byte short.
    with pytest.raises(TypeError) as info:
        km.deserialize(name, data[:-1])
    assert info.value.args == (FILL_ERROR,)


def test_padding_contents_are_ignored(schema):
    name = schema([("a", "uint8"), ("b", "int64"), ("c", "uint8"), ("d", "uint32")])
    for fill in (0x00, 0x01, 0xFF):
        data = Cdr(pad_byte=fill).u8(1).i64(2).u8(3).u32(4).done()
        assert len(data) == 24
        assert km.deserialize(name, data) == {"a": 1, "b": 2, "c": 3, "d": 4}


def test_eight_byte_alignment_counts_from_header_start(schema):
    # An int64 straight after the header is at offset 8, not 4.
    name = schema([("v", "int64")])
    data = HEADER + b"\xee" * 4 + struct.pack("<q", -3)
    assert km.deserialize(name, data) == {"v": -3}
    # Without the four padding bytes the value does not fit.
    with pytest.raises(TypeError) as info:
        km.deserialize(name, HEADER + struct.pack("<q", -3))
    assert info.value.args == (FILL_ERROR,)


@pytest.mark.parametrize(
    "byte, expected", [(0x00, False), (0x01, True), (0x02, True), (0x80, True), (0xFF, True)]
)
def test_bool_any_nonzero_byte_is_true(byte, expected, schema):
    name = schema([("b", "bool"), ("arr", "array<bool>")])
    data = HEADER + bytes([byte]) + b"\x00" * 3 + struct.pack("<I", 2) + bytes([byte, 0])
    result = km.deserialize(name, data)
    assert result["b"] is expected
    assert result["arr"][0] is expected and result["arr"][1] is False


# ---------------------------------------------------------------------------
# Numbers: every bit pattern comes back exactly.

INT_FORMATS = {
    "int8": "b",
    "int16": "h",
    "int32": "i",
    "int64": "q",
    "uint8": "B",
    "uint16": "H",
    "uint32": "I",
    "uint64": "Q",
}


@pytest.mark.parametrize("type_name", sorted(INT_FORMATS))
@settings(max_examples=60, deadline=None)
@given(raw=st.binary(min_size=8, max_size=8))
def test_integers_round_trip_any_bit_pattern(type_name, raw, shared_schema):
    fmt = INT_FORMATS[type_name]
    size = struct.calcsize(fmt)
    (value,) = struct.unpack("<" + fmt, raw[:size])
    name = shared_schema((("v", type_name),))
    data = Cdr().align(size).raw(raw[:size]).done()
    result = km.deserialize(name, data)
    assert type(result["v"]) is int and result["v"] == value


@settings(max_examples=200, deadline=None)
@given(raw4=st.binary(min_size=4, max_size=4), raw8=st.binary(min_size=8, max_size=8))
def test_floats_widen_exactly(raw4, raw8, shared_schema):
    name = shared_schema((("f", "float32"), ("d", "float64")))
    result = km.deserialize(name, HEADER + raw4 + raw8)
    (f,) = struct.unpack("<f", raw4)
    (d,) = struct.unpack("<d", raw8)
    assert type(result["f"]) is float and type(result["d"]) is float
    if math.isnan(f):
        assert math.isnan(result["f"])
    else:
        assert struct.pack("<d", result["f"]) == struct.pack("<d", f)
    if math.isnan(d):
        assert math.isnan(result["d"])
    else:
        assert struct.pack("<d", result["d"]) == raw8


@pytest.mark.parametrize(
    "hexval, expected",
    [
        ("0000803f", 1.0),
        ("00000080", -0.0),
        ("0000807f", math.inf),
        ("000080ff", -math.inf),
        ("01000000", 1.401298464324817e-45),
        ("ffff7f7f", 3.4028234663852886e38),
    ],
)
def test_float32_special_values(hexval, expected, schema):
    name = schema([("f", "float32")])
    value = km.deserialize(name, HEADER + bytes.fromhex(hexval))["f"]
    assert value == expected and math.copysign(1.0, value) == math.copysign(1.0, expected)


def test_float32_nan(schema):
    name = schema([("f", "float32")])
    assert math.isnan(km.deserialize(name, HEADER + bytes.fromhex("0000c07f"))["f"])


# ---------------------------------------------------------------------------
# Strings.


@settings(max_examples=150, deadline=None)
@given(text=st.text(alphabet=st.characters(codec="utf-8"), max_size=40), lead=st.integers(0, 3))
def test_any_valid_text_decodes(text, lead, shared_schema):
    name = shared_schema(
        tuple((f"p{i}", "uint8") for i in range(lead)) + (("s", "string"), ("n", "uint16"))
    )
    c = Cdr(pad_byte=0x77)
    for _ in range(lead):
        c.u8(0)
    data = c.string(text).u16(0xBEEF).done()
    result = km.deserialize(name, data)
    assert type(result["s"]) is str
    assert result["s"] == text and result["n"] == 0xBEEF


def test_string_with_embedded_nuls_keeps_them(schema):
    name = schema([("s", "string")])
    text = b"a\x00b\x00\x00c"
    data = Cdr().string(text).done()
    assert km.deserialize(name, data) == {"s": "a\x00b\x00\x00c"}


# ---------------------------------------------------------------------------
# Time and duration.


@pytest.mark.parametrize("type_name", TIME_TYPES)
@pytest.mark.parametrize(
    "sec, nanosec", [(-1, 5), (-(2**31), 0), (2**31 - 1, 2**32 - 1), (0, 999999999)]
)
def test_time_and_duration(type_name, sec, nanosec, schema):
    name = schema([("u", "uint8"), ("t", type_name)])
    data = Cdr(pad_byte=0x33).u8(1).time(sec, nanosec).done()
    assert len(data) == 16
    result = km.deserialize(name, data)
    assert list(result["t"]) == ["sec", "nanosec"]
    assert_same(result["t"], {"sec": sec, "nanosec": nanosec})


# ---------------------------------------------------------------------------
# Arrays.


def test_empty_array_consumes_only_its_count(schema):
    name = schema([("a", "array<int32>"), ("b", "uint8")])
    data = Cdr().count(0).u8(9).done()
    assert data == HEADER + b"\x00\x00\x00\x00\x09"
    assert_same(km.deserialize(name, data), {"a": [], "b": 9})


def test_empty_int64_array_adds_no_element_padding(schema):
    name = schema([("u", "uint8"), ("a", "array<int64>"), ("b", "uint8")])
    data = bytes.fromhex("00010000 07 000000 00000000 09")
    assert_same(km.deserialize(name, data), {"u": 7, "a": [], "b": 9})


def test_int64_array_pads_after_count_from_header_start(schema):
    name = schema([("a", "array<int64>"), ("b", "array<int64>")])
    # a: count at 4..7, elements at 8, 16; b: count at 24..27, pad 28..31, element at 32.
    data = Cdr(pad_byte=0xCC).count(2).i64(-1).i64(2**63 - 1).count(1).i64(7).done()
    assert data[24:32] == b"\x01\x00\x00\x00\xcc\xcc\xcc\xcc"
    assert_same(km.deserialize(name, data), {"a": [-1, 2**63 - 1], "b": [7]})


def test_array_of_arrays(schema):
    name = schema([("a", "array<array<int16>>"), ("z", "uint8")])
    c = Cdr(pad_byte=0x5A).count(3)
    c.count(2).i16(1).i16(-2)
    c.count(0)
    c.count(1).i16(3)
    data = c.u8(4).done()
    assert_same(km.deserialize(name, data), {"a": [[1, -2], [], [3]], "z": 4})


def test_array_of_arrays_of_arrays_of_bytes(schema):
    name = schema([("a", "array<array<array<uint8>>>")])
    c = Cdr().count(2)
    c.count(1).count(3).u8(1).u8(2).u8(3)
    c.count(2).count(0).count(1).u8(0xFF)
    assert_same(km.deserialize(name, c.done()), {"a": [[[1, 2, 3]], [[], [255]]]})


@pytest.mark.parametrize(
    "elem, write, expected",
    [
        (
            "string",
            lambda c: c.string("a").string("").string("\u00e9t\u00e9"),
            ["a", "", "\u00e9t\u00e9"],
        ),
        ("bytes", lambda c: c.blob(b"\x01").blob(b"").blob(b"xyz"), [b"\x01", b"", b"xyz"]),
        ("float32", lambda c: c.f32(0.5).f32(-2.0).f32(1e10), [0.5, -2.0, 1e10]),
        ("float64", lambda c: c.f64(0.5).f64(-2.0).f64(1e300), [0.5, -2.0, 1e300]),
        ("uint8", lambda c: c.u8(0).u8(255).u8(7), [0, 255, 7]),
        ("int8", lambda c: c.u8(0xFF).u8(0x7F).u8(0x80), [-1, 127, -128]),
        (
            "time",
            lambda c: c.time(1, 2).time(-3, 4).time(5, 6),
            [{"sec": 1, "nanosec": 2}, {"sec": -3, "nanosec": 4}, {"sec": 5, "nanosec": 6}],
        ),
        (
            "duration",
            lambda c: c.time(0, 0).time(-1, 1).time(2, 3),
            [{"sec": 0, "nanosec": 0}, {"sec": -1, "nanosec": 1}, {"sec": 2, "nanosec": 3}],
        ),
    ],
)
def test_arrays_of_each_element_kind(elem, write, expected, schema):
    name = schema([("u", "uint8"), ("a", f"array<{elem}>"), ("t", "uint8")])
    c = Cdr(pad_byte=0x99).u8(1).count(3)
    write(c)
    data = c.u8(2).done()
    assert_same(km.deserialize(name, data), {"u": 1, "a": expected, "t": 2})


def test_array_of_structs_aligns_each_element_on_its_own_offset(schema, struct_type):
    point = struct_type([("x", "uint8"), ("y", "float64")], prefix="pt")
    name = schema([("pts", f"array<{point}>"), ("end", "uint8")])
    # count 4..7, x@8, pad 9..15, y@16; x@24, pad, y@32; end@40
    data = Cdr(pad_byte=0xEE).count(2).u8(1).f64(1.5).u8(2).f64(-0.25).u8(3).done()
    assert len(data) == 41
    assert_same(
        km.deserialize(name, data), {"pts": [{"x": 1, "y": 1.5}, {"x": 2, "y": -0.25}], "end": 3}
    )


def test_array_of_structs_holding_strings_and_arrays(schema, struct_type):
    scan = struct_type([("id", "uint16"), ("names", "array<string>")], prefix="scan")
    name = schema([("scan", f"array<{scan}>")])
    c = Cdr().count(2)
    c.u16(1).count(2).string("a").string("bc")
    c.u16(2).count(0)
    assert_same(
        km.deserialize(name, c.done()),
        {"scan": [{"id": 1, "names": ["a", "bc"]}, {"id": 2, "names": []}]},
    )


# ---------------------------------------------------------------------------
# Nested structs.


def test_nested_struct_has_no_alignment_of_its_own(schema, struct_type):
    inner = struct_type([("b", "uint8")])
    name = schema([("a", "uint8"), ("in", inner), ("c", "uint8")])
    assert_same(km.deserialize(name, HEADER + b"\x01\x02\x03"), {"a": 1, "in": {"b": 2}, "c": 3})


def test_nested_struct_has_no_padding_at_its_end(schema, struct_type):
    inner = struct_type([("x", "uint8"), ("y", "int64")])
    name = schema([("a", "uint8"), ("in", inner), ("c", "uint8"), ("d", "uint16")])
    # a@4 x@5 pad 6..7 y@8..15 c@16 pad@17 d@18
    data = Cdr(pad_byte=0x11).u8(1).u8(2).i64(3).u8(4).u16(5).done()
    assert len(data) == 20
    assert_same(km.deserialize(name, data), {"a": 1, "in": {"x": 2, "y": 3}, "c": 4, "d": 5})


def test_three_levels_of_nesting_use_plain_field_names(schema, struct_type):
    pos = struct_type([("x", "float64"), ("y", "float64")], prefix="pos")
    pose = struct_type([("position", pos), ("frame_id", "string")], prefix="pose")
    name = schema([("seq", "uint32"), ("pose", pose)])
    data = Cdr().u32(7).f64(1.0).f64(2.0).string("map").done()
    assert_same(
        km.deserialize(name, data),
        {"seq": 7, "pose": {"position": {"x": 1.0, "y": 2.0}, "frame_id": "map"}},
    )


def test_empty_struct_occupies_no_bytes(schema, struct_type):
    empty = struct_type([], prefix="empty")
    name = schema([("a", "uint8"), ("e", empty), ("b", "uint8"), ("arr", f"array<{empty}>")])
    data = HEADER + b"\x01\x02\x00\x00" + struct.pack("<I", 3)
    assert_same(km.deserialize(name, data), {"a": 1, "e": {}, "b": 2, "arr": [{}, {}, {}]})


def test_struct_name_with_surrounding_blanks_is_looked_up_trimmed(schema):
    inner = schema([("v", "uint8")], prefix="trim")
    name = schema([("s", f"struct: \t{inner}\u00a0")])
    assert km.deserialize(name, HEADER + b"\x05") == {"s": {"v": 5}}


def test_nested_schema_is_looked_up_on_each_call(schema, unique_name):
    inner = unique_name("relook")
    km.register_schema(inner, [("v", "uint8")])
    name = schema([("s", f"struct:{inner}")])
    data = HEADER + b"\x01\x02\x00\x00"
    assert km.deserialize(name, data) == {"s": {"v": 1}}
    km.unregister_schema(inner)
    km.register_schema(inner, [("v", "uint16")])
    assert km.deserialize(name, data) == {"s": {"v": 0x0201}}
    km.unregister_schema(inner)
    km.register_schema(inner, [("w", "uint8"), ("v", "uint8")])
    assert km.deserialize(name, data) == {"s": {"w": 1, "v": 2}}


# ---------------------------------------------------------------------------
# Whole messages.


@pytest.mark.parametrize("header", ["00010000", "00011234", "0001ffff", "00010003", "00010100"])
def test_header_options_bytes_are_not_checked(header, schema):
    empty = schema([], prefix="empty")
    assert_same(km.deserialize(empty, bytes.fromhex(header)), {})
    name = schema([("v", "int64")])
    data = bytes.fromhex(header) + b"\x00" * 4 + struct.pack("<q", 42)
    assert km.deserialize(name, data) == {"v": 42}


@pytest.mark.parametrize("trailing", [b"\x00", b"\xff" * 3, b"garbage" * 10])
def test_trailing_bytes_are_ignored(trailing, schema):
    empty = schema([], prefix="empty")
    assert km.deserialize(empty, HEADER + trailing) == {}
    name = schema([("a", "int32"), ("s", "string")])
    data = Cdr().i32(-9).string("ok").done()
    assert (
        km.deserialize(name, data + trailing) == km.deserialize(name, data) == {"a": -9, "s": "ok"}
    )


def test_duplicate_field_names_keep_first_position_and_last_value(schema):
    name = schema([("x", "uint8"), ("y", "uint8"), ("x", "uint16"), ("z", "uint8")])
    data = Cdr().u8(1).u8(2).u16(0x0304).u8(5).done()
    result = km.deserialize(name, data)
    assert list(result) == ["x", "y", "z"]
    assert result == {"x": 0x0304, "y": 2, "z": 5}


def test_duplicate_field_names_inside_nested_struct(schema, struct_type):
    inner = struct_type([("k", "string"), ("k", "int32")], prefix="dup")
    name = schema([("s", inner), ("after", "uint8")])
    data = Cdr().string("first").i32(-4).u8(8).done()
    assert_same(km.deserialize(name, data), {"s": {"k": -4}, "after": 8})


def test_unusual_field_names_become_plain_keys(schema, struct_type):
    inner = struct_type([("", "uint8")], prefix="blank")
    name = schema([("", "uint8"), ("gr\u00f6\u00dfe", inner), ("a.b", "uint8")])
    result = km.deserialize(name, HEADER + b"\x01\x02\x03")
    assert_same(result, {"": 1, "gr\u00f6\u00dfe": {"": 2}, "a.b": 3})


def test_result_is_built_from_plain_types_only(schema, struct_type):
    inner = struct_type([("t", "time"), ("raw", "bytes")], prefix="plain")
    name = schema(
        [
            ("b", "bool"),
            ("i", "int64"),
            ("u", "uint64"),
            ("f", "float32"),
            ("d", "float64"),
            ("s", "string"),
            ("by", "bytes"),
            ("arr", "array<string>"),
            ("nest", inner),
            ("lst", f"array<{inner}>"),
            ("dur", "duration"),
        ]
    )
    c = Cdr().u8(0).i64(-1).u64(1).f32(0.5).f64(0.25).string("s").blob(b"\x01")
    c.count(1).string("e")
    c.time(1, 2).blob(b"")
    c.count(1).time(3, 4).blob(b"zz")
    c.time(5, 6)
    expected = {
        "b": False,
        "i": -1,
        "u": 1,
        "f": 0.5,
        "d": 0.25,
        "s": "s",
        "by": b"\x01",
        "arr": ["e"],
        "nest": {"t": {"sec": 1, "nanosec": 2}, "raw": b""},
        "lst": [{"t": {"sec": 3, "nanosec": 4}, "raw": b"zz"}],
        "dur": {"sec": 5, "nanosec": 6},
    }
    assert_same(km.deserialize(name, c.done()), expected)


def test_bytes_subclass_input_is_accepted(schema):
    class Payload(bytes):
        def __getitem__(self, item):  # never consulted: the storage is read directly
            raise AssertionError("subclass method used")

        def __len__(self):
            raise AssertionError("subclass method used")

    name = schema([("a", "uint16"), ("s", "string")])
    raw = Cdr().u16(513).string("sub").done()
    assert_same(km.deserialize(name, Payload(raw)), {"a": 513, "s": "sub"})
    empty = schema([], prefix="empty")
    assert km.deserialize(empty, Payload(HEADER)) == {}


def test_each_call_returns_new_objects(schema, struct_type):
    inner = struct_type([], prefix="fresh")
    name = schema([("a", f"array<{inner}>"), ("s", inner)])
    data = HEADER + struct.pack("<I", 2)
    first = km.deserialize(name, data)
    second = km.deserialize(name, data)
    assert first == second == {"a": [{}, {}], "s": {}}
    assert first is not second and first["a"] is not second["a"]
    assert first["a"][0] is not first["a"][1]
    first["a"][0]["mutated"] = 1
    assert km.deserialize(name, data) == {"a": [{}, {}], "s": {}}
