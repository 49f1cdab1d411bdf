#!/usr/bin/env python3
"""Fuzz target: korvex_messages.ros2.deserialize against rosbags.

Input: one byte choosing the type (ros2_common.TYPES), then the CDR payload
(header included), read with numpy=False and numpy=True.  Oracle, with
rosbags' CDR reader as the peer:

- we raise nothing but ValueError, with a text, for malformed input (the
  type is registered and the data is bytes, so TypeError and KeyError are
  findings too);
- where rosbags refuses the payload, we refuse it with ValueError;
- where rosbags reads it, we give the same values (its numpy view in numpy
  mode), or refuse it for one of the checks rosbags does not make
  (ALLOWED_STRICTER); a message we read serializes to exactly the bytes
  rosbags writes for its reading, and reads back to itself.

Bytes after the message are ignored, as rmw ignores them (rosbags' own
deserialize_cdr refuses more than 3; ros2_common.rosbags_read reads
without that check).

    python3 -m fuzz.fuzz_ros2_deserialize CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

from fuzz import ros2_common
from tests.support import ros2 as peers

# Refusals of input rosbags reads: it checks no bound of a bounded string or
# sequence on reading.
ALLOWED_STRICTER = ("holds at most",)


def fail(what, name, payload, got, expected):
    raise AssertionError(
        "%s: deserialize(%r, bytes.fromhex(%r))\n  gave     %r\n  expected %r"
        % (what, name, payload.hex(), got, expected)
    )


def test_one_input(data):
    ros2 = ros2_common.setup()
    if not data:
        return
    name, payload = ros2_common.split_input(data)
    theirs = ros2_common.rosbags_read(payload, name)
    results = {}
    for numpy in (False, True):
        got = ros2_common.outcome(ros2.deserialize, name, payload, numpy=numpy)
        results[numpy] = got
        if got[0] != "ok" and got[0] is not ValueError:
            fail("not a ValueError", name, payload, got, "ValueError")
        if theirs is None:
            if got[0] == "ok":
                fail("rosbags refuses it", name, payload, got, "ValueError")
            continue
        expected = peers.as_dict(theirs, numpy=numpy)
        if got[0] == "ok":
            if not peers.same(got[1], expected):
                fail("values differ from rosbags'", name, payload, got, expected)
        elif not any(text in got[1] for text in ALLOWED_STRICTER):
            fail("rosbags reads it", name, payload, got, expected)
    if (results[False][0] == "ok") != (results[True][0] == "ok"):
        fail("numpy mode disagrees", name, payload, results[True], results[False])
    got = results[False]
    if got[0] != "ok":
        return
    again = ros2_common.outcome(ros2.serialize, name, got[1])
    wanted = ros2_common.rosbags_outcome(peers.serialize, theirs)
    if wanted is not None and again != ("ok", wanted):
        fail("serialize of the value differs from rosbags'", name, payload, again, wanted)
    if again[0] != "ok":
        fail("the value does not serialize", name, payload, again, "bytes")
    back = ros2_common.outcome(ros2.deserialize, name, again[1])
    if back[0] != "ok" or not peers.same(back[1], got[1]):
        fail("round trip changed the value", name, payload, back, got)


def main():
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
