"""Call our serialize or deserialize in a loop, for a profiler to watch.

    perf record -e cpu-clock -g python -m bench.profile 3 deserialize 200
    valgrind --tool=callgrind python -m bench.profile 1 serialize 20000

(from the checkout: the benchmark imports the reference model as tests.support;
``python bench/profile.py`` restarts itself that way, which valgrind does not
follow without --trace-children=yes).

Arguments: workload key (1, 2, 3, 4a, 4b, 5), operation, number of calls.
The message is built and the schemas registered before the loop starts.
"""

from __future__ import annotations

import os
import sys

if __name__ == "__main__" and not __package__:
    # Started as a file (python bench/profile.py): run as the module
    # bench.profile, with the checkout on the import path.
    _root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    _path = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = _root + (os.pathsep + _path if _path else "")
    os.execv(sys.executable, [sys.executable, "-m", "bench.profile", *sys.argv[1:]])

from bench import workloads as wl  # noqa: E402 (after the restart above)
from bench.contenders.ours import Ours  # noqa: E402


def main(argv: list[str]) -> int:
    if len(argv) != 3 or argv[1] not in ("serialize", "deserialize"):
        print(__doc__, file=sys.stderr)
        return 2
    key, op, count = argv[0], argv[1], int(argv[2])
    (workload,) = wl.build_all(keys={key})
    ours = Ours()
    ours.load()
    (prepared,) = ours.prepare(workload)
    if op == "serialize":
        function, args = prepared.encode, prepared.encode_args
    else:
        function, args = prepared.decode, prepared.decode_args
    for _ in range(count):
        function(*args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
