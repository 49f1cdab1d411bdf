"""The floors the benchmark compares against: the pure-Python ones
(marshal, pickle, and the copies of bench/workloads.py) and the codec floors
of the test-only module (serialize_floor, floor_template, deserialize_floor).

The codec floors are skipped when the test-only module is not built.
"""

import pytest

import _korvex_messages as km
from bench import run
from bench.contenders import codec_floor, floors
from tests.support.bench import BY_KEY, KEYS
from tests.support.checks import assert_same

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


def _floor_schema(kt, unique_name):
    inner = unique_name("floor_inner")
    kt.register_schema(inner, [("x", "float64"), ("stamp", "time")])
    outer = unique_name("floor_outer")
    kt.register_schema(
        outer,
        [("i", "int32"), ("s", "string"), ("b", "bytes"), ("items", "array<struct:" + inner + ">")],
    )
    return outer


GOOD = {"i": 1, "s": "a", "b": b"", "items": [{"x": 1.5, "stamp": {"sec": 1, "nanosec": 2}}]}


def _with(**changes):
    return dict(GOOD, **changes)


def _item(**changes):
    return _with(items=[dict(GOOD["items"][0], **changes)])


# serialize_floor reads every value, so a value it cannot read fails; the
# template, which checks values, refuses the same ones.  (message, error of
# serialize_floor, error of floor_template)
FLOOR_READ_FAILURES = [
    ("int as str", _with(i="1"), TypeError, TypeError),
    ("string as int", _with(s=1), TypeError, TypeError),
    ("bytes as str", _with(b="x"), TypeError, TypeError),
    ("array as tuple", _with(items=tuple(GOOD["items"])), TypeError, TypeError),
    ("struct as list", _with(items=[[]]), SystemError, TypeError),
    ("float as str", _item(x="1"), TypeError, TypeError),
    ("sec as float", _item(stamp={"sec": 1.0, "nanosec": 2}), TypeError, TypeError),
    ("missing field", {k: v for k, v in GOOD.items() if k != "s"}, KeyError, KeyError),
    (
        "missing nested field",
        _with(items=[{"stamp": {"sec": 1, "nanosec": 2}}]),
        KeyError,
        KeyError,
    ),
    ("missing nanosec", _item(stamp={"sec": 1}), KeyError, KeyError),
]


@pytest.mark.parametrize(
    "values, walk_error, template_error",
    [c[1:] for c in FLOOR_READ_FAILURES],
    ids=[c[0] for c in FLOOR_READ_FAILURES],
)
def test_serialize_floor_reads_every_value(kt, unique_name, values, walk_error, template_error):
    outer = _floor_schema(kt, unique_name)
    assert kt.serialize_floor(outer, GOOD) is None
    with pytest.raises(walk_error):
        kt.serialize_floor(outer, values)
    with pytest.raises(template_error):
        kt.floor_template(outer, values)


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
