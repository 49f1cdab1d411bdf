# mypy: allow-untyped-calls
# (parts of ray are not annotated)
"""Decode a record file of examples/record_replay.py on Ray actors.

An actor is a process of its own, with its own schema registry, so each
actor registers the layouts in `__init__`.  Ray runs `__init__` again when
it restarts an actor (max_restarts), and `ensure_schemas` makes that safe
also where Ray reuses a worker process that registered them before.

Ray is started on this machine only, with no dashboard.  On Linux, Ray
binds its services to the machine's network address even when ray.init is
given 127.0.0.1 (it swaps a loopback address for the network one); only
with RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0 in the environment before `ray` is
imported does it keep every service on 127.0.0.1, as it does by default on
macOS and Windows.  The node's address is printed.

Work is split by byte ranges of the file and dealt out to
the actors in turn; each call decodes one range and returns a small summary
(counts, a stamps array, sums), not the decoded dicts.  The totals are
checked against a sequential read, and the rate is printed beside that of
one process decoding the same ranges.

    python examples/ray_decode.py                       # 5 s of simulated data, 2 actors
    python examples/ray_decode.py --seconds 30 --workers 2 --dicts
    python examples/ray_decode.py --file run.rec        # a file of record_replay.py --keep

Needs `pip install ray` beside this package.
"""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import parallel_decode  # noqa: E402
import scaleout_common as common  # noqa: E402
from record_replay import TOPICS  # noqa: E402
from scaleout_common import Range, Summary  # noqa: E402

from korvex_messages import ensure_schemas  # noqa: E402


class RangeDecoder:
    """Decodes byte ranges of record files; a plain class, made an actor
    with ray.remote (and usable without Ray)."""

    def __init__(self) -> None:
        ensure_schemas(common.LAYOUTS)

    def summarize(self, path: str, start: int, stop: int) -> Summary:
        return common.summarize_range(path, start, stop)

    def decode(self, path: str, start: int, stop: int) -> list[tuple[int, dict[str, Any]]]:
        _, kept = parallel_decode.decode_range(path, start, stop)
        return kept or []


def decode(actors: list[Any], path: str, ranges: list[Range]) -> Summary:
    """Every range decoded by the actors, summaries added up in file order."""
    import ray

    calls = [
        actors[i % len(actors)].summarize.remote(path, start, stop)
        for i, (start, stop) in enumerate(ranges)
    ]
    total = Summary()
    for summary in ray.get(calls):
        total.add(summary)
    return total


def decode_to_dicts(actors: list[Any], path: str, ranges: list[Range]) -> int:
    """Every range decoded by the actors, the decoded dicts sent back; their number."""
    import ray

    calls = [
        actors[i % len(actors)].decode.remote(path, start, stop)
        for i, (start, stop) in enumerate(ranges)
    ]
    return sum(len(kept) for kept in ray.get(calls))


def main() -> None:
    parser = common.parser("Decode a file of CDR records on Ray actors on this machine.")
    args = parser.parse_args()
    common.check_arguments(parser, args)
    # Read once, when ray is imported: keeps Ray's services on loopback.
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    import ray

    # The actors import the examples' modules by name.
    common.export_examples_path()
    with common.recording(args) as path:
        size, ranges = common.ranges_of(path, args.workers * args.chunks)
        reference = common.reference_summary(path)
        ray.init(num_cpus=args.workers, include_dashboard=False, log_to_driver=False)
        try:
            address = ray.nodes()[0]["NodeManagerAddress"]
            print(f"ray node address: {address}")
            # Decoding a range can be repeated, so calls that a restart
            # interrupts are simply sent again.
            decoder = ray.remote(num_cpus=1, max_restarts=1, max_task_retries=2)(RangeDecoder)
            actors: list[Any] = [decoder.remote() for _ in range(args.workers)]
            common.check(decode(actors, path, ranges), reference)
            # A restarted actor runs __init__ again, in a new process.
            ray.kill(actors[0], no_restart=False)
            common.check(decode(actors, path, ranges), reference)
            started = time.perf_counter()
            total = decode(actors, path, ranges)
            parallel_seconds = time.perf_counter() - started
            common.check(total, reference)
            dicts_seconds = None
            if args.dicts:
                started = time.perf_counter()
                if decode_to_dicts(actors, path, ranges) != reference.messages:
                    raise SystemExit("the dicts pass decoded another number of messages")
                dicts_seconds = time.perf_counter() - started
        finally:
            ray.shutdown()
        _, sequential_seconds = common.one_process(path, ranges)
    label = f"ray, {args.workers} actors"
    common.report(label, size, ranges, total, parallel_seconds, sequential_seconds, dicts_seconds)
    assert len(total.counts) == len(TOPICS)


if __name__ == "__main__":
    main()
