"""encode_table over the Arrow C stream of a producer that is no Arrow library
(tests.support.arrow_producer): well-formed batches encode to serialize's
bytes; malformed ones (offsets out of order, missing buffers or children,
arrays shorter than their rows) are refused by row and column, never read
out of bounds.  The reliability job runs this under the sanitizers."""

import pytest

from tests.support.arrow_producer import Node, Producer, int32s, ints

ros2 = pytest.importorskip("korvex_messages.ros2")
pytestmark = pytest.mark.skipif(
    not hasattr(ros2._native, "encode_table"), reason="this codec has no encode_table"
)

TYPE = "arrow_producers/msg/Row"
ROWS = [
    {"name": "ab", "few": [1], "three": [1, 2, 3], "octets": b"xyz", "small": 7,
     "pair": {"a": 1, "b": "c"}},
    {"name": "c", "few": [2, 3], "three": [4, 5, 6], "octets": b"uvw", "small": -8,
     "pair": {"a": 2, "b": "d"}},
]  # fmt: skip
MALFORMED = "a malformed Arrow array (its buffers, offsets or lengths do not hold the value)"


@pytest.fixture(scope="module")
def row_type():
    ros2.register_msg(
        TYPE,
        "string name\nint32[] few\nint32[3] three\nuint8[3] octets\nint16 small\n"
        "arrow_producers/Pair pair\n===\nMSG: arrow_producers/Pair\nint8 a\nstring b\n",
    )
    return TYPE


def item(format, length, data):
    return Node(format, length, [None, data], name="item")


def columns(**replace):
    """The two rows as arrays, with the named columns replaced."""
    nodes = {
        "name": Node("u", 2, [None, int32s(0, 2, 3), b"abc"]),
        "few": Node("+l", 2, [None, int32s(0, 1, 3)], children=[item("i", 3, int32s(1, 2, 3))]),
        "three": Node("+w:3", 2, [None], children=[item("i", 6, int32s(1, 2, 3, 4, 5, 6))]),
        "octets": Node("w:3", 2, [None, b"xyzuvw"]),
        "small": Node("s", 2, [None, ints(2, 7, -8)]),
        "pair": Node("+s", 2, [None], children=[
            Node("c", 2, [None, b"\x01\x02"], name="a"),
            Node("u", 2, [None, int32s(0, 1, 2), b"cd"], name="b"),
        ]),
    }  # fmt: skip
    nodes.update(replace)
    for name, node in nodes.items():
        node.name = name
    return Producer([Node("+s", 2, [None], children=list(nodes.values()))])


def view(length, buffer, offset):
    """One 16-byte string view that points into a data buffer."""
    return int32s(length) + b"abcd" + int32s(buffer, offset)


def test_a_well_formed_batch_encodes_to_serialize_s_bytes(row_type):
    expected = [ros2.serialize(row_type, row) for row in ROWS]
    assert ros2.encode_table(row_type, columns()) == expected
    # String views, inline and in a data buffer of the stated size.
    long_name = "a" * 13
    views = view(13, 0, 0) + int32s(1) + b"c" + bytes(11)
    names = Node("vu", 2, [None, views, long_name.encode(), ints(8, 13)])
    want = [ros2.serialize(row_type, dict(ROWS[0], name=long_name)), expected[1]]
    assert ros2.encode_table(row_type, columns(name=names)) == want


