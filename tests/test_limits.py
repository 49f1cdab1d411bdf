"""The module's own bounds, in both directions: 100 levels of nested values,
1048576 values that occupy no bytes per decoded message, and 32-bit lengths
(reached through the test-only module, whose limit is 16)."""

import json
import struct
import textwrap
import threading

import pytest

import _korvex_messages as km
from tests.support.cdr import HEADER, Cdr
from tests.support.checks import decode_failure, raises_exact
from tests.support.contract import (
    FILL,
    SERIALIZATION_FAILED,
    empty_limit_text,
    mismatch_text,
    missing_nested_field_text,
    nesting_text,
    too_long_text,
)
from tests.support.contract import (
    MAX_EMPTY_VALUES as EMPTY_LIMIT,
)
from tests.support.values import BytesSub, ListSub


def dotted(name, count):
    return ".".join([name] * count)


# ---------------------------------------------------------------------------
# Nesting bound: serialize


def nested_dict(depth, innermost):
    """A chain of ``depth`` dicts linked by key "c", the deepest holding ``innermost`` under "c"."""
    value = {"c": innermost}
    for _ in range(depth - 1):
        value = {"c": value}
    return value


def test_struct_chain_of_100_levels_is_accepted(unique_name):
    names = [unique_name("L") for _ in range(101)]
    for this, nxt in zip(names[:-1], names[1:]):
        km.register_schema(this, [("c", f"struct:{nxt}")])
    km.register_schema(names[-1], [])
    # names[0] is the top level: its field "c" holds the level-1 value;
    # a chain of 100 struct values ends in the empty schema names[100]
    assert km.serialize(names[0], {"c": nested_dict(99, {})}) == HEADER

    deeper = [unique_name("M") for _ in range(102)]
    for this, nxt in zip(deeper[:-1], deeper[1:]):
        km.register_schema(this, [("c", f"struct:{nxt}")])
    km.register_schema(deeper[-1], [])
    raises_exact(
        TypeError,
        SERIALIZATION_FAILED + nesting_text(dotted("c", 101)),
        km.serialize,
        deeper[0],
        {"c": nested_dict(100, {})},
    )


def test_nesting_checked_before_anything_else_about_the_value(schema, unique_name):
    node = unique_name("node")
    km.register_schema(node, [("c", f"struct:{node}")])
    # level 100 holding a non-dict: an ordinary mismatch
    raises_exact(
        TypeError,
        mismatch_text("c", f"struct:{node}", "dict"),
        km.serialize,
        node,
        {"c": nested_dict(99, 5)},
    )
    # level 101 holding a non-dict: the nesting bound comes first
    raises_exact(
        TypeError,
        SERIALIZATION_FAILED + nesting_text(dotted("c", 101)),
        km.serialize,
        node,
        {"c": nested_dict(100, 5)},
    )
    # level 101 holding a dict that lacks the field
    raises_exact(
        TypeError,
        SERIALIZATION_FAILED + nesting_text(dotted("c", 101)),
        km.serialize,
        node,
        {"c": nested_dict(100, {})},
    )
    # a dict at level 100 that lacks the field is an ordinary missing field
    raises_exact(
        TypeError,
        missing_nested_field_text(dotted("c", 101)),
        km.serialize,
        node,
        {"c": nested_dict(99, {})},
    )


def test_unregistered_nested_schema_at_level_101_reports_nesting(unique_name):
    node = unique_name("node")
    ghost = unique_name("Ghost")
    # levels 1..100 are "node" structs; the value at level 101 would need the unknown schema
    names = [unique_name("N") for _ in range(100)]
    for this, nxt in zip(names[:-1], names[1:]):
        km.register_schema(this, [("c", f"struct:{nxt}")])
    km.register_schema(names[-1], [("c", f"struct:{ghost}")])
    km.register_schema(node, [("c", f"struct:{names[0]}")])
    raises_exact(
        TypeError,
        SERIALIZATION_FAILED + nesting_text(dotted("c", 101)),
        km.serialize,
        node,
        {"c": nested_dict(100, {})},
    )
    with pytest.raises(KeyError) as info:
        km.serialize(names[1], {"c": nested_dict(99, {})})
    assert info.value.args == (ghost,)


@pytest.mark.parametrize("depth", [1, 50, 100])
def test_nested_arrays_up_to_100_levels(schema, depth):
    name = schema([("a", "array<" * depth + "int32" + ">" * depth)])
    value = [7]
    for _ in range(depth - 1):
        value = [value]
    assert (
        km.serialize(name, {"a": value})
        == HEADER + b"\x01\x00\x00\x00" * depth + b"\x07\x00\x00\x00"
    )


