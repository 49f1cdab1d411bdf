"""Compare `_korvex_messages` with the other ways to get CDR bytes from Python.

    python -m bench.run            # full comparison (a few minutes)
    python -m bench.run --quick    # smoke run, a few seconds
    python -m bench.run --workloads 1,3 --contenders rosbags,marshal
    python -m bench.run --throughput   # only the multi-process decoding run

from the checkout (it imports the reference model as tests.support);
``python bench/run.py`` runs the same.

For every workload the contenders are first checked to produce the same
logical message, then timed side by side: each round times one batch of
calls of every contender, in an order that rotates from round to round
(A B C, B C A, ...), after a warm-up.  The table shows the median time per
message over the rounds, and the ratio to ours: the median over the rounds
of contender / ours within the same round, so that load from elsewhere that
comes and goes hits both sides of each ratio (above 1 means ours is
faster).  The garbage collector is off inside a timed batch, as with
`timeit`; results are dropped inside the batch, so freeing them is timed.
Ratios the other way round (ours / contender, as for the 0.8x target
against msgspec and for ours / floor) are likewise medians over the rounds
of ours / contender within a round.

The full run ends with a throughput run: a file of recorded messages
(examples/record_replay.py) decoded in this process and on pools of 1 and 2
worker processes (examples/parallel_decode.py), in messages per second.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path

if __name__ == "__main__" and not __package__:
    # Started as a file (python bench/run.py): run as the module bench.run,
    # with the checkout on the import path, which is how its imports resolve.
    _root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    _path = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = _root + (os.pathsep + _path if _path else "")
    os.execv(sys.executable, [sys.executable, "-m", "bench.run", *sys.argv[1:]])

from bench import workloads as wl  # noqa: E402 (after the restart above)
from bench.contenders import Prepared, load_contenders  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent

OPS = ("serialize", "deserialize")


@dataclass
class Settings:
    batch_seconds: float  # aim of one timed batch
    min_rounds: int
    max_rounds: int
    budget_seconds: float  # per workload and operation, once min_rounds are done


FULL = Settings(batch_seconds=0.020, min_rounds=15, max_rounds=101, budget_seconds=10.0)
QUICK = Settings(batch_seconds=0.001, min_rounds=3, max_rounds=3, budget_seconds=0.2)


# ---------------------------------------------------------------------------
# Machine description
# ---------------------------------------------------------------------------


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def source_revision() -> str:
    """Commit of the source tree, with "+changes" when src/ has local edits."""
    try:
        head = subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            timeout=10,
            check=True,
        ).stdout.strip()
        dirty = subprocess.run(
            ["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"],
            capture_output=True,
            text=True,
            timeout=10,
            check=True,
        ).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    return head + (" +changes in src/" if dirty else "")


def machine_lines() -> list[str]:
    return [
        f"Python {platform.python_version()} ({platform.python_implementation()}, "
        f"{' '.join(platform.python_build())}) on {platform.system()} {platform.machine()}",
        f"CPU: {cpu_model()}, {os.cpu_count()} logical cores",
        f"Date: {time.strftime('%Y-%m-%d %H:%M %Z')}; source {source_revision()}",
    ]


# ---------------------------------------------------------------------------
# Checking that every contender handles the same logical message
# ---------------------------------------------------------------------------


class CheckFailed(Exception):
    pass


def check(workload: wl.Workload, prepared: list[Prepared]) -> None:
    """Check each contender once; add what was found to its notes.

    Ours must produce exactly the reference layout and decode back to the
    message; a peer must decode its own bytes to the same logical message,
    and its bytes must be the reference layout as peers align it (8-byte
    values aligned from the end of the encapsulation header, where ours
    count from its first byte).  Raises CheckFailed on any mismatch.
    """
    message = workload.message
    ours = prepared[0]
    our_bytes = ours.encode(*ours.encode_args)
    if our_bytes != wl.reference_encode(workload.top, message, origin=0):
        raise CheckFailed(f"workload {workload.key}: our bytes differ from the reference layout")
    if ours.decode(workload.schema, our_bytes) != message:
        raise CheckFailed(f"workload {workload.key}: our round trip changed the message")
    peer_layout = wl.reference_encode(workload.top, message, origin=4)
    eight = wl.uses_8_byte_values(workload.top)

    for p in prepared[1:]:
        encoded = p.encode(*p.encode_args)
        decoded = p.to_logical(p.decode(*p.decode_args))
        expected = p.logical_part(message) if p.logical_part else message
        if decoded != expected:
            raise CheckFailed(
                f"workload {workload.key}: {p.label} does not decode to the same message"
            )
        if not p.produces_cdr:
            if p.round_trips and p.decode(encoded) != p.decode(*p.decode_args):
                raise CheckFailed(f"workload {workload.key}: {p.label} does not round-trip")
            if not p.round_trips and encoded is not None:
                raise CheckFailed(f"workload {workload.key}: {p.label} encodes to something")
            continue
        raw = bytes(encoded)
        if raw == our_bytes:
            p.notes.append("bytes identical to ours")
        elif eight and raw == peer_layout:
            p.notes.append(
                "same values; 8-byte values aligned from the end of the header "
                f"({len(raw)} bytes vs our {len(our_bytes)})"
            )
        else:
            raise CheckFailed(
                f"workload {workload.key}: {p.label}'s bytes are not the expected CDR layout"
            )
        if not eight:
            # Same layout: the peer must read our bytes too.
            if p.to_logical(p.decode(*_with_data(p, our_bytes))) != message:
                raise CheckFailed(f"workload {workload.key}: {p.label} misreads our bytes")


def _with_data(p: Prepared, data: bytes) -> tuple:
    """The decode arguments of `p` with its bytes replaced by `data`."""
    args = list(p.decode_args)
    for i, arg in enumerate(args):
        if isinstance(arg, (bytes, bytearray, memoryview)):
            args[i] = data
            return tuple(args)
    raise ValueError("no bytes argument")


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------


def make_timer(function, args: tuple, kwargs: dict | None = None) -> timeit.Timer:
    """A timer calling function(*args, **kwargs) exactly as written, the
    values as locals: keyword arguments are spelled out in the call, so no
    wrapper such as functools.partial is timed with it."""
    kwargs = kwargs or {}
    names = [f"a{i}" for i in range(len(args))]
    namespace = {"G_f": function, **{f"G_{n}": a for n, a in zip(names, args)}}
    namespace.update({f"G_k_{k}": v for k, v in kwargs.items()})
    setup = "; ".join(
        ["f = G_f"] + [f"{n} = G_{n}" for n in names] + [f"k_{k} = G_k_{k}" for k in kwargs]
    )
    call = ", ".join(names + [f"{k}=k_{k}" for k in kwargs])
    return timeit.Timer(f"f({call})", setup=setup, globals=namespace)


def measure(prepared: list[Prepared], op: str, settings: Settings) -> list[list[float]]:
    """Per contender, the time per call of every round, in seconds."""
    timers = []
    for p in prepared:
        if op == "serialize":
            timers.append(make_timer(p.encode, p.encode_args, p.encode_kwargs))
        else:
            timers.append(make_timer(p.decode, p.decode_args, p.decode_kwargs))

    # Warm up, then size each contender's batch to about batch_seconds.
    counts = []
    for timer in timers:
        timer.timeit(1)
        single = timer.timeit(1)
        n = max(1, int(settings.batch_seconds / max(single, 1e-9)))
        if n > 1:
            n = max(1, int(settings.batch_seconds / (timer.timeit(n) / n)))
        counts.append(n)

    samples: list[list[float]] = [[] for _ in timers]
    started = time.perf_counter()
    k = len(timers)
    for r in range(settings.max_rounds):
        if r >= settings.min_rounds and time.perf_counter() - started > settings.budget_seconds:
            break
        for j in range(k):
            i = (j + r) % k
            samples[i].append(timers[i].timeit(counts[i]) / counts[i])
    return samples


# ---------------------------------------------------------------------------
# Memory: leaks and peak, measured in a child process
# ---------------------------------------------------------------------------

MEMORY_CHILD = r"""
import ctypes, gc, json, sys, time
from bench import workloads as wl
from bench.contenders.ours import Ours

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]

