"""korvex_messages.ros2.decode_table: batches of ROS 2 CDR messages as Arrow
columns, against the per-message deserialize and pyarrow's own reading."""

import array
import random
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from korvex_messages import ros2
from tests.support import ros2 as peers
from tests.support import runtime
from tests.support.runtime import child_environment

pytestmark = pytest.mark.extra("pyarrow")

NAMES = peers.message_names()


@pytest.fixture(scope="module", autouse=True)
def registered():
    pytest.importorskip("rosbags")
    for name in NAMES:
        ros2.register_msg(name, peers.msgdef_text(name))


def pa():
    import pyarrow

    return pyarrow


def fully_flattened(table):
    while any(pa().types.is_struct(field.type) for field in table.schema):
        table = table.flatten()
    return table


def random_batch(name, rng, count):
    """(values, bytes) of `count` random messages, in both byte orders."""
    pairs = [peers.random_message(name, rng) for _ in range(count)]
    data = [peers.serialize(m, little_endian=rng.random() < 0.5) for _, m in pairs]
    return [values for values, _ in pairs], data


def joined(data):
    offsets = [0]
    for message in data:
        offsets.append(offsets[-1] + len(message))
    return b"".join(data), offsets


# ---------------------------------------------------------------------------
# Every type of the Humble store, in random batches of both byte orders


@pytest.mark.parametrize("name", NAMES)
def test_humble_batches_read_as_deserialize_reads_each(name):
    rng = random.Random(name)
    values, data = random_batch(name, rng, 6)
    table = ros2.decode_table(name, data)
    arrow = pa().table(table)
    assert arrow.num_rows == len(table) == 6
    assert arrow.schema.metadata == {b"type_name": name.encode()}
    rows = arrow.to_pylist()
    for row, message, expected in zip(rows, data, values):
        assert peers.same(row, ros2.deserialize(name, message))
        assert peers.same(row, expected)
    # One buffer with offsets is the same batch.
    buffer, offsets = joined(data)
    assert pa().table(ros2.decode_table(name, buffer, offsets=offsets)).equals(arrow)
    # flatten=True is pyarrow's flatten, repeated until no struct is left.
    flat = pa().table(ros2.decode_table(name, data, flatten=True))
    assert flat.equals(fully_flattened(arrow))
    assert flat.schema.metadata == arrow.schema.metadata


@pytest.mark.parametrize("name", NAMES)
def test_a_cut_member_of_a_batch_is_refused_by_its_index(name):
    rng = random.Random(f"cut/{name}")
    _, data = random_batch(name, rng, 4)
    victim = rng.randrange(len(data))
    cut = rng.randrange(len(data[victim]))
    data[victim] = data[victim][:cut]
    with pytest.raises(ValueError, match=rf"^message {victim}: "):
        ros2.decode_table(name, data)


# ---------------------------------------------------------------------------
# The Arrow mapping, a row each


def list_of(element, size=-1):
    """list<element> (fixed_size_list with a size), its items not nullable."""
    return lambda: pa().list_(pa().field("item", element(), False), size)


def struct_of(*fields):
    return lambda: pa().struct([pa().field(name, make(), False) for name, make in fields])


INNER = struct_of(("v", lambda: pa().int16()), ("s", lambda: pa().string()))

MAPPING = [
    # (field type, value, Arrow type)
    ("bool", True, lambda: pa().bool_()),
    ("int8", -128, lambda: pa().int8()),
    ("uint8", 255, lambda: pa().uint8()),
    ("int16", -32768, lambda: pa().int16()),
    ("uint16", 65535, lambda: pa().uint16()),
    ("int32", -(2**31), lambda: pa().int32()),
    ("uint32", 2**32 - 1, lambda: pa().uint32()),
    ("int64", -(2**63), lambda: pa().int64()),
    ("uint64", 2**64 - 1, lambda: pa().uint64()),
    ("byte", 200, lambda: pa().uint8()),
    ("char", 65, lambda: pa().uint8()),
    ("float32", 1.5, lambda: pa().float32()),
    ("float64", -2.25, lambda: pa().float64()),
    ("string", "héllo", lambda: pa().string()),
    ("string<=5", "abcde", lambda: pa().string()),
    ("uint8[]", b"\x00\xff\x01", lambda: pa().binary()),
    ("byte[<=4]", b"\x07\x08", lambda: pa().binary()),
    ("uint8[3]", b"abc", lambda: pa().binary(3)),
    ("byte[2]", b"\xfe\x00", lambda: pa().binary(2)),
    ("int32[]", [1, -2, 3], list_of(lambda: pa().int32())),
    ("char[]", [65, 66], list_of(lambda: pa().uint8())),
    ("string[<=3]", ["a", ""], list_of(lambda: pa().string())),
    ("bool[]", [True, False] * 5, list_of(lambda: pa().bool_())),
    ("float64[3]", [1.0, 2.0, 3.0], list_of(lambda: pa().float64(), 3)),
    ("string<=2[2]", ["ab", "c"], list_of(lambda: pa().string(), 2)),
    ("bool[9]", [True] * 4 + [False] * 5, list_of(lambda: pa().bool_(), 9)),
    ("mapping_test/Inner", {"v": 7, "s": "x"}, INNER),
    ("mapping_test/Inner[]", [{"v": 1, "s": ""}, {"v": 2, "s": "yz"}], list_of(INNER)),
    ("mapping_test/Nothing", {}, struct_of()),
    ("mapping_test/Nothing[2]", [{}, {}], list_of(struct_of(), 2)),
]


@pytest.fixture(scope="module")
def mapping_types():
    ros2.register_msg("mapping_test/msg/Inner", "int16 v\nstring s\n")
    ros2.register_msg("mapping_test/msg/Nothing", "")
    names = []
    for index, (field_type, _, _) in enumerate(MAPPING):
        name = f"mapping_test/msg/Row{index}"
        ros2.register_msg(name, f"uint8 before\n{field_type} a\n")
        names.append(name)
    return names


