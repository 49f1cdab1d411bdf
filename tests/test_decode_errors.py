"""deserialize: every failure, with its exact exception type and text."""

import json
import struct
import sys
import textwrap
import tracemalloc

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import _korvex_messages as km
from tests.support.cdr import HEADER, Cdr, utf8_failure
from tests.support.checks import decode_failure
from tests.support.contract import (
    ALIGN,
    FILL,
    TOO_SHORT,
)
from tests.support.contract import (
    nul_text as nul_message,
)

# ---------------------------------------------------------------------------
# Header checks (ValueError, raised before the schema is looked up).


@pytest.mark.parametrize("data", [b"", b"\x00", b"\x00\x01", b"\x00\x01\x00", b"\x07\x08\x09"])
@pytest.mark.parametrize("known", [True, False])
def test_header_too_short(data, known, schema, unique_name):
    name = schema([("v", "uint8")]) if known else unique_name("missing")
    with pytest.raises(ValueError) as info:
        km.deserialize(name, data)
    assert type(info.value) is ValueError
    assert info.value.args == (TOO_SHORT,)


@pytest.mark.parametrize(
    "data, shown",
    [
        (b"\x00\x00\x00\x00", "[00, 00, 00, 00]"),
        (b"\x00\x03\xab\x0c", "[00, 03, ab, 0c]"),
        (b"\x01\x01\x00\x00", "[01, 01, 00, 00]"),
        (b"\x01\x00\x00\x00", "[01, 00, 00, 00]"),
        (b"\x00\x02\x00\x00", "[00, 02, 00, 00]"),
        (b"\xff\xfe\xfd\xfc", "[ff, fe, fd, fc]"),
        (b"\x0a\x01\x00\x00\x00\x01", "[0a, 01, 00, 00]"),
        (b"\x10\x01\xa0\x0f" + b"\x00" * 20, "[10, 01, a0, 0f]"),
    ],
)
@pytest.mark.parametrize("known", [True, False])
def test_unsupported_encapsulation(data, shown, known, schema, unique_name):
    name = schema([]) if known else unique_name("missing")
    with pytest.raises(ValueError) as info:
        km.deserialize(name, data)
    assert type(info.value) is ValueError
    assert info.value.args == (
        f"Unsupported CDR encapsulation {shown}. Only little-endian CDR is currently supported",
    )


@pytest.mark.parametrize(
    "data", [bytearray(HEADER), memoryview(HEADER), "\x00\x01\x00\x00", None, 0]
)
def test_non_bytes_data_is_refused(data, schema):
    name = schema([])
    with pytest.raises(TypeError) as info:
        km.deserialize(name, data)
    if data is None:
        expected = "argument 'data': 'None' is not an instance of 'bytes'"
    else:
        expected = (
            f"argument 'data': '{type(data).__qualname__}' object is not an instance of 'bytes'"
        )
    assert info.value.args == (expected,)


# ---------------------------------------------------------------------------
# Unknown schemas.


@pytest.mark.parametrize("prefix", ["plain", "gr\u00fc\u00df", "with space", "x'quote"])
@pytest.mark.parametrize("data", [HEADER, HEADER + b"\x01\x02\x03\x04", b"\x00\x01\xff\xff"])
def test_unknown_top_level_schema(prefix, data, unique_name):
    name = unique_name(prefix)
    with pytest.raises(KeyError) as info:
        km.deserialize(name, data)
    assert type(info.value) is KeyError
    assert info.value.args == (name,)
    assert str(info.value) == repr(name)


def test_unknown_empty_schema_name():
    if km.schema_exists(""):
        pytest.skip("another test registered the empty name")
    with pytest.raises(KeyError) as info:
        km.deserialize("", HEADER)
    assert info.value.args == ("",)