try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except (AttributeError, OSError):
    _mallinfo2 = None

def heap_in_use():
    # Bytes that malloc has handed out and not taken back (C++ allocations,
    # large Python objects); None where glibc's mallinfo2 is missing.
    if _mallinfo2 is None:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd

ours = Ours(); ours.load()
results = []
for w in wl.build_all(keys={keys!r}):
    (p,) = ours.prepare(w)
    for op, fn, args in (("serialize", p.encode, p.encode_args),
                         ("deserialize", p.decode, p.decode_args)):
        fn(*args); fn(*args)
        gc.collect()
        reset_peak()
        before = status("VmRSS")
        result = fn(*args)
        after = status("VmRSS")
        peak = status("VmHWM")
        del result
        # Leak check: a warm pass, then the counted pass; results are dropped
        # as they come.  Python objects are counted exactly by the allocator's
        # block count, everything else by malloc's bytes in use.
        t = time.perf_counter(); fn(*args); single = time.perf_counter() - t
        n = int(max(20, min(20000, 0.3 / max(single, 1e-9))))
        for _ in range(n):
            fn(*args)
        gc.collect()
        blocks, heap = sys.getallocatedblocks(), heap_in_use()
        for _ in range(n):
            fn(*args)
        gc.collect()
        blocks = sys.getallocatedblocks() - blocks
        heap = None if heap is None else heap_in_use() - heap
        results.append(dict(key=w.key, op=op, result=after - before, transient=peak - after,
                            calls=n, blocks=blocks, heap=heap,
                            cdr_bytes=len(p.encode(*p.encode_args))))