@pytest.mark.parametrize("index", range(len(MAPPING)), ids=[row[0] for row in MAPPING])
def test_each_field_type_has_its_arrow_type(mapping_types, index):
    field_type, value, arrow_type = MAPPING[index]
    name = mapping_types[index]
    messages = [{"before": 1, "a": value}, {"before": 2, "a": value}]
    data = [ros2.serialize(name, m) for m in messages]
    table = pa().table(ros2.decode_table(name, data))
    field = table.schema.field("a")
    assert field.type == arrow_type()
    assert not field.nullable
    assert table.column_names == ["before", "a"]
    assert table.to_pylist() == [ros2.deserialize(name, d) for d in data] == messages


def test_a_message_without_fields_is_a_table_of_rows_without_columns(mapping_types):
    empty = ros2.serialize("mapping_test/msg/Nothing", {})
    table = ros2.decode_table("mapping_test/msg/Nothing", [empty] * 3)
    assert (table.num_rows, table.num_columns, table.column_names) == (3, 0, [])
    assert pa().table(table).to_pylist() == [{}, {}, {}]


def test_a_batch_of_none_keeps_its_columns(mapping_types):
    table = pa().table(ros2.decode_table("mapping_test/msg/Row26", []))
    assert table.num_rows == 0
    assert table.column_names == ["before", "a"]


# ---------------------------------------------------------------------------
# Offsets and inputs

POSE = "geometry_msgs/msg/PoseStamped"


def pose_batch(count=5):
    return random_batch(POSE, random.Random("poses"), count)


def offset_forms():
    np = pytest.importorskip("numpy")
    return [
        ("list", list),
        ("array('q')", lambda o: array.array("q", o)),
        ("numpy int64", lambda o: np.array(o, dtype=np.int64)),
        ("memoryview", lambda o: memoryview(array.array("q", o))),
    ]


@pytest.mark.parametrize("form", range(4))
def test_offsets_in_each_form_cut_one_buffer(form):
    label, make = offset_forms()[form]
    values, data = pose_batch()
    buffer, offsets = joined(data)
    # A buffer that starts with bytes of no message, in a bytearray.
    padded = bytearray(b"\xee" * 3 + buffer)
    offsets = make([o + 3 for o in offsets])
    rows = pa().table(ros2.decode_table(POSE, padded, offsets=offsets)).to_pylist()
    assert all(peers.same(r, v) for r, v in zip(rows, values)), label
    assert len(rows) == len(values)


def test_messages_as_any_bytes_like_objects():
    values, data = pose_batch(3)
    mixed = [data[0], bytearray(data[1]), memoryview(data[2])]
    rows = pa().table(ros2.decode_table(POSE, tuple(mixed))).to_pylist()
    assert all(peers.same(r, v) for r, v in zip(rows, values))


BAD_INPUTS = [
    # (messages, offsets, exception, message pattern)
    (b"\x00\x01\x00\x00", None, TypeError, "argument 'messages': expected a sequence"),
    (["text"], None, TypeError, r"messages\[0\]: expected a bytes-like object, got str"),
    ([b"\x00\x01\x00\x00", 5], None, TypeError, r"messages\[1\]: expected a bytes-like"),
    (b"abcd", [], ValueError, "expected N\\+1 starts"),
    (b"abcd", [0, 5], ValueError, r"offsets\[1\] is 5"),
    (b"abcd", [2, 1], ValueError, r"offsets\[1\] is 1: offsets must not decrease"),
    (b"abcd", [-1, 2], ValueError, r"offsets\[0\] is -1"),
    (b"abcd", array.array("i", [0, 4]), TypeError, "a buffer of offsets must hold int64 items"),
    (b"abcd", [0, "4"], TypeError, r"offsets\[1\]: expected int, got str"),
    (b"abcd", 4, TypeError, "expected int64 starts"),
    (["not a buffer"], [0, 1], TypeError, "with offsets=, expected one bytes-like"),
]


@pytest.mark.parametrize("messages, offsets, exception, pattern", BAD_INPUTS)
def test_inputs_that_are_no_batch_are_refused(messages, offsets, exception, pattern):
    with pytest.raises(exception, match=pattern):
        ros2.decode_table(POSE, messages, offsets=offsets)


# _log_times (the recordings' log_time column): N int64, in any form the
# offsets take, each value kept whole; anything else is refused by name.

EXTREME_TIMES = [-(2**63), 2**63 - 1, 0, 1_700_000_000_123_456_789, -1]


@pytest.mark.parametrize("form", range(4))
@pytest.mark.parametrize("as_buffer", [False, True])
def test_log_times_in_each_form_become_the_first_column(form, as_buffer):
    label, make = offset_forms()[form]
    values, data = pose_batch(len(EXTREME_TIMES))
    messages, offsets = joined(data) if as_buffer else (data, None)
    table = ros2.decode_table(POSE, messages, offsets=offsets, _log_times=make(EXTREME_TIMES))
    got = pa().table(table)
    plain = pa().table(ros2.decode_table(POSE, data))
    assert table.column_names == ["log_time", *plain.column_names], label
    assert got.schema.field("log_time") == pa().field(
        "log_time", pa().timestamp("ns", tz="UTC"), nullable=False
    )
    assert got.column("log_time").cast(pa().int64()).to_pylist() == EXTREME_TIMES, label
    assert got.drop_columns(["log_time"]).equals(plain), label


BAD_LOG_TIMES = [
    # (log times of two messages, exception, message pattern)
    (
        array.array("d", [1, 2]),
        TypeError,
        "'_log_times': a buffer of _log_times must hold int64 .* format 'd'",
    ),
    (array.array("i", [1, 2]), TypeError, "'_log_times': .* format 'i' with items of 4 bytes"),
    (array.array("Q", [1, 2]), TypeError, "'_log_times': .* format 'Q'"),
    (
        array.array("q", [1]),
        ValueError,
        "'_log_times': expected one log time per message, 2, got 1",
    ),
    (array.array("q", [1, 2, 3]), ValueError, "per message, 2, got 3"),
    ([], ValueError, "per message, 2, got 0"),
    (b"\0" * 16, ValueError, "per message, 2, got 16"),
    ([1, "2"], TypeError, r"_log_times\[1\]: expected int, got str"),
    ([1, 2**63], OverflowError, "too big"),
    (5, TypeError, "argument '_log_times': expected int64 log times"),
]