def test_unknown_nested_schema_reached_mid_message(schema, unique_name):
    missing = unique_name("missing")
    name = schema([("a", "uint8"), ("n", f"struct:{missing}"), ("b", "uint8")])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01\x02\x03")
    assert type(info.value) is KeyError
    assert info.value.args == (missing,)


def test_unknown_nested_schema_is_reported_by_its_trimmed_name(schema, unique_name):
    missing = unique_name("missing")
    name = schema([("n", f"struct:\t {missing}\u3000")])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER)
    assert info.value.args == (missing,)


def test_unknown_nested_schema_inside_array(schema, unique_name):
    missing = unique_name("missing")
    name = schema([("a", f"array<struct:{missing}>")])
    # No element, no lookup.
    assert km.deserialize(name, HEADER + struct.pack("<I", 0)) == {"a": []}
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + struct.pack("<I", 1))
    assert info.value.args == (missing,)


def test_unknown_nested_schema_deep_inside_known_ones(schema, unique_name, struct_type):
    missing = unique_name("missing")
    middle = struct_type([("x", "uint8"), ("deep", f"struct:{missing}")], prefix="mid")
    name = schema([("m", middle)])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01")
    assert info.value.args == (missing,)


def test_earlier_truncation_wins_over_later_unknown_nested_schema(schema, unique_name):
    missing = unique_name("missing")
    name = schema(
        [("a", "uint8"), ("b", "int32"), ("c", "uint8"), ("d", "uint8"), ("n", f"struct:{missing}")]
    )
    assert decode_failure(name, HEADER + b"\x01\x00\x00\x00\x02\x00") == FILL
    # Once the fields before it are complete, the lookup is what fails.
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01\x00\x00\x00\x02\x00\x00\x00\x03\x04")
    assert info.value.args == (missing,)


def test_unknown_nested_schema_wins_over_later_truncation(schema, unique_name):
    missing = unique_name("missing")
    name = schema([("a", "uint8"), ("n", f"struct:{missing}"), ("b", "int64")])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01")
    assert info.value.args == (missing,)


def test_nested_schema_unregistered_after_outer_registration(schema, unique_name):
    inner = unique_name("inner")
    km.register_schema(inner, [("v", "uint16")])
    name = schema([("a", "uint8"), ("in", f"struct:{inner}")])
    data = HEADER + b"\x01\x00\x02\x01"
    assert km.deserialize(name, data) == {"a": 1, "in": {"v": 0x0102}}
    km.unregister_schema(inner)
    with pytest.raises(KeyError) as info:
        km.deserialize(name, data)
    assert type(info.value) is KeyError and info.value.args == (inner,)
    # A message that ends before the struct field reports the truncation.
    assert decode_failure(name, HEADER) == FILL
    km.register_schema(inner, [("v", "uint8")])
    assert km.deserialize(name, data) == {"a": 1, "in": {"v": 0}}


# ---------------------------------------------------------------------------
# Truncation: while aligning versus while taking bytes.

