"""The floors the benchmark compares against: the pure-Python ones
(marshal, pickle, and the copies of bench/workloads.py) and the codec floors
of the test-only module (serialize_floor, floor_template, deserialize_floor).

The codec floors are skipped when the test-only module is not built.
"""

import pytest

import _korvex_messages as km
from bench import run
from bench.contenders import codec_floor, floors
from tests.support import cdr
from tests.support.acceptance import kind_name
from tests.support.bench import BY_KEY, KEYS
from tests.support.checks import assert_same, raises_exact
from tests.support.contract import (
    SERIALIZATION_FAILED,
    mismatch_text,
    missing_field_text,
    missing_nested_field_text,
    nesting_text,
    too_long_text,
)

pytestmark = pytest.mark.usefixtures("bench_schemas")


@pytest.mark.parametrize("key", KEYS)
def test_floors_round_trip(key, our_contender):
    workload = BY_KEY[key]
    prepared = our_contender.prepare(workload)
    for contender in floors.CONTENDERS:
        prepared += contender.prepare(workload)
    run.check(workload, prepared)
    labels = [p.label for p in prepared]
    assert {"marshal", "pickle"} <= set(labels)
    extra = {"4a": "array.array('f')", "4b": "one copy"}.get(key)
    if extra is not None:
        assert extra in labels


# ---------------------------------------------------------------------------
# The codec floors of the test-only module


@pytest.fixture(scope="module")
def floor_contender(kt):
    contender = codec_floor.CodecFloor()
    contender.load()
    return contender


@pytest.mark.parametrize("key", KEYS)
def test_floors_run_and_build_what_deserialize_returns(key, kt, floor_contender, our_contender):
    workload = BY_KEY[key]
    prepared = our_contender.prepare(workload) + floor_contender.prepare(workload)
    run.check(workload, prepared)
    floor = prepared[1]
    assert floor.encode is kt.serialize_floor and floor.decode is kt.deserialize_floor
    assert floor.encode(*floor.encode_args) is None
    expected = km.deserialize(workload.schema, km.serialize(workload.schema, workload.message))
    # The floor builds new objects: none is the template's own.
    built = floor.decode(*floor.decode_args)
    assert_same(built, expected, fresh=True)
    # Every call builds anew, from the same template.
    again = floor.decode(*floor.decode_args)
    assert_same(again, expected, fresh=True)
    if isinstance(expected, dict) and expected:
        assert again is not built


def test_floor_template_rounds_float32_as_deserialize_does(kt, unique_name):
    name = unique_name("floor_f32")
    fields = [
        ("a", "float32"),
        ("b", "array<float32>"),
        ("t", "time"),
        ("n", "uint64"),
        ("s", "string"),
        ("flag", "bool"),
        ("d", "duration"),
        ("m", "array<array<int8>>"),
        ("texts", "array<string>"),
    ]
    km.register_schema(name, fields)
    kt.register_schema(name, fields)
    message = {
        "a": 0.1,
        "b": [0.2, 1e39, 3],
        "t": {"sec": -5, "nanosec": 7},
        "n": 2**64 - 1,
        "s": "ü€😀",
        "flag": True,
        "d": {"sec": 2**31 - 1, "nanosec": 2**32 - 1},
        "m": [[-128, 127], []],
        # every character width, and the empty string
        "texts": ["ascii", "café", "€uro", "😀", "", "a\x00b"],
    }
    built = kt.deserialize_floor(name, kt.floor_template(name, message))
    assert_same(built, km.deserialize(name, km.serialize(name, message)), fresh=True)


def _floor_schema(kt, unique_name, with_inner=False):
    inner = unique_name("floor_inner")
    kt.register_schema(inner, [("x", "float64"), ("stamp", "time")])
    outer = unique_name("floor_outer")
    kt.register_schema(
        outer,
        [("i", "int32"), ("s", "string"), ("b", "bytes"), ("items", "array<struct:" + inner + ">")],
    )
    return (outer, inner) if with_inner else outer


