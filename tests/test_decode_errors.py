"""deserialize: every failure, with its exact exception type and text."""

import json
import struct
import sys
import textwrap
import tracemalloc

import pytest
from hypothesis import example, given, settings, strategies as st

import _korvex_messages as km
from cdr_bytes import HEADER, Cdr
from helpers import fresh_name, register, struct_type

FILL = "failed to fill whole buffer"
ALIGN = "Input truncated while aligning CDR stream"
TOO_SHORT = "CDR payload too short (missing encapsulation header)"
EMPTY_LIMIT = 1048576


def decode_failure(name, data):
    """The detail text of the TypeError raised by deserialize (prefix checked)."""
    with pytest.raises(TypeError) as info:
        km.deserialize(name, data)
    exc = info.value
    assert type(exc) is TypeError
    assert len(exc.args) == 1 and type(exc.args[0]) is str
    assert str(exc) == exc.args[0]
    prefix = "Deserialization failed: "
    assert exc.args[0].startswith(prefix), exc.args[0]
    return exc.args[0][len(prefix):]


def nul_message(path):
    return f"Invalid ROS string for '{path}': missing NUL terminator"


def nesting_message(path):
    return (f"Nesting too deep at '{path}': at most 100 levels of nested structs and arrays "
            "are supported")


def empty_limit_message(path):
    return (f"Too many empty struct values at '{path}': at most 1048576 values that occupy no "
            "bytes are decoded per message")


# ---------------------------------------------------------------------------
# Header checks (ValueError, raised before the schema is looked up).

@pytest.mark.parametrize("data", [b"", b"\x00", b"\x00\x01", b"\x00\x01\x00", b"\x07\x08\x09"])
@pytest.mark.parametrize("known", [True, False])
def test_header_too_short(data, known):
    name = register([("v", "uint8")]) if known else fresh_name("missing")
    with pytest.raises(ValueError) as info:
        km.deserialize(name, data)
    assert type(info.value) is ValueError
    assert info.value.args == (TOO_SHORT,)


@pytest.mark.parametrize("data, shown", [
    (b"\x00\x00\x00\x00", "[00, 00, 00, 00]"),
    (b"\x00\x03\xab\x0c", "[00, 03, ab, 0c]"),
    (b"\x01\x01\x00\x00", "[01, 01, 00, 00]"),
    (b"\x01\x00\x00\x00", "[01, 00, 00, 00]"),
    (b"\x00\x02\x00\x00", "[00, 02, 00, 00]"),
    (b"\xff\xfe\xfd\xfc", "[ff, fe, fd, fc]"),
    (b"\x0a\x01\x00\x00\x00\x01", "[0a, 01, 00, 00]"),
    (b"\x10\x01\xa0\x0f" + b"\x00" * 20, "[10, 01, a0, 0f]"),
])
@pytest.mark.parametrize("known", [True, False])
def test_unsupported_encapsulation(data, shown, known):
    name = register([]) if known else fresh_name("missing")
    with pytest.raises(ValueError) as info:
        km.deserialize(name, data)
    assert type(info.value) is ValueError
    assert info.value.args == (
        f"Unsupported CDR encapsulation {shown}. Only little-endian CDR is currently supported",)


@pytest.mark.parametrize("data", [bytearray(HEADER), memoryview(HEADER), "\x00\x01\x00\x00", None, 0])
def test_non_bytes_data_is_refused(data):
    name = register([])
    with pytest.raises(TypeError) as info:
        km.deserialize(name, data)
    if data is None:
        expected = "argument 'data': 'None' is not an instance of 'bytes'"
    else:
        expected = f"argument 'data': '{type(data).__qualname__}' object is not an instance of 'bytes'"
    assert info.value.args == (expected,)


# ---------------------------------------------------------------------------
# Unknown schemas.

@pytest.mark.parametrize("prefix", ["plain", "gr\u00fc\u00df", "with space", "x'quote"])
@pytest.mark.parametrize("data", [HEADER, HEADER + b"\x01\x02\x03\x04", b"\x00\x01\xff\xff"])
def test_unknown_top_level_schema(prefix, data):
    name = fresh_name(prefix)
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


