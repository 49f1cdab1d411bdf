"""The process-wide schema registry and its four functions."""

import collections
import sys
import threading

import pytest

import _korvex_messages as km
from tests.support.cdr import HEADER
from tests.support.checks import raises_exact
from tests.support.contract import (
    NOT_LIST_OR_TUPLE,
    TWO_ITEMS,
    already_registered_text,
    missing_nested_field_text,
)
from tests.support.values import BrokenQualname, Outer, StrSub


def expect_key_error(call, name):
    return raises_exact(KeyError, name, call, name)


# ------------------------------------------------------------- basics


def test_register_read_back_and_remove(unique_name):
    name = unique_name("point")
    assert km.schema_exists(name) is False
    assert km.register_schema(name, [("x", "float64"), ("y", "float64")]) is None
    assert km.schema_exists(name) is True
    fields = km.get_schema(name)
    assert type(fields) is list
    assert fields == [("x", "float64"), ("y", "float64")]
    for entry in fields:
        assert type(entry) is tuple
        assert all(type(part) is str for part in entry)
    assert km.unregister_schema(name) is None
    assert km.schema_exists(name) is False
    expect_key_error(km.unregister_schema, name)
    expect_key_error(km.get_schema, name)
    assert km.schema_exists(name) is False


def test_aliases_and_padded_struct_read_back_canonical(unique_name):
    name = unique_name("aliases")
    km.register_schema(
        name,
        [("label", "ros_string"), ("raw", "bytes"), ("blob", "ros_bytes"), ("p", "struct: Pose ")],
    )
    assert km.get_schema(name) == [
        ("label", "string"),
        ("raw", "bytes"),
        ("blob", "bytes"),
        ("p", "struct:Pose"),
    ]


def test_empty_field_list(unique_name):
    name = unique_name("empty")
    assert km.register_schema(name, []) is None
    assert km.schema_exists(name) is True
    assert km.get_schema(name) == []


def test_repeated_field_names_are_all_kept(unique_name):
    name = unique_name("dupes")
    fields = [("a", "int32"), ("a", "int32"), ("b", "bool"), ("a", "string")]
    km.register_schema(name, fields)
    assert km.get_schema(name) == fields


@pytest.mark.parametrize(
    "field",
    ["", " ", "x y", "\x00", "a\x00b", "näme", "\u540d", "\U0001f600", "a.b", "'quoted'", "\ufeff"],
)
def test_any_field_name_is_kept_verbatim(unique_name, field):
    name = unique_name("fieldname")
    km.register_schema(name, [(field, "int8")])
    assert km.get_schema(name) == [(field, "int8")]


def test_struct_references_are_not_resolved(unique_name):
    node = unique_name("node")
    km.register_schema(node, [("next", "array<struct:" + node + ">"), ("self", f"struct:{node}")])
    assert km.get_schema(node) == [("next", f"array<struct:{node}>"), ("self", f"struct:{node}")]
    missing = unique_name("never_registered")
    user = unique_name("user")
    km.register_schema(user, [("m", f"struct:{missing}")])
    assert km.schema_exists(missing) is False
    assert km.get_schema(user) == [("m", f"struct:{missing}")]


def test_unregister_leaves_referencing_schemas_alone(unique_name):
    inner = unique_name("inner")
    outer = unique_name("outer")
    km.register_schema(inner, [("v", "int32")])
    km.register_schema(outer, [("i", f"struct:{inner}")])
    km.unregister_schema(inner)
    assert km.get_schema(outer) == [("i", f"struct:{inner}")]
    assert km.schema_exists(outer) is True


def test_reregister_after_unregister_with_new_layout(unique_name):
    name = unique_name("again")
    km.register_schema(name, [("a", "int32")])
    km.unregister_schema(name)
    km.register_schema(name, [("b", "string"), ("c", "array<uint8>")])
    assert km.get_schema(name) == [("b", "string"), ("c", "array<uint8>")]
    km.unregister_schema(name)
    km.register_schema(name, [])
    assert km.get_schema(name) == []


def test_large_schema(unique_name):
    name = unique_name("large")
    fields = [
        (f"f{i}", ["int32", "string", "array<float64>", "struct:x"][i % 4]) for i in range(20000)
    ]
    km.register_schema(name, fields)
    assert km.get_schema(name) == fields


# ------------------------------------------------------------- copies