@pytest.mark.parametrize("as_buffer", [False, True])
@pytest.mark.parametrize("log_times, exception, pattern", BAD_LOG_TIMES)
def test_log_times_that_do_not_fit_the_batch_are_refused(log_times, exception, pattern, as_buffer):
    _, data = pose_batch(2)
    messages, offsets = joined(data) if as_buffer else (data, None)
    with pytest.raises(exception, match=pattern):
        ros2.decode_table(POSE, messages, offsets=offsets, _log_times=log_times)


# _pieces (the recordings' batches, each its own buffer, offsets and log
# times, decoded as they come): the same table as the batch joined, the
# message indexes counted across pieces.


def pieces_of(data, cuts, times):
    """The messages `data` with their log `times` as (buffer, offsets,
    log_times) pieces, cut before each index in `cuts`, each buffer with a
    byte of something else before its first."""
    pieces = []
    for first, last in zip([0, *cuts], [*cuts, len(data)]):
        buffer, offsets = joined(data[first:last])
        shifted = array.array("q", [o + 1 for o in offsets])
        pieces.append((b"\xee" + buffer, shifted, array.array("q", times[first:last])))
    return pieces


@pytest.mark.parametrize("cuts", [[], [0], [3], [1, 1, 4], [5]])
@pytest.mark.parametrize("form", [list, iter])
def test_pieces_decode_as_the_batch_joined(cuts, form):
    _, data = pose_batch(5)
    times = [1, 2, 3, 4, 5]
    table = ros2.decode_table(POSE, None, _pieces=form(pieces_of(data, cuts, times)))
    buffer, offsets = joined(data)
    want = ros2.decode_table(POSE, buffer, offsets=offsets, _log_times=times)
    assert pa().table(table).equals(pa().table(want))


def test_no_pieces_is_a_table_of_no_rows():
    table = pa().table(ros2.decode_table(POSE, None, _pieces=iter([])))
    _, data = pose_batch(1)
    want = pa().table(ros2.decode_table(POSE, data, _log_times=[1]))
    assert table.num_rows == 0 and table.schema == want.schema


BAD_PIECES = [
    # (pieces, exception, message pattern)
    (5, TypeError, "not iterable"),
    ([(b"", [0])], TypeError, r"_pieces\[0\]: expected a \(buffer, offsets, log_times\) triple"),
    ([None], TypeError, r"_pieces\[0\]: expected a .* triple, got NoneType"),
    ([("text", [0], [])], TypeError, r"_pieces\[0\]: expected a bytes-like object, got str"),
    ([(b"ab", [], [])], ValueError, r"_pieces\[0\]: expected N\+1 starts"),
    ([(b"ab", [0], []), (b"ab", [0, 3], [1])], ValueError, r"_pieces\[1\]: offsets\[1\] is 3"),
    ([(b"ab", [1, 0], [1])], ValueError, r"_pieces\[0\]: offsets\[1\] is 0: offsets must not"),
    ([(b"ab", array.array("i", [0]), [])], TypeError, "must hold int64 items"),
    ([(b"ab", 5, [])], TypeError, "'_pieces': expected int64 starts"),
    ([(b"ab", [0], 5)], TypeError, "'_pieces': expected int64 log times"),
    ([(b"ab", [0, 1], [])], ValueError, r"_pieces\[0\]: expected one log time per message, 1"),
]


@pytest.mark.parametrize("pieces, exception, pattern", BAD_PIECES)
def test_pieces_that_do_not_hold_are_refused(pieces, exception, pattern):
    with pytest.raises(exception, match=pattern):
        ros2.decode_table(POSE, None, _pieces=pieces)


@pytest.mark.parametrize(
    "messages, arguments",
    [(b"", {}), (None, {"offsets": [0]}), (None, {"_log_times": []})],
)
def test_pieces_go_without_messages_offsets_and_log_times(messages, arguments):
    with pytest.raises(TypeError, match="messages must be None, offsets and _log_times not"):
        ros2.decode_table(POSE, messages, **arguments, _pieces=[])


def test_a_malformed_message_in_a_piece_is_named_by_its_index_in_the_batch():
    _, data = pose_batch(4)
    data[2] = data[2][:10]
    with pytest.raises(ValueError, match=r"^message 2\b"):
        ros2.decode_table(POSE, None, _pieces=pieces_of(data, [1, 3], [1, 2, 3, 4]))


def test_an_error_raised_while_a_piece_is_made_passes_through():
    _, data = pose_batch(4)

    def pieces():
        yield from pieces_of(data, [2], [1, 2, 3, 4])[:1]
        raise LookupError("the recording broke off")

    with pytest.raises(LookupError, match="broke off"):
        ros2.decode_table(POSE, None, _pieces=pieces())


# The table functions and ROS 2 deserialize share one matcher for their
# keyword-only parameters: the same texts, each naming its function.
KEYWORD_ONLY_CALLS = [
    (lambda: ros2.decode_table(POSE), "decode_table() missing required argument 'messages'"),
    (lambda: ros2.encode_table(type_name=POSE), "encode_table() missing required argument 'table'"),
    (
        lambda: ros2.encode_table(POSE, [], False),
        "encode_table() takes 2 positional arguments but 3 were given",
    ),
    (
        lambda: ros2.decode_table(POSE, [], messages=[]),
        "decode_table() got multiple values for argument 'messages'",
    ),
    (
        lambda: ros2.encode_table(POSE, [], flatten=True),
        "encode_table() got an unexpected keyword argument 'flatten'",
    ),
    (
        lambda: ros2.deserialize(POSE, b"", offsets=None),
        "deserialize() got an unexpected keyword argument 'offsets'",
    ),
]