def test_unknown_nested_schema_reached_mid_message():
    missing = fresh_name("missing")
    name = register([("a", "uint8"), ("n", f"struct:{missing}"), ("b", "uint8")])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01\x02\x03")
    assert type(info.value) is KeyError
    assert info.value.args == (missing,)


def test_unknown_nested_schema_is_reported_by_its_trimmed_name():
    missing = fresh_name("missing")
    name = register([("n", f"struct:\t {missing}\u3000")])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER)
    assert info.value.args == (missing,)


def test_unknown_nested_schema_inside_array():
    missing = fresh_name("missing")
    name = register([("a", f"array<struct:{missing}>")])
    # No element, no lookup.
    assert km.deserialize(name, HEADER + struct.pack("<I", 0)) == {"a": []}
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + struct.pack("<I", 1))
    assert info.value.args == (missing,)


def test_unknown_nested_schema_deep_inside_known_ones():
    missing = fresh_name("missing")
    middle = struct_type([("x", "uint8"), ("deep", f"struct:{missing}")], prefix="mid")
    name = register([("m", middle)])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01")
    assert info.value.args == (missing,)


def test_earlier_truncation_wins_over_later_unknown_nested_schema():
    missing = fresh_name("missing")
    name = register([("a", "uint8"), ("b", "int32"), ("c", "uint8"), ("d", "uint8"),
                     ("n", f"struct:{missing}")])
    assert decode_failure(name, HEADER + b"\x01\x00\x00\x00\x02\x00") == FILL
    # Once the fields before it are complete, the lookup is what fails.
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01\x00\x00\x00\x02\x00\x00\x00\x03\x04")
    assert info.value.args == (missing,)


def test_unknown_nested_schema_wins_over_later_truncation():
    missing = fresh_name("missing")
    name = register([("a", "uint8"), ("n", f"struct:{missing}"), ("b", "int64")])
    with pytest.raises(KeyError) as info:
        km.deserialize(name, HEADER + b"\x01")
    assert info.value.args == (missing,)


def test_nested_schema_unregistered_after_outer_registration():
    inner = fresh_name("inner")
    km.register_schema(inner, [("v", "uint16")])
    name = register([("a", "uint8"), ("in", f"struct:{inner}")])
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
    ("array_count_align_past_end", [("u", "uint8"), ("a", "array<int32>")], "00010000 07 0000", ALIGN),
    ("array_int64_element_align_past_end", [("u", "uint8"), ("a", "array<int64>")],
     "00010000 07000000 01000000", ALIGN),
    ("array_int64_element_align_to_end", [("u", "uint8"), ("a", "array<int64>")],
     "00010000 07000000 01000000 00000000", FILL),
    ("time_align_past_end", [("u", "uint8"), ("t", "time")], "00010000 07", ALIGN),
    ("time_nanosec_missing", [("t", "time")], "00010000 ffffffff", FILL),
    ("duration_nanosec_partial", [("t", "duration")], "00010000 ffffffff 0500", FILL),
    ("after_string_align_past_end", [("s", "string"), ("n", "int32")], "00010000 03000000 686900", ALIGN),
    ("after_string_align_to_end", [("s", "string"), ("n", "int32")], "00010000 03000000 686900 00", FILL),
]


@pytest.mark.parametrize("fields, hexdata, detail", [c[1:] for c in TRUNCATION_CASES],
                         ids=[c[0] for c in TRUNCATION_CASES])
def test_truncation(fields, hexdata, detail):
    name = register(fields)
    assert decode_failure(name, bytes.fromhex(hexdata)) == detail


def test_truncation_inside_nested_struct_and_array_of_structs():
    inner = struct_type([("x", "uint8"), ("y", "int64")], prefix="tr")
    name = register([("s", inner)])
    assert decode_failure(name, HEADER + b"\x01\x00") == ALIGN
    assert decode_failure(name, HEADER + b"\x01\x00\x00\x00\x05") == FILL
    arr = register([("a", f"array<{inner}>")])
    one = Cdr().count(2).u8(1).i64(2).done()
    assert decode_failure(arr, one) == FILL          # second x missing (offset 24 == length)
    assert decode_failure(arr, one + b"\x03") == ALIGN  # second y: target 32 > 25


