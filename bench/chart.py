"""Draws the performance page's chart from the bench's JSON results.

    python bench/chart.py [--results bench/results] [--out docs/performance.svg]

It reads what the bench scripts write with --json into the results folder
and draws one panel for each file found there:

- recordings.json (bench/recordings.py): a topic of a recording into a
  pandas DataFrame, each route's median time on each kind of file;
- ros2_table.json (bench/ros2_table.py): decode_table against decoding
  message by message, per batch type, as how many times faster;
- core.json (bench/run.py): ours against msgspec and rosbags, per
  workload and operation, as how many times faster (msgspec: ours' time
  over msgspec's).

So the chart is redrawn from the committed JSON without a run.  Needs
matplotlib (the `bench` extra).
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OURS_COLOUR = "#d95f02"
PEER_COLOUR = "#7570b3"
MISSING_COLOUR = "#bbbbbb"


def load(folder):
    found = {}
    for name in ("recordings", "ros2_table", "core"):
        path = folder / f"{name}.json"
        if path.exists():
            found[name] = json.loads(path.read_text(encoding="utf-8"))
    return found


def recordings_bars(document):
    """[(file kind title, [(route title, ms, ours?, complete?), ...], messages on
    the topic, (shortest, longest) ms of every panel)], fastest first."""
    from bench.recordings import KIND_TITLES

    groups = []
    every = [
        r["seconds"] * 1e3
        for rs in document["results"].values()
        for r in rs.values()
        if "error" not in r
    ]
    machine = document["machine"]
    count = next(
        (r["rows"] for rs in document["results"].values() for r in rs.values() if "rows" in r),
        machine["messages"] // 2,
    )
    for kind, routes in document["results"].items():
        bars = []
        for name, result in routes.items():
            if "error" in result:
                continue
            title = document["routes"][name]
            bars.append(
                (title, result["seconds"] * 1e3, name.startswith("ours"), not result.get("missing"))
            )
        bars.sort(key=lambda bar: bar[1])
        groups.append((KIND_TITLES.get(kind, kind), bars, count, (min(every), max(every))))
    return groups


def table_speedups(document):
    """{batch: {route: route's time / decode_table's}} of the decode table."""
    routes = {
        "deser": "deserialize each",
        "rosbags": "rosbags each",
        "pylist": "deserialize + from_pylist",
    }
    return {
        batch: {label: us[key] / us["table"] for key, label in routes.items()}
        for batch, us in document["decode"].items()
    }


def core_ratios(document):
    """{workload: {label: ratio}}, above 1 where ours is faster: rosbags'
    time over ours, and msgspec's over ours."""
    rows = {}
    for key, result in document["results"].items():
        row = {}
        for op in ("serialize", "deserialize"):
            for label, ratio in result["ratios"].get(op, {}).items():
                name = label.split(" ")[0]
                if name in ("rosbags", "msgspec") and f"{name} {op}" not in row:
                    row[f"{name} {op}"] = ratio
        if row:
            rows[f"{key}: {result['title']}" if "title" in result else key] = row
    return rows


def draw(found, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Text stays text, and the element ids do not change from one drawing to
    # the next, so that a redraw of the same results is the same file.
    plt.rcParams.update(
        {"svg.fonttype": "none", "svg.hashsalt": "performance", "font.size": 8, "axes.titlesize": 9}
    )
    panels = []
    if "recordings" in found:
        for group in recordings_bars(found["recordings"]):
            panels.append(("recordings", group))
    if "ros2_table" in found:
        panels.append(("table", table_speedups(found["ros2_table"])))
    if "core" in found:
        panels.append(("core", core_ratios(found["core"])))
    if not panels:
        raise SystemExit("no results to draw: run the bench scripts with --json first")
    heights = [max(1.6, 0.22 * panel_rows(p) + 0.7) for p in panels]
    figure, axes = plt.subplots(
        len(panels),
        1,
        figsize=(7.5, sum(heights)),
        gridspec_kw={"height_ratios": heights},
        squeeze=False,
    )
    for axis, panel in zip(axes[:, 0], panels):
        {"recordings": draw_recordings, "table": draw_grouped, "core": draw_grouped}[panel[0]](
            axis, panel
        )
    figure.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    # The format follows the suffix (SVG for the page, PNG to look at).
    metadata = {"Date": None} if out.suffix == ".svg" else {}
    figure.savefig(out, metadata=metadata, dpi=110)
    plt.close(figure)


def panel_rows(panel):
    kind, content = panel
    if kind == "recordings":
        return len(content[1])
    return sum(len(row) for row in content.values()) * 0.6


def draw_recordings(axis, panel):
    from matplotlib.ticker import FixedLocator, NullFormatter

    title, bars, count, (low, high) = panel[1]
    labels = [b[0] + ("" if b[3] else " (fewer fields)") for b in bars]
    values = [b[1] for b in bars]
    colours = [OURS_COLOUR if b[2] else (PEER_COLOUR if b[3] else MISSING_COLOUR) for b in bars]
    positions = range(len(bars))
    axis.barh(positions, values, color=colours)
    axis.set_yticks(list(positions), labels)
    axis.invert_yaxis()
    axis.set_xscale("log")
    axis.set_xlim(low * 0.6, high * 14)
    ticks = [t for t in (1, 10, 100, 1000, 10000, 100000) if low * 0.6 <= t <= high * 14]
    axis.xaxis.set_major_locator(FixedLocator(ticks))
    axis.set_xticklabels([f"{t:,}" for t in ticks])
    axis.xaxis.set_minor_formatter(NullFormatter())
    axis.set_xlabel(f"ms to a DataFrame of /imu ({count:,} Imu messages; log scale)")
    axis.set_title(f"Reading a topic: {title}")
    fastest_ours = min(
        (v for v, b in zip(values, bars) if b[2] and "Arrow" not in b[0]), default=None
    )
    for index, (value, bar) in enumerate(zip(values, bars)):
        note = f"{value:.0f} ms"
        if fastest_ours and not bar[2]:
            note += f"  ({value / fastest_ours:.1f}x ours' time)"
        axis.text(value * 1.03, index, note, va="center", fontsize=7)


def draw_grouped(axis, panel):
    kind, rows = panel
    import numpy

    groups = list(rows)
    labels = sorted({label for row in rows.values() for label in row})
    width = 0.8 / max(1, len(labels))
    for index, label in enumerate(labels):
        values = [rows[g].get(label, float("nan")) for g in groups]
        axis.barh(numpy.arange(len(groups)) + index * width, values, height=width, label=label)
    axis.set_yticks(numpy.arange(len(groups)) + width * (len(labels) - 1) / 2, groups)
    axis.invert_yaxis()
    axis.axvline(1.0, color="black", linewidth=0.8)
    axis.set_xscale("log")
    axis.legend(
        fontsize=7,
        loc="upper center",
        bbox_to_anchor=(0.5, -0.22 if kind == "table" else -0.12),
        ncol=2,
        frameon=False,
    )
    if kind == "table":
        axis.set_title("decode_table against decoding message by message")
        axis.set_xlabel("times faster than the route (log scale)")
    else:
        axis.set_title("One message: ours against rosbags and msgspec")
        axis.set_xlabel("the peer's time over ours (log scale; above 1: ours faster)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--results", type=Path, default=ROOT / "bench" / "results")
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "performance.svg")
    args = parser.parse_args(argv)
    if str(ROOT) not in sys.path:
        sys.path.insert(0, str(ROOT))
    draw(load(args.results), args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