@pytest.mark.parametrize("call, text", KEYWORD_ONLY_CALLS)
def test_keyword_only_parameters_are_matched_alike(call, text):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == text


def test_arguments_are_checked():
    with pytest.raises(TypeError, match="expected bool"):
        ros2.decode_table(POSE, [], flatten=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'numpy'"):
        ros2.decode_table(POSE, [], numpy=True)
    with pytest.raises(TypeError, match="takes 2 positional arguments"):
        ros2.decode_table(POSE, [], None)
    with pytest.raises(KeyError, match="is not registered"):
        ros2.decode_table("nope/msg/Nope", [])
    # The short form names the same type.
    assert ros2.decode_table("geometry_msgs/PoseStamped", []).type_name == POSE


# ---------------------------------------------------------------------------
# Malformed members


@pytest.fixture(scope="module")
def strict_type():
    ros2.register_msg(
        "table_errors/msg/Strict",
        "string<=3 name\nint32[<=2] few\ntable_errors/Point[] points\n"
        "===\nMSG: table_errors/Point\nfloat64 x\nstring label\n",
    )
    return "table_errors/msg/Strict"


def strict(name="ab", few=(1,), points=({"x": 1.0, "label": "p"},)):
    return {"name": name, "few": list(few), "points": [dict(p) for p in points]}


MALFORMED = [
    # (message index 2 replaced by, message pattern)
    (b"\x00\x01\x00", r"message 2: CDR payload too short"),
    (b"\x01\x00\x00\x00\x00", r"message 2: unsupported CDR encapsulation \[01, 00, 00, 00\]"),
    # name: 4 UTF-8 bytes where at most 3 fit
    (bytes.fromhex("000100000500000061626364000000000000000000000000"),
     r"message 2: field 'name': has 4 UTF-8 bytes, but holds at most 3 \(at offset \d+\)"),
    # few: 3 elements where at most 2 fit
    (bytes.fromhex("0001000001000000000000000300000001000000"),
     r"message 2: field 'few': has 3 elements, but holds at most 2 \(at offset 16\)"),
    # the text of points[1].label is no UTF-8
    ("bad-utf8", r"message 2: field 'points\[1\]\.label': invalid utf-8 .*\(at offset \d+\)"),
    ("no-nul", r"message 2: field 'points\[0\]\.label': missing NUL terminator \(at offset \d+\)"),
    ("cut", r"message 2: field 'points\[1\]\.x': failed to fill whole buffer \(at offset \d+\)"),
]  # fmt: skip


@pytest.mark.parametrize("replacement, pattern", MALFORMED)
def test_a_malformed_member_is_named_by_index_field_and_offset(strict_type, replacement, pattern):
    two = strict(points=({"x": 1.0, "label": "p"}, {"x": 2.0, "label": "q"}))
    good = ros2.serialize(strict_type, two)
    if replacement == "bad-utf8":
        replacement = good.replace(b"q\x00", b"\xff\x00")
    elif replacement == "no-nul":
        replacement = good.replace(b"p\x00", b"pp")
    elif replacement == "cut":
        replacement = good[: good.index(b"q\x00") - 12]
    batch = [good, good, replacement, good]
    with pytest.raises(ValueError, match=pattern) as ours:
        ros2.decode_table(strict_type, batch)
    # deserialize refuses it too, at the same offset.
    with pytest.raises(ValueError) as theirs:
        ros2.deserialize(strict_type, replacement)
    offset = re.compile(r"\(at offset (\d+)\)")
    if offset.search(str(ours.value)):
        assert offset.findall(str(ours.value)) == offset.findall(str(theirs.value))


# ---------------------------------------------------------------------------
# The Table object


def test_table_describes_itself():
    _, data = pose_batch(4)
    table = ros2.decode_table(POSE, data)
    assert (len(table), table.num_rows, table.num_columns) == (4, 4, 2)
    assert table.column_names == ["header", "pose"]
    assert table.type_name == POSE
    assert repr(table) == (
        "<korvex_messages Table of geometry_msgs/msg/PoseStamped: 4 rows, 2 columns"
        " ['header', 'pose']>"
    )
    flat = ros2.decode_table(POSE, data, flatten=True)
    assert flat.column_names == [
        "header.stamp.sec", "header.stamp.nanosec", "header.frame_id",
        "pose.position.x", "pose.position.y", "pose.position.z",
        "pose.orientation.x", "pose.orientation.y", "pose.orientation.z", "pose.orientation.w",
    ]  # fmt: skip
    with pytest.raises(TypeError):
        type(table)()


def test_each_stream_is_new_over_the_same_buffers():
    _, data = pose_batch(4)
    table = ros2.decode_table(POSE, data)
    first = pa().table(table)
    second = pa().RecordBatchReader.from_stream(table).read_all()
    assert first.equals(second)
    # pyarrow reads the values in place: both point at the same bytes.
    x_first = first.column("pose").chunk(0).field("position").field("x").buffers()[1]
    x_second = second.column("pose").chunk(0).field("position").field("x").buffers()[1]
    assert x_first.address == x_second.address
    assert pa().schema(table).equals(first.schema, check_metadata=True)


@pytest.mark.extra("polars")
def test_polars_reads_the_table_itself():
    values, data = pose_batch(3)
    frame = ros2.decode_table(POSE, data, flatten=True).to_polars()
    assert frame["pose.position.x"].to_list() == [v["pose"]["position"]["x"] for v in values]
    import polars

    nested = polars.DataFrame(ros2.decode_table(POSE, data))
    assert nested["header"].struct.field("frame_id").to_list() == [
        v["header"]["frame_id"] for v in values
    ]


@pytest.mark.extra("duckdb")
def test_duckdb_queries_the_table_itself():
    import duckdb

    values, data = pose_batch(5)
    poses = ros2.decode_table(POSE, data)  # noqa: F841 (DuckDB finds it by its name)
    rows = duckdb.sql("select header.frame_id, pose.position.y from poses").fetchall()
    assert rows == [(v["header"]["frame_id"], v["pose"]["position"]["y"]) for v in values]
    # A second query reads a new stream.
    assert duckdb.sql("select count(*) from poses").fetchall() == [(5,)]


@pytest.mark.extra("pandas")
def test_pandas_through_pyarrow():
    values, data = pose_batch(3)
    frame = ros2.decode_table(POSE, data, flatten=True).to_pandas()
    assert list(frame["header.frame_id"]) == [v["header"]["frame_id"] for v in values]


@pytest.mark.parametrize("method, missing", [
    ("to_pyarrow", "pyarrow"), ("to_polars", "polars"), ("to_pandas", "pandas"),
])  # fmt: skip
def test_a_missing_library_says_how_to_install_it(monkeypatch, method, missing):
    table = ros2.decode_table(POSE, [])
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=re.escape("pip install 'korvex-messages[arrow]'")):
        getattr(table, method)()