# ---------------------------------------------------------------------------
# ROS string terminator and field paths.

def test_string_terminator_failures_name_the_field_path():
    # Length 0.
    name = register([("frame_id", "string")])
    assert decode_failure(name, HEADER + b"\x00\x00\x00\x00") == nul_message("frame_id")
    assert decode_failure(name, HEADER + b"\x00\x00\x00\x00rest") == nul_message("frame_id")
    # Last byte not NUL (even if valid text, even if an earlier byte is NUL).
    for payload in (b"A", b"ab", b"\x00a", b"\xff\xfe", b"\xc3"):
        data = Cdr().string(payload, terminator=b"").done()
        assert decode_failure(name, data) == nul_message("frame_id")
    # A single NUL is the empty string.
    assert km.deserialize(name, HEADER + b"\x01\x00\x00\x00\x00") == {"frame_id": ""}


def test_string_length_past_end_is_fill_not_terminator():
    name = register([("s", "string")])
    data = HEADER + struct.pack("<I", 10) + b"abc"
    assert decode_failure(name, data) == FILL


@pytest.mark.parametrize("layout, expected_path", [
    ("top", "frame_id"),
    ("nested", "pose.header.frame_id"),
    ("array_of_strings", "names"),
    ("struct_with_array_of_strings", "scan.names"),
    ("array_of_structs_with_array_of_strings", "scan.names"),
    ("array_of_array_of_strings", "grid"),
    ("empty_field_name", ""),
    ("empty_nested_field_name", "outer."),
])
def test_terminator_failure_paths(layout, expected_path):
    if layout == "top":
        name = register([("frame_id", "string")])
        data = Cdr().string(b"xy", terminator=b"z").done()
    elif layout == "nested":
        header = struct_type([("stamp", "time"), ("frame_id", "string")], prefix="hdr")
        pose = struct_type([("header", header)], prefix="pose")
        name = register([("pose", pose)])
        data = Cdr().time(1, 2).string(b"xy", terminator=b"z").done()
    elif layout == "array_of_strings":
        name = register([("names", "array<string>")])
        data = Cdr().count(3).string("ok").string("").string(b"xy", terminator=b"z").done()
    elif layout == "struct_with_array_of_strings":
        scan = struct_type([("names", "array<string>")], prefix="scan")
        name = register([("scan", scan)])
        data = Cdr().count(2).string("a").string(b"xy", terminator=b"z").done()
    elif layout == "array_of_structs_with_array_of_strings":
        scan = struct_type([("id", "uint8"), ("names", "array<string>")], prefix="scan")
        name = register([("scan", f"array<{scan}>")])
        c = Cdr().count(2)
        c.u8(1).count(1).string("fine")
        c.u8(2).count(2).string("a").string(b"xy", terminator=b"z")
        data = c.done()
    elif layout == "array_of_array_of_strings":
        name = register([("grid", "array<array<string>>")])
        data = Cdr().count(2).count(1).string("a").count(1).string(b"", length=0, terminator=b"").done()
    elif layout == "empty_field_name":
        name = register([("", "string")])
        data = Cdr().string(b"xy", terminator=b"z").done()
    else:
        outer = struct_type([("", "string")], prefix="blank")
        name = register([("outer", outer)])
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
        first, (0x80, 0xBF))


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
    ("c2 80", None), ("df bf", None),
    ("e0 a0 80", None), ("ed 9f bf", None), ("ee 80 80", None), ("ef bf bf", None),
    ("f0 90 80 80", None), ("f4 8f bf bf", None), ("f1 80 80 80", None),
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
    """The same classification as utf8_error, derived from Python's decoder."""
    try:
        text.decode("utf-8")
    except UnicodeDecodeError as exc:
        if exc.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {exc.start}"
        return f"invalid utf-8 sequence of {exc.end - exc.start} bytes from index {exc.start}"
    return None


