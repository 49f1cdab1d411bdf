"""decode_table and encode_table against the per-message routes, on batches
of real ROS 2 types (the targets of the columnar path).

    python bench/ros2_table.py [--count 10000] [--rounds 3] [--encode-only] [--json PATH]

Each batch is `count` messages of one type, built from a fixed seed outside
any timed region (bench/ros2_workloads.py's builders, with TFMessage at 10
transforms and LaserScan at 1,080 ranges).  Every figure is the best of
`rounds` runs over the whole batch, in microseconds per message; the
ratios are per-message route / decode_table (or serialize / encode_table).
A second table sets encode_table (of the decoded table, nested and
flattened, and into one buffer) beside serialize of each row's dict: the
median of `rounds` runs each, taken in turn, and serialize / encode_table.
With --json, the figures (us a message, by batch and route) are also
written to PATH.  Needs pyarrow and rosbags.
"""

from __future__ import annotations

import argparse
import json
import platform
import random
import statistics
import time

import pyarrow

from bench import ros2_workloads as w
from korvex_messages import ros2
from tests.support import ros2 as r2

BATCHES = [
    ("PoseStamped", "geometry_msgs/msg/PoseStamped", w.pose_stamped),
    ("Imu", "sensor_msgs/msg/Imu", w.imu),
    ("TFMessage (10)", "tf2_msgs/msg/TFMessage", lambda rng: w.tf_message(rng, 10)),
    ("LaserScan (1,080)", "sensor_msgs/msg/LaserScan", lambda rng: w.laser_scan(rng, 1080)),
    ("DiagnosticArray (20x8)", "diagnostic_msgs/msg/DiagnosticArray", w.diagnostic_array),
]


def best(rounds, call):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def median(rounds, calls):
    """The median time of each call, over `rounds` runs of all of them in turn
    (so that a busy spell of the machine falls on each alike)."""
    times = [[] for _ in calls]
    for _ in range(rounds):
        for index, call in enumerate(calls):
            start = time.perf_counter()
            call()
            times[index].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


def encode_row(title, name, build, count, rounds, figures=None):
    """The encode table's row of one batch (its figures, in us a message,
    also put in `figures`)."""
    ros2.register_msg(name, r2.msgdef_text(name))
    rng = random.Random(7)
    values = [build(rng) for _ in range(count)]
    batch = [ros2.serialize(name, v) for v in values]
    nested = ros2.decode_table(name, batch)
    flat = ros2.decode_table(name, batch, flatten=True)
    assert ros2.encode_table(name, nested) == batch == ros2.encode_table(name, flat)
    seconds = median(
        rounds,
        [
            lambda: [ros2.serialize(name, v) for v in values],
            lambda: ros2.encode_table(name, nested),
            lambda: ros2.encode_table(name, flat),
            lambda: ros2.encode_table(name, nested, as_buffer=True),
        ],
    )
    us = [s / count * 1e6 for s in seconds]
    if figures is not None:
        figures[title] = dict(zip(("serialize", "encode_table", "flattened", "as_buffer"), us))
    cells = " | ".join(f"{u:.3g} ({us[0] / u:.1f}x)" for u in us[1:])
    return f"| {title} | {us[0]:.3g} | {cells} |"


def row(title, name, build, count, rounds, store, figures=None):
    """The table row of one batch (its figures, in us a message, also put
    in `figures`)."""
    ros2.register_msg(name, r2.msgdef_text(name))
    rng = random.Random(7)
    values = [build(rng) for _ in range(count)]
    batch = [ros2.serialize(name, v) for v in values]
    buffer = b"".join(batch)
    offsets = [0]
    for message in batch:
        offsets.append(offsets[-1] + len(message))
    table = ros2.decode_table(name, batch)
    t = {
        "table": best(rounds, lambda: ros2.decode_table(name, batch)),
        "buffer": best(rounds, lambda: ros2.decode_table(name, buffer, offsets=offsets)),
        "join": best(rounds, lambda: b"".join(batch)),
        "deser": best(rounds, lambda: [ros2.deserialize(name, m) for m in batch]),
        "numpy": best(rounds, lambda: [ros2.deserialize(name, m, numpy=True) for m in batch]),
        "rosbags": best(1, lambda: [store.deserialize_cdr(m, name) for m in batch]),
        "pylist": best(
            1, lambda: pyarrow.Table.from_pylist([ros2.deserialize(name, m) for m in batch])
        ),
        "encode": best(rounds, lambda: ros2.encode_table(name, table)),
        "serialize": best(rounds, lambda: [ros2.serialize(name, v) for v in values]),
    }
    us = {k: v / count * 1e6 for k, v in t.items()}
    if figures is not None:
        figures[title] = us

    def cell(key, base="table"):
        return f"{us[key]:.3g} ({us[key] / us[base]:.1f}x)"

    return (
        f"| {title} | {us['table']:.3g} | {cell('buffer')} | {cell('join')} | {cell('deser')}"
        f" | {cell('numpy')} | {cell('rosbags')} | {cell('pylist')} | {us['encode']:.3g}"
        f" | {cell('serialize', 'encode')} |"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--encode-only", action="store_true", help="only the encode table")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    store = r2.typestore()
    document = {
        "machine": f"Python {platform.python_version()} on {platform.system()}"
        f" {platform.machine()}",
        "count": args.count,
        "rounds": args.rounds,
        "decode": {},
        "encode": {},
    }
    print(f"- {document['machine']}")
    if not args.encode_only:
        print(f"- {args.count} messages a batch, best of {args.rounds} rounds, us a message\n")
        decode_rows(args, store, document["decode"])
    print(f"\n- {args.count} messages a batch, median of {args.rounds} rounds, us a message\n")
    print(
        "| batch | serialize each | encode_table | flattened | as_buffer=True |\n|---|" + "--:|" * 4
    )
    for title, name, build in BATCHES:
        print(encode_row(title, name, build, args.count, args.rounds, document["encode"]))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(document, out, indent=1)
            out.write("\n")


def decode_rows(args, store, figures=None):
    print(
        "| batch | decode_table | one buffer | b''.join | deserialize | numpy mode | rosbags"
        " | deserialize + from_pylist | encode_table | serialize |"
    )
    print("|---|" + "--:|" * 9)
    for title, name, build in BATCHES:
        print(row(title, name, build, args.count, args.rounds, store, figures))


if __name__ == "__main__":
    main()
