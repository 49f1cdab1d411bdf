"""Property tests: random schemas and values go through serialize and back through deserialize.

Every valid message must come back as the values written (float32 as narrowed to binary32,
subclasses as their plain types) and must match the bytes of a small reference encoder written
from the wire layout; every message holding one invalid value must be refused with one of the
encoder's own errors.
"""

import collections
import math
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _korvex_messages as km
from tests.support import cdr
from tests.support.cdr import narrow32
from tests.support.checks import same
from tests.support.contract import missing_field_text
from tests.support.runtime import native_only
from tests.support.values import (
    BytesSub,
    DictSub,
    FloatOnly,
    IndexOnly,
    IntSub,
    ListSub,
    StrSub,
    numpy_bool_is_index,
)

SIMPLE = cdr.SIMPLE_TYPES + list(cdr.ALIASES)

INTS = cdr.INT_RANGES

# Half the examples where only the native tests run (the emulated jobs, where
# a call costs 5-10x): every machine still sees a hundred random schemas.
SETTINGS = settings(
    max_examples=100 if native_only() else 200,
    deadline=None,
    suppress_health_check=[
        HealthCheck.function_scoped_fixture,
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
    ],
)


# ---------------------------------------------------------------------------
# Schemas: ("simple", name) | ("array", elem) | ("struct", ((field, type), ...))

field_names = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=4)


def fields_of(inner, max_size):
    return st.lists(st.tuples(field_names, inner), max_size=max_size, unique_by=lambda f: f[0]).map(
        tuple
    )


type_trees = st.recursive(
    st.sampled_from(SIMPLE).map(lambda n: ("simple", n)),
    lambda inner: st.one_of(
        inner.map(lambda t: ("array", t)),
        fields_of(inner, 4).map(lambda fs: ("struct", fs)),
    ),
    max_leaves=10,
)

top_level_fields = fields_of(type_trees, 6)


def materialize(tree, register, registry):
    """Register the struct schemas of a type tree, also in the reference
    model's `registry`, and return its type name."""
    kind, arg = tree
    if kind == "simple":
        return arg
    if kind == "array":
        return f"array<{materialize(arg, register, registry)}>"
    nested = [(name, materialize(t, register, registry)) for name, t in arg]
    name = register(nested)
    registry[name] = cdr.parse_fields(nested)
    return "struct:" + name


# ---------------------------------------------------------------------------
# Valid values: strategies of (value given to serialize, value expected back)


def pairs_int(name):
    lo, hi = INTS[name]
    ints = st.integers(lo, hi)
    return st.one_of(
        ints.map(lambda v: (v, v)),
        ints.map(lambda v: (IntSub(v), v)),
        ints.map(lambda v: (IndexOnly(v), v)),
        st.sampled_from([True, False]).map(lambda b: (b, int(b))),
    )


def pairs_float(narrow):
    conv = narrow32 if narrow else float
    floats = st.floats(allow_nan=True, allow_infinity=True)
    ints = st.integers(-(2**70), 2**70)
    return st.one_of(
        floats.map(lambda x: (x, conv(x))),
        floats.map(lambda x: (FloatOnly(x), conv(x))),
        floats.map(lambda x: (np.float64(x), conv(x))),
        ints.map(lambda i: (i, conv(float(i)))),
        ints.map(lambda i: (IndexOnly(i), conv(float(i)))),
        st.sampled_from([True, False]).map(lambda b: (b, float(b))),
    )


text_values = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12)
sec_values, nsec_values = (st.integers(*INTS[part_type]) for _, part_type in cdr.TIME_FIELDS)
dict_kinds = st.sampled_from([dict, collections.OrderedDict, DictSub])