def test_nested_arrays_beyond_100_levels(schema):
    name = schema([("a", "array<" * 101 + "int32" + ">" * 101)])
    text = SERIALIZATION_FAILED + nesting_text("a")
    deep = [7]
    for _ in range(100):
        deep = [deep]
    raises_exact(TypeError, text, km.serialize, name, {"a": deep})
    # the value at level 101 is not even a list: still the nesting bound
    shallow = [5]
    for _ in range(99):
        shallow = [shallow]
    raises_exact(TypeError, text, km.serialize, name, {"a": shallow})
    # an empty list at level 100 never enters level 101
    empty = []
    for _ in range(99):
        empty = [empty]
    assert km.serialize(name, {"a": empty}) == HEADER + b"\x01\x00\x00\x00" * 99 + b"\x00" * 4


def test_self_containing_list(schema):
    loop = []
    loop.append(loop)
    name = schema([("a", "array<" * 150 + "int32" + ">" * 150)])
    raises_exact(
        TypeError, SERIALIZATION_FAILED + nesting_text("a"), km.serialize, name, {"a": loop}
    )


def self_containing_node(unique_name):
    node = unique_name("node")
    km.register_schema(node, [("child", f"struct:{node}")])
    d = {}
    d["child"] = d
    return node, d


def test_self_containing_dict(unique_name):
    node, d = self_containing_node(unique_name)
    raises_exact(
        TypeError, SERIALIZATION_FAILED + nesting_text(dotted("child", 101)), km.serialize, node, d
    )


def test_self_containing_dict_through_arrays(unique_name):
    node = unique_name("tree")
    km.register_schema(node, [("kids", f"array<struct:{node}>")])
    d = {}
    d["kids"] = [d]
    # lists sit at odd levels: level 101 is the list of path kids * 51
    raises_exact(
        TypeError, SERIALIZATION_FAILED + nesting_text(dotted("kids", 51)), km.serialize, node, d
    )


def test_self_containing_dict_in_small_thread_stack(unique_name):
    node, d = self_containing_node(unique_name)
    outcome = []

    def body():
        try:
            km.serialize(node, d)
        except BaseException as exc:  # noqa: BLE001 - reported back to the main thread
            outcome.append(exc)
        else:
            outcome.append(None)

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=body)
        t.start()
    finally:
        threading.stack_size(old)
    t.join(60)
    assert not t.is_alive()
    assert len(outcome) == 1
    exc = outcome[0]
    assert type(exc) is TypeError
    assert exc.args == (SERIALIZATION_FAILED + nesting_text(dotted("child", 101)),)


# ---------------------------------------------------------------------------
# Nesting bound: deserialize


def _self_referential(unique_name, fields_of):
    """Register a schema whose fields refer to itself; fields_of(type) -> fields."""
    name = unique_name("cycle")
    km.register_schema(name, fields_of(f"struct:{name}"))
    return name


def test_zero_size_self_reference_stops_at_the_bound(unique_name):
    name = _self_referential(unique_name, lambda me: [("child", me)])
    for data in (HEADER, HEADER + b"\x00" * 64):
        assert decode_failure(name, data) == nesting_text(dotted("child", 101))


def test_zero_size_cycle_through_two_schemas(unique_name):
    a, b = unique_name("cyc_a"), unique_name("cyc_b")
    km.register_schema(a, [("b", f"struct:{b}")])
    km.register_schema(b, [("a", f"struct:{a}")])
    path = ".".join(["b", "a"] * 50 + ["b"])
    assert decode_failure(a, HEADER) == nesting_text(path)


def test_byte_consuming_self_reference_allows_exactly_100_levels(unique_name):
    name = _self_referential(unique_name, lambda me: [("v", "uint8"), ("child", me)])
    # Top-level v, then one byte in each of the 100 permitted struct levels:
    # the level-101 struct is refused before its own byte is read.
    assert decode_failure(name, HEADER + b"\x01" * 101) == nesting_text(dotted("child", 101))
    assert decode_failure(name, HEADER + b"\x01" * 300) == nesting_text(dotted("child", 101))
    # One byte fewer: the level-100 struct fails to read its byte first.
    assert decode_failure(name, HEADER + b"\x01" * 100) == FILL