GOOD = {"i": 1, "s": "a", "b": b"", "items": [{"x": 1.5, "stamp": {"sec": 1, "nanosec": 2}}]}


def _with(**changes):
    return dict(GOOD, **changes)


def _item(**changes):
    return _with(items=[dict(GOOD["items"][0], **changes)])


# The floors run the encoder's own walk, so they refuse what serialize
# refuses, with serialize's TypeError and text; so does floor_template,
# which records along the same walk.  (message, its text given the inner
# schema's name)
FLOOR_READ_FAILURES = [
    ("int as str", _with(i="1"), lambda inner: mismatch_text("i", "int32", kind_name("1"))),
    ("string as int", _with(s=1), lambda inner: mismatch_text("s", "string", kind_name(1))),
    ("bytes as str", _with(b="x"), lambda inner: mismatch_text("b", "bytes", kind_name("x"))),
    (
        "array as tuple",
        _with(items=tuple(GOOD["items"])),
        lambda inner: mismatch_text("items", f"array<struct:{inner}>", kind_name(())),
    ),
    (
        "struct as list",
        _with(items=[[]]),
        lambda inner: mismatch_text("items", f"struct:{inner}", kind_name([])),
    ),
    # A nested value's mismatch is reported against the array element.
    ("float as str", _item(x="1"), lambda inner: mismatch_text("items", "float64", "dict")),
    (
        "sec as float",
        _item(stamp={"sec": 1.0, "nanosec": 2}),
        lambda inner: mismatch_text("items", "time with int32 sec", "dict"),
    ),
    (
        "nanosec out of range",
        _item(stamp={"sec": 1, "nanosec": 2**32}),
        lambda inner: mismatch_text("items", "time with uint32 nanosec", "dict"),
    ),
    ("int out of range", _with(i=2**31), lambda inner: mismatch_text("i", "int32", "int")),
    (
        "missing field",
        {k: v for k, v in GOOD.items() if k != "s"},
        lambda inner: missing_field_text("s"),
    ),
    (
        "missing nested field",
        _with(items=[{"stamp": {"sec": 1, "nanosec": 2}}]),
        lambda inner: missing_nested_field_text("items.x"),
    ),
    (
        "missing nanosec",
        _item(stamp={"sec": 1}),
        lambda inner: missing_field_text("items.stamp.nanosec"),
    ),
]


@pytest.mark.parametrize(
    "values, text",
    [c[1:] for c in FLOOR_READ_FAILURES],
    ids=[c[0] for c in FLOOR_READ_FAILURES],
)
def test_floors_refuse_what_serialize_refuses(kt, unique_name, values, text):
    outer, inner = _floor_schema(kt, unique_name, with_inner=True)
    assert kt.serialize_floor(outer, GOOD) is None
    for function in (kt.serialize, kt.serialize_floor, kt.floor_template):
        raises_exact(TypeError, text(inner), function, outer, values)


def test_floor_template_is_refused_after_registry_changes(kt, unique_name):
    outer = _floor_schema(kt, unique_name)
    template = kt.floor_template(outer, GOOD)
    assert kt.deserialize_floor(outer, template) == GOOD
    other = unique_name("floor_other")
    kt.register_schema(other, [])
    with pytest.raises(ValueError, match="stale"):
        kt.deserialize_floor(outer, template)
    fresh = kt.floor_template(outer, GOOD)
    with pytest.raises(ValueError, match="stale"):
        kt.deserialize_floor(other, fresh)  # made for another schema
    import datetime

    for not_a_template in (object(), datetime.datetime_CAPI):  # the latter: another capsule
        with pytest.raises(TypeError, match="template"):
            kt.deserialize_floor(outer, not_a_template)
    with pytest.raises(KeyError):
        kt.deserialize_floor(unique_name("floor_unknown"), fresh)
    assert kt.deserialize_floor(outer, fresh) == GOOD