TRUNCATION_CASES = [
    # (id, fields, hex input, detail)
    ("int32_align_past_end", [("a", "uint8"), ("b", "int32")], "00010000 07", ALIGN),
    ("int32_align_to_end", [("a", "uint8"), ("b", "int32")], "00010000 07000000", FILL),
    ("int32_partial", [("a", "uint8"), ("b", "int32")], "00010000 07000000 010203", FILL),
    ("int16_align_past_end", [("a", "uint8"), ("b", "int16")], "00010000 07", ALIGN),
    ("int16_align_to_end", [("a", "uint8"), ("b", "uint16")], "00010000 0700", FILL),
    ("int16_partial", [("a", "uint8"), ("b", "int16")], "00010000 070012", FILL),
    ("int64_first_header_only", [("v", "int64")], "00010000", ALIGN),
    ("int64_first_short_pad", [("v", "uint64")], "00010000 000000", ALIGN),
    ("int64_first_pad_to_end", [("v", "int64")], "00010000 00000000", FILL),
    ("int64_partial", [("v", "int64")], "00010000 00000000 01020304050607", FILL),
    ("float64_after_u8", [("a", "uint8"), ("v", "float64")], "00010000 07 000000 0000", FILL),
    ("float64_align_past_end", [("a", "uint8"), ("v", "float64")], "00010000 07 0000", ALIGN),
    ("float32_align_past_end", [("a", "uint8"), ("v", "float32")], "00010000 07 00", ALIGN),
    ("int32_header_only", [("v", "int32")], "00010000", FILL),
    ("uint8_header_only", [("v", "uint8")], "00010000", FILL),
    ("int8_header_only", [("v", "int8")], "00010000", FILL),
    ("bool_header_only", [("v", "bool")], "00010000", FILL),
    ("second_uint8", [("a", "uint8"), ("b", "uint8")], "00010000 01", FILL),
    ("string_length_partial", [("s", "string")], "00010000 0500", FILL),
    ("string_payload_partial", [("s", "string")], "00010000 05000000 6869", FILL),
    ("string_length_huge", [("s", "string")], "00010000 ffffffff 686900", FILL),
    ("string_align_past_end", [("a", "uint8"), ("s", "string")], "00010000 07 00", ALIGN),
    ("bytes_payload_partial", [("b", "bytes")], "00010000 03000000 0102", FILL),
    ("bytes_length_partial", [("b", "bytes")], "00010000 010000", FILL),
    ("bytes_header_only", [("b", "bytes")], "00010000", FILL),
    ("array_count_missing", [("a", "array<int32>")], "00010000", FILL),
    ("array_second_element_missing", [("a", "array<int32>")], "00010000 02000000 01000000", FILL),
    (
        "array_count_align_past_end",
        [("u", "uint8"), ("a", "array<int32>")],
        "00010000 07 0000",
        ALIGN,
    ),
    (
        "array_int64_element_align_past_end",
        [("u", "uint8"), ("a", "array<int64>")],
        "00010000 07000000 01000000",
        ALIGN,
    ),
    (
        "array_int64_element_align_to_end",
        [("u", "uint8"), ("a", "array<int64>")],
        "00010000 07000000 01000000 00000000",
        FILL,
    ),
    ("time_align_past_end", [("u", "uint8"), ("t", "time")], "00010000 07", ALIGN),
    ("time_nanosec_missing", [("t", "time")], "00010000 ffffffff", FILL),
    ("duration_nanosec_partial", [("t", "duration")], "00010000 ffffffff 0500", FILL),
    (
        "after_string_align_past_end",
        [("s", "string"), ("n", "int32")],
        "00010000 03000000 686900",
        ALIGN,
    ),
    (
        "after_string_align_to_end",
        [("s", "string"), ("n", "int32")],
        "00010000 03000000 686900 00",
        FILL,
    ),
]


@pytest.mark.parametrize(
    "fields, hexdata, detail",
    [c[1:] for c in TRUNCATION_CASES],
    ids=[c[0] for c in TRUNCATION_CASES],
)
def test_truncation(fields, hexdata, detail, schema):
    name = schema(fields)
    assert decode_failure(name, bytes.fromhex(hexdata)) == detail


def test_truncation_inside_nested_struct_and_array_of_structs(schema, struct_type):
    inner = struct_type([("x", "uint8"), ("y", "int64")], prefix="tr")
    name = schema([("s", inner)])
    assert decode_failure(name, HEADER + b"\x01\x00") == ALIGN
    assert decode_failure(name, HEADER + b"\x01\x00\x00\x00\x05") == FILL
    arr = schema([("a", f"array<{inner}>")])
    one = Cdr().count(2).u8(1).i64(2).done()
    assert decode_failure(arr, one) == FILL  # second x missing (offset 24 == length)
    assert decode_failure(arr, one + b"\x03") == ALIGN  # second y: target 32 > 25