def test_nested_arrays_allow_exactly_100_levels(schema):
    deep100 = schema([("a", "array<" * 100 + "int32" + ">" * 100)], prefix="deep")
    deep101 = schema([("a", "array<" * 101 + "int32" + ">" * 101)], prefix="deep")
    ones = struct.pack("<I", 1) * 100
    result = km.deserialize(deep100, HEADER + ones + struct.pack("<i", -5))["a"]
    for _ in range(99):
        assert type(result) is list and len(result) == 1
        result = result[0]
    assert result == [-5]
    assert decode_failure(deep100, HEADER + ones) == FILL
    # The level-101 array is refused on entry, before its count is read.
    assert decode_failure(deep101, HEADER + ones) == nesting_text("a")
    assert decode_failure(deep101, HEADER + ones + b"\x00" * 8) == nesting_text("a")
    # No element at level 100, so level 101 is never entered.
    empty_inner = HEADER + struct.pack("<I", 1) * 99 + struct.pack("<I", 0)
    nested = km.deserialize(deep101, empty_inner)["a"]
    for _ in range(99):
        nested = nested[0]
    assert nested == []


def test_arrays_and_structs_count_alike(unique_name):
    name = _self_referential(unique_name, lambda me: [("kids", f"array<{me}>")])
    # Arrays sit at odd levels, structs at even levels; 50 counts of 1 lead
    # to the level-100 struct, whose array would be level 101.
    data = HEADER + struct.pack("<I", 1) * 50
    assert decode_failure(name, data) == nesting_text(dotted("kids", 51))
    # A count of 0 at level 99 stops before the bound.
    ok = HEADER + struct.pack("<I", 1) * 49 + struct.pack("<I", 0)
    value = km.deserialize(name, ok)
    for _ in range(49):
        assert list(value) == ["kids"] and len(value["kids"]) == 1
        value = value["kids"][0]
    assert value == {"kids": []}


def test_top_level_struct_is_level_one(schema, struct_type):
    # A chain of 100 distinct struct levels under a top-level field decodes;
    # adding one more level is refused.
    leaf = schema([("v", "uint8")], prefix="leaf")
    type_name = f"struct:{leaf}"
    for _ in range(99):
        type_name = struct_type([("n", type_name)], prefix="lvl")
    name100 = schema([("top", type_name)])
    name101 = schema([("top", struct_type([("n", type_name)], prefix="lvl"))])
    value = km.deserialize(name100, HEADER + b"\x07")["top"]
    for _ in range(99):
        value = value["n"]
    assert value == {"v": 7}
    assert decode_failure(name101, HEADER + b"\x07") == nesting_text("top" + ".n" * 100)


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
        prefix + nesting_text(dotted("child", 101)),
        prefix + nesting_text(dotted("child", 101)),
        prefix + FILL,
        prefix + nesting_text(dotted("kids", 51)),
        prefix + nesting_text("a"),
    ]


# ---------------------------------------------------------------------------
# Values that occupy no bytes: deserialize


def test_modest_count_of_empty_structs_decodes(schema, struct_type):
    empty = struct_type([], prefix="empty")
    name = schema([("items", f"array<{empty}>"), ("tail", "uint8")])
    result = km.deserialize(name, HEADER + struct.pack("<I", 1000) + b"\x09")
    assert result["tail"] == 9
    assert len(result["items"]) == 1000
    assert all(type(d) is dict and d == {} for d in result["items"])


def test_huge_count_of_empty_structs_is_refused(schema, struct_type):
    empty = struct_type([], prefix="empty")
    name = schema([("u", "uint8"), ("items", f"array<{empty}>")])
    data = Cdr().u8(1).count(0xFFFFFFFF).done()
    assert decode_failure(name, data) == empty_limit_text("items")


def test_empty_struct_limit_is_exact_and_per_message(schema, struct_type):
    empty = struct_type([], prefix="empty")
    name = schema([("items", f"array<{empty}>")])
    at_limit = HEADER + struct.pack("<I", EMPTY_LIMIT)
    assert len(km.deserialize(name, at_limit)["items"]) == EMPTY_LIMIT
    # The budget is per call: a second call starts afresh.
    assert len(km.deserialize(name, at_limit)["items"]) == EMPTY_LIMIT
    over = HEADER + struct.pack("<I", EMPTY_LIMIT + 1)
    assert decode_failure(name, over) == empty_limit_text("items")


def test_empty_struct_limit_counts_across_fields(schema, struct_type):
    empty = struct_type([], prefix="empty")
    holder = struct_type([("e", empty)], prefix="holder")
    # EMPTY_LIMIT - 1 elements plus "one" reach the limit; the empty struct
    # under "holder" is the first value past it.
    name = schema([("items", f"array<{empty}>"), ("one", empty), ("holder", holder)])
    data = HEADER + struct.pack("<I", EMPTY_LIMIT - 1)
    assert decode_failure(name, data) == empty_limit_text("holder.e")
    shorter = schema([("items", f"array<{empty}>"), ("one", empty)])
    result = km.deserialize(shorter, data)
    assert len(result["items"]) == EMPTY_LIMIT - 1 and result["one"] == {}


