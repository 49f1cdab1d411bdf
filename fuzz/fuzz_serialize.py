#!/usr/bin/env python3
"""Fuzz target: serialize with fuzzer-built values, then deserialize.

Input: one byte choosing the schema; the rest drives a FuzzedDataProvider
from which common.Generator builds the values dictionary.  When every value
is valid, serialize must return exactly the reference encoding and
deserialize must give back the normalised values; otherwise serialize must
raise exactly the exception (type and text) predicted for the first invalid
value in writing order.

    python3 fuzz/fuzz_serialize.py CORPUS_DIR [libFuzzer flags]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import atheris  # noqa: E402  (FuzzedDataProvider; also used when replaying)

import common  # noqa: E402
from fuzz_deserialize import _outcome, _same_outcome  # noqa: E402

_module = None


def test_one_input(data):
    global _module
    if _module is None:
        _module = common.load_module()
    if not data:
        return
    name = common.SCHEMAS[data[0] % len(common.SCHEMAS)][0]
    generator = common.Generator(atheris.FuzzedDataProvider(bytes(data[1:])))
    values, expected = generator.message(name)
    got = _outcome(_module.serialize, name, values)
    if generator.failure is not None:
        wanted = (generator.failure.kind, generator.failure.argument)
        if not _same_outcome(got, wanted):
            raise AssertionError("serialize(%r, %r)\n  gave     %r\n  expected %r"
                                 % (name, values, got, wanted))
        return
    wanted = common.reference_encode(name, expected)
    if got != ("ok", wanted):
        raise AssertionError("serialize(%r, %r)\n  gave     %r\n  expected %r"
                             % (name, values, got, ("ok", wanted)))
    back = _outcome(_module.deserialize, name, got[1])
    if not _same_outcome(back, ("ok", expected)):
        raise AssertionError("deserialize(serialize(%r, %r))\n  gave     %r\n  expected %r"
                             % (name, values, back, expected))


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
