"""Message batches in decode_table's one-buffer form, packed and joined
natively (`pack_rows`, `join_packed`), against a plain Python model of the
same layout: payload, N+1 int64 offsets, N int64 log times."""

import sys
from array import array

import pytest

native = pytest.importorskip("korvex_messages.ros2._native")


def model(messages, times):
    """(payload, offsets, times) as plain Python builds them."""
    offsets = [0]
    for message in messages:
        offsets.append(offsets[-1] + len(message))
    return b"".join(messages), offsets, list(times)


def ints(data):
    return list(memoryview(data).cast("q"))


ROWS = [
    [],
    [(5, b"")],
    [(1, b"abc"), (1, b"de"), (2**63 - 1, b"\x00" * 300)],
    [(-(2**63), b"x"), (-1, b"")],
    [(9, b"late"), (3, b"early"), (3, b"tie")],
]


@pytest.mark.parametrize("rows", ROWS)
def test_pack_rows_matches_the_model(rows):
    payload, offsets, times, in_order = native.pack_rows(list(rows))
    expected = model([data for _, data in rows], [time for time, _ in rows])
    assert (payload, ints(offsets), ints(times)) == expected
    assert in_order == (expected[2] == sorted(expected[2]))


@pytest.mark.parametrize(
    "row",
    [
        (1, bytearray(b"x")),  # a blob sqlite would not give
        (1.0, b"x"),
        (True, b"x"),  # bool is an int subclass, not what a row holds
        (2**63, b"x"),
        (-(2**63) - 1, b"x"),
        (1, b"x", 2),
        [1, b"x"],
        None,
    ],
)
def test_pack_rows_leaves_other_rows_to_the_caller(row):
    assert native.pack_rows([(1, b"ok"), row]) is None


@pytest.mark.parametrize(
    "args,error,text",
    [
        (((1, b"x"),), TypeError, "rows must be a list"),
        ((), TypeError, "exactly one argument"),
        (([], []), TypeError, "exactly one argument"),
    ],
)
def test_pack_rows_arguments(args, error, text):
    with pytest.raises(error, match=text):
        native.pack_rows(*args)


def batch(messages, times, base=0):
    """A batch whose offsets start at `base` inside a payload with other
    bytes around its messages."""
    payload, offsets, times = model(messages, times)
    return (
        b"\xee" * base + payload + b"\xdd" * 3,
        array("q", [o + base for o in offsets]),
        array("q", times),
    )


@pytest.mark.parametrize(
    "parts",
    [
        [],
        [([b"a", b"bc"], [1, 2])],
        [([b"a", b"bc"], [1, 2]), ([], []), ([b"", b"def"], [2, 5])],
        [([b"x" * 1000], [7]), ([b"y"], [8], 17), ([b"z", b"w"], [9, 9], 4)],
    ],
)
def test_join_packed_matches_the_model(parts):
    batches = [batch(*part) for part in parts]
    payload, offsets, times = native.join_packed(batches)
    messages = [m for part in parts for m in part[0]]
    expected = model(messages, [t for part in parts for t in part[1]])
    assert (payload, ints(offsets), ints(times)) == expected


def test_join_packed_takes_any_int64_buffers():
    offsets = memoryview(array("q", [0, 2, 3]).tobytes()).cast("q")
    joined = native.join_packed([(bytearray(b"abc"), offsets, array("q", [1, 2]).tobytes())])
    assert (joined[0], ints(joined[1]), ints(joined[2])) == (b"abc", [0, 2, 3], [1, 2])


@pytest.mark.parametrize(
    "batches,error,text",
    [
        ((), TypeError, "batches must be a list"),
        ([(b"ab", array("q", [0, 2]))], TypeError, "batch 0 is not a"),
        ([None], TypeError, "batch 0 is not a"),
        ([("text", array("q", [0]), b"")], TypeError, None),
        ([(b"ab", array("q", [0, 1, 2]), array("q", [1]))], ValueError, "one more int64"),
        ([(b"ab", b"\x00" * 12, b"\x00" * 4)], ValueError, "one more int64"),
        ([(b"ab", array("q", [0, 3]), array("q", [1]))], ValueError, "do not rise within"),
        ([(b"ab", array("q", [2, 1]), array("q", [1]))], ValueError, "do not rise within"),
        ([(b"ab", array("q", [-1, 1]), array("q", [1]))], ValueError, "do not rise within"),
        (
            [batch([b"a"], [1]), (b"ab", array("q", [0, 9]), array("q", [1]))],
            ValueError,
            "batch 1's offsets",
        ),
    ],
)
def test_join_packed_refuses_batches_that_do_not_hold(batches, error, text):
    with pytest.raises(error, match=text):
        native.join_packed(batches)


def test_join_packed_holds_what_it_reads():
    # The joined batch stays valid after its parts are gone.
    parts = [batch([bytes([i]) * 100], [i]) for i in range(50)]
    before = [sys.getrefcount(part[0]) for part in parts]
    payload, offsets, _ = native.join_packed(parts)
    assert [sys.getrefcount(part[0]) for part in parts] == before
    del parts
    assert payload[100:200] == b"\x01" * 100 and ints(offsets)[-1] == 5000


@pytest.mark.parametrize(
    "messages,times,base",
    [
        ([], [], 0),
        ([b"a"], [7], 5),
        ([b"late", b"early", b"", b"tie", b"x" * 300], [9, 3, 3, 3, -(2**63)], 2),
        ([bytes([i]) for i in range(40)], [(i * 7919) % 11 for i in range(40)], 0),
        ([b"p", b"q", b"r"], [2**63 - 1, 0, -1], 1),
    ],
)
def test_sort_packed_orders_by_time_keeping_ties_in_order(messages, times, base):
    payload, offsets, sorted_times = native.sort_packed(batch(messages, times, base))
    order = sorted(range(len(times)), key=times.__getitem__)  # stable, as the model
    expected = model([messages[i] for i in order], [times[i] for i in order])
    assert (payload, ints(offsets), ints(sorted_times)) == expected


@pytest.mark.parametrize(
    "item,error,text",
    [
        ([b"", array("q", [0]), b""], TypeError, "sort_packed: batch 0 is not a"),
        ((b"ab", array("q", [0, 3]), array("q", [1])), ValueError, "batch 0's offsets do"),
        ((b"ab", array("q", [0]), array("q", [1])), ValueError, "one more int64"),
    ],
)
def test_sort_packed_refuses_batches_that_do_not_hold(item, error, text):
    with pytest.raises(error, match=text):
        native.sort_packed(item)