# ---------------------------------------------------------------------------
# Releases: every consumer's release frees the columns, once

RELEASE_LOOP = r"""
import gc, sys
import pyarrow, polars, duckdb
from korvex_messages import ros2

ros2.register_msg("leak_test/msg/Blob", "uint8[] data\nstring[] names\n")
SIZE = 8 << 20
blob = ros2.serialize("leak_test/msg/Blob", {"data": bytes(SIZE), "names": ["a", "b"]})

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

def pyarrow_table(t):
    return pyarrow.table(t).column("data")[0].as_py()[:1]

def pyarrow_half_read(t):
    reader = pyarrow.RecordBatchReader.from_stream(t)
    return reader.schema

def polars_frame(t):
    return polars.DataFrame(t)["names"].to_list()

def duckdb_query(t):
    return duckdb.sql("select octet_length(data) from t").fetchall()

def refused(t):
    # The columns of the members before the malformed one are dropped.
    try:
        ros2.decode_table("leak_test/msg/Blob", [blob, blob, blob[:-1]])
    except ValueError:
        return None
    raise AssertionError("a cut member was taken")

def encoded_from_pyarrow(t):
    # encode_table releases the stream and arrays pyarrow hands it.
    return ros2.encode_table("leak_test/msg/Blob", pyarrow.table(t))[0][:1]

def encoded_from_polars(t):
    return ros2.encode_table("leak_test/msg/Blob", polars.DataFrame(t))[0][:1]

def log_times_refused(t):
    # The log times read before their count is found wrong are dropped.
    try:
        ros2.decode_table("leak_test/msg/Blob", [blob], _log_times=[0] * (SIZE // 8))
    except ValueError:
        return None
    raise AssertionError("a log time per byte was taken")

def with_log_times(t):
    return pyarrow.table(
        ros2.decode_table("leak_test/msg/Blob", [blob], _log_times=[7])
    ).column("log_time")[0]

def in_pieces(t):
    # Decoded in parts (the recordings' form): the parts' columns become one.
    pieces = [(blob, [0, len(blob)], [1]), (blob, [0, len(blob)], [2])]
    return pyarrow.table(ros2.decode_table("leak_test/msg/Blob", None, _pieces=pieces)).num_rows

def pieces_refused(t):
    # The columns the first part filled are dropped with the second's error.
    pieces = [(blob, [0, len(blob)], [1]), (blob, [0, len(blob) - 1], [2])]
    try:
        ros2.decode_table("leak_test/msg/Blob", None, _pieces=pieces)
    except ValueError:
        return None
    raise AssertionError("a cut part was taken")

def stream_dropped(t):
    return t.__arrow_c_stream__()

def schema_dropped(t):
    return t.__arrow_c_schema__()

CONSUMERS = [pyarrow_table, pyarrow_half_read, polars_frame, duckdb_query, stream_dropped,
             schema_dropped, refused, encoded_from_pyarrow, encoded_from_polars, log_times_refused,
             with_log_times, in_pieces, pieces_refused]
consumer = CONSUMERS[int(sys.argv[1])]
for _ in range(2):  # libraries settle their own memory
    consumer(ros2.decode_table("leak_test/msg/Blob", [blob]))
gc.collect()
start = rss()
for _ in range(6):
    table = ros2.decode_table("leak_test/msg/Blob", [blob])
    result = consumer(table)
    del table, result
    gc.collect()
grown = rss() - start
print(consumer.__name__, grown >> 20, "MiB")
assert grown < SIZE, grown
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(
    runtime.under_address_sanitizer(),
    reason="AddressSanitizer's quarantine keeps freed memory: the resident size tells nothing",
)
@pytest.mark.extra("pyarrow", "polars", "duckdb")
@pytest.mark.parametrize("consumer", range(13), ids=[
    "pyarrow", "pyarrow-schema-only", "polars", "duckdb", "stream-unconsumed", "schema-unconsumed",
    "refused-batch", "encode-table-of-pyarrow", "encode-table-of-polars", "log-times-refused",
    "with-log-times", "in-pieces", "pieces-refused",
])  # fmt: skip
def test_every_consumer_releases_the_columns_once(run_python, consumer):
    """Six tables of 8 MiB each, consumed one way: a release that never runs
    keeps them all (the memory grows by 48 MiB), one that runs twice frees
    twice (the allocator aborts the child)."""
    completed = run_python(RELEASE_LOOP, str(consumer))
    assert completed.returncode == 0, completed.stdout + completed.stderr


@pytest.mark.extra("pyarrow", "pandas")
def test_the_table_example_runs(tmp_path):
    example = Path(__file__).resolve().parent.parent / "examples" / "ros2_table.py"
    completed = subprocess.run(
        [sys.executable, str(example), "--count", "200"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=child_environment(),
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "decoded 200 messages into 16 columns" in completed.stdout


# ---------------------------------------------------------------------------
# encode_table: rows of an Arrow stream as serialize encodes each


@pytest.mark.parametrize("name", NAMES)
def test_humble_tables_encode_to_rosbags_bytes(name):
    rng = random.Random(f"encode/{name}")
    pairs = [peers.random_message(name, rng) for _ in range(4)]
    theirs = [peers.serialize(message) for _, message in pairs]
    # Decoded from both byte orders, encoded little-endian.
    mixed = [peers.serialize(m, little_endian=bool(i % 2)) for i, (_, m) in enumerate(pairs)]
    nested = ros2.decode_table(name, mixed)
    assert ros2.encode_table(name, nested) == theirs
    assert ros2.encode_table(name, ros2.decode_table(name, mixed, flatten=True)) == theirs
    assert ros2.encode_table(name, pa().table(nested)) == theirs
    buffer, offsets = ros2.encode_table(name, nested, as_buffer=True)
    assert buffer == b"".join(theirs)
    assert offsets == joined(theirs)[1]


@pytest.mark.extra("polars")
def test_polars_frames_encode():
    values, data = pose_batch(4)
    import polars

    frame = polars.DataFrame(ros2.decode_table(POSE, data, flatten=True))
    little = [ros2.serialize(POSE, v) for v in values]
    assert ros2.encode_table(POSE, frame) == little
    # A sliced stream (arrays with an offset) encodes its own rows.
    assert ros2.encode_table(POSE, pa().table(frame).slice(1, 2)) == little[1:3]


def pose_table(**replace):
    """The flattened table of two poses, with columns replaced or added."""
    _, data = pose_batch(2)
    table = pa().table(ros2.decode_table(POSE, data, flatten=True))
    for column, values in replace.items():
        if values is None:
            table = table.drop_columns([column])
        elif column in table.column_names:
            table = table.set_column(table.column_names.index(column), column, values)
        else:
            table = table.append_column(column, values)
    return table


ENCODE_ERRORS = [
    # (columns replaced (None: dropped), exception, pattern)
    ({"pose.position.x": None}, TypeError, r"^row 0: .*Missing nested field 'pose.position.x'"),
    ({"extra": lambda: pa().array([1, 2])}, ValueError, "^column 'extra': the message type has no"),
    ({"pose.position.w": lambda: pa().array([1.0, 2.0])}, ValueError,
     r"^column 'pose.position.w': the message type has no field 'w'"),
    ({"header.frame_id.x": lambda: pa().array([1, 2])}, ValueError,
     "^column 'header.frame_id.x': field 'frame_id' is no nested message"),
    ({"pose.position.x": lambda: pa().array(["a", "b"])}, TypeError,
     r"^row 0: Field type mismatch on 'pose.position.x': expected float64, got str"),
    ({"header.stamp.sec": lambda: pa().array([1, 2**40])}, TypeError,
     r"^row 1: .*'header.stamp.sec'"),
    ({"pose.position.y": lambda: pa().array([1.0, None])}, ValueError,
     r"^row 1, column 'pose.position.y': a null value"),
    ({"header.frame_id": lambda: pa().array(["a", "b"]).dictionary_encode()}, ValueError,
     r"^row 0, column 'header.frame_id': a dictionary-encoded column"),
    ({"pose": lambda: pa().array([{"position": None}, {"position": None}])}, ValueError,
     "^column 'pose' gives again values that column 'pose.position.x' gives"),
]  # fmt: skip


@pytest.mark.parametrize("replace, exception, pattern", ENCODE_ERRORS)
def test_encode_table_names_the_row_and_column_at_fault(replace, exception, pattern):
    table = pose_table(**{k: v if v is None else v() for k, v in replace.items()})
    with pytest.raises(exception, match=pattern):
        ros2.encode_table(POSE, table)


def test_encode_table_takes_only_arrow_streams():
    with pytest.raises(TypeError, match="argument 'table': expected an object exporting an Arrow"):
        ros2.encode_table(POSE, [{"header": {}}])
    with pytest.raises(TypeError, match="expected bool"):
        ros2.encode_table(POSE, pose_table(), as_buffer=1)
    with pytest.raises(KeyError, match="is not registered"):
        ros2.encode_table("nope/msg/Nope", pose_table())


def test_threads_decode_side_by_side():
    """decode_table runs without the GIL: threads decoding at once (and one
    registering types meanwhile) each get the table a lone call gets."""
    import threading

    values, data = random_batch("sensor_msgs/msg/PointCloud2", random.Random("threads"), 50)
    expected = pa().table(ros2.decode_table("sensor_msgs/msg/PointCloud2", data))
    results, failures = [], []

    def decode():
        try:
            for _ in range(20):
                table = ros2.decode_table("sensor_msgs/msg/PointCloud2", data)
                results.append(pa().table(table).equals(expected))
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(error)

    def register():
        for index in range(50):
            ros2.register_msg(f"thread_test/msg/T{index}", "int32 a\nstring b\n")

    threads = [threading.Thread(target=decode) for _ in range(4)]
    threads.append(threading.Thread(target=register))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert results == [True] * 80


@pytest.mark.parametrize(
    "arrow_type, values, outcome",
    [
        # (Arrow element type of the int16[] column, values, bytes or error pattern)
        ("int16", [[1, -2], []], None),
        ("int64", [[1, -2], []], None),  # taken value by value, as serialize takes a list
        ("float64", [[1.5], []], r"^row 0: Field type mismatch on 'a\[0\]': expected int16"),
        ("int64", [[1], [2**20]], r"^row 1: .*'a\[0\]'"),
    ],
)
def test_numeric_lists_encode_as_serialize_takes_lists(arrow_type, values, outcome):
    ros2.register_msg("encode_lists/msg/L", "int16[] a\n")
    column = pa().array(values, type=pa().list_(getattr(pa(), arrow_type)()))
    table = pa().table({"a": column})
    if outcome is None:
        expected = [ros2.serialize("encode_lists/msg/L", {"a": v}) for v in values]
        assert ros2.encode_table("encode_lists/msg/L", table) == expected
    else:
        with pytest.raises(TypeError, match=outcome):
            ros2.encode_table("encode_lists/msg/L", table)


# ---------------------------------------------------------------------------
# encode_table's column path: each producer's layout, against rosbags' bytes

COLUMN_TYPES = [
    POSE, "sensor_msgs/msg/Imu", "tf2_msgs/msg/TFMessage", "sensor_msgs/msg/LaserScan",
    "diagnostic_msgs/msg/DiagnosticArray", "sensor_msgs/msg/PointCloud2",
    "sensor_msgs/msg/CameraInfo", "sensor_msgs/msg/JointState", "visualization_msgs/msg/Marker",
]  # fmt: skip


def retyped(arrow_type, string, binary, list_):
    """`arrow_type` with its strings, binaries and lists made the given types."""
    types = pa().types
    again = lambda t: retyped(t, string, binary, list_)  # noqa: E731
    if types.is_string(arrow_type):
        return string()
    if types.is_binary(arrow_type):
        return binary()
    if types.is_list(arrow_type):
        return list_(arrow_type.value_field.with_type(again(arrow_type.value_type)))
    if types.is_fixed_size_list(arrow_type):
        item = arrow_type.value_field.with_type(again(arrow_type.value_type))
        return pa().list_(item, arrow_type.list_size)
    if types.is_struct(arrow_type):
        return pa().struct([f.with_type(again(f.type)) for f in arrow_type])
    return arrow_type


def cast_all(table, string, binary, list_):
    schema = pa().schema(
        [f.with_type(retyped(f.type, string, binary, list_)) for f in table.schema]
    )
    return table.cast(schema)


def polars_chunks(table):
    import polars

    frames = [polars.DataFrame(b) for b in pa().table(table).to_batches(max_chunksize=4)]
    return polars.concat(frames, rechunk=False)


PRODUCERS = [
    # (producer, what it makes of the decoded Table, the rows it keeps)
    ("our Table", lambda t: t, slice(None)),
    ("pyarrow batches of 3", lambda t: pa().Table.from_batches(pa().table(t).to_batches(3)),
     slice(None)),
    ("pyarrow batches sliced", lambda t: pa().Table.from_batches(pa().table(t).to_batches(3))
     .slice(2, 6), slice(2, 8)),
    ("pyarrow large types sliced", lambda t: cast_all(pa().table(t), pa().large_string,
     pa().large_binary, pa().large_list).slice(1, 7), slice(1, 8)),
    ("pyarrow views", lambda t: cast_all(pa().table(t), pa().string_view, pa().binary_view,
     pa().list_), slice(None)),
    ("polars chunks", polars_chunks, slice(None)),
    ("polars sliced", lambda t: polars_chunks(t).slice(3, 5), slice(3, 8)),
]  # fmt: skip


@pytest.mark.extra("polars")
@pytest.mark.parametrize("flatten", [False, True], ids=["nested", "flattened"])
@pytest.mark.parametrize("producer", range(len(PRODUCERS)), ids=[p[0] for p in PRODUCERS])
@pytest.mark.parametrize("name", COLUMN_TYPES)
def test_columns_of_each_producer_encode_to_rosbags_bytes(name, producer, flatten):
    _, make, rows = PRODUCERS[producer]
    rng = random.Random(f"columns/{name}")
    messages = [peers.random_message(name, rng)[1] for _ in range(10)]
    theirs = [peers.serialize(m) for m in messages]
    table = make(ros2.decode_table(name, theirs, flatten=flatten))
    assert ros2.encode_table(name, table) == theirs[rows]
    buffer, offsets = ros2.encode_table(name, table, as_buffer=True)
    assert (buffer, offsets) == joined(theirs[rows])


@pytest.fixture(scope="module")
def edge_type():
    ros2.register_msg(
        "column_edges/msg/Edges",
        "string<=3 name\nint32[<=2] few\nfloat64[3] three\nuint8[3] octets\nbyte[<=2] bytes\n"
        "float32 real\nfloat32[] reals\nint16 small\ncolumn_edges/Pair pair\n"
        "===\nMSG: column_edges/Pair\nint8 a\nstring b\n",
    )
    return "column_edges/msg/Edges"


SIGNALLING_NAN = struct.unpack("<f", b"\x01\x00\x80\x7f")[0]  # a quiet NaN once it is a float
SIGNALLING_NAN_BITS = b"\x01\x00\x80\x7f"


def edge_row(**replace):
    row = {
        "name": "ab", "few": [1], "three": [1.0, 2.0, 3.0], "octets": b"abc", "bytes": b"z",
        "real": 0.5, "reals": [1.5], "small": 7, "pair": {"a": 1, "b": "x", "c": 3},
    }  # fmt: skip
    row.update(replace)
    return row


def edge_columns(rows, **types):
    """The rows as pyarrow columns of the fields' own types, or of `types`."""
    arrow = {
        "name": pa().string(), "few": pa().list_(pa().int32()),
        "three": pa().list_(pa().float64(), 3), "octets": pa().binary(3),
        "bytes": pa().binary(), "real": pa().float32(), "reals": pa().list_(pa().float32()),
        "small": pa().int16(),
        "pair": pa().struct([("a", pa().int8()), ("b", pa().string())]),
    }  # fmt: skip
    arrow.update({k: v() for k, v in types.items()})
    return pa().table({k: pa().array([r[k] for r in rows], type=t) for k, t in arrow.items()})