def test_registered_schema_is_a_copy_of_the_input(unique_name):
    name = unique_name("copy_in")
    fields = [("a", "int32"), ["b", "bool"]]
    km.register_schema(name, fields)
    fields.append(("c", "int8"))
    fields[0] = ("z", "string")
    fields[1][0] = "changed"
    assert km.get_schema(name) == [("a", "int32"), ("b", "bool")]


def test_get_schema_returns_a_fresh_list(unique_name):
    name = unique_name("copy_out")
    km.register_schema(name, [("a", "int32")])
    first = km.get_schema(name)
    second = km.get_schema(name)
    assert first is not second
    first.append(("x", "bool"))
    first[0] = ("b", "int8")
    assert km.get_schema(name) == [("a", "int32")]
    assert second == [("a", "int32")]


# ------------------------------------------------------------- names


def test_names_are_compared_exactly(unique_name):
    base = unique_name("Case")
    variants = [
        base,
        base.lower(),
        base.upper(),
        " " + base,
        base + " ",
        base + "\x00",
        base + "\x00x",
    ]
    assert len(set(variants)) == len(variants)
    for i, variant in enumerate(variants):
        km.register_schema(variant, [(f"f{i}", "int8")])
    for i, variant in enumerate(variants):
        assert km.get_schema(variant) == [(f"f{i}", "int8")]
    km.unregister_schema(base)
    assert km.schema_exists(base) is False
    for variant in variants[1:]:
        assert km.schema_exists(variant) is True
        km.unregister_schema(variant)


@pytest.mark.parametrize("name", ["", "\x00", " ", "näme", "\U0001f600", "a:b<c>"])
def test_unusual_schema_names(name):
    # Literal names: make sure each is gone before and after.
    if km.schema_exists(name):
        km.unregister_schema(name)
    try:
        expect_key_error(km.get_schema, name)
        km.register_schema(name, [("v", "uint8")])
        assert km.schema_exists(name) is True
        assert km.get_schema(name) == [("v", "uint8")]
        raises_exact(ValueError, already_registered_text(name), km.register_schema, name, [])
        km.unregister_schema(name)
        expect_key_error(km.unregister_schema, name)
    finally:
        if km.schema_exists(name):
            km.unregister_schema(name)


def test_every_lookup_of_an_unknown_name_raises_key_error(unique_name):
    name = unique_name("unknown")
    expect_key_error(km.get_schema, name)
    expect_key_error(km.unregister_schema, name)
    expect_key_error(lambda n: km.serialize(n, {}), name)
    expect_key_error(lambda n: km.deserialize(n, b"\x00\x01\x00\x00"), name)
    assert km.schema_exists(name) is False


def test_key_error_str_is_repr_of_name():
    exc = expect_key_error(km.get_schema, "missing 'quoted' \n name")
    assert str(exc) == repr("missing 'quoted' \n name")


# ----------------------------------------------------- already registered


def test_registration_never_replaces(unique_name):
    name = unique_name("point")
    km.register_schema(name, [("x", "float64"), ("y", "float64")])
    for other in ([], [("x", "float64"), ("y", "float64")], [("z", "int8")]):
        exc = raises_exact(
            ValueError, already_registered_text(name), km.register_schema, name, other
        )
        assert len(exc.args) == 1
    assert km.get_schema(name) == [("x", "float64"), ("y", "float64")]


@pytest.mark.parametrize(
    "fields,exc_type,message",
    [
        ([("x", "float64"), ("y",)], ValueError, TWO_ITEMS),
        ([("x", "nope")], TypeError, "Serialization failed: Unsupported field type 'nope'"),
        (
            [("x", "struct: ")],
            ValueError,
            "Schema definition error: Struct type must include a schema name",
        ),
        ([3], ValueError, NOT_LIST_OR_TUPLE),
        (
            [("x", 3)],
            ValueError,
            "Schema definition error: TypeError: 'int' object is not an instance of 'str'",
        ),
    ],
)
def test_field_list_is_checked_before_the_name(unique_name, fields, exc_type, message):
    name = unique_name("taken")
    km.register_schema(name, [("a", "int8")])
    raises_exact(exc_type, message, km.register_schema, name, fields)
    assert km.get_schema(name) == [("a", "int8")]


# ------------------------------------------------------- field-list errors


