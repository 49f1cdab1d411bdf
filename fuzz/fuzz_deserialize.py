#!/usr/bin/env python3
"""Fuzz target: deserialize over the schema set of common.py.

Input: one byte choosing the schema, then the CDR payload (header
included).  The outcome must be exactly the reference decoder's: the same
dict (types, key order and float bits included) or the same exception type
with the same text.  A decoded message must also serialize again to the
reference encoding and decode back to itself.

    python3 -m fuzz.fuzz_deserialize CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

from fuzz import common
from tests.support import cdr

# Set while libFuzzer drives the target (see tests.support.cdr.decode).
EMPTY_CAP = None


def test_one_input(data):
    module = common.load_module()
    if not data:
        return
    name, payload = common.split_input(data)
    try:
        expected = ("ok", cdr.decode(name, payload, common.PARSED, empty_cap=EMPTY_CAP))
    except cdr.Failure as failure:
        expected = (failure.kind, failure.argument)
    except cdr.TooCostly:
        return
    got = common.outcome(module.deserialize, name, payload)
    if not common.same_outcome(got, expected):
        raise AssertionError(
            "deserialize(%r, bytes.fromhex(%r))\n  gave     %r\n  expected %r"
            % (name, payload.hex(), got, expected)
        )
    if got[0] != "ok":
        return
    again = common.outcome(module.serialize, name, got[1])
    wanted = cdr.encode(name, got[1], common.PARSED)
    if again != ("ok", wanted):
        raise AssertionError(
            "serialize(%r, deserialize(...)) of bytes.fromhex(%r)\n"
            "  gave     %r\n  expected %r" % (name, payload.hex(), again, wanted)
        )
    back = common.outcome(module.deserialize, name, again[1])
    if not common.same_outcome(back, got):
        raise AssertionError(
            "round trip of bytes.fromhex(%r) through %r changed the value\n"
            "  gave     %r\n  expected %r" % (payload.hex(), name, back, got)
        )


def main():
    global EMPTY_CAP
    import atheris

    EMPTY_CAP = 4096
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
