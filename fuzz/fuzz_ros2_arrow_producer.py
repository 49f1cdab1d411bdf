#!/usr/bin/env python3
"""Fuzz target: korvex_messages.ros2.encode_table over the Arrow C stream of a
producer that is no Arrow library (tests.support.arrow_producer), whose
arrays the input bends: lengths, offsets into their arrays, list offsets,
child lengths, missing buffers, children, formats and names, and validity
bits.

Input: bytes read as small numbers, which first pick the rows (0 to 4 of
them, their values), then up to eight changes to the arrays of those rows.
Every data and value buffer is padded far beyond what any change can
point at: the C data interface carries no buffer sizes, so a producer that
lies about them is beyond any consumer's seeing.

Oracle:
- unchanged arrays encode to serialize's bytes of the rows;
- any arrays encode to a list of bytes, or are refused with ValueError,
  TypeError or UnicodeDecodeError; `as_buffer=True` gives the same bytes
  joined, or the same refusal.
Anything else, or a crash or sanitizer report, is a finding.

    python3 -m fuzz.fuzz_ros2_arrow_producer CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

from tests.support.arrow_producer import Node, Producer, ints

TYPE = "fuzz_arrow/msg/Row"
TEXT = (
    "string name\nint32[] few\nint32[3] three\nuint8[3] octets\nint16 small\n"
    "fuzz_arrow/Pair pair\n===\nMSG: fuzz_arrow/Pair\nint8 a\nstring b\n"
)
# Room past any offset, length or index a change can give (at most 64
# elements of at most 16 bytes).
PAD = bytes(1024)
REFUSALS = (ValueError, TypeError, UnicodeDecodeError)
_ros2 = None


def setup():
    global _ros2
    if _ros2 is None:
        from fuzz import common

        common.bind_native_coverage()
        from korvex_messages import ros2

        ros2.register_msg(TYPE, TEXT)
        _ros2 = ros2
    return _ros2


class Numbers:
    """The input as a stream of small numbers; zeros once it is used up."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def below(self, bound):
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1] % bound

    def signed(self, low, high):
        return low + self.below(high - low + 1)


def text_column(texts):
    data = "".join(texts).encode()
    ends = [0]
    for text in texts:
        ends.append(ends[-1] + len(text.encode()))
    return Node("u", len(texts), [None, ints(4, *ends) + PAD, data + PAD])


def rows_of(numbers):
    rows = []
    for _ in range(numbers.below(5)):
        few = [numbers.signed(-9, 9) for _ in range(numbers.below(4))]
        rows.append({
            "name": "aé"[: numbers.below(3)] + "x" * numbers.below(3),
            "few": few,
            "three": [numbers.signed(-9, 9) for _ in range(3)],
            "octets": bytes(numbers.below(256) for _ in range(3)),
            "small": numbers.signed(-128, 127) * 200,
            "pair": {"a": numbers.signed(-128, 127), "b": "yz"[: numbers.below(3)]},
        })  # fmt: skip
    return rows


def columns_of(rows):
    count = len(rows)
    few_ends = [0]
    for row in rows:
        few_ends.append(few_ends[-1] + len(row["few"]))
    elements = [v for row in rows for v in row["few"]]
    threes = [v for row in rows for v in row["three"]]
    return [
        text_column([row["name"] for row in rows]),
        Node("+l", count, [None, ints(4, *few_ends) + PAD],
             children=[Node("i", len(elements), [None, ints(4, *elements) + PAD], name="item")]),
        Node("+w:3", count, [None],
             children=[Node("i", len(threes), [None, ints(4, *threes) + PAD], name="item")]),
        Node("w:3", count, [None, b"".join(row["octets"] for row in rows) + PAD]),
        Node("s", count, [None, ints(2, *(row["small"] for row in rows)) + PAD]),
        Node("+s", count, [None], children=[
            Node("c", count, [None, ints(1, *(row["pair"]["a"] for row in rows)) + PAD], name="a"),
            text_column([row["pair"]["b"] for row in rows]),
        ]),
    ]  # fmt: skip


def nodes_in(node):
    yield node
    for child in node.children:
        if child is not None:
            yield from nodes_in(child)


def change(numbers, batch):
    """One change to one array of the batch (the batch itself included)."""
    nodes = list(nodes_in(batch))
    node = nodes[numbers.below(len(nodes))]
    kind = numbers.below(10)
    if kind == 0:
        node.length = numbers.below(8)
    elif kind == 1:
        node.offset = numbers.below(4)
    elif kind == 2 and len(node.buffers) > 1 and node.buffers[1] is not None:
        # An offset of a text or list array, or a value of a fixed one.
        data = bytearray(node.buffers[1])
        at = numbers.below(8) * 4
        data[at : at + 4] = ints(4, numbers.signed(-4, 60))
        node.buffers[1] = bytes(data)
    elif kind == 3 and node.buffers:
        node.buffers[numbers.below(len(node.buffers))] = None
    elif kind == 4 and node.buffers:
        # A validity bitmap: some values null, or a count of them that lies.
        node.buffers[0] = bytes([numbers.below(256)]) + PAD
        node.null_count = numbers.signed(-1, 2)
    elif kind == 5:
        node.array_children = list(node.children)[: numbers.below(len(node.children) + 1)]
    elif kind == 6:
        node.buffers = node.buffers[: numbers.below(len(node.buffers) + 1)]
    elif kind == 7:
        node.format = None
    elif kind == 8:
        node.name = None
    elif node.children:
        # A child left out of the type or of the array.
        at = numbers.below(len(node.children))
        if numbers.below(2):
            node.array_children = list(node.children)
            node.array_children[at] = None
        else:
            node.children[at] = None


def outcome(call, *args, **kwargs):
    try:
        return ("ok", call(*args, **kwargs))
    except REFUSALS as error:
        return (type(error), str(error))


def fail(what, data, got, expected):
    raise AssertionError(
        "%s: input %s\n  gave     %r\n  expected %r" % (what, data.hex(), got, expected)
    )


def test_one_input(data):
    ros2 = setup()
    numbers = Numbers(data)
    rows = rows_of(numbers)
    names = ["name", "few", "three", "octets", "small", "pair"]
    batch = Node("+s", len(rows), [None], children=columns_of(rows))
    for name, column in zip(names, batch.children):
        column.name = name
    batch.children[5].children[1].name = "b"
    changes = numbers.below(9)
    for _ in range(changes):
        change(numbers, batch)
    producer = Producer([batch])
    got = outcome(ros2.encode_table, TYPE, producer)
    if changes == 0:
        expected = ("ok", [ros2.serialize(TYPE, row) for row in rows])
        if got != expected:
            fail("unchanged arrays differ from serialize", data, got, expected)
    joined = outcome(ros2.encode_table, TYPE, producer, as_buffer=True)
    if got[0] == "ok":
        starts = [0]
        for message in got[1]:
            starts.append(starts[-1] + len(message))
        if joined != ("ok", (b"".join(got[1]), starts)):
            fail("as_buffer differs from the list", data, joined, got)
    elif joined != got:
        fail("as_buffer refuses otherwise", data, joined, got)


def seeds():
    """(label, input): inputs of fixed pseudo-random bytes, of which some
    leave the arrays whole and some change them."""
    import random

    rng = random.Random(20261211)
    return [
        ("random-%02d" % n, bytes(rng.randrange(256) for _ in range(16 + 4 * n))) for n in range(24)
    ]


def main():
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
