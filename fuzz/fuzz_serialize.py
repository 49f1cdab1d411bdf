#!/usr/bin/env python3
"""Fuzz target: serialize with fuzzer-built values, then deserialize.

Input: one byte choosing the schema; the rest drives a FuzzedDataProvider
from which common.Generator builds the values dictionary.  When every value
is valid, serialize must return exactly the reference encoding and
deserialize must give back the normalised values; otherwise serialize must
raise exactly the exception (type and text) predicted for the first invalid
value in writing order.

    python3 -m fuzz.fuzz_serialize CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

import atheris  # FuzzedDataProvider; also used when replaying

from fuzz import common
from tests.support import cdr


def test_one_input(data):
    module = common.load_module()
    if not data:
        return
    name, rest = common.split_input(data)
    generator = common.Generator(atheris.FuzzedDataProvider(rest))
    values, expected = generator.message(name)
    got = common.outcome(module.serialize, name, values)
    if generator.failure is not None:
        wanted = (generator.failure.kind, generator.failure.argument)
        if not common.same_outcome(got, wanted):
            raise AssertionError(
                "serialize(%r, %r)\n  gave     %r\n  expected %r" % (name, values, got, wanted)
            )
        return
    wanted = cdr.encode(name, expected, common.PARSED)
    if got != ("ok", wanted):
        raise AssertionError(
            "serialize(%r, %r)\n  gave     %r\n  expected %r" % (name, values, got, ("ok", wanted))
        )
    back = common.outcome(module.deserialize, name, got[1])
    if not common.same_outcome(back, ("ok", expected)):
        raise AssertionError(
            "deserialize(serialize(%r, %r))\n  gave     %r\n  expected %r"
            % (name, values, back, expected)
        )


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