# ---------------------------------------------------------------------------
# 32-bit lengths: serialize, reached through the test-only module (limit 16)


def test_testing_module_limit(kt):
    assert kt.length_limit() == 16


def test_testing_module_registry_is_separate(kt, testing_schema):
    name = testing_schema([("a", "uint8")])
    assert not km.schema_exists(name)
    assert kt.serialize(name, {"a": 1}) == HEADER + b"\x01"


@pytest.mark.parametrize(
    "text, ok",
    [
        ("a" * 15, True),
        ("a" * 16, False),
        ("é" * 7 + "a", True),  # 15 UTF-8 bytes
        ("é" * 8, False),  # 8 characters, 16 UTF-8 bytes
        ("€" * 5, True),  # 15 bytes
        ("😀" * 4, False),  # 16 bytes
        ("a\x00" * 8, False),
        ("", True),
    ],
)
def test_string_length_limit(kt, testing_schema, text, ok):
    name = testing_schema([("s", "string")])
    raw = text.encode()
    if ok:
        assert (
            kt.serialize(name, {"s": text})
            == HEADER + (len(raw) + 1).to_bytes(4, "little") + raw + b"\x00"
        )
    else:
        raises_exact(
            TypeError,
            too_long_text("s", len(raw), "UTF-8 bytes", 15),
            kt.serialize,
            name,
            {"s": text},
        )


def test_bytes_length_limit(kt, testing_schema):
    name = testing_schema([("b", "bytes")])
    assert kt.serialize(name, {"b": b"\xaa" * 16}) == HEADER + b"\x10\x00\x00\x00" + b"\xaa" * 16
    raises_exact(
        TypeError, too_long_text("b", 17, "bytes", 16), kt.serialize, name, {"b": b"\xaa" * 17}
    )
    raises_exact(
        TypeError,
        too_long_text("b", 40, "bytes", 16),
        kt.serialize,
        name,
        {"b": BytesSub(b"x" * 40)},
    )


def test_list_length_limit(kt, testing_schema):
    name = testing_schema([("l", "array<uint8>")])
    assert kt.serialize(name, {"l": list(range(16))}) == HEADER + b"\x10\x00\x00\x00" + bytes(
        range(16)
    )
    raises_exact(
        TypeError,
        too_long_text("l", 17, "elements", 16),
        kt.serialize,
        name,
        {"l": list(range(17))},
    )
    raises_exact(
        TypeError,
        too_long_text("l", 17, "elements", 16),
        kt.serialize,
        name,
        {"l": ListSub(range(17))},
    )
    # the count is refused before any element is looked at
    raises_exact(
        TypeError, too_long_text("l", 17, "elements", 16), kt.serialize, name, {"l": ["bad"] * 17}
    )
    # a tuple is still a kind mismatch, whatever its length
    raises_exact(
        TypeError,
        mismatch_text("l", "array<uint8>", "list"),
        kt.serialize,
        name,
        {"l": tuple(range(17))},
    )


def test_length_limit_paths(kt, testing_schema):
    inner = testing_schema([("s", "string"), ("raw", "array<bytes>")], "Inner")
    name = testing_schema(
        [("p", f"struct:{inner}"), ("names", "array<string>"), ("m", "array<array<int8>>")]
    )
    ok = {"p": {"s": "", "raw": []}, "names": [], "m": []}
    raises_exact(
        TypeError,
        too_long_text("p.s", 16, "UTF-8 bytes", 15),
        kt.serialize,
        name,
        {**ok, "p": {"s": "x" * 16, "raw": []}},
    )
    raises_exact(
        TypeError,
        too_long_text("p.raw", 17, "bytes", 16),
        kt.serialize,
        name,
        {**ok, "p": {"s": "", "raw": [b"", b"y" * 17]}},
    )
    raises_exact(
        TypeError,
        too_long_text("p.raw", 17, "elements", 16),
        kt.serialize,
        name,
        {**ok, "p": {"s": "", "raw": [b""] * 17}},
    )
    raises_exact(
        TypeError,
        too_long_text("names", 20, "UTF-8 bytes", 15),
        kt.serialize,
        name,
        {**ok, "names": ["ok", "z" * 20]},
    )
    raises_exact(
        TypeError,
        too_long_text("m", 17, "elements", 16),
        kt.serialize,
        name,
        {**ok, "m": [[1] * 16, [1] * 17]},
    )
    # every list at the limit is fine
    out = kt.serialize(
        name,
        {"p": {"s": "x" * 15, "raw": [b"y" * 16]}, "names": ["n" * 15] * 16, "m": [[1] * 16] * 16},
    )
    assert out.startswith(HEADER + b"\x10\x00\x00\x00" + b"x" * 15 + b"\x00")