def nan_bits_of(column):
    """A float32 column whose row 1 holds a signalling NaN (pyarrow would
    quiet it on the way from a Python float)."""

    def make(rows):
        values = pa().array([r[column] for r in rows], type=pa().float32())
        data = bytearray(values.buffers()[1].to_pybytes())
        data[4:8] = SIGNALLING_NAN_BITS
        return pa().Array.from_buffers(pa().float32(), len(rows), [None, pa().py_buffer(data)])

    return make


# Each row goes the column path or, where that is not certain, the dict
# path: the results are serialize's for the same rows as pyarrow reads them
# (the second of three rows replaced as given), its bytes or its error
# named by row.
COLUMN_FALLBACKS = [
    # (row 1 replaced by, column types other than the fields' own)
    ({"name": "abcd"}, {}),  # a bounded string past its bound
    ({"name": "aé"}, {}),  # 3 UTF-8 bytes: within it
    ({"few": [1, 2, 3]}, {}),  # a bounded sequence past its bound
    ({"three": [1.0]}, {"three": lambda: pa().list_(pa().float64())}),  # a fixed array too short
    ({"octets": b"ab"}, {"octets": lambda: pa().binary()}),  # fixed octets too few
    ({"bytes": b"xyz"}, {}),  # bounded octets past their bound
    ({"small": 2**15}, {"small": lambda: pa().int64()}),  # a column of another integer type
    ({"small": 3}, {"small": lambda: pa().int8()}),
    ({"real": 2.5}, {"real": lambda: pa().float64()}),
    ({"pair": {"b": "y", "a": 2}}, {"pair": lambda: pa().struct([("b", pa().string()),
                                                                  ("a", pa().int8())])}),
    ({"pair": {"a": 2, "b": "y", "c": 2**40}}, {"pair": lambda: pa().struct(
        [("a", pa().int8()), ("b", pa().string()), ("c", pa().int64())])}),  # one child more
    ({"pair": {"a": 2}}, {"pair": lambda: pa().struct([("a", pa().int8())])}),  # one fewer
]  # fmt: skip


