# mypy: allow-untyped-calls
# (parts of distributed are not annotated)
"""Read a topic of many ROS 2 recordings as one Dask DataFrame, on a local
Dask cluster.

    from korvex_messages.ros2.dask import read_topic

    frame = read_topic(paths, "/imu", flatten=True)      # lazy: nothing read yet
    frame["linear_acceleration.z"].sum().compute()

`read_topic` opens each file once here, for the topic's columns and its
log-time range in each file; each partition is then one file, read by a
worker that opens it itself.  The frame is indexed by log time, its
columns pandas ArrowDtype, and, as the files here follow one another in
time, its divisions are known.  The workers register nothing: the
definitions come with each recording (or with `types=`).

This example writes 8 recording files of the messages of
examples/record_replay.py (see scaleout_common), starts a LocalCluster of
worker processes with one thread each (threads of one process share its
GIL), listening on 127.0.0.1 only (see local_cluster for a setting of the
workers' malloc that matters), and sums a column of each topic on the
workers; it restarts the workers and does it again (new worker processes
need nothing set up), and checks the totals against a sequential read.

    python examples/dask_decode.py                      # 5 s of simulated data, 2 workers
    python examples/dask_decode.py --seconds 30 --workers 2 --rows
    python examples/dask_decode.py --file run.rec       # a file of record_replay.py --keep

Needs `pip install 'korvex-messages[dask]' "dask[distributed]"`.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any

import dask.config
from dask.base import compute
from distributed import Client, LocalCluster

sys.path.insert(0, str(Path(__file__).resolve().parent))

import scaleout_common as common  # noqa: E402
from scaleout_common import SUMMED, TOPIC_NAMES, Totals  # noqa: E402

from korvex_messages.ros2.dask import read_topic  # noqa: E402


def totals(paths: list[Path]) -> Totals:
    """Rows and column sums of every topic, computed on the cluster in one go."""
    frames = {topic: read_topic(paths, topic, flatten=True) for topic in TOPIC_NAMES}
    assert all(frame.known_divisions for frame in frames.values())
    wanted: list[Any] = []
    for topic, frame in frames.items():
        column = SUMMED[topic]
        # Both of one column, so that each file is read once for the two.
        if column:
            wanted += [frame[column].count(), frame[column].sum()]
        else:
            wanted += [frame.shape[0], 0.0]
    computed = compute(*wanted)
    result = Totals()
    for index, topic in enumerate(TOPIC_NAMES):
        result.rows[topic] = int(computed[2 * index])
        result.sums[topic] = float(computed[2 * index + 1])
    return result


def local_cluster(workers: int) -> LocalCluster:
    """Worker processes of one thread each, on 127.0.0.1 only, without the
    MALLOC_TRIM_THRESHOLD_ that Dask's nanny sets in its workers by default:
    setting it turns off glibc's adaptive mmap threshold, so every large
    buffer (a decompressed chunk, a batch of messages) is mapped and
    unmapped afresh, which made reading recordings about 1.6x slower here."""
    unset = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
    with dask.config.set(unset):
        return LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        )


def main() -> None:
    parser = common.parser("Read ROS 2 recordings as Dask DataFrames on a local cluster.")
    args = parser.parse_args()
    common.check_arguments(parser, args)
    with common.recordings(args) as paths:
        common.sequential(paths)  # imports and the page cache warmed up
        reference, sequential_seconds = common.sequential(paths)
        with local_cluster(args.workers) as cluster, Client(cluster) as client:
            common.check(totals(paths), reference)
            # New worker processes: they open the files and find the
            # definitions in them, as the first ones did.
            client.restart()
            common.check(totals(paths), reference)
            started = time.perf_counter()
            total = totals(paths)
            parallel_seconds = time.perf_counter() - started
            common.check(total, reference)
            rows_seconds = None
            if args.rows:
                started = time.perf_counter()
                imu = read_topic(paths, "/imu").compute()
                rows_seconds = time.perf_counter() - started
                if len(imu) != reference.rows["/imu"]:
                    raise SystemExit(
                        f"/imu: {len(imu)} rows came back, sequential {reference.rows['/imu']}"
                    )
        label = f"dask, {args.workers} workers"
        common.report(label, paths, total, parallel_seconds, sequential_seconds, rows_seconds)


if __name__ == "__main__":
    main()