FLOOR_ARGUMENT_ERRORS = [
    (
        "serialize_floor",
        ("S",),
        {},
        "serialize_floor() missing 1 required positional argument: 'values'",
    ),
    (
        "serialize_floor",
        ("S", []),
        {},
        "argument 'values': 'list' object is not an instance of 'dict'",
    ),
    (
        "serialize_floor",
        (None, {}),
        {},
        "argument 'schema_name': 'None' is not an instance of 'str'",
    ),
    (
        "floor_template",
        ("S", {}),
        {"message": {}},
        "floor_template() got multiple values for argument 'message'",
    ),
    (
        "deserialize_floor",
        (),
        {},
        "deserialize_floor() missing 2 required positional arguments: 'schema_name' and 'template'",
    ),
]


@pytest.mark.parametrize("function, args, kwargs, text", FLOOR_ARGUMENT_ERRORS)
def test_floors_take_arguments_like_the_real_functions(kt, function, args, kwargs, text):
    with pytest.raises(TypeError) as raised:
        getattr(kt, function)(*args, **kwargs)
    assert raised.value.args == (text,)


def test_floors_accept_keywords_like_the_real_functions(kt, unique_name):
    outer = _floor_schema(kt, unique_name)
    assert kt.serialize_floor(schema_name=outer, values=GOOD) is None
    template = kt.floor_template(outer, message=GOOD)
    assert kt.deserialize_floor(template=template, schema_name=outer) == GOOD


def test_floors_refuse_nesting_like_serialize(kt, unique_name):
    name = unique_name("floor_chain")
    kt.register_schema(name, [("next", f"array<struct:{name}>")])
    message = {"next": []}
    for _ in range(60):  # 120 levels: the bound is met at the 51st list
        message = {"next": [message]}
    text = SERIALIZATION_FAILED + nesting_text(".".join(["next"] * 51))
    for function in (kt.serialize, kt.serialize_floor, kt.floor_template):
        raises_exact(TypeError, text, function, name, message)


# The deserialize floor replays, along the decoder's walk, what
# floor_template recorded along the encoder's walk: each case takes one
# part of that record (padding left out, strings with their ASCII mark,
# counts, the struct paths of the decoder) through both.  The expected dict
# is the reference model's decoding of the model's own bytes.
# (fields, with {fixed} and {empty} for the nested schemas; message)
FIXED_FIELDS = [("a", "uint8"), ("b", "float64"), ("c", "int16")]
FLOOR_ROUND_TRIPS = [
    (
        "every fixed-size kind, with padding between them",
        [
            ("u8", "uint8"),
            ("f64", "float64"),
            ("flag", "bool"),
            ("i16", "int16"),
            ("i64", "int64"),
            ("u16", "uint16"),
            ("i32", "int32"),
            ("u64", "uint64"),
            ("i8", "int8"),
            ("f32", "float32"),
            ("u32", "uint32"),
        ],
        {
            "u8": 255,
            "f64": -0.0,
            "flag": True,
            "i16": -32768,
            "i64": -(2**63),
            "u16": 65535,
            "i32": 2**31 - 1,
            "u64": 2**64 - 1,
            "i8": -128,
            "f32": 0.5,
            "u32": 2**32 - 1,
        },
    ),
    (
        "strings: empty, short and long ASCII, non-ASCII, an inner NUL",
        [
            ("empty", "string"),
            ("short", "string"),
            ("long", "string"),
            ("wide", "string"),
            ("nul", "string"),
            ("short_wide", "string"),
        ],
        {
            "empty": "",
            "short": "base_link",
            "long": "l" * 40,
            "wide": "ü€😀" * 9,
            "nul": "a\x00b",
            "short_wide": "é",
        },
    ),
    ("bytes", [("none", "bytes"), ("some", "bytes")], {"none": b"", "some": bytes(range(37))}),
    (
        "time and duration",
        [("flag", "bool"), ("t", "time"), ("d", "duration")],
        {
            "flag": False,
            "t": {"sec": -(2**31), "nanosec": 7},
            "d": {"sec": 3, "nanosec": 2**32 - 1},
        },
    ),
    (
        "arrays of every leaf",
        [
            ("f32", "array<float32>"),
            ("flags", "array<bool>"),
            ("u64", "array<uint64>"),
            ("names", "array<string>"),
            ("raw", "array<bytes>"),
            ("stamps", "array<time>"),
            ("none", "array<int8>"),
            ("f64", "array<float64>"),
        ],
        {
            "f32": [0.25, -2.0],
            "flags": [True, False, True],
            "u64": [0, 2**64 - 1],
            "names": ["a", "", "ü" * 20, "x" * 30],
            "raw": [b"", b"\xff"],
            "stamps": [{"sec": 1, "nanosec": 2}],
            "none": [],
            "f64": [1.5] * 3,
        },
    ),
    ("arrays of arrays", [("m", "array<array<int16>>")], {"m": [[1, -2], [], [3]]}),
    (
        "structs: of fixed-size fields alone and in lists, empty ones",
        [
            ("one", "struct:{fixed}"),
            ("many", "array<struct:{fixed}>"),
            ("empty", "struct:{empty}"),
            ("empties", "array<struct:{empty}>"),
            ("after", "uint8"),
        ],
        {
            "one": {"a": 1, "b": 2.5, "c": -3},
            "many": [{"a": 4, "b": 5.0, "c": 6}] * 3,
            "empty": {},
            "empties": [{}] * 5,
            "after": 9,
        },
    ),
    (
        "lengths beyond the test-only module's own limit",
        [("v", "array<float64>"), ("s", "string"), ("raw", "bytes"), ("names", "array<string>")],
        {"v": [i / 4 for i in range(40)], "s": "s" * 40, "raw": bytes(40), "names": ["n"] * 40},
    ),
]


