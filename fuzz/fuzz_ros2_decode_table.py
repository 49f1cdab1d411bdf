#!/usr/bin/env python3
"""Fuzz target: korvex_messages.ros2.decode_table against the per-message
deserialize.

Input: as for fuzz_ros2_deserialize, one byte choosing the type
(ros2_common.TYPES), then a CDR payload P (header included).  The batch is
[P, P less its last len(P) % 5 bytes, P], as a list and as one buffer with
offsets.  Oracle:

- decode_table raises nothing but ValueError with a text, and both forms of
  the batch have the same outcome;
- it refuses the batch exactly when deserialize refuses a member, naming
  the first such member ("message I: ..."), and where deserialize names a
  field ("Deserialization failed: field 'a.b': ..."), the text after
  "message I: " is deserialize's, field, reason and offset;
- otherwise the table has a row per member and (with pyarrow installed)
  each row is what deserialize reads from that member.

    python3 -m fuzz.fuzz_ros2_decode_table CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

from fuzz import ros2_common
from tests.support import ros2 as peers

try:
    import pyarrow
except ImportError:  # the rows are then only counted
    pyarrow = None


def fail(what, name, batch, got, expected):
    raise AssertionError(
        "%s: decode_table(%r, %r)\n  gave     %r\n  expected %r"
        % (what, name, [m.hex() for m in batch], got, expected)
    )


def test_one_input(data):
    ros2 = ros2_common.setup()
    if not data:
        return
    name, payload = ros2_common.split_input(data)
    batch = [payload, payload[: len(payload) - len(payload) % 5], payload]
    members = [ros2_common.outcome(ros2.deserialize, name, m) for m in batch]
    got = ros2_common.outcome(ros2.decode_table, name, batch)
    offsets = [0]
    for message in batch:
        offsets.append(offsets[-1] + len(message))
    joined = ros2_common.outcome(ros2.decode_table, name, b"".join(batch), offsets=offsets)
    if got[0] != "ok" and got[0] is not ValueError:
        fail("not a ValueError", name, batch, got, "ValueError")
    if (got[0], got[1] if got[0] != "ok" else None) != (
        joined[0],
        joined[1] if joined[0] != "ok" else None,
    ):
        fail("the one-buffer form differs", name, batch, joined, got)
    refused = [index for index, member in enumerate(members) if member[0] != "ok"]
    if refused:
        if got[0] == "ok" or not got[1].startswith("message %d: " % refused[0]):
            fail("deserialize refuses a member", name, batch, got, members[refused[0]])
        theirs = members[refused[0]][1].removeprefix("Deserialization failed: ")
        ours = got[1].removeprefix("message %d: " % refused[0])
        if theirs.startswith("field '") and ours != theirs:
            fail("the texts differ", name, batch, got, members[refused[0]])
        return
    if got[0] != "ok":
        fail("deserialize reads every member", name, batch, got, members)
    table = got[1]
    if len(table) != len(batch):
        fail("a row per member", name, batch, len(table), len(batch))
    if pyarrow is not None:
        rows = pyarrow.table(table).to_pylist()
        for row, member in zip(rows, members):
            if not peers.same(row, member[1]):
                fail("a row differs from deserialize", name, batch, row, member[1])


def main():
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