@pytest.mark.parametrize("hextext, expected", UTF8_CASES, ids=[c[0] or "empty" for c in UTF8_CASES])
def test_reference_utf8_rules(hextext, expected):
    text = bytes.fromhex(hextext)
    assert utf8_error(text) == expected
    assert _python_verdict(text) == expected


@pytest.fixture(scope="module")
def string_schema():
    return register([("u", "uint8"), ("s", "string"), ("after", "uint8")], prefix="utf8")


def _string_message(text):
    return Cdr().u8(1).string(text).u8(2).done()


@pytest.mark.parametrize("hextext, expected", UTF8_CASES, ids=[c[0] or "empty" for c in UTF8_CASES])
def test_module_utf8_cases(string_schema, hextext, expected):
    text = bytes.fromhex(hextext)
    data = _string_message(text)
    if expected is None:
        assert km.deserialize(string_schema, data) == {"u": 1, "s": text.decode("utf-8"), "after": 2}
    else:
        assert decode_failure(string_schema, data) == expected


@pytest.mark.parametrize("first", range(0xF5, 0x100))
def test_lead_bytes_above_f4_are_invalid_alone_and_followed(first, string_schema):
    for tail in (b"", b"\x80", b"\x80\x80\x80", b"A"):
        data = _string_message(b"ok" + bytes([first]) + tail)
        assert decode_failure(string_schema, data) == "invalid utf-8 sequence of 1 bytes from index 2"


@pytest.mark.parametrize("cont", [0x80, 0x8F, 0x9F, 0xA0, 0xBF])
def test_lone_continuation_bytes(cont, string_schema):
    data = _string_message(b"\x00" + bytes([cont]) + b"\xc3\xa9")
    assert decode_failure(string_schema, data) == "invalid utf-8 sequence of 1 bytes from index 1"


_INTERESTING = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]

_junk = st.lists(st.one_of(st.sampled_from(_INTERESTING), st.integers(0, 255)), max_size=10).map(bytes)
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


def test_utf8_error_index_is_within_the_string_and_has_no_path():
    inner = struct_type([("label", "string")], prefix="lbl")
    name = register([("n", "uint32"), ("names", "array<string>"), ("s", inner)])
    data = Cdr().u32(1).count(2).string("first").string(b"ab\xe2\x82").done()
    assert decode_failure(name, data) == "incomplete utf-8 byte sequence from index 2"
    data = Cdr().u32(1).count(0).string(b"\xc3\xa9\xc3(").done()
    assert decode_failure(name, data) == "invalid utf-8 sequence of 1 bytes from index 2"


def test_terminator_is_checked_before_utf8():
    name = register([("s", "string")])
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


@pytest.mark.skipif(not sys.platform.startswith("linux"),
                    reason="the address-space limit needs /proc/self/status and RLIMIT_AS (Linux)")
def test_forged_lengths_fail_without_large_allocation(run_python):
    cases = _forged_cases()
    proc = run_python(FORGED_SCRIPT, json.dumps(cases))
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    elapsed = out.pop()
    assert out == ["TypeError: Deserialization failed: failed to fill whole buffer"] * len(cases)
    assert elapsed < 5.0


def test_forged_lengths_allocate_nothing_large_in_process():
    cases = _forged_cases()
    names = []
    for fields, _ in cases:
        names.append(register([tuple(f) for f in fields], prefix="forged"))
    tracemalloc.start()
    try:
        for name, (_, hexdata) in zip(names, cases):
            assert decode_failure(name, bytes.fromhex(hexdata)) == FILL
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 1024 * 1024


def test_huge_count_fails_after_reading_the_values_present():
    name = register([("a", "array<int32>")])
    data = HEADER + struct.pack("<Iii", 0xFFFFFFFF, 1, 2)
    assert decode_failure(name, data) == FILL
    # The two values are fine; an odd extra byte does not change the outcome.
    assert decode_failure(name, data + b"\x03") == FILL
    assert decode_failure(name, data + b"\x03\x00\x00") == FILL