Pair = collections.namedtuple("Pair", "field type")


def _conversion(qualname):
    return f"Schema definition error: TypeError: '{qualname}' object is not an instance of 'str'"


BAD_FIELD_LISTS = [
    # entry kind
    ([5], NOT_LIST_OR_TUPLE),
    (["ab"], NOT_LIST_OR_TUPLE),
    ([b"ab"], NOT_LIST_OR_TUPLE),
    ([None], NOT_LIST_OR_TUPLE),
    ([{"a": "int32"}], NOT_LIST_OR_TUPLE),
    ([{"a", "int32"}], NOT_LIST_OR_TUPLE),
    ([bytearray(b"ab")], NOT_LIST_OR_TUPLE),
    ([collections.UserList(["a", "int32"])], NOT_LIST_OR_TUPLE),
    ([iter(("a", "int32"))], NOT_LIST_OR_TUPLE),
    ([("a", "int32"), "ab"], NOT_LIST_OR_TUPLE),
    # entry length
    ([()], TWO_ITEMS),
    ([[]], TWO_ITEMS),
    ([("a",)], TWO_ITEMS),
    ([["a"]], TWO_ITEMS),
    ([("a", "int32", "x")], TWO_ITEMS),
    ([["a", "int32", "x", "y"]], TWO_ITEMS),
    ([("a", "int32"), ("b",)], TWO_ITEMS),
    # item conversion
    ([("x", 3)], _conversion("int")),
    ([(3, "int32")], _conversion("int")),
    ([("x", None)], "Schema definition error: TypeError: 'None' is not an instance of 'str'"),
    ([(None, "int32")], "Schema definition error: TypeError: 'None' is not an instance of 'str'"),
    ([("x", b"int32")], _conversion("bytes")),
    ([(b"x", "int32")], _conversion("bytes")),
    ([("x", True)], _conversion("bool")),
    ([("x", ["int32"])], _conversion("list")),
    ([("x", Outer.Inner())], _conversion("Outer.Inner")),
    ([("x", BrokenQualname())], _conversion("<failed to extract type name>")),
    (
        [("x", "\ud800")],
        "Schema definition error: UnicodeEncodeError: 'utf-8' codec can't encode character "
        "'\\ud800' in position 0: surrogates not allowed",
    ),
    (
        [("ab\udfff", "int32")],
        "Schema definition error: UnicodeEncodeError: 'utf-8' codec can't encode character "
        "'\\udfff' in position 2: surrogates not allowed",
    ),
    # first failure wins: item 0 before item 1, entries in order
    ([(None, 3)], "Schema definition error: TypeError: 'None' is not an instance of 'str'"),
    ([(1.5, "nope")], _conversion("float")),
    ([("a", "int32"), ("b", 3), ("c",), 7], _conversion("int")),
    ([("b",), ("c", 3)], TWO_ITEMS),
    ([7, ("b",)], NOT_LIST_OR_TUPLE),
]


@pytest.mark.parametrize("fields,message", BAD_FIELD_LISTS)
def test_bad_field_lists(unique_name, fields, message):
    name = unique_name("bad")
    raises_exact(ValueError, message, km.register_schema, name, fields)
    assert km.schema_exists(name) is False


@pytest.mark.parametrize(
    "fields,exc_type,message",
    [
        ([("a", "nope"), ("b",)], TypeError, "Serialization failed: Unsupported field type 'nope'"),
        (
            [("a", "int32"), ("b", "array<x>"), ("c", "struct:")],
            TypeError,
            "Serialization failed: Unsupported field type 'x'",
        ),
        (
            [("a", "struct:"), ("b", "nope")],
            ValueError,
            "Schema definition error: Struct type must include a schema name",
        ),
        # The type name is read before it is parsed.
        (
            [("a", "nope"), ("b", 3)],
            TypeError,
            "Serialization failed: Unsupported field type 'nope'",
        ),
        ([(3, "nope")], ValueError, _conversion("int")),
    ],
)
def test_first_failing_entry_wins(unique_name, fields, exc_type, message):
    name = unique_name("order")
    raises_exact(exc_type, message, km.register_schema, name, fields)
    assert km.schema_exists(name) is False


