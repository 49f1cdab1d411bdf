"""korvex_messages.decode_table: batches of the core's CDR messages as Arrow
columns, against `_korvex_messages.deserialize`."""

import random

import pytest

import _korvex_messages as km
import korvex_messages
from tests.support import cdr

pytestmark = pytest.mark.extra("pyarrow")


def pa():
    import pyarrow

    return pyarrow


def field(name, make):
    return pa().field(name, make(), False)


def list_of(make):
    return lambda: pa().list_(field("item", make))


TIME = lambda: pa().struct([field("sec", pa().int32), field("nanosec", pa().uint32)])  # noqa: E731

SIMPLE_ARROW = {
    "bool": lambda: pa().bool_(),
    "int8": lambda: pa().int8(), "int16": lambda: pa().int16(),
    "int32": lambda: pa().int32(), "int64": lambda: pa().int64(),
    "uint8": lambda: pa().uint8(), "uint16": lambda: pa().uint16(),
    "uint32": lambda: pa().uint32(), "uint64": lambda: pa().uint64(),
    "float32": lambda: pa().float32(), "float64": lambda: pa().float64(),
    "string": lambda: pa().string(), "bytes": lambda: pa().binary(),
    "time": TIME, "duration": TIME,
}  # fmt: skip


def random_value(type_name, rng):
    if type_name == "bool":
        return rng.random() < 0.5
    if type_name in cdr.INT_RANGES:
        low, high = cdr.INT_RANGES[type_name]
        return rng.choice([low, high, 0, rng.randint(low, high)])
    if type_name == "float32":
        return cdr.narrow32(rng.uniform(-1e6, 1e6))
    if type_name == "float64":
        return rng.choice([-0.0, 5e-324, rng.uniform(-1e300, 1e300)])
    if type_name == "string":
        return "".join(rng.choice("aé😀 z") for _ in range(rng.randrange(6)))
    if type_name == "bytes":
        return bytes(rng.randrange(256) for _ in range(rng.randrange(6)))
    low, high = cdr.INT_RANGES["int32"]
    return {"sec": rng.randint(low, high), "nanosec": rng.randrange(2**32)}


def batch_of(name, make_values, count=5, seed=0):
    rng = random.Random(seed)
    values = [make_values(rng) for _ in range(count)]
    return values, [km.serialize(name, v) for v in values]


@pytest.mark.parametrize("type_name", cdr.SIMPLE_TYPES)
def test_each_simple_type_alone_in_arrays_and_in_nested_arrays(schema, type_name):
    name = schema(
        [("a", type_name), ("b", f"array<{type_name}>"), ("c", f"array<array<{type_name}>>")]
    )

    def values(rng):
        one = lambda: random_value(type_name, rng)  # noqa: E731
        return {
            "a": one(),
            "b": [one() for _ in range(rng.randrange(4))],
            "c": [[one() for _ in range(rng.randrange(3))] for _ in range(rng.randrange(3))],
        }

    expected, data = batch_of(name, values, seed=type_name)
    table = pa().table(korvex_messages.decode_table(name, data))
    arrow = SIMPLE_ARROW[type_name]
    assert table.schema == pa().schema(
        [field("a", arrow), field("b", list_of(arrow)), field("c", list_of(list_of(arrow)))],
        metadata={"type_name": name},
    )
    assert table.to_pylist() == [km.deserialize(name, d) for d in data] == expected
    # and back: each row as serialize encodes it
    assert korvex_messages.encode_table(name, table) == data


def test_nested_structs_flatten_as_pyarrow_flattens(schema, struct_type):
    point = struct_type([("x", "float64"), ("stamp", "time")])
    empty = struct_type([])
    name = schema([("p", point), ("ps", f"array<{point}>"), ("e", empty), ("n", "int8")])

    def values(rng):
        make = lambda: {"x": rng.random(), "stamp": random_value("time", rng)}  # noqa: E731
        return {"p": make(), "ps": [make() for _ in range(rng.randrange(3))], "e": {}, "n": 1}

    expected, data = batch_of(name, values)
    nested = pa().table(korvex_messages.decode_table(name, data))
    assert nested.to_pylist() == expected
    flat = pa().table(korvex_messages.decode_table(name, data, flatten=True))
    assert flat.column_names == ["p.x", "p.stamp.sec", "p.stamp.nanosec", "ps", "n"]
    assert flat.equals(nested.flatten().flatten())
    assert korvex_messages.encode_table(name, flat) == data
    assert korvex_messages.encode_table(name, nested, as_buffer=True) == (
        b"".join(data),
        [sum(len(d) for d in data[:i]) for i in range(len(data) + 1)],
    )


