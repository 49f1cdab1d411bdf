"""Failures of ``serialize``: exact texts, the kinds reported, and the order of the checks."""

import collections
import struct
import warnings

import numpy as np
import pytest

import _korvex_messages as km
from tests.support.acceptance import kind_name
from tests.support.cdr import HEADER, INT_RANGES, TIME_TYPES
from tests.support.checks import raises_exact
from tests.support.contract import mismatch_text as mismatch
from tests.support.contract import missing_field_text, missing_nested_field_text
from tests.support.values import (
    BytesSub,
    EvilKey,
    FloatOnly,
    IndexOnly,
    IntSub,
    ListSub,
    Outer,
    RaisingFloat,
    RaisingIndex,
    UnprintableError,
    fake_type,
    named_type,
    numpy_bool_is_index,
)


@pytest.fixture
def fails(schema):
    """Register fields, serialize values, and require a TypeError with exactly ``text``."""

    def check(fields, values, text):
        name = schema(fields)
        return raises_exact(TypeError, text, km.serialize, name, values)

    return check


class Seq:
    """A sequence by __getitem__ only, iterable to its end."""

    def __getitem__(self, i):
        if i < 3:
            return i
        raise IndexError(i)


class BrokenSeq:
    """Passes the sequence check but cannot be iterated."""

    def __getitem__(self, i):
        raise ValueError("no items")


class Boom(Exception):
    pass


# ---------------------------------------------------------------------------
# Schema lookups and missing fields


def test_unknown_schema_is_key_error_with_bare_name(unique_name):
    name = unique_name("nope")
    with pytest.raises(KeyError) as info:
        km.serialize(name, {})
    assert type(info.value) is KeyError
    assert info.value.args == (name,)
    assert str(info.value) == repr(name)


def test_values_type_is_checked_before_schema_lookup(unique_name):
    raises_exact(
        TypeError,
        "argument 'values': 'list' object is not an instance of 'dict'",
        km.serialize,
        unique_name("nope"),
        [],
    )


def test_missing_top_level_field(fails):
    fails([("x", "int32")], {}, missing_field_text("x"))
    fails(
        [("a", "int32"), ("x", "string")],
        {"a": 1, "X": "s"},
        missing_field_text("x"),
    )
    fails([("", "int32")], {"x": 1}, missing_field_text(""))


def test_first_failing_field_wins(fails):
    # a missing first field is reported although a later one is of the wrong kind
    fails([("a", "int32"), ("b", "int32")], {"b": "bad"}, missing_field_text("a"))
    # a bad first field is reported although a later one is missing
    fails([("a", "int32"), ("b", "int32")], {"a": "bad"}, mismatch("a", "int32", "string"))


def test_mismatch_before_later_unknown_nested_schema(schema, unique_name):
    ghost = unique_name("Ghost")
    name = schema([("a", "uint8"), ("g", f"struct:{ghost}")])
    raises_exact(TypeError, mismatch("a", "uint8", "int"), km.serialize, name, {"a": 256, "g": {}})
    with pytest.raises(KeyError) as info:
        km.serialize(name, {"a": 1, "g": {}})
    assert info.value.args == (ghost,)


def test_unknown_nested_schema_even_though_top_level_exists(schema, unique_name):
    ghost = unique_name("Ghost")
    for ftype, value in [
        (f"struct:{ghost}", {}),
        (f"array<struct:{ghost}>", [{}]),
        (f"array<array<struct:{ghost}>>", [[], [{"x": 1}]]),
    ]:
        name = schema([("g", ftype)])
        with pytest.raises(KeyError) as info:
            km.serialize(name, {"g": value})
        assert type(info.value) is KeyError
        assert info.value.args == (ghost,)


def test_empty_array_of_unknown_structs_needs_no_lookup(schema, unique_name):
    name = schema([("g", f"array<struct:{unique_name('Ghost')}>")])
    assert km.serialize(name, {"g": []}) == HEADER + b"\x00" * 4