def pairs_simple(name):
    if name == "bool":
        return st.sampled_from([True, False, np.True_, np.False_]).map(lambda b: (b, bool(b)))
    if name in INTS:
        return pairs_int(name)
    if name in cdr.FLOAT_TYPES:
        return pairs_float(name == "float32")
    if name in ("string", "ros_string"):
        return st.one_of(
            text_values.map(lambda s: (s, s)), text_values.map(lambda s: (StrSub(s), s))
        )
    if name in ("bytes", "ros_bytes"):
        raw = st.binary(max_size=12)
        return st.one_of(raw.map(lambda b: (b, b)), raw.map(lambda b: (BytesSub(b), b)))
    assert name in cdr.TIME_TYPES

    def build(kind, sec, nsec, flip, extra):
        items = [("sec", sec), ("nanosec", nsec)]
        if flip:
            items.reverse()
        if extra:
            items.append(("extra", extra))
        return kind(items), {"sec": sec, "nanosec": nsec}

    return st.builds(
        build, dict_kinds, sec_values, nsec_values, st.booleans(), st.none() | st.text(max_size=2)
    )


def pairs_for(tree):
    kind, arg = tree
    if kind == "simple":
        return pairs_simple(arg)
    if kind == "array":
        return st.tuples(
            st.sampled_from([list, ListSub]), st.lists(pairs_for(arg), max_size=3)
        ).map(lambda p: (p[0](v for v, _ in p[1]), [e for _, e in p[1]]))
    names = [name for name, _ in arg]

    def build(kind, pairs, order, extra):
        given = [(names[i], pairs[i][0]) for i in order]
        if extra is not None and extra not in names:
            given.append((extra, object()))
        expected = {name: pair[1] for name, pair in zip(names, pairs)}
        return kind(given), expected

    return st.builds(
        build,
        dict_kinds,
        st.tuples(*[pairs_for(t) for _, t in arg]),
        st.permutations(range(len(names))),
        st.none() | field_names,
    )


# ---------------------------------------------------------------------------
# Checks


def has_nan(v):
    if isinstance(v, float):
        return math.isnan(v)
    if isinstance(v, dict):
        return any(has_nan(x) for x in v.values())
    if isinstance(v, list):
        return any(has_nan(x) for x in v)
    return False


# ---------------------------------------------------------------------------
# Valid round trips


@SETTINGS
@given(fields=top_level_fields, data=st.data())
def test_roundtrip(schema, fields, data):
    top = ("struct", fields)
    registry = {}
    top_fields = [(fname, materialize(t, schema, registry)) for fname, t in fields]
    name = schema(top_fields)
    registry[name] = cdr.parse_fields(top_fields)
    given_values, expected = data.draw(pairs_for(top), label="values")

    out = km.serialize(name, given_values)
    assert type(out) is bytes
    if not has_nan(expected):
        assert out == cdr.encode(name, expected, registry)

    back = km.deserialize(name, out)
    assert same(back, expected), (back, expected)
    # re-encoding what came back gives the same bytes
    assert km.serialize(name, back) == out


@pytest.mark.parametrize("alias, canonical", [("ros_string", "string"), ("ros_bytes", "bytes")])
def test_aliases_encode_like_their_canonical_types(schema, alias, canonical):
    value = "héllo\x00" if canonical == "string" else b"\x00\xffraw"
    a = schema([("v", alias), ("w", f"array<{alias}>")])
    c = schema([("v", canonical), ("w", f"array<{canonical}>")])
    out = km.serialize(a, {"v": value, "w": [value, value[:1]]})
    assert out == km.serialize(c, {"v": value, "w": [value, value[:1]]})
    assert km.deserialize(a, out) == {"v": value, "w": [value, value[:1]]}


# ---------------------------------------------------------------------------
# Invalid values


def out_of_range_ints(name):
    lo, hi = INTS[name]
    return st.one_of(
        st.integers(max_value=lo - 1, min_value=lo - 2**70),
        st.integers(min_value=hi + 1, max_value=hi + 2**70),
    )


WRONG_KINDS = {
    "bool": [0, 1, 1.0, "True", None, [True], np.int8(1)],
    # A numpy bool is an integer only where this numpy still gives it __index__.
    "int": [
        1.5,
        1.0,
        "1",
        None,
        b"1",
        [1],
        {},
        np.float32(1.0),
        *([] if numpy_bool_is_index(np) else [np.True_]),
    ],
    "float": ["1.0", None, b"x", [1.0], {}, 2**1024, -(2**1024)],
    "string": [b"x", 1, None, ["a"], "\ud800", bytearray(b"a")],
    "bytes": ["x", bytearray(b"x"), memoryview(b"x"), [1], None, 0],
    "time": [
        None,
        [0, 0],
        (0, 0),
        5,
        {"sec": 0},
        {"nanosec": 0},
        {},
        {"sec": 2**31, "nanosec": 0},
        {"sec": -(2**31) - 1, "nanosec": 0},
        {"sec": 0, "nanosec": -1},
        {"sec": 0, "nanosec": 2**32},
        {"sec": 1.0, "nanosec": 0},
        {"sec": 0, "nanosec": "1"},
    ],
    "array": [None, (), (1,), "ab", b"ab", {}, 3, set()],
    "struct": [None, [], 5, "s", (), b"", set()],
}