@pytest.mark.parametrize(
    "fields, message", [c[1:] for c in FLOOR_ROUND_TRIPS], ids=[c[0] for c in FLOOR_ROUND_TRIPS]
)
def test_deserialize_floor_builds_what_the_model_decodes(kt, unique_name, fields, message):
    fixed, empty, top = (unique_name(p) for p in ("floor_fixed", "floor_empty", "floor_case"))
    schemas = {
        fixed: FIXED_FIELDS,
        empty: [],
        top: [(n, t.format(fixed=fixed, empty=empty)) for n, t in fields],
    }
    for module in (km, kt):
        for name, its_fields in schemas.items():
            module.register_schema(name, its_fields)
    registry = cdr.parse_schemas(schemas)
    expected = cdr.decode(top, cdr.encode(top, message, registry), registry)
    assert kt.serialize_floor(top, message) is None
    assert_same(kt.deserialize_floor(top, kt.floor_template(top, message)), expected)
    assert_same(km.deserialize(top, km.serialize(top, message)), expected)


def test_floors_take_the_lengths_of_the_timed_module(kt, unique_name):
    # The test-only module's own serialize stops at its lowered limit; the
    # floors stand for the real module's serialize and do not.
    n = kt.length_limit() + 1
    name = unique_name("floor_long")
    kt.register_schema(name, [("v", "array<int8>")])
    message = {"v": [1] * n}
    raises_exact(TypeError, too_long_text("v", n, "elements", n - 1), kt.serialize, name, message)
    assert kt.serialize_floor(name, message) is None
    assert_same(kt.deserialize_floor(name, kt.floor_template(name, message)), message)


def test_floor_template_refuses_a_registry_changed_while_it_was_made(kt, unique_name):
    # A record is only read along the plans it was written along: a change
    # in the middle of the walk (here from __index__) must not leave a
    # template behind.
    name = unique_name("floor_during")
    kt.register_schema(name, [("i", "int32"), ("s", "string")])
    other = unique_name("floor_other")

    class Registering:
        def __index__(self):
            kt.register_schema(other, [])
            return 5

    with pytest.raises(ValueError, match="while it was made"):
        kt.floor_template(name, {"i": Registering(), "s": "x"})
    kt.unregister_schema(other)
    # serialize and its floor take the same value without complaint.
    assert kt.serialize_floor(name, {"i": Registering(), "s": "x"}) is None
    kt.unregister_schema(other)
    data = kt.serialize(name, {"i": Registering(), "s": "x"})
    assert kt.deserialize(name, data) == {"i": 5, "s": "x"}