def test_struct_value_kind_checked_before_nested_lookup(schema, unique_name):
    ghost = unique_name("Ghost")
    name = schema([("g", f"struct:{ghost}")])
    raises_exact(TypeError, mismatch("g", f"struct:{ghost}", "list"), km.serialize, name, {"g": []})
    raises_exact(
        TypeError, mismatch("g", f"struct:{ghost}", "unknown"), km.serialize, name, {"g": None}
    )
    with pytest.raises(KeyError) as info:
        km.serialize(name, {"g": collections.OrderedDict()})
    assert info.value.args == (ghost,)


def test_missing_nested_field_paths(schema, fails):
    point = schema([("x", "float64"), ("y", "float64")], "Point")
    pose = schema([("position", f"struct:{point}"), ("stamp", "time")], "Pose")
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"stamp": {"sec": 0, "nanosec": 0}}},
        missing_nested_field_text("pose.position"),
    )
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"position": {"x": 1.0}, "stamp": {}}},
        missing_nested_field_text("pose.position.y"),
    )
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"position": {"x": 1.0, "y": 2.0}, "stamp": {"sec": 1}}},
        missing_field_text("pose.stamp.nanosec"),
    )
    # no index in the path of an array element
    fails(
        [("points", f"array<struct:{point}>")],
        {"points": [{"x": 1.0, "y": 2.0}, {"y": 3.0}]},
        missing_nested_field_text("points.x"),
    )
    fails(
        [("poses", f"array<array<struct:{pose}>>")],
        {"poses": [[], [{"position": {"y": 1.0}}]]},
        missing_nested_field_text("poses.position.x"),
    )


def test_nested_field_missing_before_later_bad_field(schema, fails):
    inner = schema([("a", "int32"), ("b", "int32")], "Inner")
    fails(
        [("p", f"struct:{inner}")],
        {"p": {"b": "bad"}},
        missing_nested_field_text("p.a"),
    )
    fails([("p", f"struct:{inner}")], {"p": {"a": "bad"}}, mismatch("p", "int32", "dict"))


@pytest.mark.parametrize("ftype", TIME_TYPES)
def test_time_missing_and_bad_parts(fails, ftype):
    f = [("stamp", ftype)]
    fails(f, {"stamp": {"sec": 1}}, missing_field_text("stamp.nanosec"))
    fails(f, {"stamp": {"nanosec": 1}}, missing_field_text("stamp.sec"))
    fails(f, {"stamp": {}}, missing_field_text("stamp.sec"))
    # sec is converted before nanosec is looked up
    fails(f, {"stamp": {"sec": "x"}}, mismatch("stamp", f"{ftype} with int32 sec", "dict"))
    fails(
        f,
        {"stamp": {"sec": 2**31, "nanosec": 0}},
        mismatch("stamp", f"{ftype} with int32 sec", "dict"),
    )
    fails(
        f,
        {"stamp": {"sec": -(2**31) - 1, "nanosec": 0}},
        mismatch("stamp", f"{ftype} with int32 sec", "dict"),
    )
    fails(
        f,
        {"stamp": {"sec": 1.0, "nanosec": 0}},
        mismatch("stamp", f"{ftype} with int32 sec", "dict"),
    )
    # a missing sec is reported before a bad nanosec
    fails(f, {"stamp": {"nanosec": "x"}}, missing_field_text("stamp.sec"))
    fails(
        f,
        {"stamp": {"sec": 0, "nanosec": -1}},
        mismatch("stamp", f"{ftype} with uint32 nanosec", "dict"),
    )
    fails(
        f,
        {"stamp": {"sec": 0, "nanosec": 2**32}},
        mismatch("stamp", f"{ftype} with uint32 nanosec", "dict"),
    )
    fails(
        f,
        {"stamp": {"sec": 0, "nanosec": None}},
        mismatch("stamp", f"{ftype} with uint32 nanosec", "dict"),
    )
    fails(f, {"stamp": [0, 0]}, mismatch("stamp", ftype, "list"))
    fails(f, {"stamp": 5}, mismatch("stamp", ftype, "int"))
    fails(f, {"stamp": None}, mismatch("stamp", ftype, "unknown"))
    fails(f, {"stamp": (0, 0)}, mismatch("stamp", ftype, "list"))