# ---------------------------------------------------------------------------
# ROS string terminator and field paths.


def test_string_terminator_failures_name_the_field_path(schema):
    # Length 0.
    name = schema([("frame_id", "string")])
    assert decode_failure(name, HEADER + b"\x00\x00\x00\x00") == nul_message("frame_id")
    assert decode_failure(name, HEADER + b"\x00\x00\x00\x00rest") == nul_message("frame_id")
    # Last byte not NUL (even if valid text, even if an earlier byte is NUL).
    for payload in (b"A", b"ab", b"\x00a", b"\xff\xfe", b"\xc3"):
        data = Cdr().string(payload, terminator=b"").done()
        assert decode_failure(name, data) == nul_message("frame_id")
    # A single NUL is the empty string.
    assert km.deserialize(name, HEADER + b"\x01\x00\x00\x00\x00") == {"frame_id": ""}


def test_string_length_past_end_is_fill_not_terminator(schema):
    name = schema([("s", "string")])
    data = HEADER + struct.pack("<I", 10) + b"abc"
    assert decode_failure(name, data) == FILL


@pytest.mark.parametrize(
    "layout, expected_path",
    [
        ("top", "frame_id"),
        ("nested", "pose.header.frame_id"),
        ("array_of_strings", "names"),
        ("struct_with_array_of_strings", "scan.names"),
        ("array_of_structs_with_array_of_strings", "scan.names"),
        ("array_of_array_of_strings", "grid"),
        ("empty_field_name", ""),
        ("empty_nested_field_name", "outer."),
    ],
)
def test_terminator_failure_paths(layout, expected_path, schema, struct_type):
    if layout == "top":
        name = schema([("frame_id", "string")])
        data = Cdr().string(b"xy", terminator=b"z").done()
    elif layout == "nested":
        header = struct_type([("stamp", "time"), ("frame_id", "string")], prefix="hdr")
        pose = struct_type([("header", header)], prefix="pose")
        name = schema([("pose", pose)])
        data = Cdr().time(1, 2).string(b"xy", terminator=b"z").done()
    elif layout == "array_of_strings":
        name = schema([("names", "array<string>")])
        data = Cdr().count(3).string("ok").string("").string(b"xy", terminator=b"z").done()
    elif layout == "struct_with_array_of_strings":
        scan = struct_type([("names", "array<string>")], prefix="scan")
        name = schema([("scan", scan)])
        data = Cdr().count(2).string("a").string(b"xy", terminator=b"z").done()
    elif layout == "array_of_structs_with_array_of_strings":
        scan = struct_type([("id", "uint8"), ("names", "array<string>")], prefix="scan")
        name = schema([("scan", f"array<{scan}>")])
        c = Cdr().count(2)
        c.u8(1).count(1).string("fine")
        c.u8(2).count(2).string("a").string(b"xy", terminator=b"z")
        data = c.done()
    elif layout == "array_of_array_of_strings":
        name = schema([("grid", "array<array<string>>")])
        data = (
            Cdr()
            .count(2)
            .count(1)
            .string("a")
            .count(1)
            .string(b"", length=0, terminator=b"")
            .done()
        )
    elif layout == "empty_field_name":
        name = schema([("", "string")])
        data = Cdr().string(b"xy", terminator=b"z").done()
    else:
        outer = struct_type([("", "string")], prefix="blank")
        name = schema([("outer", outer)])
        data = Cdr().string(b"", length=0, terminator=b"").done()
    assert decode_failure(name, data) == nul_message(expected_path)


# ---------------------------------------------------------------------------
# Strict UTF-8.


def _utf8_width(first):
    if 0xC2 <= first <= 0xDF:
        return 2
    if 0xE0 <= first <= 0xEF:
        return 3
    if 0xF0 <= first <= 0xF4:
        return 4
    return 0


