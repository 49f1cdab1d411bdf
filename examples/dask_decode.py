# mypy: allow-untyped-calls
# (parts of distributed are not annotated)
"""Decode a record file of examples/record_replay.py on a Dask cluster.

The schema registry belongs to the process, so every Dask worker must
register the layouts before it decodes anything, and so must every worker
that starts later: one added to the cluster, or one that replaces a worker
that died or was restarted.  A WorkerPlugin does exactly that: Dask runs its
`setup` on every worker running when the plugin is registered and on every
worker that joins later.  `ensure_schemas` makes `setup` safe to run again in
the same process (registering the plugin a second time, as a notebook cell
run twice does, runs `setup` again on every worker).

The cluster is a LocalCluster of worker processes with one thread each
(threads of one process share its GIL, and every call of the codec holds
it), listening on 127.0.0.1 only.  Work is split by byte ranges of the file;
each task decodes one range and returns a small summary (counts, a stamps
array, sums), not the decoded dicts.  The totals are checked against a
sequential read, and the rate is printed beside that of one process
decoding the same ranges.

    python examples/dask_decode.py                      # 5 s of simulated data, 2 workers
    python examples/dask_decode.py --seconds 30 --workers 2 --dicts
    python examples/dask_decode.py --file run.rec       # a file of record_replay.py --keep

Needs `pip install "dask[distributed]"` beside this package.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any

from distributed import Client, LocalCluster, WorkerPlugin

sys.path.insert(0, str(Path(__file__).resolve().parent))

import parallel_decode  # noqa: E402
import scaleout_common as common  # noqa: E402
from scaleout_common import Range, Summary  # noqa: E402

from korvex_messages import ensure_schemas  # noqa: E402


class RegisterLayouts(WorkerPlugin):
    """Registers the layouts in every worker, present and future."""

    # One plugin of this name per cluster: registering it again replaces it.
    name = "korvex-messages-layouts"

    def __init__(self, layouts: dict[str, list[tuple[str, str]]]) -> None:
        self.layouts = layouts

    def setup(self, worker: Any) -> None:
        ensure_schemas(self.layouts)


def decode(client: Client, path: str, ranges: list[Range]) -> Summary:
    """Every range decoded on the cluster, summaries added up in file order."""
    futures = client.map(
        common.summarize_range,
        [path] * len(ranges),
        [start for start, _ in ranges],
        [stop for _, stop in ranges],
        pure=False,
    )
    summaries: list[Summary] = client.gather(futures)
    total = Summary()
    for summary in summaries:
        total.add(summary)
    return total


def decode_to_dicts(client: Client, path: str, ranges: list[Range]) -> int:
    """Every range decoded on the cluster, the decoded dicts sent back; their number."""
    futures = client.map(
        parallel_decode.decode_range,
        [path] * len(ranges),
        [start for start, _ in ranges],
        [stop for _, stop in ranges],
        pure=False,
    )
    results: list[tuple[list[int], list[Any] | None]] = client.gather(futures)
    return sum(len(kept or []) for _, kept in results)


def main() -> None:
    parser = common.parser("Decode a file of CDR records on a local Dask cluster.")
    args = parser.parse_args()
    common.check_arguments(parser, args)
    common.export_examples_path()
    with common.recording(args) as path:
        size, ranges = common.ranges_of(path, args.workers * args.chunks)
        reference = common.reference_summary(path)
        with (
            LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
            ) as cluster,
            Client(cluster) as client,
        ):
            client.register_plugin(RegisterLayouts(common.LAYOUTS))
            common.check(decode(client, path, ranges), reference)
            # New worker processes: the plugin registers the layouts in them.
            client.restart()
            common.check(decode(client, path, ranges), reference)
            # Registered again, as by a cell run twice: setup runs again, harmlessly.
            client.register_plugin(RegisterLayouts(common.LAYOUTS))
            started = time.perf_counter()
            total = decode(client, path, ranges)
            parallel_seconds = time.perf_counter() - started
            common.check(total, reference)
            dicts_seconds = None
            if args.dicts:
                started = time.perf_counter()
                if decode_to_dicts(client, path, ranges) != reference.messages:
                    raise SystemExit("the dicts pass decoded another number of messages")
                dicts_seconds = time.perf_counter() - started
        _, sequential_seconds = common.one_process(path, ranges)
    label = f"dask, {args.workers} workers"
    common.report(label, size, ranges, total, parallel_seconds, sequential_seconds, dicts_seconds)


if __name__ == "__main__":
    main()