@pytest.mark.parametrize("replace, types", COLUMN_FALLBACKS)
def test_rows_the_column_path_cannot_take_are_serialize_s(edge_type, replace, types):
    table = edge_columns([edge_row(), edge_row(**replace), edge_row(name="c")], **types)
    expected = []
    try:
        for row in table.to_pylist():  # the rows as pyarrow reads them
            expected.append(ros2.serialize(edge_type, row))
    except (TypeError, ValueError) as error:
        with pytest.raises(type(error)) as raised:
            ros2.encode_table(edge_type, table)
        assert str(raised.value) == f"row {len(expected)}: {error}"
        return
    assert ros2.encode_table(edge_type, table) == expected
    # Again in batches of one row each, and from a slice.
    batches = pa().Table.from_batches(table.to_batches(1))
    assert ros2.encode_table(edge_type, batches) == expected
    assert ros2.encode_table(edge_type, table.slice(1)) == expected[1:]


def test_a_signalling_nan_is_written_as_serialize_writes_it(edge_type):
    rows = [edge_row(), edge_row(), edge_row()]
    table = edge_columns(rows)
    # A float32 field: serialize takes the value as a float, and so quiets it.
    real = table.set_column(5, "real", nan_bits_of("real")(rows))
    quiet = ros2.serialize(edge_type, edge_row(real=SIGNALLING_NAN))
    assert quiet[56:60] == b"\x01\x00\xc0\x7f"
    assert ros2.encode_table(edge_type, real)[1] == quiet
    # A float32[] field: serialize takes a buffer of float32 as it is.
    reals = pa().array([[0.0, 1.0]] * 3, type=pa().list_(pa().float32()))
    data = bytearray(reals.values.buffers()[1].to_pybytes())
    data[8:12] = SIGNALLING_NAN_BITS
    values = pa().Array.from_buffers(pa().float32(), 6, [None, pa().py_buffer(data)])
    reals = pa().ListArray.from_arrays(reals.offsets, values)
    raw = array.array("f")
    raw.frombytes(bytes(data[8:16]))
    kept = ros2.serialize(edge_type, edge_row(reals=raw))
    assert ros2.encode_table(edge_type, table.set_column(6, "reals", reals))[1] == kept
    # Elements among nulls (here outside the rows) go to serialize as floats.
    elements = pa().array([None, SIGNALLING_NAN, 1.0], type=pa().float32())
    data = bytearray(elements.buffers()[1].to_pybytes())
    data[4:8] = SIGNALLING_NAN_BITS
    elements = pa().Array.from_buffers(
        pa().float32(), 3, [elements.buffers()[0], pa().py_buffer(data)], null_count=1
    )
    offsets = pa().array([0, 1, 3, 3, 3], type=pa().int32())
    reals = pa().ListArray.from_arrays(offsets, elements).slice(1)
    quieted = ros2.serialize(edge_type, edge_row(reals=[SIGNALLING_NAN, 1.0]))
    assert ros2.encode_table(edge_type, table.set_column(6, "reals", reals))[0] == quieted


