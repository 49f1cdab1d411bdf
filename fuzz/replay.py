"""Runs every file of the given corpus directories once through a target,
without libFuzzer (used for the sanitizer run and to reproduce a crash).

    python3 -m fuzz.replay TARGET PATH...

TARGET is deserialize, serialize, decode_table, ros2_deserialize,
ros2_serialize, ros2_register, ros2_decode_table, ros2_encode_table,
ros2_mcap_scan or ros2_arrow_producer; run
from the checkout, or with the checkout on PYTHONPATH.

PATH may be a directory (every file in it) or a single input file.  Exits
non-zero on the first input whose outcome is wrong.
"""

import importlib
import os
import sys

TARGETS = (
    "deserialize",
    "serialize",
    "ros2_deserialize",
    "ros2_serialize",
    "ros2_register",
    "ros2_decode_table",
    "ros2_encode_table",
    "decode_table",
    "ros2_mcap_scan",
    "ros2_arrow_producer",
)


def inputs(paths):
    for path in paths:
        if os.path.isdir(path):
            for entry in sorted(os.listdir(path)):
                full = os.path.join(path, entry)
                if os.path.isfile(full):
                    yield full
        else:
            yield path


def main(argv):
    if len(argv) < 3 or argv[1] not in TARGETS:
        sys.stderr.write(__doc__)
        return 2
    target = importlib.import_module("fuzz.fuzz_" + argv[1])
    count = 0
    for path in inputs(argv[2:]):
        with open(path, "rb") as handle:
            data = handle.read()
        try:
            target.test_one_input(data)
        except BaseException:
            sys.stderr.write("replay: %s failed on %s\n" % (argv[1], path))
            raise
        count += 1
    print("replay: %s: %d inputs, all outcomes as expected" % (argv[1], count))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