def test_time_inside_struct_and_array(schema, fails):
    inner = schema([("stamp", "duration")], "Inner")
    fails(
        [("p", f"struct:{inner}")],
        {"p": {"stamp": {"sec": 1}}},
        missing_field_text("p.stamp.nanosec"),
    )
    fails(
        [("p", f"struct:{inner}")],
        {"p": {"stamp": {"sec": 1, "nanosec": -5}}},
        mismatch("p", "duration with uint32 nanosec", "dict"),
    )
    fails(
        [("stamps", "array<time>")],
        {"stamps": [{"sec": 0, "nanosec": 0}, {"nanosec": 0}]},
        missing_field_text("stamps.sec"),
    )
    fails(
        [("stamps", "array<time>")],
        {"stamps": [{"sec": "s", "nanosec": 0}]},
        mismatch("stamps", "time with int32 sec", "dict"),
    )
    fails([("stamps", "array<time>")], {"stamps": [7]}, mismatch("stamps", "time", "int"))


# ---------------------------------------------------------------------------
# defaultdict: absent keys are missing and never created


def test_defaultdict_values_are_not_filled_in(schema):
    inner = schema([("x", "int32")], "Inner")
    name = schema([("a", "int32"), ("p", f"struct:{inner}"), ("t", "time")])

    top = collections.defaultdict(int)
    raises_exact(TypeError, missing_field_text("a"), km.serialize, name, top)
    assert dict(top) == {}

    nested = collections.defaultdict(int)
    raises_exact(
        TypeError,
        missing_nested_field_text("p.x"),
        km.serialize,
        name,
        {"a": 1, "p": nested},
    )
    assert dict(nested) == {}

    stamp = collections.defaultdict(int, {"sec": 3})
    raises_exact(
        TypeError,
        missing_field_text("t.nanosec"),
        km.serialize,
        name,
        {"a": 1, "p": {"x": 1}, "t": stamp},
    )
    assert dict(stamp) == {"sec": 3}


# ---------------------------------------------------------------------------
# Lookups that raise


def test_top_level_lookup_exception_propagates_unchanged(schema):
    name = schema([("a", "uint8"), ("x", "int32")])
    err = Boom("compare failed")
    with pytest.raises(Boom) as info:
        km.serialize(name, {"a": 1, EvilKey("x", err): 1})
    assert info.value is err

    err2 = KeyError("k")
    with pytest.raises(KeyError) as info:
        km.serialize(name, {"a": 1, EvilKey("x", err2): 1})
    assert info.value is err2


@pytest.mark.parametrize(
    "exc, rendered",
    [
        (Boom("compare failed"), "Boom: compare failed"),
        (Boom(), "Boom: "),
        (Outer.Inner("deep"), "Outer.Inner: deep"),
        (ValueError("v"), "ValueError: v"),
        (KeyError("k"), "KeyError: 'k'"),
        (UnprintableError("x"), "UnprintableError: <exception str() failed>"),
    ],
)
def test_lookup_exception_inside_struct_and_time_is_wrapped(schema, exc, rendered):
    inner = schema([("x", "int32")], "Inner")
    name = schema([("p", f"struct:{inner}"), ("t", "time"), ("q", f"array<struct:{inner}>")])
    text = "Serialization failed: " + rendered
    raises_exact(TypeError, text, km.serialize, name, {"p": {EvilKey("x", exc): 1}})
    stamp_sec = {EvilKey("sec", exc): 1, "nanosec": 2}
    raises_exact(TypeError, text, km.serialize, name, {"p": {"x": 1}, "t": stamp_sec})
    stamp_nsec = {"sec": 1, EvilKey("nanosec", exc): 2}
    raises_exact(TypeError, text, km.serialize, name, {"p": {"x": 1}, "t": stamp_nsec})
    raises_exact(
        TypeError,
        text,
        km.serialize,
        name,
        {"p": {"x": 1}, "t": {"sec": 1, "nanosec": 2}, "q": [{"x": 1}, {EvilKey("x", exc): 1}]},
    )


def test_bad_sec_reported_before_raising_nanosec_lookup(schema):
    name = schema([("t", "time")])
    raises_exact(
        TypeError,
        mismatch("t", "time with int32 sec", "dict"),
        km.serialize,
        name,
        {"t": {"sec": "x", EvilKey("nanosec", Boom("b")): 1}},
    )