def invalid_for(tree):
    """A strategy of values that serialize must refuse for this type."""
    kind, arg = tree
    if kind == "simple":
        if arg == "bool":
            return st.sampled_from(WRONG_KINDS["bool"])
        if arg in INTS:
            return st.one_of(out_of_range_ints(arg), st.sampled_from(WRONG_KINDS["int"]))
        if arg in cdr.FLOAT_TYPES:
            return st.sampled_from(WRONG_KINDS["float"])
        if arg in ("string", "ros_string"):
            return st.sampled_from(WRONG_KINDS["string"])
        if arg in ("bytes", "ros_bytes"):
            return st.sampled_from(WRONG_KINDS["bytes"])
        return st.sampled_from(WRONG_KINDS["time"])
    if kind == "array":

        def insert(valid, bad, pos):
            items = [v for v, _ in valid]
            items.insert(pos % (len(items) + 1), bad)
            return items

        bad_list = st.builds(
            insert, st.lists(pairs_for(arg), max_size=2), invalid_for(arg), st.integers(0, 2)
        )
        return st.one_of(st.sampled_from(WRONG_KINDS["array"]), bad_list)
    not_dict = st.sampled_from(WRONG_KINDS["struct"])
    if not arg:
        return not_dict
    return st.one_of(not_dict, st.integers(0, len(arg) - 1).flatmap(lambda i: bad_struct(arg, i)))


def bad_struct(fields, i):
    """A dict for the struct whose field i is absent or invalid, the others valid."""

    def build(pairs, bad, drop):
        value = {name: pair[0] for (name, _), pair in zip(fields, pairs)}
        name_i = fields[i][0]
        if drop:
            del value[name_i]
        else:
            value[name_i] = bad
        return value

    return st.builds(
        build,
        st.tuples(*[pairs_for(t) for _, t in fields]),
        invalid_for(fields[i][1]),
        st.booleans(),
    )


KINDS = "(bool|int|uint|float|string|bytes|list|dict|unknown)"


@SETTINGS
@given(fields=top_level_fields.filter(bool), data=st.data())
def test_invalid_values_are_refused(schema, fields, data):
    name = schema([(fname, materialize(t, schema, {})) for fname, t in fields])
    i = data.draw(st.integers(0, len(fields) - 1), label="bad field")
    values, _ = data.draw(pairs_for(("struct", fields)), label="values")
    bad_name, bad_tree = fields[i]
    if data.draw(st.booleans(), label="drop"):
        del values[bad_name]
        expected_text = missing_field_text(bad_name)
    else:
        values[bad_name] = data.draw(invalid_for(bad_tree), label="bad value")
        expected_text = None

    with pytest.raises(TypeError) as info:
        km.serialize(name, values)
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    text = info.value.args[0]
    if expected_text is not None:
        assert text == expected_text
    else:
        assert text.startswith(
            (
                f"Field type mismatch on '{bad_name}",
                f"Serialization failed: Missing nested field '{bad_name}.",
                f"Serialization failed: Missing field '{bad_name}.",
            )
        ), text
        if text.startswith("Field type mismatch"):
            # Names may hold any character, line breaks included (re.S).
            assert re.search(r", got " + KINDS + r"$", text, re.S), text
            assert re.search(
                r"': expected (bool|u?int(8|16|32|64)|float(32|64)|string|bytes|array<.*>|"
                r"struct:.*|(time|duration)( with (int32 sec|uint32 nanosec))?), got ",
                text,
                re.S,
            ), text
        else:
            assert re.search(r"(\.sec|\.nanosec|\..*)'$", text, re.S), text
