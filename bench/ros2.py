"""Benchmark of korvex_messages.ros2 against the other ROS 2 CDR codecs of Python.

    python bench/ros2.py            # full run (a few minutes)
    python bench/ros2.py --quick    # smoke run, a few seconds
    python bench/ros2.py --workloads pose,image --contenders rosbags

from the checkout (``python -m bench.ros2`` runs the same).  Types are
registered from the text that rosbags generates from its ROS 2 Humble store
(bench/ros2_workloads.py), so rosbags and numpy are needed for every run;
the other peers (mcap-ros2-support, mcap-ros2-support-fast, msgspec) are
left out, and said so, when not installed.

Timing is bench/run.py's: every contender is checked first (bytes identical
to ours, decoded values equal to the message), then each round times one
batch of calls of every contender in rotating order, and the tables show
the median time per message and, per peer, the median over rounds of
peer / ours within the same round (above 1: ours is faster), against each
of our two modes:

- ours (list): lists for numeric arrays, bytes for uint8[], both ways;
- ours (numpy): numpy arrays as input for every primitive array, and
  ``deserialize(..., numpy=True)``.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

if __name__ == "__main__" and not __package__:
    # Started as a file: run as the module bench.ros2 with the checkout on
    # the import path, as bench/run.py does.
    _root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    _path = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = _root + (os.pathsep + _path if _path else "")
    os.execv(sys.executable, [sys.executable, "-m", "bench.ros2", *sys.argv[1:]])

from bench import ros2_contenders as rc  # noqa: E402 (after the restart above)
from bench import ros2_workloads as rw  # noqa: E402
from bench.run import FULL, OPS, QUICK, CheckFailed, fmt_ratio, fmt_time, machine_lines  # noqa: E402
from bench.run import measure as measure_rounds  # noqa: E402
from tests.support import ros2 as r2  # noqa: E402

# Scalar-heavy workloads, where msgspec on the same dicts is the bar.
MSGSPEC_KEYS = ("pose", "imu", "tf")


def check(w: rw.Ros2Workload, prepared: list[rc.Ros2Prepared]) -> None:
    """Every contender's bytes are ours and every decoded value is the message.

    Our numpy mode's arrays are compared, dtype included, with the message's
    numpy form.  Raises CheckFailed on the first difference; adds what was
    found to each contender's notes.
    """
    ours_list, ours_numpy = prepared[0].calls, prepared[1].calls
    our_bytes = ours_list.encode(*ours_list.encode_args)
    if ours_numpy.encode(*ours_numpy.encode_args) != our_bytes:
        raise CheckFailed(f"{w.key}: our bytes from numpy input differ from those from lists")
    decoded = ours_numpy.decode(*ours_numpy.decode_args, **ours_numpy.decode_kwargs)
    if not r2.same(decoded, rw.to_numpy(w.type_name, w.message)):
        raise CheckFailed(f"{w.key}: our numpy mode does not decode to the message's arrays")
    for p in prepared:
        c = p.calls
        encoded = c.encode(*c.encode_args, **c.encode_kwargs)
        if p.produces_cdr:
            if bytes(encoded) != our_bytes:
                raise CheckFailed(f"{w.key}: {c.label}'s bytes differ from ours")
            if not any(isinstance(a, bytes) and a == our_bytes for a in c.decode_args):
                raise CheckFailed(f"{w.key}: {c.label} is timed decoding other bytes")
            c.notes.append("bytes identical to ours")
        value = p.to_dict(c.decode(*c.decode_args, **c.decode_kwargs))
        if not r2.same(value, w.message):
            raise CheckFailed(f"{w.key}: {c.label} does not decode to the message")


@dataclass
class Result:
    workload: rw.Ros2Workload
    cdr_bytes: int
    prepared: list[rc.Ros2Prepared]
    medians: dict[str, dict[str, float]] = field(default_factory=dict)  # op -> label -> s
    # op -> mode -> label -> median over rounds of label / ours in that mode
    ratios: dict[str, dict[str, dict[str, float]]] = field(default_factory=dict)
    rounds: dict[str, int] = field(default_factory=dict)

    def ratio(self, op: str, label: str, mode: str) -> float:
        return self.ratios[op][mode][label]

    def labels(self) -> list[str]:
        return [p.calls.label for p in self.prepared]


def run_workload(w: rw.Ros2Workload, contenders: list, settings) -> Result:
    prepared: list[rc.Ros2Prepared] = []
    for c in contenders:
        prepared.extend(c.prepare(w))
    check(w, prepared)
    calls = [p.calls for p in prepared]
    result = Result(w, len(calls[0].encode(*calls[0].encode_args)), prepared)
    for op in OPS:
        samples = measure_rounds(calls, op, settings)
        result.medians[op] = {c.label: statistics.median(s) for c, s in zip(calls, samples)}
        result.ratios[op] = {}
        for mode, ours in (("list", 0), ("numpy", 1)):
            # Paired by round: load that comes and goes hits both sides.
            result.ratios[op][mode] = {
                c.label: statistics.median(a / b for a, b in zip(s, samples[ours]))
                for c, s in zip(calls, samples)
            }
        result.rounds[op] = len(samples[0])
    return result


def table(r: Result) -> list[str]:
    w = r.workload
    lines = [
        f"### {w.key}: {w.title}",
        "",
        f"`{w.type_name}`, {r.cdr_bytes:,} bytes of CDR; "
        f"{r.rounds['serialize']} / {r.rounds['deserialize']} rounds.",
        "",
        "| contender | serialize | × ours list | × ours numpy | deserialize | × ours list "
        "| × ours numpy | notes |",
        "|---|--:|--:|--:|--:|--:|--:|---|",
    ]
    for p in r.prepared:
        label = p.calls.label
        cells = []
        for op in OPS:
            cells.append(fmt_time(r.medians[op][label]))
            for mode in ("list", "numpy"):
                cells.append(fmt_ratio(r.ratio(op, label, mode)))
        lines.append(f"| {label} | {' | '.join(cells)} | {'; '.join(p.calls.notes)} |")
    lines.append("")
    return lines


def targets(results: dict[str, Result]) -> tuple[list[str], bool]:
    """Each target with its measured ratios, the mode they are read in, and a verdict."""
    lines = [
        "### Targets",
        "",
        "peer / ours: how many times faster ours is (median over rounds, paired within a "
        "round). Read against ours in the peer's own mode: numpy where the peer takes and "
        "returns arrays (rosbags; mcap-ros2-fast on the array-heavy workloads, whose decoder "
        "returns memoryviews), list mode otherwise.",
        "",
        "| target | workload | against | serialize | deserialize | met |",
        "|---|---|---|--:|--:|:-:|",
    ]
    all_met = True

    def row(name, key, against, values, ok):
        """ok: True or False for a target, None for a row only reported."""
        nonlocal all_met
        all_met &= ok is not False
        s, d = values
        verdict = "reported" if ok is None else "yes" if ok else "**no**"
        lines.append(f"| {name} | {key} | {against} | {s:.2f}x | {d:.2f}x | {verdict} |")

    for key, r in results.items():
        labels = r.labels()

        def pair(label, mode, r=r):
            return tuple(r.ratio(op, label, mode) for op in OPS)

        if "rosbags" in labels:
            v = pair("rosbags", "numpy")
            row("≥ 10x faster than rosbags", key, "ours numpy", v, min(v) >= 10)
        if "mcap-ros2" in labels:
            v = pair("mcap-ros2", "list")
            row("≥ 10x faster than mcap-ros2", key, "ours list", v, min(v) >= 10)
        if "mcap-ros2-fast" in labels:
            if r.workload.array_heavy:
                # Its numpy-input encoder against our numpy input; its one decoder
                # against our numpy mode.
                v = (
                    r.ratio("serialize", "mcap-ros2-fast (numpy in)", "numpy"),
                    r.ratio("deserialize", "mcap-ros2-fast", "numpy"),
                )
                row("faster than mcap-ros2-fast", key, "ours numpy", v, min(v) > 1)
            v = pair("mcap-ros2-fast", "list")
            heavy = r.workload.array_heavy
            row("faster than mcap-ros2-fast", key, "ours list", v, None if heavy else min(v) > 1)
        if "msgspec" in labels and key in MSGSPEC_KEYS:
            # ours / msgspec, the inverse of the paired ratio of each round.
            s = 1 / r.ratio("serialize", "msgspec", "list")
            d = 1 / r.ratio("deserialize", "msgspec", "list")
            all_met &= s <= 0.8
            lines.append(
                f"| ours / msgspec serialize ≤ 0.8 | {key} | ours list | {s:.2f} | "
                f"{d:.2f} (reported) | {'yes' if s <= 0.8 else '**no**'} |"
            )
    lines.append("")
    lines.append(
        "All targets met." if all_met else "Some targets are not met (rows marked **no**)."
    )
    lines.append("")
    return lines, all_met


def load(only: set[str] | None) -> tuple[list, list[str]]:
    ours = rc.Ours()
    ours.load()
    loaded, missing = [ours], []
    for cls in rc.PEERS:
        peer = cls()
        if only is not None and peer.name not in only:
            continue
        try:
            peer.load()
        except ImportError as error:
            missing.append(f"{peer.name}: not installed ({error})")
            continue
        loaded.append(peer)
    return loaded, missing


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: few, short rounds")
    parser.add_argument("--workloads", help=f"comma-separated keys ({','.join(rw.KEYS)})")
    parser.add_argument(
        "--contenders",
        help="comma-separated peers (rosbags,mcap-ros2,mcap-ros2-fast,msgspec); ours always runs",
    )
    parser.add_argument("--json", metavar="PATH", help="also write the raw medians as JSON")
    args = parser.parse_args(argv)
    settings = QUICK if args.quick else FULL
    wanted = args.workloads.split(",") if args.workloads else rw.KEYS
    unknown = set(wanted) - set(rw.KEYS)
    if unknown:
        parser.error(f"unknown workloads: {', '.join(sorted(unknown))}")

    contenders, missing = load(set(args.contenders.split(",")) if args.contenders else None)
    out = ["# korvex_messages.ros2 benchmark", ""]
    out += [f"- {line}" for line in machine_lines()]
    for c in contenders[1:]:
        out.append(f"- {c.name} {c.version()}: {c.representation}")
    for reason in missing:
        out.append(f"- Left out: {reason}")
    out.append(
        f"- Mode: {'quick' if args.quick else 'full'}; time = median per message over rounds; "
        "× ours = median over rounds of contender / ours in the same round (above 1: ours "
        "is faster)"
    )
    out.append("")
    print("\n".join(out), flush=True)

    started = time.perf_counter()
    results: dict[str, Result] = {}
    failed = False
    for w in rw.build_all(keys=set(wanted)):
        try:
            results[w.key] = run_workload(w, contenders, settings)
        except CheckFailed as error:
            print(f"CHECK FAILED: {error}", file=sys.stderr)
            failed = True
            continue
        lines = table(results[w.key])
        out += lines
        print("\n".join(lines), flush=True)
        gc.collect()

    lines, _ = targets(results)
    lines.append(f"Run time: {time.perf_counter() - started:.0f} s.")
    out += lines
    print("\n".join(lines), flush=True)
    if args.json:
        Path(args.json).write_text(
            json.dumps(
                {
                    "machine": machine_lines(),
                    "mode": "quick" if args.quick else "full",
                    "results": {
                        k: {
                            "type": r.workload.type_name,
                            "cdr_bytes": r.cdr_bytes,
                            "medians": r.medians,
                            "ratios": r.ratios,
                            "rounds": r.rounds,
                        }
                        for k, r in results.items()
                    },
                },
                indent=2,
            )
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