def test_a_schema_without_fields_is_rows_without_columns(schema):
    name = schema([])
    table = korvex_messages.decode_table(name, [cdr.HEADER] * 4)
    assert (table.num_rows, table.column_names) == (4, [])
    assert pa().table(table).to_pylist() == [{}] * 4


def test_schemas_are_read_as_registered_at_the_call(schemas):
    inner = schemas.name("inner")
    outer = schemas.name("outer")
    km.register_schema(inner, [("v", "int8")])
    km.register_schema(outer, [("i", f"struct:{inner}")])
    data = km.serialize(outer, {"i": {"v": 3}})
    assert pa().table(korvex_messages.decode_table(outer, [data])).to_pylist() == [{"i": {"v": 3}}]
    km.unregister_schema(inner)
    km.register_schema(inner, [("v", "int16")])
    data = km.serialize(outer, {"i": {"v": 300}})
    table = pa().table(korvex_messages.decode_table(outer, [data]))
    assert table.to_pylist() == [{"i": {"v": 300}}]
    assert table.schema.field("i").type == pa().struct([field("v", pa().int16)])


@pytest.mark.parametrize("ring", [1, 2, 3])
def test_a_schema_that_contains_itself_is_refused_naming_the_cycle(schemas, ring):
    names = [schemas.name(f"ring{i}") for i in range(ring)]
    for index, name in enumerate(names):
        following = names[(index + 1) % ring]
        km.register_schema(name, [("x", "int8"), ("next", f"array<struct:{following}>")])
    outer = schemas.name("outer")
    km.register_schema(outer, [("ring", f"struct:{names[0]}")])
    cycle = " -> ".join([*names, names[0]])
    with pytest.raises(ValueError, match=f"contains itself cannot be a column: {cycle}$"):
        korvex_messages.decode_table(outer, [])


def test_unknown_schemas_are_the_registry_errors(schemas, struct_type):
    with pytest.raises(KeyError):
        korvex_messages.decode_table(schemas.name("missing"), [])
    missing = schemas.name("missing")
    name = schemas.register([("m", f"struct:{missing}")])
    with pytest.raises(KeyError):
        korvex_messages.decode_table(name, [])
    with pytest.raises(TypeError, match="argument 'schema_name': expected str"):
        korvex_messages.decode_table(b"name", [])


MALFORMED = [
    # (message 1 replaced by, pattern)
    (b"\x00\x01", r"^message 1: CDR payload too short"),
    (b"\x00\x00\x00\x00", r"^message 1: unsupported CDR encapsulation \[00, 00, 00, 00\]"),
    (cdr.HEADER + b"\x01", r"^message 1: field 'n': failed to fill whole buffer \(at offset 4\)"),
    (cdr.HEADER + bytes.fromhex("01000000 02000000 ff00"),
     r"^message 1: field 's': invalid utf-8 sequence of 1 bytes from index 0 \(at offset 8\)"),
    (cdr.HEADER + bytes.fromhex("01000000 02000000 6161"),
     r"^message 1: field 's': missing NUL terminator \(at offset 8\)"),
    (cdr.HEADER + bytes.fromhex("01000000 01000000 00 000000 ffffffff"),
     r"^message 1: field 'a': Input truncated while aligning CDR stream \(at offset 20\)"),
]  # fmt: skip


@pytest.mark.parametrize("replacement, pattern", MALFORMED)
def test_a_malformed_member_is_named_by_index_field_and_offset(schema, replacement, pattern):
    name = schema([("n", "int32"), ("s", "string"), ("a", "array<int64>")])
    good = km.serialize(name, {"n": 1, "s": "", "a": [5]})
    with pytest.raises(ValueError, match=pattern):
        korvex_messages.decode_table(name, [good, replacement, good])
    with pytest.raises((TypeError, ValueError)):  # the core's deserialize refuses it too
        km.deserialize(name, replacement)


