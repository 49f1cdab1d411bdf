#!/usr/bin/env python3
"""Fuzz target: korvex_messages.ros2.serialize against rosbags.

Input: one byte choosing the type (ros2_common.TYPES); the rest drives a
FuzzedDataProvider from which ros2_common.Generator builds the message dict
and the rosbags object of the same message.  Oracle:

- when the generator made a value the codec must refuse, serialize raises
  TypeError or ValueError with a text naming the top-level field the first
  such value is under (its path starts with it);
- otherwise it succeeds, and where rosbags' serialize_cdr accepts the same
  message (it refuses, say, a float32 beyond its range, which we narrow to
  infinity), the bytes are exactly rosbags'; and deserialize gives back
  rosbags' reading of those bytes, or, where rosbags refused, a value that
  serializes to the same bytes.

    python3 -m fuzz.fuzz_ros2_serialize CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

import atheris  # FuzzedDataProvider; also used when replaying

from fuzz import ros2_common
from tests.support import ros2 as peers


def fail(what, name, values, got, expected):
    raise AssertionError(
        "%s: serialize(%r, %r)\n  gave     %r\n  expected %r" % (what, name, values, got, expected)
    )


def test_one_input(data):
    ros2 = ros2_common.setup()
    if not data:
        return
    name, rest = ros2_common.split_input(data)
    generator = ros2_common.Generator(atheris.FuzzedDataProvider(rest))
    values, message = generator.message(name)
    got = ros2_common.outcome(ros2.serialize, name, values)
    if generator.refused is not None:
        wanted = "TypeError or ValueError naming '%s" % generator.refused
        if got[0] not in (TypeError, ValueError) or "'" + generator.refused not in got[1]:
            fail("not refused as expected", name, values, got, wanted)
        return
    if got[0] != "ok":
        fail("a valid message refused", name, values, got, "bytes")
    wanted = ros2_common.rosbags_outcome(peers.serialize, message)
    back = ros2_common.outcome(ros2.deserialize, name, got[1])
    if wanted is not None:
        if got[1] != wanted:
            fail("bytes differ from rosbags'", name, values, got[1].hex(), wanted.hex())
        expected = peers.as_dict(peers.deserialize(wanted, name))
        if back[0] != "ok" or not peers.same(back[1], expected):
            fail("deserialize differs from rosbags'", name, values, back, expected)
        return
    again = ros2_common.outcome(ros2.serialize, name, back[1]) if back[0] == "ok" else back
    if again != got:
        fail("round trip changed the bytes", name, values, again, got)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