# ---------------------------------------------------------------------------
# Which field and kind a mismatch names


def test_mismatch_field_and_got_follow_nearest_reporter(schema, fails):
    point = schema([("x", "float64"), ("flag", "bool")], "Point")
    pose = schema(
        [("p", f"struct:{point}"), ("vals", "array<int32>"), ("items", f"array<struct:{point}>")],
        "Pose",
    )
    ok_point = {"x": 1.0, "flag": True}

    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"p": {"x": "s", "flag": True}}},
        mismatch("pose", "float64", "dict"),
    )
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"p": {"x": 1.0, "flag": 1}}},
        mismatch("pose", "bool", "dict"),
    )
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"p": 5}},
        mismatch("pose", f"struct:{point}", "dict"),
    )
    # an array inside a struct reports its own path and the element's kind
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"p": ok_point, "vals": [1, "s"]}},
        mismatch("pose.vals", "int32", "string"),
    )
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"p": ok_point, "vals": (1,)}},
        mismatch("pose", "array<int32>", "dict"),
    )
    # a struct inside an array element reports the array path and "dict"
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"p": ok_point, "vals": [], "items": [ok_point, {"x": None, "flag": False}]}},
        mismatch("pose.items", "float64", "dict"),
    )
    fails(
        [("pose", f"struct:{pose}")],
        {"pose": {"p": ok_point, "vals": [], "items": [ok_point, [1]]}},
        mismatch("pose.items", f"struct:{point}", "list"),
    )
    fails([("ids", "array<int32>")], {"ids": [1, "s"]}, mismatch("ids", "int32", "string"))
    fails([("ids", "array<int32>")], {"ids": [1, 2**31]}, mismatch("ids", "int32", "int"))
    fails([("m", "array<array<int32>>")], {"m": [[1], [2, 1.5]]}, mismatch("m", "int32", "float"))
    fails(
        [("m", "array<array<int32>>")], {"m": [[1], "s"]}, mismatch("m", "array<int32>", "string")
    )
    fails(
        [("m", "array<array<int32>>")],
        {"m": {"a": 1}},
        mismatch("m", "array<array<int32>>", "dict"),
    )
    fails(
        [("pts", f"array<struct:{point}>")],
        {"pts": [{"x": "s", "flag": True}]},
        mismatch("pts", "float64", "dict"),
    )


def test_array_element_mismatch_names_the_array_path_in_nested_structs(schema, fails):
    leaf = schema([("names", "array<string>")], "Leaf")
    mid = schema([("leaf", f"struct:{leaf}")], "Mid")
    fails(
        [("top", f"struct:{mid}")],
        {"top": {"leaf": {"names": ["a", b"b"]}}},
        mismatch("top.leaf.names", "string", "bytes"),
    )
    fails(
        [("tops", f"array<struct:{mid}>")],
        {"tops": [{"leaf": {"names": ["a", 3]}}]},
        mismatch("tops.leaf.names", "string", "int"),
    )


def test_missing_nested_inside_array_of_structs_inside_struct(schema, fails):
    leaf = schema([("v", "uint8")], "Leaf")
    mid = schema([("leaves", f"array<struct:{leaf}>")], "Mid")
    fails(
        [("m", f"struct:{mid}")],
        {"m": {"leaves": [{"v": 1}, {}]}},
        missing_nested_field_text("m.leaves.v"),
    )


# ---------------------------------------------------------------------------
# Kinds of values (type_name_for_value), in the order of its tests


