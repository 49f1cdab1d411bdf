#!/usr/bin/env python3
"""Fuzz target: korvex_messages.ros2.encode_table against serialize.

Input: as for fuzz_ros2_deserialize, one byte choosing the type
(ros2_common.TYPES), then a CDR payload P (header included).  Where
deserialize reads P, the table decode_table makes of [P, P] (nested and
flattened) encodes to exactly serialize(deserialize(P, numpy=True)) twice,
as a list and as one buffer with its offsets; where it refuses P there is
nothing to encode.  Every outcome other than bytes is a finding.  (Numpy
mode, because numeric arrays go from the columns to the encoder as their
elements: a float32 signaling NaN keeps its bits, which no Python float
holds.)

    python3 -m fuzz.fuzz_ros2_encode_table CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

from fuzz import ros2_common


def fail(what, name, payload, got, expected):
    raise AssertionError(
        "%s: encode_table(%r, decode_table(bytes.fromhex(%r)))\n  gave     %r\n  expected %r"
        % (what, name, payload.hex(), got, expected)
    )


def test_one_input(data):
    ros2 = ros2_common.setup()
    if not data:
        return
    name, payload = ros2_common.split_input(data)
    read = ros2_common.outcome(ros2.deserialize, name, payload)
    if read[0] != "ok":
        return
    expected = ros2.serialize(name, ros2.deserialize(name, payload, numpy=True))
    for flatten in (False, True):
        table = ros2.decode_table(name, [payload, payload], flatten=flatten)
        got = ros2_common.outcome(ros2.encode_table, name, table)
        if got != ("ok", [expected, expected]):
            fail("encode_table differs from serialize", name, payload, got, expected)
        joined = ros2_common.outcome(ros2.encode_table, name, table, as_buffer=True)
        wanted = (expected * 2, [0, len(expected), 2 * len(expected)])
        if joined != ("ok", wanted):
            fail("as_buffer differs", name, payload, joined, wanted)


def main():
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
