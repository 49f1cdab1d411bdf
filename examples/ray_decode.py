# mypy: allow-untyped-calls
# (parts of ray are not annotated)
"""Read a topic of many ROS 2 recordings as one Ray Dataset, on Ray on this
machine.

    from korvex_messages.ros2.ray import read_topic

    dataset = read_topic(paths, "/imu", flatten=True)   # one read task per file
    dataset.sum("linear_acceleration.z")

`read_topic` opens each file once here, for the topic's columns and its
message count in each file; each file is then one read task, run by a Ray
worker that opens it itself and yields its messages as pyarrow Tables (the
blocks).  The workers register nothing: the definitions come with each
recording (or with `types=`).

Ray is started on this machine only, with no dashboard.  On Linux, Ray
binds its services to the machine's network address even when ray.init is
given 127.0.0.1 (it swaps a loopback address for the network one); only
with RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0 in the environment before `ray` is
imported does it keep every service on 127.0.0.1, as it does by default on
macOS and Windows.  The node's address is printed.

This example writes 8 recording files of the messages of
examples/record_replay.py (see scaleout_common), sums a column of each
topic on the workers (map_batches over whole blocks, so that only a row
per block comes back), twice, and checks the totals against a sequential
read.

    python examples/ray_decode.py                       # 5 s of simulated data, 2 CPUs
    python examples/ray_decode.py --seconds 30 --workers 2 --rows
    python examples/ray_decode.py --file run.rec        # a file of record_replay.py --keep

Needs `pip install 'korvex-messages[ray]'`.
"""

from __future__ import annotations

import importlib
import os
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import scaleout_common as common  # noqa: E402
from scaleout_common import SUMMED, TOPIC_NAMES, Totals  # noqa: E402

from korvex_messages.ros2.ray import read_topic  # noqa: E402


def block_totals(block: Any, column: str | None) -> dict[str, list[Any]]:
    """One block's rows and column sum, as a one-row batch."""
    pc = importlib.import_module("pyarrow.compute")
    total = pc.sum(block[column]).as_py() if column and block.num_rows else 0
    return {"rows": [block.num_rows], "sum": [float(total or 0)]}


def totals(paths: list[Path]) -> Totals:
    """Rows and column sums of every topic: each block summed where it was
    read, the small results added up here."""
    result = Totals()
    for topic in TOPIC_NAMES:
        dataset = read_topic(paths, topic, flatten=True)
        sums = dataset.map_batches(
            block_totals,
            fn_kwargs={"column": SUMMED[topic]},
            batch_format="pyarrow",
            batch_size=None,
            zero_copy_batch=True,
        ).take_all()
        result.rows[topic] = sum(int(row["rows"]) for row in sums)
        result.sums[topic] = sum(float(row["sum"]) for row in sums)
    return result


def main() -> None:
    parser = common.parser("Read ROS 2 recordings as Ray Datasets on this machine.")
    args = parser.parse_args()
    common.check_arguments(parser, args)
    # The workers import block_totals from this module by name.
    common.export_examples_path()
    # Read once, when ray is imported: keeps Ray's services on loopback.
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    import ray
    import ray.data

    with common.recordings(args) as paths:
        common.sequential(paths)  # imports and the page cache warmed up
        reference, sequential_seconds = common.sequential(paths)
        ray.init(num_cpus=args.workers, include_dashboard=False, log_to_driver=False)
        try:
            ray.data.DataContext.get_current().enable_progress_bars = False
            address = ray.nodes()[0]["NodeManagerAddress"]
            print(f"ray node address: {address}")
            # The first pass starts the worker processes.
            common.check(totals(paths), reference)
            started = time.perf_counter()
            total = totals(paths)
            parallel_seconds = time.perf_counter() - started
            common.check(total, reference)
            rows_seconds = None
            if args.rows:
                started = time.perf_counter()
                refs = read_topic(paths, "/imu").to_arrow_refs()
                rows = sum(table.num_rows for table in ray.get(refs))
                rows_seconds = time.perf_counter() - started
                if rows != reference.rows["/imu"]:
                    raise SystemExit(
                        f"/imu: {rows} rows came back, sequential {reference.rows['/imu']}"
                    )
        finally:
            ray.shutdown()
        label = f"ray, {args.workers} CPUs"
        common.report(label, paths, total, parallel_seconds, sequential_seconds, rows_seconds)


if __name__ == "__main__":
    main()