# ---------------------------------------------------------------------------
# Nesting bound.

def _chain(component, levels):
    return ".".join([component] * levels)


def _self_referential(fields_of):
    """Register a schema whose fields refer to itself; fields_of(type) -> fields."""
    name = fresh_name("cycle")
    km.register_schema(name, fields_of(f"struct:{name}"))
    return name


def test_zero_size_self_reference_stops_at_the_bound():
    name = _self_referential(lambda me: [("child", me)])
    for data in (HEADER, HEADER + b"\x00" * 64):
        assert decode_failure(name, data) == nesting_message(_chain("child", 101))


def test_zero_size_cycle_through_two_schemas():
    a, b = fresh_name("cyc_a"), fresh_name("cyc_b")
    km.register_schema(a, [("b", f"struct:{b}")])
    km.register_schema(b, [("a", f"struct:{a}")])
    path = ".".join(["b", "a"] * 50 + ["b"])
    assert decode_failure(a, HEADER) == nesting_message(path)


def test_byte_consuming_self_reference_allows_exactly_100_levels():
    name = _self_referential(lambda me: [("v", "uint8"), ("child", me)])
    # Top-level v, then one byte in each of the 100 permitted struct levels:
    # the level-101 struct is refused before its own byte is read.
    assert decode_failure(name, HEADER + b"\x01" * 101) == nesting_message(_chain("child", 101))
    assert decode_failure(name, HEADER + b"\x01" * 300) == nesting_message(_chain("child", 101))
    # One byte fewer: the level-100 struct fails to read its byte first.
    assert decode_failure(name, HEADER + b"\x01" * 100) == FILL


def test_nested_arrays_allow_exactly_100_levels():
    deep100 = register([("a", "array<" * 100 + "int32" + ">" * 100)], prefix="deep")
    deep101 = register([("a", "array<" * 101 + "int32" + ">" * 101)], prefix="deep")
    ones = struct.pack("<I", 1) * 100
    result = km.deserialize(deep100, HEADER + ones + struct.pack("<i", -5))["a"]
    for _ in range(99):
        assert type(result) is list and len(result) == 1
        result = result[0]
    assert result == [-5]
    assert decode_failure(deep100, HEADER + ones) == FILL
    # The level-101 array is refused on entry, before its count is read.
    assert decode_failure(deep101, HEADER + ones) == nesting_message("a")
    assert decode_failure(deep101, HEADER + ones + b"\x00" * 8) == nesting_message("a")
    # No element at level 100, so level 101 is never entered.
    empty_inner = HEADER + struct.pack("<I", 1) * 99 + struct.pack("<I", 0)
    nested = km.deserialize(deep101, empty_inner)["a"]
    for _ in range(99):
        nested = nested[0]
    assert nested == []


def test_arrays_and_structs_count_alike():
    name = _self_referential(lambda me: [("kids", f"array<{me}>")])
    # Arrays sit at odd levels, structs at even levels; 50 counts of 1 lead
    # to the level-100 struct, whose array would be level 101.
    data = HEADER + struct.pack("<I", 1) * 50
    assert decode_failure(name, data) == nesting_message(_chain("kids", 51))
    # A count of 0 at level 99 stops before the bound.
    ok = HEADER + struct.pack("<I", 1) * 49 + struct.pack("<I", 0)
    value = km.deserialize(name, ok)
    for _ in range(49):
        assert list(value) == ["kids"] and len(value["kids"]) == 1
        value = value["kids"][0]
    assert value == {"kids": []}


def test_top_level_struct_is_level_one():
    # A chain of 100 distinct struct levels under a top-level field decodes;
    # adding one more level is refused.
    leaf = register([("v", "uint8")], prefix="leaf")
    type_name = f"struct:{leaf}"
    for _ in range(99):
        type_name = struct_type([("n", type_name)], prefix="lvl")
    name100 = register([("top", type_name)])
    name101 = register([("top", struct_type([("n", type_name)], prefix="lvl"))])
    value = km.deserialize(name100, HEADER + b"\x07")["top"]
    for _ in range(99):
        value = value["n"]
    assert value == {"v": 7}
    assert decode_failure(name101, HEADER + b"\x07") == nesting_message("top" + ".n" * 100)