def test_listed_examples(unique_name):
    name = unique_name("examples")
    raises_exact(ValueError, NOT_LIST_OR_TUPLE, km.register_schema, name, ["xy"])
    raises_exact(ValueError, _conversion("int"), km.register_schema, name, [("x", 3)])
    raises_exact(
        ValueError,
        "Schema definition error: TypeError: 'None' is not an instance of 'str'",
        km.register_schema,
        name,
        [(None, "int32")],
    )
    raises_exact(
        TypeError,
        "argument 'fields': 'tuple' object is not an instance of 'list'",
        km.register_schema,
        name,
        (("x", "int32"),),
    )
    assert km.schema_exists(name) is False


class LyingList(list):
    def __len__(self):
        return 0

    def __iter__(self):
        return iter([])

    def __getitem__(self, index):
        raise AssertionError("must not be called")


class LyingTuple(tuple):
    def __getitem__(self, index):
        return "bool"

    def __iter__(self):
        return iter(["x", "bool"])


class LyingEntryList(list):
    def __getitem__(self, index):
        return "bool"


def test_entry_kinds_accepted(unique_name):
    name = unique_name("kinds")
    fields = [
        ("a", "int8"),
        ["b", "int16"],
        Pair("c", "int32"),
        LyingTuple(("d", "int64")),
        LyingEntryList(["e", "uint8"]),
        (StrSub("f"), StrSub("uint16")),
    ]
    km.register_schema(name, fields)
    back = km.get_schema(name)
    assert back == [
        ("a", "int8"),
        ("b", "int16"),
        ("c", "int32"),
        ("d", "int64"),
        ("e", "uint8"),
        ("f", "uint16"),
    ]
    assert all(type(f) is str and type(t) is str for f, t in back)


def test_list_subclass_read_through_its_storage(unique_name):
    name = unique_name("lying")
    km.register_schema(name, LyingList([("a", "int32"), ("b", "float32")]))
    assert km.get_schema(name) == [("a", "int32"), ("b", "float32")]


# ------------------------------------ registry changes while serialize runs
#
# serialize takes the named schema once, when the call starts, and looks
# the schema of a struct field up each time it writes a value of it; user
# code that runs in a conversion may change the registry in between.


def test_top_level_schema_copy_is_taken_once(unique_name):
    name = unique_name("Top")
    km.register_schema(name, [("a", "int32"), ("b", "int32")])

    class Swap:
        def __index__(self):
            km.unregister_schema(name)
            km.register_schema(name, [("a", "int64")])
            return 1

    try:
        out = km.serialize(name, {"a": Swap(), "b": 2})
        assert out == HEADER + bytes.fromhex("01000000 02000000")
        # the next call sees the new layout
        assert km.serialize(name, {"a": 1}) == HEADER + bytes.fromhex("00000000 0100000000000000")
    finally:
        if km.schema_exists(name):
            km.unregister_schema(name)


def test_nested_schema_reregistered_with_new_layout_applies_to_later_values(unique_name):
    inner = unique_name("P")
    outer = unique_name("Outer")
    km.register_schema(inner, [("v", "int32")])
    km.register_schema(outer, [("pts", f"array<struct:{inner}>"), ("last", f"struct:{inner}")])

    class Relayout:
        def __index__(self):
            km.unregister_schema(inner)
            km.register_schema(inner, [("v", "int64")])
            return 1

    out = km.serialize(outer, {"pts": [{"v": Relayout()}, {"v": 2}], "last": {"v": 3}})
    # element 0 keeps its int32 layout (its copy was taken before __index__ ran);
    # element 1 and "last" use the int64 layout
    assert out == HEADER + bytes.fromhex(
        "02000000 01000000 00000000 0200000000000000 0300000000000000"
    )


def test_schema_registered_mid_message_is_found_by_later_values(unique_name):
    inner = unique_name("Late")
    outer = unique_name("Outer")
    km.register_schema(outer, [("n", "uint8"), ("p", f"struct:{inner}")])

    class Register:
        def __index__(self):
            km.register_schema(inner, [("w", "uint16")])
            return 9

    assert not km.schema_exists(inner)
    out = km.serialize(outer, {"n": Register(), "p": {"w": 0x0102}})
    assert out == HEADER + bytes.fromhex("09 00 0201")