def test_a_cut_member_is_refused_wherever_it_is_cut(schema):
    name = schema([("s", "string"), ("a", "array<float64>"), ("t", "time")])
    good = km.serialize(name, {"s": "abc", "a": [1.0, 2.0], "t": {"sec": 1, "nanosec": 2}})
    for cut in range(len(good)):
        with pytest.raises(ValueError, match="^message 2: "):
            korvex_messages.decode_table(name, [good, good, good[:cut]])


def test_batches_start_before_an_offset_could_overflow(kt, testing_schema):
    """The test-only module's record batches take in at most 64 bytes (the
    real limit, 2 GiB, is out of reach of a test): each batch stays within
    it, and the rows of all of them are the batch's messages in order."""
    name = testing_schema([("s", "string"), ("a", "array<uint8>")])
    values = [{"s": "x" * (i % 5), "a": list(range(i % 4))} for i in range(40)]
    data = [kt.serialize(name, v) for v in values]
    table = kt.decode_table(name, data)
    batches = list(pa().RecordBatchReader.from_stream(table))
    sizes = [b.num_rows for b in batches]
    assert len(batches) > 1 and sum(sizes) == len(table) == 40
    start = 0
    for size in sizes:
        assert sum(len(d) for d in data[start : start + size]) <= 64
        # The next message would not have fit.
        if start + size < len(data):
            assert sum(len(d) for d in data[start : start + size + 1]) > 64
        start += size
    assert pa().Table.from_batches(batches).to_pylist() == values
    with pytest.raises(ValueError, match="^message 1: 68 bytes are more than one record batch"):
        kt.decode_table(name, [data[0], cdr.HEADER + bytes(64)])


@pytest.mark.parametrize("flatten", [False, True])
def test_log_times_are_cut_into_the_batches_of_their_rows(kt, testing_schema, flatten):
    """With 64-byte record batches, each batch's log_time column holds the
    times of exactly its own messages, and the batches are those of the
    same call without log times."""
    name = testing_schema([("s", "string"), ("a", "array<uint8>"), ("t", "time")])
    rng = random.Random("log times")
    values = [
        {"s": "x" * (i % 5), "a": list(range(i % 4)), "t": random_value("time", rng)}
        for i in range(30)
    ]
    data = [kt.serialize(name, v) for v in values]
    times = [rng.randrange(-(2**63), 2**63) for _ in values]
    plain = list(pa().RecordBatchReader.from_stream(kt.decode_table(name, data, flatten=flatten)))
    table = kt.decode_table(name, data, flatten=flatten, _log_times=times)
    batches = list(pa().RecordBatchReader.from_stream(table))
    assert len(batches) == len(plain) > 1
    assert table.column_names == ["log_time", *plain[0].schema.names]
    start = 0
    for batch, alone in zip(batches, plain):
        assert batch.num_rows == alone.num_rows
        stamps = batch.column(0).cast(pa().int64()).to_pylist()
        assert stamps == times[start : start + batch.num_rows]
        assert pa().RecordBatch.from_arrays(batch.columns[1:], schema=alone.schema).equals(alone)
        start += batch.num_rows
    assert start == len(values)


# ---------------------------------------------------------------------------
# encode_table's column path in the core layout: arrays of arrays, bytes and
# time values, against serialize of each row as pyarrow reads it


def core_columns(name, count=9, seed=0):
    def values(rng):
        one = lambda t: random_value(t, rng)  # noqa: E731
        return {
            "f": one("float32"), "fs": [one("float32") for _ in range(rng.randrange(3))],
            "n": [[one("int64") for _ in range(rng.randrange(3))] for _ in range(rng.randrange(3))],
            "s": one("string"), "b": [one("bytes") for _ in range(rng.randrange(3))],
            "t": one("time"), "flag": [one("bool") for _ in range(rng.randrange(10))],
        }  # fmt: skip

    return batch_of(name, values, count=count, seed=seed)


CORE_FORMS = [
    # (form, what it makes of the decoded table, the rows it keeps)
    ("batches of 2", lambda t: pa().Table.from_batches(t.to_batches(2)), slice(None)),
    ("sliced", lambda t: pa().Table.from_batches(t.to_batches(4)).slice(3, 5), slice(3, 8)),
    ("large", lambda t: t.cast(pa().schema([f.with_type(large(f.type)) for f in t.schema])),
     slice(None)),
]  # fmt: skip


