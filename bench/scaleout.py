"""read_topic on 2 workers against one process, on 8 recording files.

    PYTHONPATH=build/rel:. python bench/scaleout.py [--seconds 30] [--files 8]
        [--workers 2] [--rounds 3] [--only dask|ray] [--storage mcap|db3]

It writes `files` recordings of `seconds` of examples/record_replay.py's
simulated robot each (an IMU at 200 Hz, a pose at 50 Hz, a 160x120 camera
at 10 Hz, under the standard ROS 2 types), as MCAP files with zstd chunks
(mcap's writer, as `ros2 bag record` writes them) or as rosbag2 `.db3`
files (examples/scaleout_common.py).  Then it times the examples' work
(examples/dask_decode.py and examples/ray_decode.py): every topic's rows
counted and one column summed, on the workers, everything from the paths
on (the driver's look at each file included), against one process reading
the same files one after another with open_recording.  Each figure is the
best of `rounds` runs after one run that starts the workers; the ratio is
one process's time over the workers'.  Needs dask[distributed], ray,
mcap and zstandard.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import record_replay  # noqa: E402
import scaleout_common as common  # noqa: E402

from korvex_messages import ros2  # noqa: E402


def write_mcap(path, stream):
    from mcap.writer import CompressionType, Writer

    for _, kind, text in common.ROS_TOPICS:
        ros2.register_msg(kind, text)
    with open(path, "wb") as out:
        writer = Writer(out, compression=CompressionType.ZSTD)
        writer.start(profile="ros2")
        channels = []
        for topic, kind, text in common.ROS_TOPICS:
            schema = writer.register_schema(kind, "ros2msg", text.encode())
            channels.append(writer.register_channel(topic, "cdr", schema))
        for index, message in stream:
            t = common.stamp_of(message)
            data = ros2.serialize(common.ROS_TOPICS[index][1], message)
            writer.add_message(channels[index], t, data, t)
        writer.finish()


def write_files(folder, seconds, files, storage):
    record_replay.register_layouts()
    paths = []
    start = 1_700_000_000 * 10**9
    for index in range(files):
        stream = list(record_replay.simulate(seconds, start + round(index * seconds * 1e9)))
        if storage == "mcap":
            path = folder / f"run_{index:03d}.mcap"
            write_mcap(path, stream)
        else:
            path = folder / f"run_{index:03d}.db3"
            common.write_db3(path, stream)
        paths.append(path)
    return paths


def best(rounds, run):
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        totals = run()
        times.append(time.perf_counter() - started)
    return min(times), totals


def time_dask(paths, workers, rounds, reference):
    import dask_decode
    from distributed import Client

    with dask_decode.local_cluster(workers) as cluster, Client(cluster):
        common.check(dask_decode.totals(paths), reference)
        seconds, totals = best(rounds, lambda: dask_decode.totals(paths))
    common.check(totals, reference)
    return seconds


def time_ray(paths, workers, rounds, reference):
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    common.export_examples_path()
    import ray
    import ray.data
    import ray_decode

    ray.init(num_cpus=workers, include_dashboard=False, log_to_driver=False)
    try:
        ray.data.DataContext.get_current().enable_progress_bars = False
        common.check(ray_decode.totals(paths), reference)
        seconds, totals = best(rounds, lambda: ray_decode.totals(paths))
    finally:
        ray.shutdown()
    common.check(totals, reference)
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="simulated seconds per file")
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", choices=["dask", "ray"])
    parser.add_argument("--storage", choices=["mcap", "db3"], default="mcap")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        paths = write_files(Path(scratch), args.seconds, args.files, args.storage)
        size = sum(p.stat().st_size for p in paths)
        common.sequential(paths)  # imports and the page cache warmed up
        one, reference = best(args.rounds, lambda: common.sequential(paths)[0])
        messages = sum(reference.rows.values())
        print(
            f"{args.files} {args.storage} files, {size / 1e6:.1f} MB, {messages} messages;"
            f" CPython {platform.python_version()}, {os.cpu_count()} CPUs,"
            f" load average {os.getloadavg()[0]:.2f}"
        )
        print(f"{'one process':<24} {one * 1e3:9.1f} ms  {messages / one:10.0f} msg/s")
        for name, timer in (("dask", time_dask), ("ray", time_ray)):
            if args.only not in (None, name):
                continue
            seconds = timer(paths, args.workers, args.rounds, reference)
            label = f"{name}, {args.workers} workers"
            print(
                f"{label:<24} {seconds * 1e3:9.1f} ms  {messages / seconds:10.0f} msg/s"
                f"  {one / seconds:5.2f}x one process"
            )
        print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