THREAD_SCRIPT = textwrap.dedent("""
    import json, struct, threading
    import _korvex_messages as km
    HEADER = b"\\x00\\x01\\x00\\x00"
    km.register_schema("zero", [("child", "struct:zero")])
    km.register_schema("bytey", [("v", "uint8"), ("child", "struct:bytey")])
    km.register_schema("kids", [("kids", "array<struct:kids>")])
    km.register_schema("deep", [("a", "array<" * 101 + "int32" + ">" * 101)])
    calls = [
        ("zero", HEADER),
        ("bytey", HEADER + b"\\x01" * 200),
        ("bytey", HEADER + b"\\x01" * 100),
        ("kids", HEADER + struct.pack("<I", 1) * 50),
        ("deep", HEADER + struct.pack("<I", 1) * 100),
    ]
    out = []
    def run():
        for name, data in calls:
            try:
                km.deserialize(name, data)
                out.append("no error")
            except BaseException as exc:
                out.append("%s: %s" % (type(exc).__name__, exc))
    threading.stack_size(256 * 1024)
    t = threading.Thread(target=run)
    t.start()
    t.join()
    print(json.dumps(out))
""")


def test_nesting_bound_holds_on_a_small_thread_stack(run_python):
    proc = run_python(THREAD_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    prefix = "TypeError: Deserialization failed: "
    assert json.loads(proc.stdout) == [
        prefix + nesting_message(_chain("child", 101)),
        prefix + nesting_message(_chain("child", 101)),
        prefix + FILL,
        prefix + nesting_message(_chain("kids", 51)),
        prefix + nesting_message("a"),
    ]


# ---------------------------------------------------------------------------
# Values that occupy no bytes.

def test_modest_count_of_empty_structs_decodes():
    empty = struct_type([], prefix="empty")
    name = register([("items", f"array<{empty}>"), ("tail", "uint8")])
    result = km.deserialize(name, HEADER + struct.pack("<I", 1000) + b"\x09")
    assert result["tail"] == 9
    assert len(result["items"]) == 1000
    assert all(type(d) is dict and d == {} for d in result["items"])


def test_huge_count_of_empty_structs_is_refused():
    empty = struct_type([], prefix="empty")
    name = register([("u", "uint8"), ("items", f"array<{empty}>")])
    data = Cdr().u8(1).count(0xFFFFFFFF).done()
    assert decode_failure(name, data) == empty_limit_message("items")


def test_empty_struct_limit_is_exact_and_per_message():
    empty = struct_type([], prefix="empty")
    name = register([("items", f"array<{empty}>")])
    at_limit = HEADER + struct.pack("<I", EMPTY_LIMIT)
    assert len(km.deserialize(name, at_limit)["items"]) == EMPTY_LIMIT
    # The budget is per call: a second call starts afresh.
    assert len(km.deserialize(name, at_limit)["items"]) == EMPTY_LIMIT
    over = HEADER + struct.pack("<I", EMPTY_LIMIT + 1)
    assert decode_failure(name, over) == empty_limit_message("items")


def test_empty_struct_limit_counts_across_fields():
    empty = struct_type([], prefix="empty")
    holder = struct_type([("e", empty)], prefix="holder")
    # EMPTY_LIMIT - 1 elements plus "one" reach the limit; the empty struct
    # under "holder" is the first value past it.
    name = register([("items", f"array<{empty}>"), ("one", empty), ("holder", holder)])
    data = HEADER + struct.pack("<I", EMPTY_LIMIT - 1)
    assert decode_failure(name, data) == empty_limit_message("holder.e")
    shorter = register([("items", f"array<{empty}>"), ("one", empty)])
    result = km.deserialize(shorter, data)
    assert len(result["items"]) == EMPTY_LIMIT - 1 and result["one"] == {}