def test_nested_schema_unregistered_by_element_index(unique_name):
    inner = unique_name("P")
    outer = unique_name("Outer")
    km.register_schema(inner, [("v", "int32")])
    km.register_schema(outer, [("pts", f"array<struct:{inner}>")])

    class Drop:
        def __index__(self):
            km.unregister_schema(inner)
            return 1

    with pytest.raises(KeyError) as info:
        km.serialize(outer, {"pts": [{"v": Drop()}, {"v": 2}]})
    assert type(info.value) is KeyError
    assert info.value.args == (inner,)
    assert not km.schema_exists(inner)


def test_nested_schema_unregistered_by_earlier_top_level_field(unique_name):
    inner = unique_name("P")
    outer = unique_name("Outer")
    km.register_schema(inner, [("v", "int32")])
    km.register_schema(outer, [("n", "int32"), ("p", f"struct:{inner}")])

    class Drop:
        def __index__(self):
            km.unregister_schema(inner)
            return 1

    with pytest.raises(KeyError) as info:
        km.serialize(outer, {"n": Drop(), "p": {"v": 2}})
    assert info.value.args == (inner,)


def test_nested_schema_relayout_mid_array_changes_later_checks(unique_name):
    inner = unique_name("P")
    outer = unique_name("Outer")
    km.register_schema(inner, [("v", "int32")])
    km.register_schema(outer, [("pts", f"array<struct:{inner}>")])

    class Relayout:
        def __index__(self):
            km.unregister_schema(inner)
            km.register_schema(inner, [("w", "int32")])
            return 1

    # element 1 is checked against the new layout, which wants "w"
    raises_exact(
        TypeError,
        missing_nested_field_text("pts.w"),
        km.serialize,
        outer,
        {"pts": [{"v": Relayout()}, {"v": 2}]},
    )


# ------------------------------------------------------------- threads


def test_concurrent_use_keeps_the_registry_consistent(unique_name):
    threads_n = 8
    rounds = 150
    shared = [unique_name("shared") for _ in range(4)]
    own = [[unique_name(f"own{t}") for _ in range(5)] for t in range(threads_n)]
    layout = [("a", "int32"), ("b", "array<string>")]
    barrier = threading.Barrier(threads_n)
    lock = threading.Lock()
    wins = collections.Counter()
    removals = collections.Counter()
    errors = []

    def worker(t):
        try:
            barrier.wait()
            for r in range(rounds):
                target = shared[r % len(shared)]
                try:
                    km.register_schema(target, layout)
                    with lock:
                        wins[target] += 1
                except ValueError as e:
                    assert e.args == (already_registered_text(target),)
                try:
                    assert km.get_schema(target) == layout
                except KeyError as e:
                    assert e.args == (target,)
                km.schema_exists(target)
                try:
                    km.unregister_schema(target)
                    with lock:
                        removals[target] += 1
                except KeyError as e:
                    assert e.args == (target,)
                mine = own[t][r % 5]
                km.register_schema(mine, [("t", "uint8")] * (t + 1))
                assert km.schema_exists(mine) is True
                assert km.get_schema(mine) == [("t", "uint8")] * (t + 1)
                km.unregister_schema(mine)
                assert km.schema_exists(mine) is False
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)
            barrier.abort()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(threads_n)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(120)
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors
    assert not any(th.is_alive() for th in threads)
    for target in shared:
        present = km.schema_exists(target)
        # Every successful registration was matched by a removal, except
        # possibly one still standing.
        assert wins[target] - removals[target] == (1 if present else 0)
        assert wins[target] >= 1
        if present:
            assert km.get_schema(target) == layout
    for names in own:
        for mine in names:
            assert km.schema_exists(mine) is False


def test_concurrent_registration_of_one_name_has_one_winner(unique_name):
    threads_n = 8
    for _ in range(20):
        name = unique_name("race")
        barrier = threading.Barrier(threads_n)
        results = []

        # This round's barrier, name and results, bound now.
        def worker(t, barrier=barrier, name=name, results=results):
            barrier.wait()
            try:
                km.register_schema(name, [("t", "int8")] * (t + 1))
                results.append(("ok", t))
            except ValueError as e:
                results.append(("taken", e.args))

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(threads_n)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(60)
        winners = [t for kind, t in results if kind == "ok"]
        assert len(results) == threads_n
        assert len(winners) == 1
        assert all(
            args == (already_registered_text(name),) for kind, args in results if kind == "taken"
        )
        assert km.get_schema(name) == [("t", "int8")] * (winners[0] + 1)