# (column replaced by a malformed array, the row it first fails in)
MALFORMED_COLUMNS = [
    ("string offsets out of order", {"name": Node("u", 2, [None, int32s(0, 2, 1), b"abc"])}, 1),
    ("a negative string offset", {"name": Node("u", 2, [None, int32s(-1, 2, 3), b"abc"])}, 0),
    ("a string without its data buffer", {"name": Node("u", 2, [None, int32s(0, 2, 3)])}, 0),
    ("a null data buffer under text", {"name": Node("u", 2, [None, int32s(0, 2, 3), None])}, 0),
    ("a view into a buffer not there", {"name": Node("vu", 2, [None, view(13, 4, 0) * 2, b"a" * 13,
                                                               ints(8, 13)])}, 0),
    ("a view past its buffer's size", {"name": Node("vu", 2, [None, view(13, 0, 1) * 2, b"a" * 13,
                                                              ints(8, 13)])}, 0),
    ("list offsets past the elements", {"few": Node(
        "+l", 2, [None, int32s(0, 1, 9)], children=[item("i", 3, int32s(1, 2, 3))])}, 1),
    ("a list array without its child", {"few": Node(
        "+l", 2, [None, int32s(0, 1, 3)], children=[item("i", 3, int32s(1, 2, 3))],
        array_children=[])}, 0),
    ("fixed lists of too few elements", {"three": Node(
        "+w:3", 2, [None], children=[item("i", 4, int32s(1, 2, 3, 4))])}, 1),
    ("a null value buffer", {"small": Node("s", 2, [None, None])}, 0),
    ("a column shorter than the batch", {"small": Node("s", 1, [None, ints(2, 7)])}, 1),
    ("a struct array missing a child", {"pair": Node(
        "+s", 2, [None], children=[Node("c", 2, [None, b"\x01\x02"], name="a"),
                                   Node("u", 2, [None, int32s(0, 1, 2), b"cd"], name="b")],
        array_children=[Node("c", 2, [None, b"\x01\x02"], name="a")])}, 0),
    ("a struct array without buffers", {"pair": Node(
        "+s", 2, [], children=[Node("c", 2, [None, b"\x01\x02"], name="a"),
                               Node("u", 2, [None, int32s(0, 1, 2), b"cd"], name="b")])}, 0),
]  # fmt: skip


@pytest.mark.parametrize(
    "replace, row", [pytest.param(r, w, id=label) for label, r, w in MALFORMED_COLUMNS]
)
def test_a_malformed_array_is_refused_by_row_and_column(row_type, replace, row):
    (column,) = replace
    with pytest.raises(ValueError) as raised:
        ros2.encode_table(row_type, columns(**replace))
    assert str(raised.value) == f"row {row}, column '{column}': {MALFORMED}"
    with pytest.raises(ValueError):
        ros2.encode_table(row_type, columns(**replace), as_buffer=True)


def batch_of(columns_producer, change):
    """The producer's one batch after `change(batch)`."""
    (batch,) = columns_producer.batches
    change(batch)
    return columns_producer


def drop_format(batch):
    batch.children[1].format = None


def drop_schema_child(batch):
    batch.array_children = list(batch.children)
    batch.children[2] = None


def drop_array_child(batch):
    batch.array_children = list(batch.children)
    batch.array_children[3] = None


SCHEMA_FAULTS = [
    (drop_format, "argument 'table': a malformed Arrow schema (a format or a child is missing)"),
    (drop_schema_child,
     "argument 'table': a malformed Arrow schema (a format or a child is missing)"),
    (drop_array_child, "argument 'table': a malformed record batch (a child array is missing)"),
]  # fmt: skip


@pytest.mark.parametrize("change, text", SCHEMA_FAULTS)
def test_a_schema_or_batch_missing_a_part_is_refused(row_type, change, text):
    with pytest.raises(ValueError) as raised:
        ros2.encode_table(row_type, batch_of(columns(), change))
    assert str(raised.value) == text


@pytest.mark.parametrize("where", ["column", "member"])
def test_a_name_left_out_reads_as_the_empty_name(row_type, where):
    def name(batch, value):
        node = batch.children[0] if where == "column" else batch.children[5].children[1]
        node.name = value

    outcomes = []
    for value in (None, ""):
        try:
            outcomes.append(
                ros2.encode_table(row_type, batch_of(columns(), lambda b, v=value: name(b, v)))
            )
        except (TypeError, ValueError) as error:
            outcomes.append((type(error), str(error)))
    assert outcomes[0] == outcomes[1]
    assert isinstance(outcomes[0], tuple)  # no field has the empty name