def large(arrow_type):
    types = pa().types
    if types.is_string(arrow_type):
        return pa().large_string()
    if types.is_binary(arrow_type):
        return pa().large_binary()
    if types.is_list(arrow_type):
        return pa().large_list(arrow_type.value_field.with_type(large(arrow_type.value_type)))
    if types.is_struct(arrow_type):
        return pa().struct([f.with_type(large(f.type)) for f in arrow_type])
    return arrow_type


@pytest.mark.parametrize("flatten", [False, True], ids=["nested", "flattened"])
@pytest.mark.parametrize("form", range(len(CORE_FORMS)), ids=[f[0] for f in CORE_FORMS])
def test_core_columns_encode_as_serialize_encodes_each_row(schema, form, flatten):
    name = schema([
        ("f", "float32"), ("fs", "array<float32>"), ("n", "array<array<int64>>"),
        ("s", "string"), ("b", "array<bytes>"), ("t", "time"), ("flag", "array<bool>"),
    ])  # fmt: skip
    _, data = core_columns(name)
    _, make, rows = CORE_FORMS[form]
    table = make(pa().table(korvex_messages.decode_table(name, data, flatten=flatten)))
    # serialize's bytes of the values the table was decoded from
    assert korvex_messages.encode_table(name, table) == data[rows]
    assert korvex_messages.encode_table(name, table, as_buffer=True)[0] == b"".join(data[rows])


def test_core_float32_signalling_nans_are_quieted_as_serialize_quiets_them(schema):
    """The core's serialize takes every float32 as a float: a signalling NaN
    of a scalar or an array element is written quiet, as pyarrow reads it."""
    name = schema([("f", "float32"), ("fs", "array<float32>")])
    one, nan, two = b"\x00\x00\x80\x3f", b"\x01\x00\x80\x7f", b"\x00\x00\x00\x40"
    scalars = pa().Array.from_buffers(pa().float32(), 3, [None, pa().py_buffer(one + nan + two)])
    elements = pa().Array.from_buffers(pa().float32(), 3, [None, pa().py_buffer(one + two + nan)])
    offsets = pa().array([0, 1, 1, 3], type=pa().int32())
    # The scalar's NaN in row 1, an element's in row 2.
    table = pa().table({"f": scalars, "fs": pa().ListArray.from_arrays(offsets, elements)})
    expected = [km.serialize(name, row) for row in table.to_pylist()]
    assert b"\x01\x00\xc0\x7f" in expected[1] and b"\x01\x00\xc0\x7f" in expected[2]
    assert korvex_messages.encode_table(name, table) == expected


@pytest.mark.parametrize("cuts", [[7], [1, 2, 3, 20, 29]])
def test_pieces_are_cut_into_the_record_batches_of_the_whole(kt, testing_schema, cuts):
    """Decoded in pieces (the recordings' form), with 64-byte record batches:
    the batches are those of the whole decoded at once, wherever the pieces
    end."""
    name = testing_schema([("s", "string"), ("a", "array<uint8>")])
    values = [{"s": "x" * (i % 5), "a": list(range(i % 4))} for i in range(30)]
    data = [kt.serialize(name, v) for v in values]
    times = list(range(30))
    pieces = []
    for first, last in zip([0, *cuts], [*cuts, len(data)]):
        offsets = [0]
        for message in data[first:last]:
            offsets.append(offsets[-1] + len(message))
        pieces.append((b"".join(data[first:last]), offsets, times[first:last]))
    whole = list(pa().RecordBatchReader.from_stream(kt.decode_table(name, data, _log_times=times)))
    parts = list(pa().RecordBatchReader.from_stream(kt.decode_table(name, None, _pieces=pieces)))
    assert len(parts) == len(whole) > 1
    assert all(p.equals(w) for p, w in zip(parts, whole))


def test_each_table_type_is_found_where_its_name_says():
    # The core's tables and the ROS 2 codec's are two types, each named by
    # the module that exports it (so pickle, repr and help point at it).
    import importlib

    ros2 = pytest.importorskip("korvex_messages.ros2")
    types = {korvex_messages.Table, ros2.Table}
    assert len(types) == 2
    for table_type in types:
        module = importlib.import_module(table_type.__module__)
        assert getattr(module, table_type.__qualname__) is table_type