@pytest.mark.parametrize(
    "ftype, value, got",
    [
        # 1: booleans, numpy booleans included
        ("string", True, "bool"),
        ("string", False, "bool"),
        ("int32", np.True_, "bool"),
        ("string", np.bool_(False), "bool"),
        # 2: anything PyLong_AsLong takes
        ("string", 0, "int"),
        ("string", -(2**63), "int"),
        ("string", 2**63 - 1, "int"),
        ("string", IntSub(3), "int"),
        ("string", IndexOnly(5), "int"),
        ("string", np.int64(5), "int"),
        # 3: the unsigned rule
        ("string", 2**63, "uint"),
        ("string", 2**64 - 1, "uint"),
        ("string", IndexOnly(2**64 - 1), "uint"),
        ("int64", np.uint64(2**63), "uint"),
        # 4: the float rule
        ("string", 1.5, "float"),
        ("string", 2**64, "float"),
        ("string", -(2**63) - 1, "float"),
        ("string", 10**300, "float"),
        ("string", FloatOnly(1.0), "float"),
        ("string", np.float32(1.0), "float"),
        ("string", float("nan"), "float"),
        # 5: strings
        ("int32", "abc", "string"),
        ("int32", "", "string"),
        ("bytes", "é", "string"),
        # 6: bytes
        ("int32", b"x", "bytes"),
        ("string", BytesSub(b"x"), "bytes"),
        # 7, 8: lists, then other sequences that iterate to their end
        ("int32", [1], "list"),
        ("int32", ListSub(), "list"),
        ("int32", (1,), "list"),
        ("int32", range(3), "list"),
        ("bytes", bytearray(b"x"), "list"),
        ("bytes", memoryview(b"x"), "list"),
        ("int32", Seq(), "list"),
        # 9: dicts
        ("int32", {}, "dict"),
        ("int32", collections.OrderedDict(a=1), "dict"),
        # 10: everything else
        ("int32", None, "unknown"),
        ("int32", set(), "unknown"),
        ("int32", frozenset(), "unknown"),
        ("int32", object(), "unknown"),
        ("string", 2**1024, "unknown"),
        ("string", -(2**1024), "unknown"),
        ("int32", "\ud800", "unknown"),
        ("string", "a\udfffb", "unknown"),
        ("int32", BrokenSeq(), "unknown"),
        ("int32", RaisingIndex(ZeroDivisionError("index failed")), "unknown"),
        ("int32", IndexOnly("not an int"), "unknown"),
        ("int32", RaisingFloat(ValueError("float failed")), "unknown"),
    ],
)
def test_kind_names_in_mismatches(fails, schema, ftype, value, got):
    if isinstance(value, np.bool_) and ftype == "int32" and numpy_bool_is_index(np):
        # This numpy still converts its booleans through __index__ (with a
        # DeprecationWarning), so an integer field takes one as 0 or 1.
        name = schema([("f", ftype)])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            assert km.serialize(name, {"f": value}) == HEADER + struct.pack("<i", int(value))
        return
    fails([("f", ftype)], {"f": value}, mismatch("f", ftype, got))


# ---------------------------------------------------------------------------
# Value checks per type


@pytest.mark.parametrize(
    "ftype, lo, hi", [(ftype, lo, hi) for ftype, (lo, hi) in INT_RANGES.items()]
)
def test_integer_ranges(schema, ftype, lo, hi):
    name = schema([("v", ftype)])
    km.serialize(name, {"v": lo})
    km.serialize(name, {"v": hi})
    for bad in (lo - 1, hi + 1):
        expected = mismatch("v", ftype, kind_name(bad))
        raises_exact(TypeError, expected, km.serialize, name, {"v": bad})
        raises_exact(TypeError, expected, km.serialize, name, {"v": IndexOnly(bad)})


@pytest.mark.parametrize(
    "ftype, value, got",
    [
        ("int8", 300, "int"),
        ("uint64", -1, "int"),
        ("uint64", 2**64, "float"),
        ("int32", 1.5, "float"),
        ("int32", 1.0, "float"),
        ("int64", np.float64(2.0), "float"),
        ("uint64", 1.0, "float"),
        ("uint8", "1", "string"),
        ("bool", 1, "int"),
        ("bool", 0, "int"),
        ("bool", 1.0, "float"),
        ("bool", "True", "string"),
        ("bool", np.int8(1), "int"),
        ("bool", None, "unknown"),
        ("float64", "1.0", "string"),
        ("float32", None, "unknown"),
        ("float64", 2**1024, "unknown"),
        ("float32", 2**1024, "unknown"),
        ("float64", RaisingFloat(ValueError("float failed")), "unknown"),
        ("float64", b"1", "bytes"),
        ("string", b"abc", "bytes"),
        ("string", bytearray(b"abc"), "list"),
        ("string", "\ud800", "unknown"),
        ("bytes", bytearray(b"abc"), "list"),
        ("bytes", [1, 2], "list"),
        ("bytes", "ab", "string"),
        ("array<int32>", (1, 2), "list"),
        ("array<int32>", "ab", "string"),
        ("array<int32>", b"ab", "bytes"),
        ("array<int32>", {0: 1}, "dict"),
        ("array<int32>", set(), "unknown"),
        ("array<int32>", None, "unknown"),
        ("array<array<float64>>", "x", "string"),
        ("array<array<float64>>", (), "list"),
    ],
)
def test_value_checks(fails, ftype, value, got):
    fails([("f", ftype)], {"f": value}, mismatch("f", ftype, got))


