#!/usr/bin/env python3
"""Fuzz target: korvex_messages.decode_table and encode_table over the schema
set of common.py, against the per-message deserialize.

Input: as for fuzz_deserialize, one byte choosing the schema, then a CDR
payload P (header included).  The batch is [P, P less its last len(P) % 5
bytes, P].  Oracle:

- a schema that cannot be a column type (one that contains itself, nests
  too deep, or names an unregistered schema) is refused whatever the
  batch, the empty one included;
- otherwise decode_table refuses the batch exactly when deserialize refuses
  a member, with a ValueError naming the first such member ("message I:");
- a table it makes has a row per member, each (with pyarrow installed, and
  field names without repeats) what deserialize reads, and encode_table
  gives back each member as serialize encodes what deserialize read.

    python3 -m fuzz.fuzz_decode_table CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

from fuzz import common

try:
    import pyarrow
except ImportError:  # the rows are then only counted
    pyarrow = None


def fail(what, name, batch, got, expected):
    raise AssertionError(
        "%s: decode_table(%r, %r)\n  gave     %r\n  expected %r"
        % (what, name, [m.hex() for m in batch], got, expected)
    )


def outcome(call, *args, **kwargs):
    try:
        return ("ok", call(*args, **kwargs))
    except (TypeError, ValueError, KeyError) as error:
        return (type(error), str(error))


def test_one_input(data):
    module = common.load_module()
    import korvex_messages

    if not data:
        return
    name, payload = common.split_input(data)
    batch = [payload, payload[: len(payload) - len(payload) % 5], payload]
    got = outcome(korvex_messages.decode_table, name, batch)
    if got[0] != "ok" and not got[1].startswith("message "):
        empty = outcome(korvex_messages.decode_table, name, [])
        if empty[0] == "ok" or empty[1] != got[1]:
            fail("a refusal of the type depends on the batch", name, batch, got, empty)
        return
    members = [outcome(module.deserialize, name, m) for m in batch]
    refused = [index for index, member in enumerate(members) if member[0] != "ok"]
    if refused:
        if got[0] is not ValueError or not got[1].startswith("message %d: " % refused[0]):
            fail("deserialize refuses a member", name, batch, got, members[refused[0]])
        return
    if got[0] != "ok":
        fail("deserialize reads every member", name, batch, got, members)
    table = got[1]
    if len(table) != len(batch):
        fail("a row per member", name, batch, len(table), len(batch))
    names = [field for field, _ in common.SCHEMA_MAP[name]]
    if pyarrow is not None and len(set(names)) == len(names):
        rows = pyarrow.table(table).to_pylist()
        for row, member in zip(rows, members):
            if not common.same(row, member[1]):
                fail("a row differs from deserialize", name, batch, row, member[1])
    if len(set(names)) == len(names):
        encoded = outcome(korvex_messages.encode_table, name, table)
        wanted = [module.serialize(name, member[1]) for member in members]
        if encoded != ("ok", wanted):
            fail("encode_table differs from serialize", name, batch, encoded, wanted)


def main():
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