def _second_byte_range(first):
    return {0xE0: (0xA0, 0xBF), 0xED: (0x80, 0x9F), 0xF0: (0x90, 0xBF), 0xF4: (0x80, 0x8F)}.get(
        first, (0x80, 0xBF)
    )


def utf8_error(text):
    """Expected failure text for a string's bytes, or None when they are valid UTF-8.

    An invalid sequence is reported with its length (1 to 3 bytes) and the
    length of the valid prefix; text that ends inside a sequence that was
    valid so far is "incomplete" from the start of that sequence.
    """
    i, n = 0, len(text)
    while i < n:
        first = text[i]
        if first < 0x80:
            i += 1
            continue
        width = _utf8_width(first)
        if width == 0:
            return f"invalid utf-8 sequence of 1 bytes from index {i}"
        lo, hi = _second_byte_range(first)
        for k in range(1, width):
            if i + k >= n:
                return f"incomplete utf-8 byte sequence from index {i}"
            byte = text[i + k]
            ok = lo <= byte <= hi if k == 1 else 0x80 <= byte <= 0xBF
            if not ok:
                return f"invalid utf-8 sequence of {k} bytes from index {i}"
        i += width
    return None


UTF8_CASES = [
    # valid edges
    ("", None),
    ("41 00 42", None),
    ("c2 80", None),
    ("df bf", None),
    ("e0 a0 80", None),
    ("ed 9f bf", None),
    ("ee 80 80", None),
    ("ef bf bf", None),
    ("f0 90 80 80", None),
    ("f4 8f bf bf", None),
    ("f1 80 80 80", None),
    # lone or stray bytes
    ("80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("41 80 41", "invalid utf-8 sequence of 1 bytes from index 1"),
    ("c3 a9 a9", "invalid utf-8 sequence of 1 bytes from index 2"),
    ("ff", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("00 ff", "invalid utf-8 sequence of 1 bytes from index 1"),
    ("c3 a9 ff", "invalid utf-8 sequence of 1 bytes from index 2"),
    # overlong forms
    ("c0 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("c1 bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("e0 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("e0 9f bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f0 80 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f0 8f bf bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    # surrogates
    ("ed a0 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("ed bf bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("61 ed b0 80", "invalid utf-8 sequence of 1 bytes from index 1"),
    # above U+10FFFF
    ("f4 90 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f5 80 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f7 bf bf bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f8 88 80 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("fc 84 80 80 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("fe", "invalid utf-8 sequence of 1 bytes from index 0"),
    # broken sequences of 1, 2 and 3 bytes
    ("c2 41", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("c2 c2 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("e1 41 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("e1 80 41", "invalid utf-8 sequence of 2 bytes from index 0"),
    ("e1 80 e1 80 80", "invalid utf-8 sequence of 2 bytes from index 0"),
    ("f1 80 41 80", "invalid utf-8 sequence of 2 bytes from index 0"),
    ("f1 80 80 41", "invalid utf-8 sequence of 3 bytes from index 0"),
    ("f0 9f 98 41", "invalid utf-8 sequence of 3 bytes from index 0"),
    ("61 62 e1 80 41", "invalid utf-8 sequence of 2 bytes from index 2"),
    ("e2 82 ac f0 9f 98 00", "invalid utf-8 sequence of 3 bytes from index 3"),
    # an invalid byte before the end is not "incomplete"
    ("c2 ff", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("e0 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("ed a0", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f0 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f4 90", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("e1 80 ff", "invalid utf-8 sequence of 2 bytes from index 0"),
    ("c2 e1 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    # truncated at the end of the text
    ("c2", "incomplete utf-8 byte sequence from index 0"),
    ("e0", "incomplete utf-8 byte sequence from index 0"),
    ("ed", "incomplete utf-8 byte sequence from index 0"),
    ("f4", "incomplete utf-8 byte sequence from index 0"),
    ("e0 a0", "incomplete utf-8 byte sequence from index 0"),
    ("f0 90", "incomplete utf-8 byte sequence from index 0"),
    ("f0 90 80", "incomplete utf-8 byte sequence from index 0"),
    ("f4 8f bf", "incomplete utf-8 byte sequence from index 0"),
    ("61 e1 80", "incomplete utf-8 byte sequence from index 1"),
    ("00 00 c3", "incomplete utf-8 byte sequence from index 2"),
    ("e2 82 ac f0 9f 98", "incomplete utf-8 byte sequence from index 3"),
]


def _python_verdict(text):
    """The same classification as utf8_error, derived from Python's decoder
    (as the reference model does)."""
    return utf8_failure(text)[1]


@pytest.mark.parametrize("hextext, expected", UTF8_CASES, ids=[c[0] or "empty" for c in UTF8_CASES])
def test_reference_utf8_rules(hextext, expected):
    text = bytes.fromhex(hextext)
    assert utf8_error(text) == expected
    assert _python_verdict(text) == expected


@pytest.fixture(scope="module")
def string_schema(module_schemas):
    return module_schemas.register(
        [("u", "uint8"), ("s", "string"), ("after", "uint8")], prefix="utf8"
    )


def _string_message(text):
    return Cdr().u8(1).string(text).u8(2).done()


@pytest.mark.parametrize("hextext, expected", UTF8_CASES, ids=[c[0] or "empty" for c in UTF8_CASES])
def test_module_utf8_cases(string_schema, hextext, expected):
    text = bytes.fromhex(hextext)
    data = _string_message(text)
    if expected is None:
        assert km.deserialize(string_schema, data) == {
            "u": 1,
            "s": text.decode("utf-8"),
            "after": 2,
        }
    else:
        assert decode_failure(string_schema, data) == expected


@pytest.mark.parametrize("first", range(0xF5, 0x100))
def test_lead_bytes_above_f4_are_invalid_alone_and_followed(first, string_schema):
    for tail in (b"", b"\x80", b"\x80\x80\x80", b"A"):
        data = _string_message(b"ok" + bytes([first]) + tail)
        assert (
            decode_failure(string_schema, data) == "invalid utf-8 sequence of 1 bytes from index 2"
        )


@pytest.mark.parametrize("cont", [0x80, 0x8F, 0x9F, 0xA0, 0xBF])
def test_lone_continuation_bytes(cont, string_schema):
    data = _string_message(b"\x00" + bytes([cont]) + b"\xc3\xa9")
    assert decode_failure(string_schema, data) == "invalid utf-8 sequence of 1 bytes from index 1"


_INTERESTING = [
    0x00,
    0x41,
    0x7F,
    0x80,
    0x8F,
    0x90,
    0x9F,
    0xA0,
    0xBF,
    0xC0,
    0xC1,
    0xC2,
    0xDF,
    0xE0,
    0xE1,
    0xEC,
    0xED,
    0xEE,
    0xEF,
    0xF0,
    0xF1,
    0xF3,
    0xF4,
    0xF5,
    0xFF,
]

_junk = st.lists(st.one_of(st.sampled_from(_INTERESTING), st.integers(0, 255)), max_size=10).map(
    bytes
)
_valid = st.text(alphabet=st.characters(codec="utf-8"), max_size=6).map(lambda s: s.encode("utf-8"))


@settings(max_examples=400, deadline=None)
@given(parts=st.tuples(_valid, _junk, _valid))
@example(parts=(b"", b"\xf0\x9f\x98", b""))
@example(parts=("\u00e9".encode(), b"\xed\xa0\x80", b"z"))
def test_module_matches_utf8_rules_on_random_bytes(string_schema, parts):
    text = b"".join(parts)
    expected = utf8_error(text)
    assert expected == _python_verdict(text)
    data = _string_message(text)
    if expected is None:
        result = km.deserialize(string_schema, data)
        assert result == {"u": 1, "s": text.decode("utf-8"), "after": 2}
    else:
        assert decode_failure(string_schema, data) == expected


def test_utf8_error_index_is_within_the_string_and_has_no_path(schema, struct_type):
    inner = struct_type([("label", "string")], prefix="lbl")
    name = schema([("n", "uint32"), ("names", "array<string>"), ("s", inner)])
    data = Cdr().u32(1).count(2).string("first").string(b"ab\xe2\x82").done()
    assert decode_failure(name, data) == "incomplete utf-8 byte sequence from index 2"
    data = Cdr().u32(1).count(0).string(b"\xc3\xa9\xc3(").done()
    assert decode_failure(name, data) == "invalid utf-8 sequence of 1 bytes from index 2"


def test_terminator_is_checked_before_utf8(schema):
    name = schema([("s", "string")])
    data = Cdr().string(b"\xff\xfe", terminator=b"\xc3").done()
    assert decode_failure(name, data) == nul_message("s")


# ---------------------------------------------------------------------------
# Forged lengths and counts.


def _forged_cases():
    """(fields, data) pairs whose lengths or counts claim far more than the input holds."""
    cases = []
    for n in (0xFFFFFFFF, 0xFFFFFFFE, 0x80000000, 0x7FFFFFFF, 0x10000000):
        cases.append(([["s", "string"]], (HEADER + struct.pack("<I", n) + b"abc\x00").hex()))
        cases.append(([["b", "bytes"]], (HEADER + struct.pack("<I", n) + b"abc").hex()))
    for elem in ("uint8", "int64", "string", "bytes", "array<uint8>", "float64", "time", "bool"):
        # 0x01 filler: each element is either complete or claims 0x01010101 more bytes.
        data = HEADER + struct.pack("<I", 0xFFFFFFFF) + b"\x01" * 12
        cases.append(([["a", f"array<{elem}>"]], data.hex()))
    return cases


FORGED_SCRIPT = textwrap.dedent("""
    import json, resource, struct, sys, time
    import _korvex_messages as km
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
    limit = vm + 256 * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    cases = json.loads(sys.argv[1])
    out = []
    start = time.monotonic()
    for i, (fields, hexdata) in enumerate(cases):
        name = "forged_%d" % i
        km.register_schema(name, [tuple(f) for f in fields])
        try:
            km.deserialize(name, bytes.fromhex(hexdata))
            out.append("no error")
        except BaseException as exc:
            out.append("%s: %s" % (type(exc).__name__, exc))
    out.append(time.monotonic() - start)
    print(json.dumps(out))
""")


@pytest.mark.skipif(
    not sys.platform.startswith("linux"),
    reason="the address-space limit needs /proc/self/status and RLIMIT_AS (Linux)",
)
def test_forged_lengths_fail_without_large_allocation(run_python):
    cases = _forged_cases()
    proc = run_python(FORGED_SCRIPT, json.dumps(cases))
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    elapsed = out.pop()
    assert out == ["TypeError: Deserialization failed: failed to fill whole buffer"] * len(cases)
    assert elapsed < 5.0


def test_forged_lengths_allocate_nothing_large_in_process(schema):
    cases = _forged_cases()
    names = []
    for fields, _ in cases:
        names.append(schema([tuple(f) for f in fields], prefix="forged"))
    tracemalloc.start()
    try:
        for name, (_, hexdata) in zip(names, cases):
            assert decode_failure(name, bytes.fromhex(hexdata)) == FILL
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 1024 * 1024


def test_huge_count_fails_after_reading_the_values_present(schema):
    name = schema([("a", "array<int32>")])
    data = HEADER + struct.pack("<Iii", 0xFFFFFFFF, 1, 2)
    assert decode_failure(name, data) == FILL
    # The two values are fine; an odd extra byte does not change the outcome.
    assert decode_failure(name, data + b"\x03") == FILL
    assert decode_failure(name, data + b"\x03\x00\x00") == FILL