@pytest.mark.parametrize(
    "ftype, expected",
    [
        ("array<ros_string>", "array<string>"),
        ("array<ros_bytes>", "array<bytes>"),
        ("array<array<ros_string>>", "array<array<string>>"),
        ("array<time>", "array<time>"),
        ("array<duration>", "array<duration>"),
        ("array<array<array<uint16>>>", "array<array<array<uint16>>>"),
    ],
)
def test_expected_text_is_the_canonical_name(fails, ftype, expected):
    fails([("f", ftype)], {"f": 5}, mismatch("f", expected, "int"))


def test_expected_text_for_alias_scalars(fails):
    fails([("f", "ros_string")], {"f": 5}, mismatch("f", "string", "int"))
    fails([("f", "ros_bytes")], {"f": 5}, mismatch("f", "bytes", "int"))


def test_expected_text_for_struct_types(schema, fails, unique_name):
    point = unique_name("Point")
    km.register_schema(point, [("x", "float64")])
    fails([("f", f"struct:{point}")], {"f": 5}, mismatch("f", f"struct:{point}", "int"))
    fails([("f", f"struct: {point}\t")], {"f": [1]}, mismatch("f", f"struct:{point}", "list"))
    fails(
        [("f", f"array<struct:{point}>")],
        {"f": {}},
        mismatch("f", f"array<struct:{point}>", "dict"),
    )
    fails([("f", f"array<struct:{point}>")], {"f": [5]}, mismatch("f", f"struct:{point}", "int"))
    fails(
        [("f", f"array<array<struct:{point}>>")],
        {"f": [(1,)]},
        mismatch("f", f"array<struct:{point}>", "list"),
    )


@pytest.mark.parametrize(
    "value, got",
    [
        (fake_type("bool_", "numpy.core", True)(), "unknown"),  # module must be exactly "numpy"
        (fake_type("bool_", "mynumpy", True)(), "unknown"),
        (fake_type("Bool", "numpy", True)(), "unknown"),
        (fake_type("bool8", "numpy", True)(), "unknown"),
        (fake_type("bool_", "numpy", ValueError("no truth"))(), "unknown"),  # truth value fails
        # the whole text counts, not a prefix up to a NUL
        (named_type("bool_", "numpy\0anything")(), "unknown"),
        (named_type("bool_\0x", "numpy")(), "unknown"),
        (named_type("bool\0", "numpy")(), "unknown"),
    ],
)
def test_bool_refuses_lookalikes(fails, value, got):
    fails([("b", "bool")], {"b": value}, mismatch("b", "bool", got))


def test_bool_names_are_read_through_the_type(schema):
    # The control for the NUL cases above: the same kind of type with the
    # exact names is taken as a numpy boolean.
    name = schema([("b", "bool")])
    assert km.serialize(name, {"b": named_type("bool_", "numpy", True)()}) == HEADER + b"\x01"
    assert km.serialize(name, {"b": named_type("bool", "numpy", False)()}) == HEADER + b"\x00"


def test_conversion_exception_is_replaced_by_mismatch(fails):
    # the ZeroDivisionError raised by __index__ is discarded
    fails(
        [("f", "int32")],
        {"f": RaisingIndex(ZeroDivisionError("index failed"))},
        mismatch("f", "int32", "unknown"),
    )
    fails(
        [("f", "uint64")],
        {"f": RaisingIndex(ZeroDivisionError("index failed"))},
        mismatch("f", "uint64", "unknown"),
    )
    fails(
        [("f", "float64")],
        {"f": RaisingIndex(ZeroDivisionError("index failed"))},
        mismatch("f", "float64", "unknown"),
    )
