#!/usr/bin/env python3
"""Fuzz target: deserialize over the schema set of common.py.

Input: one byte choosing the schema, then the CDR payload (header
included).  The outcome must be exactly the reference decoder's: the same
dict (types, key order and float bits included) or the same exception type
with the same text.  A decoded message must also serialize again to the
reference encoding and decode back to itself.

    python3 fuzz/fuzz_deserialize.py CORPUS_DIR [libFuzzer flags]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

_module = None
# Set while libFuzzer drives the target (see common.reference_decode).
EMPTY_CAP = None


def _outcome(call, *args):
    try:
        return ("ok", call(*args))
    except (TypeError, ValueError, KeyError) as error:
        if len(error.args) != 1:
            raise AssertionError("%s with %d arguments: %r"
                                 % (type(error).__name__, len(error.args), error)) from error
        return (type(error), error.args[0])
    except BaseException as error:  # PanicException derives from BaseException
        raise AssertionError("undocumented outcome %s: %r"
                             % (type(error).__name__, error)) from error


def _same_outcome(got, expected):
    if got[0] == "ok" or expected[0] == "ok":
        return got[0] == expected[0] and common.same(got[1], expected[1])
    return got[0] is expected[0] and type(got[1]) is str and got[1] == expected[1]


def test_one_input(data):
    global _module
    if _module is None:
        _module = common.load_module()
    if not data:
        return
    name = common.SCHEMAS[data[0] % len(common.SCHEMAS)][0]
    payload = bytes(data[1:])
    try:
        expected = ("ok", common.reference_decode(name, payload, empty_cap=EMPTY_CAP))
    except common.Failure as failure:
        expected = (failure.kind, failure.argument)
    except common.TooCostly:
        return
    got = _outcome(_module.deserialize, name, payload)
    if not _same_outcome(got, expected):
        raise AssertionError("deserialize(%r, bytes.fromhex(%r))\n  gave     %r\n  expected %r"
                             % (name, payload.hex(), got, expected))
    if got[0] != "ok":
        return
    again = _outcome(_module.serialize, name, got[1])
    wanted = common.reference_encode(name, got[1])
    if again != ("ok", wanted):
        raise AssertionError("serialize(%r, deserialize(...)) of bytes.fromhex(%r)\n"
                             "  gave     %r\n  expected %r" % (name, payload.hex(), again, wanted))
    back = _outcome(_module.deserialize, name, again[1])
    if not _same_outcome(back, got):
        raise AssertionError("round trip of bytes.fromhex(%r) through %r changed the value\n"
                             "  gave     %r\n  expected %r" % (payload.hex(), name, back, got))


def main():
    global EMPTY_CAP
    import atheris

    EMPTY_CAP = 4096
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