def test_text_that_is_no_utf8_fails_as_decoding_it_fails(edge_type):
    rows = [edge_row(), edge_row(), edge_row()]
    offsets = pa().array([0, 2, 5, 6], type=pa().int32()).buffers()[1]
    name = pa().Array.from_buffers(pa().string(), 3, [None, offsets, pa().py_buffer(b"abx\xffyc")])
    table = edge_columns(rows).set_column(0, "name", name)
    with pytest.raises(UnicodeDecodeError) as raised:
        ros2.encode_table(edge_type, table)
    with pytest.raises(UnicodeDecodeError) as decoding:
        b"x\xffy".decode("utf-8")
    assert str(raised.value) == str(decoding.value)


NULLS = [
    # (column, its values with a null in row 1)
    ("name", ["a", None, "b"]),
    ("few", [[1], None, []]),
    ("few", [[1], [None], []]),
    ("pair", [{"a": 1, "b": "x"}, None, {"a": 1, "b": "x"}]),
    ("pair", [{"a": 1, "b": "x"}, {"a": None, "b": "x"}, {"a": 1, "b": "x"}]),
    ("real", [1.0, None, 2.0]),
]


@pytest.mark.parametrize("column, values", NULLS)
def test_a_null_anywhere_is_refused_by_row_and_column(edge_type, column, values):
    table = edge_columns([edge_row()] * 3)
    index = table.column_names.index(column)
    table = table.set_column(
        index, column, pa().array(values, type=table.schema.field(column).type)
    )
    with pytest.raises(ValueError) as raised:
        ros2.encode_table(edge_type, table)
    assert str(raised.value) == f"row 1, column '{column}': a null value, which no field type holds"
    # The rows before it are taken when the null is the table's last row.
    first = table.slice(0, 1)
    assert ros2.encode_table(edge_type, first) == [
        ros2.serialize(edge_type, row) for row in first.to_pylist()
    ]