print(json.dumps(results))
"""


def measure_memory(keys: list[str]) -> list[dict] | str:
    """Run the memory checks of ours in a child process; a reason string if impossible."""
    if not os.path.exists("/proc/self/clear_refs"):
        return "needs Linux /proc/self/clear_refs"
    env = dict(os.environ)
    # A fixed mmap threshold: every large buffer is mapped on allocation and
    # unmapped when freed, so the resident size follows what is live.
    env["MALLOC_MMAP_THRESHOLD_"] = str(64 * 1024)
    env["MALLOC_TRIM_THRESHOLD_"] = str(128 * 1024)
    # The child imports the benchmark from the checkout.
    env["PYTHONPATH"] = os.pathsep.join(
        [str(ROOT)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    code = MEMORY_CHILD.format(keys=set(keys))
    try:
        out = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
            check=True,
        )
    except (subprocess.SubprocessError, OSError) as error:
        detail = getattr(error, "stderr", "") or ""
        return f"memory check failed: {error} {detail[-500:]}"
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------


def iqr(values: list[float]) -> float:
    if len(values) < 2:
        return 0.0
    q = statistics.quantiles(values, n=4)
    return q[2] - q[0]


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(ratio: float) -> str:
    return f"{ratio:.2f}" if ratio < 10 else f"{ratio:.1f}" if ratio < 100 else f"{ratio:.0f}"


def fmt_kib(n: int) -> str:
    return f"{n / 1024:.0f} KiB"


@dataclass
class WorkloadResult:
    workload: wl.Workload
    cdr_bytes: int
    labels: list[str]
    medians: dict[str, dict[str, float]] = field(default_factory=dict)  # op -> label -> seconds
    # op -> label -> median over rounds of (contender / ours) within the round
    ratios: dict[str, dict[str, float]] = field(default_factory=dict)
    # op -> label -> median over rounds of (ours / contender) within the round
    inverse: dict[str, dict[str, float]] = field(default_factory=dict)
    notes: dict[str, list[str]] = field(default_factory=dict)
    rounds: dict[str, int] = field(default_factory=dict)
    spread: dict[str, float] = field(default_factory=dict)  # op -> our IQR / median

    def ratio(self, op: str, label: str) -> float:
        return self.ratios[op][label]

    def ours_over(self, op: str, label: str) -> float:
        return self.inverse[op][label]


def table(result: WorkloadResult) -> list[str]:
    w = result.workload
    lines = [
        f"### Workload {w.key}: {w.title}",
        "",
        f"Schema `{w.schema}`, {result.cdr_bytes:,} bytes of CDR; "
        f"{result.rounds['serialize']} / {result.rounds['deserialize']} rounds; "
        f"spread of our rounds (IQR / median): {result.spread['serialize']:.0%} / "
        f"{result.spread['deserialize']:.0%}.",
        "",
        "| contender | serialize | × ours | ours / it | deserialize | × ours | ours / it | notes |",
        "|---|--:|--:|--:|--:|--:|--:|---|",
    ]
    for label in result.labels:
        s = result.medians["serialize"][label]
        d = result.medians["deserialize"][label]
        notes = "; ".join(result.notes.get(label, []))
        lines.append(
            f"| {label} | {fmt_time(s)} | {fmt_ratio(result.ratio('serialize', label))} "
            f"| {result.ours_over('serialize', label):.2f} "
            f"| {fmt_time(d)} | {fmt_ratio(result.ratio('deserialize', label))} "
            f"| {result.ours_over('deserialize', label):.2f} | {notes} |"
        )
    lines.append("")
    return lines


def targets(results: dict[str, WorkloadResult], memory) -> list[str]:
    """The performance targets, each with its measured value and verdict."""
    lines = [
        "### Targets",
        "",
        "| target | workload | serialize | deserialize | met |",
        "|---|---|--:|--:|:-:|",
    ]
    all_met = True

    def row(name: str, key: str, values: tuple[float, float], ok: bool, fmt) -> None:
        nonlocal all_met
        all_met &= ok
        lines.append(
            f"| {name} | {key} | {fmt(values[0])} | {fmt(values[1])} "
            f"| {'yes' if ok else '**no**'} |"
        )

    def ratio_fmt(v: float) -> str:
        return f"{v:.2f}x"

    for key in ("1", "2", "3", "5"):
        r = results.get(key)
        if r is None:
            continue
        for peer in ("rosbags", "mcap-ros2"):
            if peer in r.labels:
                values = (r.ratio("serialize", peer), r.ratio("deserialize", peer))
                row(f"≥ 20x faster than {peer}", key, values, min(values) >= 20, ratio_fmt)
        if "marshal" in r.labels:
            values = (1 / r.ratio("serialize", "marshal"), 1 / r.ratio("deserialize", "marshal"))
            row("ours / marshal ≤ 1.0", key, values, max(values) <= 1.0, ratio_fmt)
    for key, r in results.items():
        if "msgspec" in r.labels:
            values = (r.ours_over("serialize", "msgspec"), r.ours_over("deserialize", "msgspec"))
            row("ours / msgspec ≤ 0.8", key, values, max(values) <= 0.8, ratio_fmt)
    for key, floor, name in (
        ("4a", "array.array('f')", "ours / array.array('f') ≤ 1.2"),
        ("4b", "one copy", "ours / one copy ≤ 1.2 (about one copy)"),
    ):
        r = results.get(key)
        if r is not None and floor in r.labels:
            values = (1 / r.ratio("serialize", floor), 1 / r.ratio("deserialize", floor))
            row(name, key, values, max(values) <= 1.2, ratio_fmt)
    lines.append("")

    if isinstance(memory, str):
        lines += [f"Memory: not measured ({memory}).", ""]
    elif memory:
        lines += [
            "### Memory (ours, child process, glibc mmap threshold fixed at 64 KiB)",
            "",
            "Per call: resident size still held by the result, and the transient peak above "
            "that (peak resident size during the call minus what the result holds). Over many "
            "further calls whose results are dropped: change in allocated Python object blocks "
            "and in malloc's bytes in use (a leak of anything per call shows as a change that "
            "grows with the calls).",
            "",
            "| workload | op | CDR bytes | result | transient peak | calls | object blocks "
            "| malloc bytes | met |",
            "|---|---|--:|--:|--:|--:|--:|--:|:-:|",
        ]
        for m in memory:
            # Small constants: 64 KiB of transient memory (allocator slack),
            # and after the warm pass no growth that could be one object or
            # one allocation per call.
            heap = m["heap"]
            ok = (
                m["transient"] <= 64 * 1024
                and abs(m["blocks"]) < max(16, m["calls"] // 2)
                and (heap is None or heap < 64 * 1024)
            )
            all_met &= ok
            lines.append(
                f"| {m['key']} | {m['op']} | {m['cdr_bytes']:,} | {fmt_kib(m['result'])} "
                f"| {fmt_kib(m['transient'])} | {m['calls']} | {m['blocks']:+d} "
                f"| {'n/a' if heap is None else f'{heap:+,d}'} | {'yes' if ok else '**no**'} |"
            )
        lines.append("")
    lines.append(
        "All targets met." if all_met else "Some targets are not met (rows marked **no**)."
    )
    lines.append("")
    return lines


def summary(results: dict[str, WorkloadResult]) -> list[str]:
    """Ours against msgspec and against the codec floor, one row per workload."""
    rows = [r for r in results.values() if "msgspec" in r.labels or "floor" in r.labels]
    if not rows:
        return []
    lines = [
        "### Ours against msgspec and the floor",
        "",
        "ours / X = median over rounds of our time / X's time in the same round (below 1: "
        "ours is faster). Target: ours / msgspec ≤ 0.8 both ways. The floor does strictly "
        "less than the real call (see bench/contenders/codec_floor.py), so ours / floor ≥ 1 "
        "up to noise, and what is above 1 is the codec's own cost.",
        "",
        "| workload | ours serialize | ours deserialize | ours / msgspec serialize "
        "| ours / msgspec deserialize | ours / floor serialize | ours / floor deserialize |",
        "|---|--:|--:|--:|--:|--:|--:|",
    ]

    def cell(r: WorkloadResult, op: str, label: str) -> str:
        return f"{r.ours_over(op, label):.2f}" if label in r.labels else "n/a"

    for r in rows:
        lines.append(
            f"| {r.workload.key}: {r.workload.title} "
            f"| {fmt_time(r.medians['serialize']['korvex'])} "
            f"| {fmt_time(r.medians['deserialize']['korvex'])} "
            f"| {cell(r, 'serialize', 'msgspec')} | {cell(r, 'deserialize', 'msgspec')} "
            f"| {cell(r, 'serialize', 'floor')} | {cell(r, 'deserialize', 'floor')} |"
        )
    lines.append("")
    return lines


# ---------------------------------------------------------------------------
# Throughput on several processes
# ---------------------------------------------------------------------------


def cpu_loop(n: int) -> int:
    """A pure-Python loop: the control of the throughput run (module level,
    so that worker processes can import it)."""
    total = 0
    for i in range(n):
        total += i
    return total


def measure_throughput(quick: bool) -> dict:
    """Messages per second decoding a record file in this process and on
    pools of 1 and 2 worker processes (examples/parallel_decode.py).

    Every configuration decodes the same byte ranges of the same file with
    the same function; the pools are started, and their workers have
    registered the layouts, before timing.  One untimed pass per pool sends
    the messages back and checks them against the recorded stream; the
    timed passes return only the counts.  Configurations are interleaved,
    rotating, round by round.  Each round also times a control, a
    pure-Python loop split into the same number of tasks, in each
    configuration: on a shared machine its speed-up shows how much of a
    second core was free at the time.
    """
    from examples import parallel_decode as pd

    rr = pd.record_replay

    seconds, rounds, parts, loop = (0.5, 1, 4, 10_000) if quick else (60.0, 15, 8, 300_000)
    rr.register_layouts()
    stream = list(rr.simulate(seconds))
    expected = [0] * len(rr.TOPICS)
    for topic, _ in stream:
        expected[topic] += 1
    handle, path = tempfile.mkstemp(suffix=".rec")
    pools: dict[int, object] = {}
    try:
        with os.fdopen(handle, "wb") as out:
            size = rr.write_records(out, stream)
        offsets = pd.index_records(path)
        ranges = pd.split(offsets, parts)

        def in_process(keep: bool = False):
            counts, kept = [0] * len(rr.TOPICS), []
            for start, stop in ranges:
                part, records = pd.decode_range(path, start, stop, keep)
                counts = [a + b for a, b in zip(counts, part)]
                kept += records or []
            return counts, kept

        if in_process(keep=True)[1] != stream:
            raise CheckFailed("throughput: in-process decoding differs from the recording")
        for workers in (1, 2):
            pools[workers] = pd.make_pool(workers)
            if pd.decode_file(pools[workers], path, ranges, keep=True)[1] != stream:
                raise CheckFailed(
                    f"throughput: decoding on {workers} workers differs from the recording"
                )

        runners = [
            ("in this process", lambda: in_process()[0]),
            ("1 worker process", lambda: pd.decode_file(pools[1], path, ranges, keep=False)[0]),
            ("2 worker processes", lambda: pd.decode_file(pools[2], path, ranges, keep=False)[0]),
        ]
        controls = [
            lambda: [cpu_loop(loop) for _ in range(parts)],
            lambda: list(pools[1].map(cpu_loop, [loop] * parts)),
            lambda: list(pools[2].map(cpu_loop, [loop] * parts)),
        ]
        samples: list[list[float]] = [[] for _ in runners]
        control: list[list[float]] = [[] for _ in runners]
        for r in range(rounds):
            for j in range(len(runners)):
                i = (j + r) % len(runners)
                t = time.perf_counter()
                counts = runners[i][1]()
                samples[i].append(time.perf_counter() - t)
                if counts != expected:
                    raise CheckFailed(
                        f"throughput: {runners[i][0]} decoded {counts}, not {expected}"
                    )
                t = time.perf_counter()
                controls[i]()
                control[i].append(time.perf_counter() - t)
    finally:
        for pool in pools.values():
            pool.shutdown()
        os.unlink(path)

    rows = []
    for (label, _), times, loops in zip(runners, samples, control):
        median = statistics.median(times)
        rows.append(
            dict(
                label=label,
                seconds=median,
                messages_per_second=len(stream) / median,
                megabytes_per_second=size / 1e6 / median,
                speedup=statistics.median(a / b for a, b in zip(samples[0], times)),
                control_speedup=statistics.median(a / b for a, b in zip(control[0], loops)),
            )
        )
    return dict(
        seconds_of_data=seconds,
        messages=len(stream),
        bytes=size,
        ranges=len(ranges),
        rounds=rounds,
        rows=rows,
    )


def throughput_lines(result: dict) -> list[str]:
    lines = [
        "### Throughput: decoding a record file on worker processes",
        "",
        f"{result['messages']:,} records, {result['bytes']:,} bytes: "
        f"{result['seconds_of_data']:g} s "
        "of the stream of examples/record_replay.py (IMU at 200 Hz, poses at 50 Hz, 160x120 RGB "
        f"images at 10 Hz), split into {result['ranges']} byte ranges; decoded with "
        "examples/parallel_decode.py (workers started with spawn, each registering the layouts "
        "in the pool's initializer, then reading its ranges from the file). "
        f"{result['rounds']} rounds; time per file is the median, speed-up the median over rounds "
        "of in-process time / this time. The control is a pure-Python loop split into as many "
        "tasks, timed in the same rounds: its speed-up is what the machine's free cores allowed "
        f"at the time. Machine: {os.cpu_count()} logical cores.",
        "",
        "| decoding | time per file | messages / s | MB / s | speed-up | control speed-up |",
        "|---|--:|--:|--:|--:|--:|",
    ]
    for row in result["rows"]:
        lines.append(
            f"| {row['label']} | {fmt_time(row['seconds'])} | {row['messages_per_second']:,.0f} "
            f"| {row['megabytes_per_second']:.0f} | {row['speedup']:.2f} "
            f"| {row['control_speedup']:.2f} |"
        )
    lines.append("")
    return lines


# ---------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: few, short rounds")
    parser.add_argument(
        "--workloads", help=f"comma-separated keys ({','.join(wl.KEYS)}); default all"
    )
    parser.add_argument("--contenders", help="comma-separated peer/floor names; ours always runs")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory checks")
    parser.add_argument(
        "--throughput",
        action="store_true",
        help="only the throughput run on worker processes (part of every full run "
        "that is not narrowed by --workloads or --contenders)",
    )
    parser.add_argument("--no-throughput", action="store_true", help="skip the throughput run")
    parser.add_argument("--json", metavar="PATH", help="also write the raw medians as JSON")
    args = parser.parse_args(argv)
    settings = QUICK if args.quick else FULL
    if args.throughput and args.no_throughput:
        parser.error("--throughput and --no-throughput exclude each other")
    run_throughput = args.throughput or not (
        args.quick or args.no_throughput or args.workloads or args.contenders
    )

    try:
        contenders, missing = load_contenders(
            set(args.contenders.split(",")) if args.contenders else None
        )
    except ImportError as error:
        print(
            f"cannot import _korvex_messages ({error}); install the package "
            "or put its build directory on PYTHONPATH",
            file=sys.stderr,
        )
        return 2

    wanted = args.workloads.split(",") if args.workloads else wl.KEYS
    unknown = set(wanted) - set(wl.KEYS)
    if unknown:
        parser.error(f"unknown workloads: {', '.join(sorted(unknown))}")
    selected = [] if args.throughput else wl.build_all(keys=set(wanted))

    out: list[str] = ["# _korvex_messages benchmark", ""]
    out += [f"- {line}" for line in machine_lines()]
    peers = [c for c in contenders if c.kind == "peer"]
    listed = ", ".join(f"{c.name} {c.version()}" for c in peers) if peers else "none installed"
    out.append(f"- Peers: {listed}")
    for c in peers:
        out.append(f"  - {c.name}: {c.representation}")
    for reason in missing:
        out.append(f"- Left out: {reason}")
    out.append(
        f"- Mode: {'quick' if args.quick else 'full'}; time = median per message over rounds; "
        "× ours = median over rounds of contender / ours in the same round "
        "(above 1: ours is faster)"
    )
    out.append("")
    print("\n".join(out), flush=True)

    started = time.perf_counter()
    results: dict[str, WorkloadResult] = {}
    failed = False
    for w in selected:
        prepared: list[Prepared] = []
        for c in contenders:
            prepared.extend(c.prepare(w))
        try:
            check(w, prepared)
        except CheckFailed as error:
            print(f"CHECK FAILED: {error}", file=sys.stderr)
            failed = True
            continue
        ours = prepared[0]
        result = WorkloadResult(w, len(ours.encode(*ours.encode_args)), [p.label for p in prepared])
        for p in prepared:
            result.notes[p.label] = p.notes
        for op in OPS:
            samples = measure(prepared, op, settings)
            result.medians[op] = {p.label: statistics.median(s) for p, s in zip(prepared, samples)}
            # Paired by round: load that comes and goes hits both sides of a ratio.
            result.ratios[op] = {
                p.label: statistics.median(c / o for c, o in zip(s, samples[0]))
                for p, s in zip(prepared, samples)
            }
            result.inverse[op] = {
                p.label: statistics.median(o / c for c, o in zip(s, samples[0]))
                for p, s in zip(prepared, samples)
            }
            result.rounds[op] = len(samples[0])
            result.spread[op] = iqr(samples[0]) / statistics.median(samples[0])
        results[w.key] = result
        lines = table(result)
        out += lines
        print("\n".join(lines), flush=True)
        gc.collect()

    lines = summary(results)
    if lines:
        out += lines
        print("\n".join(lines), flush=True)

    throughput: dict | None = None
    if run_throughput:
        try:
            throughput = measure_throughput(args.quick)
        except CheckFailed as error:
            print(f"CHECK FAILED: {error}", file=sys.stderr)
            failed = True
        else:
            lines = throughput_lines(throughput)
            out += lines
            print("\n".join(lines), flush=True)

    if selected:
        memory = [] if args.no_memory else measure_memory([w.key for w in selected])
        lines = targets(results, memory)
    else:
        memory, lines = [], []
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
                            "title": r.workload.title,
                            "medians": r.medians,
                            "ratios": r.ratios,
                            "ours_over": r.inverse,
                            "cdr_bytes": r.cdr_bytes,
                            "rounds": r.rounds,
                        }
                        for k, r in results.items()
                    },
                    "memory": memory,
                    "throughput": throughput,
                },
                indent=2,
            )
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
