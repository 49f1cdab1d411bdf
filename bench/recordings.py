"""A topic of a ROS 2 recording read into a pandas DataFrame: open_recording
against the peers' readers.

    python bench/recordings.py [--messages 60000] [--rounds 3] [--routes ours,rosbags,...]
        [--big-messages 400000] [--json PATH] [--keep DIR]

It writes one recording three ways, with the peers' writers, into a scratch
folder: `messages` messages, sensor_msgs/msg/Imu on /imu and
geometry_msgs/msg/PoseStamped on /pose interleaved (half each), as an MCAP
file with zstd chunks of 1 MiB (mcap's Writer), as a rosbag2 bag with
sqlite3 storage and as one with (uncompressed) mcap storage (rosbags'
Writer).  Then every route reads /imu of each file into a pandas DataFrame
with every field of the message (ours: `table(topic, flatten=True)` then
`to_pandas()`), each peer through its documented API.  Every run is a fresh
process; the read alone is timed, from the path to the DataFrame with the
opening of the file (the imports are not), and its peak memory is the
process's peak resident set (ru_maxrss) after the read less the same before
it, so the output DataFrame counts, and so do the file's pages a reader
maps.  Each route's output is checked against ours first (rows, and values
of a few fields at a few rows), so that nobody is timed doing less work.
The figures are medians of `rounds` runs, the routes taken in an order that
turns from round to round.  A peer that is not installed, or cannot read a
file, is reported as unavailable, with the reason.

Then, on a larger MCAP file (`big-messages`, zstd), ours alone: the peak
memory of iterating `batches()` of /imu against that of `table()`, and two
threads reading two topics (and two files) against one thread reading both
one after the other.

Needs rosbags, mcap and pandas, pyarrow; the other peers are optional:
mcap-ros2-support-fast, rosbags-dataframe, baglab (with baglab-mcap-backend),
roboto-mcap-codec, mcap-bag-parser, rosbag-resurrector, pybag-sdk.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import math
import os
import platform
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

TOPICS = {"/imu": "sensor_msgs/msg/Imu", "/pose": "geometry_msgs/msg/PoseStamped"}
TOPIC = "/imu"
# Fields compared between each route's DataFrame and ours, at a few rows.
SPOT_FIELDS = (
    "header.stamp.sec",
    "header.stamp.nanosec",
    "angular_velocity.x",
    "linear_acceleration.z",
    "orientation.w",
)
START = 1_700_000_000_000_000_000
KINDS = ("mcap-zstd", "sqlite3", "rosbag2-mcap")
KIND_TITLES = {
    "mcap-zstd": "MCAP file, zstd chunks",
    "sqlite3": "rosbag2, sqlite3 storage",
    "rosbag2-mcap": "rosbag2, mcap storage (uncompressed)",
}
RESULT_MARK = "RESULT "


# ---------------------------------------------------------------------------
# The recordings, by the peers' writers


def sample_rows(count, seed=0, distinct=None):
    """[(topic, type, log time, None, CDR bytes)], /imu and /pose in turn, a
    millisecond apart: bench/ros2_workloads.py's messages, encoded by
    mcap-ros2-support.  With `distinct`, only that many messages are made
    and the rest repeat them (a reader's work does not depend on the
    values)."""
    from mcap_ros2._dynamic import serialize_dynamic

    from bench import ros2_workloads as w
    from tests.support import ros2 as peers

    builders = {"sensor_msgs/msg/Imu": w.imu, "geometry_msgs/msg/PoseStamped": w.pose_stamped}
    encoders = {k: serialize_dynamic(k, peers.msgdef_text(k))[k] for k in TOPICS.values()}
    rng = random.Random(f"bench-recordings/{seed}")
    names = list(TOPICS)
    made = {}
    rows = []
    for index in range(count):
        topic = names[index % len(names)]
        kind = TOPICS[topic]
        key = (kind, index if distinct is None else index % distinct)
        if key not in made:
            made[key] = encoders[kind](builders[kind](rng))
        rows.append((topic, kind, START + index * 1_000_000, None, made[key]))
    return rows


def write_recordings(folder, rows, kinds=KINDS):
    """{kind: path} of the recording written each way."""
    from tests.support import recordings as rec

    paths = {}
    if "mcap-zstd" in kinds:
        paths["mcap-zstd"] = rec.write_mcap(
            folder / "run.mcap", rows, compression="zstd", chunk_size=1024 * 1024
        )
    if "sqlite3" in kinds:
        paths["sqlite3"] = rec.write_bag(folder / "bag_sqlite3", rows, storage="sqlite3")
    if "rosbag2-mcap" in kinds:
        paths["rosbag2-mcap"] = rec.write_bag(folder / "bag_mcap", rows, storage="mcap")
    return {kind: Path(path) for kind, path in paths.items()}


def mcap_file(kind, path):
    """The MCAP file of a recording (the bag's one storage file for a bag of
    mcap storage); None for sqlite3."""
    if kind == "mcap-zstd":
        return path
    if kind == "rosbag2-mcap":
        (found,) = path.glob("*.mcap")
        return found
    return None


def size_of(path):
    if path.is_dir():
        return sum(p.stat().st_size for p in path.iterdir() if p.is_file())
    return path.stat().st_size


# ---------------------------------------------------------------------------
# Flat rows of decoded message objects (the peers that decode into objects)

_FIELDS: dict[type, tuple[str, ...]] = {}
_LEAVES = (int, float, str, bytes, bool, list, tuple)


def _fields_of(cls, sample):
    names = _FIELDS.get(cls)
    if names is None:
        if dataclasses.is_dataclass(cls):  # rosbags' messages (less their __msgtype__)
            names = tuple(f.name for f in dataclasses.fields(cls) if not f.name.startswith("_"))
        else:
            slots = [s for c in reversed(cls.__mro__) for s in getattr(c, "__slots__", ())]
            names = tuple(s for s in slots if not s.startswith("_")) or tuple(
                n for n in vars(sample) if not n.startswith("_")
            )
        _FIELDS[cls] = names
    return names


def flat_row(message, row, prefix=""):
    """Adds message's leaf fields to `row` under dotted names (an array of
    any kind stays one value)."""
    for name in _fields_of(type(message), message):
        value = getattr(message, name)
        if value is None or isinstance(value, _LEAVES) or hasattr(value, "__array__"):
            row[prefix + name] = value
        elif hasattr(value, "__len__"):  # array.array and other sequences
            row[prefix + name] = value
        else:
            flat_row(value, row, prefix + name + ".")
    return row


def leaf_paths(typestore, name, prefix=""):
    """Dotted paths of a type's leaf fields from rosbags' store (arrays are
    leaves), as rosbags-dataframe takes them."""
    from rosbags.interfaces import Nodetype

    paths = []
    for field, desc in typestore.get_msgdef(name).fields:
        path = prefix + field
        if desc[0] == Nodetype.NAME:
            paths.extend(leaf_paths(typestore, desc[1], path + "."))
        else:
            paths.append(path)
    return paths


# ---------------------------------------------------------------------------
# The routes: each reads one topic of one recording into a pandas DataFrame.
# `prepare` imports what the route needs (untimed); `read` is timed.


@dataclasses.dataclass
class Route:
    name: str
    title: str
    kinds: tuple[str, ...]
    prepare: object
    read: object
    arrow_only: bool = False  # an Arrow table, not a DataFrame (ours' .table())


def _ours_prepare():
    import pandas  # noqa: F401
    import pyarrow  # noqa: F401

    from korvex_messages import ros2  # noqa: F401


def _ours_pandas(kind, path, topic):
    from korvex_messages import ros2

    with ros2.open_recording(path) as recording:
        return recording.table(topic, flatten=True).to_pandas()


def _ours_table(kind, path, topic):
    from korvex_messages import ros2

    with ros2.open_recording(path) as recording:
        return recording.table(topic)


def _rosbags_prepare():
    import pandas  # noqa: F401
    from rosbags.highlevel import AnyReader  # noqa: F401


def _rosbags_reader(path):
    from rosbags.highlevel import AnyReader
    from rosbags.typesys import Stores, get_typestore

    # A bag of sqlite3 storage keeps no definitions: the store supplies them.
    return AnyReader([path], default_typestore=get_typestore(Stores.ROS2_HUMBLE))


def _rosbags(kind, path, topic):
    import pandas

    with _rosbags_reader(path) as reader:
        connections = [c for c in reader.connections if c.topic == topic]
        deserialize = reader.typestore.deserialize_cdr
        times, rows = [], []
        for connection, log_time, data in reader.messages(connections=connections):
            rows.append(flat_row(deserialize(data, connection.msgtype), {}))
            times.append(log_time)
    frame = pandas.DataFrame(rows)
    frame.insert(0, "log_time", pandas.to_datetime(times, unit="ns", utc=True))
    return frame


def _rosbags_dataframe_prepare():
    _rosbags_prepare()
    from rosbags.dataframe import get_dataframe  # noqa: F401


def _rosbags_dataframe(kind, path, topic):
    from rosbags.dataframe import get_dataframe

    with _rosbags_reader(path) as reader:
        keys = leaf_paths(reader.typestore, reader.topics[topic].msgtype)
        return get_dataframe(reader, topic, keys)


def _mcap_fast_prepare():
    import pyarrow  # noqa: F401
    from mcap.reader import make_reader  # noqa: F401
    from mcap_ros2_support_fast.decoder import DecoderFactory  # noqa: F401


def _mcap_fast(kind, path, topic):
    import pyarrow
    from mcap.reader import make_reader
    from mcap_ros2_support_fast.decoder import DecoderFactory

    rows = []
    with open(mcap_file(kind, path), "rb") as stream:
        reader = make_reader(stream, decoder_factories=[DecoderFactory()])
        for _, _, message, decoded in reader.iter_decoded_messages(
            topics=[topic], log_time_order=True
        ):
            row = {"log_time": message.log_time}
            rows.append(flat_row(decoded, row))
    return pyarrow.Table.from_pylist(rows).to_pandas()


def _baglab_prepare():
    import baglab  # noqa: F401


def _baglab(kind, path, topic):
    import baglab

    # The mcap backend reads bags of mcap storage; sqlite3 bags go through
    # baglab's rosbags backend.  No disk cache: every run reads the bag.
    backend = "mcap" if kind == "rosbag2-mcap" else "rosbags"
    if backend == "mcap" and not baglab.has_mcap_backend():
        raise ImportError("baglab-mcap-backend is not installed")
    with baglab.load(path, use_cache=False, backend=backend) as bag:
        return bag[topic]


def _roboto_prepare():
    import mcap_codec  # noqa: F401
    import pyarrow  # noqa: F401


def _roboto(kind, path, topic):
    import mcap_codec
    import pyarrow

    name = mcap_file(kind, path)
    with open(name, "rb") as stream:

        def read_bytes(offset, length):
            stream.seek(offset)
            return stream.read(length)

        with mcap_codec.open_mcap_file(
            read_bytes,
            os.path.getsize(name),
            channel=mcap_codec.TopicName(topic),
            timestamp=mcap_codec.TimestampSource("message_log_time"),
        ) as cursor:
            table = pyarrow.Table.from_batches(list(cursor))
    # Nested messages as struct columns, flattened to one column a field as
    # the other routes give them.
    while any(pyarrow.types.is_struct(f.type) for f in table.schema):
        table = table.flatten()
    return table.to_pandas()


def _mcap_bag_parser_prepare():
    import mcap_bag  # noqa: F401

    if not mcap_bag.ROSX_AVAILABLE:
        raise ImportError("mcap_bag: rosx_introspection is not available")


def _mcap_bag_parser(kind, path, topic):
    import mcap_bag

    return mcap_bag.parse_mcap_file(str(mcap_file(kind, path)), topics=[topic])[topic]


def _resurrector_prepare():
    from resurrector import BagFrame  # noqa: F401


def _resurrector(kind, path, topic):
    from resurrector import BagFrame

    return BagFrame(str(mcap_file(kind, path)))[topic].to_pandas()


def _pybag_prepare():
    import pandas  # noqa: F401
    from pybag import Reader  # noqa: F401


def _pybag(kind, path, topic):
    import pandas
    from pybag import Reader

    times, rows = [], []
    with Reader.from_file(str(mcap_file(kind, path))) as reader:
        for message in reader.messages(topic):
            times.append(message.log_time)
            rows.append(flat_row(message.data, {}))
    frame = pandas.DataFrame(rows)
    frame.insert(0, "log_time", times)
    return frame


MCAP_KINDS = ("mcap-zstd", "rosbag2-mcap")
BAG_KINDS = ("sqlite3", "rosbag2-mcap")
ROUTES = [
    Route("ours", "ours: table(flatten=True).to_pandas()", KINDS, _ours_prepare, _ours_pandas),
    Route(
        "ours-table",
        "ours: table() (Arrow, no pandas)",
        KINDS,
        _ours_prepare,
        _ours_table,
        arrow_only=True,
    ),
    Route(
        "rosbags",
        "rosbags: AnyReader + deserialize_cdr",
        BAG_KINDS + ("mcap-zstd",),
        _rosbags_prepare,
        _rosbags,
    ),
    Route(
        "mcap-fast",
        "mcap + mcap-ros2-support-fast + from_pylist",
        MCAP_KINDS,
        _mcap_fast_prepare,
        _mcap_fast,
    ),
    Route(
        "rosbags-dataframe",
        "rosbags-dataframe: get_dataframe",
        BAG_KINDS + ("mcap-zstd",),
        _rosbags_dataframe_prepare,
        _rosbags_dataframe,
    ),
    Route("baglab", "baglab: load()[topic]", BAG_KINDS, _baglab_prepare, _baglab),
    Route("roboto", "roboto-mcap-codec: open_mcap_file", MCAP_KINDS, _roboto_prepare, _roboto),
    Route(
        "mcap-bag-parser",
        "mcap-bag-parser: parse_mcap_file",
        MCAP_KINDS,
        _mcap_bag_parser_prepare,
        _mcap_bag_parser,
    ),
    Route(
        "resurrector",
        "rosbag-resurrector: BagFrame[topic].to_pandas()",
        MCAP_KINDS,
        _resurrector_prepare,
        _resurrector,
    ),
    Route("pybag", "pybag-sdk: Reader.messages", MCAP_KINDS, _pybag_prepare, _pybag),
]
BY_NAME = {r.name: r for r in ROUTES}
PEERS = [r.name for r in ROUTES if not r.name.startswith("ours")]


# ---------------------------------------------------------------------------
# One run, in a child process


def max_rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def spelled(name):
    """A column or field name in one spelling: "/", "." and "_" alike, and
    "nsec" for "nanosec" (rosbag-resurrector's "header.stamp_nsec")."""
    text = name.replace("/", "_").replace(".", "_").strip("_")
    return text.replace("nanosec", "nsec")


def matches(column, field):
    """Whether a column holds a field: its name, under a prefix (a topic), or
    one item of an array field spread over columns ("field.0", ...)."""
    text, want = spelled(column), spelled(field)
    return text == want or text.endswith("_" + want) or text.startswith(want + "_")


def column_for(frame, field):
    """The DataFrame column of a dotted field, however the route spells it."""
    for column in frame.columns:
        if matches(str(column), field) and not spelled(str(column)).startswith(
            spelled(field) + "_"
        ):
            return frame[column]
    return None


def spot_values(frame, fields=SPOT_FIELDS):
    """{field: [value at the first, middle and last row]} (None where the
    route's frame has no such column)."""
    rows = len(frame)
    picks = [0, rows // 2, rows - 1] if rows else []
    values = {}
    for field in fields:
        column = column_for(frame, field)
        values[field] = None if column is None else [float(column.iloc[i]) for i in picks]
    return values


def child(arguments):
    route = BY_NAME[arguments["route"]]
    kind, path, topic = arguments["kind"], Path(arguments["path"]), arguments["topic"]
    try:
        route.prepare()
    except ImportError as error:
        return {"error": f"not installed: {error}"}
    import gc

    gc.collect()
    before = max_rss_kib()
    started = time.perf_counter()
    try:
        with contextlib.redirect_stdout(sys.stderr):
            output = route.read(kind, path, topic)
    except Exception as error:  # a reader that cannot read the file
        first = str(error).strip().splitlines()[0] if str(error).strip() else ""
        return {"error": f"cannot read it: {type(error).__name__}: {first}"[:300]}
    seconds = time.perf_counter() - started
    peak = max_rss_kib() - before
    if route.arrow_only:
        return {
            "seconds": seconds,
            "peak_kib": peak,
            "rows": output.num_rows,
            "columns": output.num_columns,
        }
    return {
        "seconds": seconds,
        "peak_kib": peak,
        "rows": len(output),
        "columns": len(output.columns),
        "names": [str(c) for c in output.columns],
        "spots": spot_values(output),
    }


def run_child(arguments, timeout=900, env=None):
    """One run in a fresh process: its result, or {"error": why}."""
    try:
        done = subprocess.run(
            [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(arguments)],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=None if env is None else {**os.environ, **env},
        )
    except subprocess.TimeoutExpired:
        return {"error": f"the run took more than {timeout} s"}
    for line in done.stdout.splitlines():
        if line.startswith(RESULT_MARK):
            return json.loads(line[len(RESULT_MARK) :])
    tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
    return {"error": f"the run failed (exit {done.returncode}): {tail}"[:300]}


# ---------------------------------------------------------------------------
# Checks: each route's DataFrame against ours


def same_number(a, b):
    return a == b or (math.isnan(a) and math.isnan(b)) or math.isclose(a, b, rel_tol=1e-6)


def has_field(names, field):
    """Whether a route's columns hold a dotted field."""
    return any(matches(name, field) for name in names)


def missing_fields(reference, result):
    """The fields of our DataFrame that a route's lacks."""
    fields = [n for n in reference["names"] if n != "log_time"]
    return [f for f in fields if not has_field(result["names"], f)]


def check_against(reference, result, expected_rows):
    """Why a route's output is not the full topic ("" when it is)."""
    if result["rows"] != expected_rows:
        return f"{result['rows']} rows, not {expected_rows}"
    if "spots" not in result:
        return ""
    compared = 0
    for field, want in reference["spots"].items():
        got = result["spots"].get(field)
        if got is None or want is None:
            continue
        compared += 1
        if not all(same_number(a, b) for a, b in zip(got, want)):
            return f"{field}: {got} where ours reads {want}"
    if compared < 3:
        return f"only {compared} of the checked fields found among its columns"
    return ""


# ---------------------------------------------------------------------------
# Ours on a larger file: batches() against table(), and two threads


def status_kib(key):
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def child_memory(arguments):
    """Peak memory of iterating batches() (or of table()) of a topic."""
    _ours_prepare()
    from korvex_messages import ros2

    path, topic, how = Path(arguments["path"]), arguments["topic"], arguments["how"]
    import gc

    gc.collect()
    before, anon_before = max_rss_kib(), status_kib("RssAnon")
    file_before = status_kib("RssFile")
    anon_peak = 0
    started = time.perf_counter()
    rows = batches = most = 0
    with ros2.open_recording(path) as recording:
        if how == "batches":
            for table in recording.batches(topic):
                rows += table.num_rows
                most = max(most, table.num_rows)
                batches += 1
                anon_peak = max(anon_peak, status_kib("RssAnon") - anon_before)
                del table
            mapped = status_kib("RssFile") - file_before
            seconds, peak = time.perf_counter() - started, max_rss_kib() - before
            output = 0
        else:
            table = recording.table(topic)
            rows = most = table.num_rows
            batches = 1
            anon_peak = status_kib("RssAnon") - anon_before
            mapped = status_kib("RssFile") - file_before
            seconds, peak = time.perf_counter() - started, max_rss_kib() - before
            # The size of the output, for the figures per batch (taken after
            # the peak).
            output = table.to_pyarrow().nbytes
            del table
    return {
        "seconds": seconds,
        "peak_kib": peak,
        "anon_at_batches_kib": anon_peak,
        "file_mapped_kib": mapped,
        "rows": rows,
        "batches": batches,
        "largest_batch_rows": most,
        "output_bytes": output,
    }


def child_threads(arguments):
    """One thread reading two tables one after the other, against two
    threads reading one each; medians over rounds taken in turn."""
    _ours_prepare()
    from korvex_messages import ros2

    jobs = [(Path(p), t) for p, t in arguments["jobs"]]

    def read(job):
        with ros2.open_recording(job[0]) as recording:
            return recording.table(job[1]).num_rows

    def one_thread():
        return [read(job) for job in jobs]

    def two_threads():
        counts = [0] * len(jobs)

        def work(index):
            counts[index] = read(jobs[index])

        threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return counts

    # The control: hashing, which runs without the interpreter lock, the same
    # way; two threads take half the time only where a second core is free.
    import hashlib

    block = bytes(32 << 20)

    def control_one():
        for _ in jobs:
            hashlib.sha256(block).digest()

    def control_two():
        threads = [threading.Thread(target=lambda: hashlib.sha256(block).digest()) for _ in jobs]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    want = one_thread()
    assert two_threads() == want, "the threads read other rows"
    calls = {
        "one": one_thread,
        "two": two_threads,
        "control_one": control_one,
        "control_two": control_two,
    }
    times = {key: [] for key in calls}
    for _ in range(arguments["rounds"]):
        for key, call in calls.items():
            started = time.perf_counter()
            call()
            times[key].append(time.perf_counter() - started)
    result = {key: statistics.median(t) for key, t in times.items()}
    return {**result, "rows": want, "all": times}


# ---------------------------------------------------------------------------
# The run


def source_revision():
    """The commit of the tree, with "+changes" where the library or the bench
    has edits not committed."""

    def git(*arguments):
        return subprocess.run(
            ["git", "-C", str(ROOT), *arguments],
            capture_output=True,
            text=True,
            timeout=10,
            check=True,
        ).stdout.strip()

    try:
        dirty = git("status", "--porcelain", "--", "src", "python", "bench")
        return git("rev-parse", "--short", "HEAD") + (" +changes" if dirty else "")
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def machine():
    from bench.run import cpu_model

    return {
        "python": platform.python_version(),
        "platform": f"{platform.system()} {platform.machine()}",
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "source": source_revision(),
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
        "load_average": os.getloadavg()[0],
    }


def compare_routes(paths, routes, rounds, expected_rows, log):
    """{kind: {route: result}}: checked, then `rounds` timed runs each."""
    results = {}
    for kind, path in paths.items():
        here = [r for r in routes if kind in BY_NAME[r].kinds]
        entry = {}
        for name in here:  # the check run (it also warms the page cache)
            entry[name] = run_child(
                {"route": name, "kind": kind, "path": str(path), "topic": TOPIC}
            )
        reference = entry.get("ours")
        for result in entry.values():
            if "error" in result:
                continue
            if reference is None or "error" in reference:
                result["error"] = "ours did not run, so nothing to check against"
                continue
            why = check_against(reference, result, expected_rows)
            if why:
                result["error"] = f"output differs from ours: {why}"
            elif "names" in result:
                # Timed all the same, but shown as less work, and no
                # ratio is taken against it.
                result["missing"] = missing_fields(reference, result)
        timed = [n for n in here if "error" not in entry[n]]
        runs = {n: [] for n in timed}
        for round_index in range(rounds):
            turn = round_index % len(timed) if timed else 0
            for name in timed[turn:] + timed[:turn]:
                result = run_child({"route": name, "kind": kind, "path": str(path), "topic": TOPIC})
                if "error" in result:
                    entry[name] = result
                    runs.pop(name, None)
                elif name in runs:
                    runs[name].append(result)
        for name, got in runs.items():
            entry[name].update(
                seconds=statistics.median(r["seconds"] for r in got),
                peak_kib=statistics.median(r["peak_kib"] for r in got),
                runs=[r["seconds"] for r in got],
            )
        for name in here:
            result = entry[name]
            if "error" in result:
                log(f"  {kind:>13} {name:<18} unavailable: {result['error']}")
            else:
                lacks = f", lacks {result['missing']}" if result.get("missing") else ""
                log(
                    f"  {kind:>13} {name:<18} {result['seconds'] * 1e3:9.1f} ms"
                    f"  {result['peak_kib'] / 1024:7.1f} MiB  {result['rows']} rows,"
                    f" {result['columns']} columns{lacks}"
                )
        results[kind] = entry
    return results


def ratios(results):
    """The figures the targets are about, as {name: (ratio, target) or None}."""

    def seconds(kind, route):
        result = results.get(kind, {}).get(route)
        return None if result is None or "error" in result else result["seconds"]

    def over(kind, peer, ours):
        a, b = seconds(kind, peer), seconds(kind, ours)
        return None if a is None or b is None else a / b

    def complete(kind, route):
        return not results.get(kind, {}).get(route, {}).get("missing")

    def fastest_peer(kind):
        timed = [
            (seconds(kind, p), p)
            for p in PEERS
            if seconds(kind, p) is not None and complete(kind, p)
        ]
        return min(timed) if timed else (None, None)

    figures = {
        "MCAP (zstd) table() against rosbags": (over("mcap-zstd", "rosbags", "ours-table"), 20),
        "MCAP (zstd) table() against mcap + fast": (
            over("mcap-zstd", "mcap-fast", "ours-table"),
            10,
        ),
        "sqlite3 bag table() against rosbags": (over("sqlite3", "rosbags", "ours-table"), 10),
    }
    for kind, target in (("mcap-zstd", 3), ("sqlite3", 3), ("rosbag2-mcap", 1.5)):
        best, peer = fastest_peer(kind)
        ratio = (
            None if best is None or seconds(kind, "ours") is None else best / seconds(kind, "ours")
        )
        figures[f"{kind}: DataFrame against the fastest peer ({peer})"] = (ratio, target)
    return figures


def report(results, figures, memory, threads, info, log):
    log("")
    log(f"| route | {' | '.join(KIND_TITLES[k] for k in KINDS if k in results)} |")
    log("|---|" + "--:|" * len(results))
    for route in ROUTES:
        cells = []
        for kind in KINDS:
            if kind not in results:
                continue
            result = results[kind].get(route.name)
            if result is None:
                cells.append("")
            elif "error" in result:
                cells.append("unavailable")
            else:
                lacks = f" (lacks {len(result['missing'])} fields)" if result.get("missing") else ""
                cells.append(
                    f"{result['seconds'] * 1e3:.0f} ms, {result['peak_kib'] / 1024:.0f} MiB{lacks}"
                )
        log(f"| {route.title} | {' | '.join(cells)} |")
    log("")
    log("| figure | ratio | target | met |\n|---|--:|--:|---|")
    for name, (ratio, target) in figures.items():
        shown = "n/a" if ratio is None else f"{ratio:.1f}x"
        met = "n/a" if ratio is None else ("yes" if ratio >= target else "no")
        log(f"| {name} | {shown} | >= {target}x | {met} |")
    if memory:
        log("")
        log(
            f"{info['big_messages']} messages, MCAP zstd file of {info['big_mb']:.1f} MB "
            f"({memory['batches']['batches']} batches of /imu, "
            f"{memory['batches']['rows']} rows):"
        )
        table = memory["table"]
        per_row = table["output_bytes"] / table["rows"]
        log(
            f"  the table of /imu: {table['output_bytes'] / 2**20:.1f} MiB; the largest batch:"
            f" {memory['batches']['largest_batch_rows']} rows,"
            f" {per_row * memory['batches']['largest_batch_rows'] / 2**20:.1f} MiB"
        )
        for how, m in memory.items():
            log(
                f"  {how:>25}: peak +{m['peak_kib'] / 1024:.1f} MiB (ru_maxrss),"
                f" anonymous +{m['anon_at_batches_kib'] / 1024:.1f} MiB at batch ends,"
                f" file pages +{m['file_mapped_kib'] / 1024:.1f} MiB,"
                f" {m['seconds'] * 1e3:.0f} ms"
            )
    for label, t in (threads or {}).items():
        log(
            f"  {label}: one thread {t['one'] * 1e3:.0f} ms, two threads {t['two'] * 1e3:.0f} ms"
            f" ({t['two'] / t['one']:.2f} of one thread's time); control (sha256, no lock):"
            f" {t['control_two'] / t['control_one']:.2f}"
        )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=60_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument(
        "--routes", help="comma-separated routes (ours always runs): " + ",".join(PEERS)
    )
    parser.add_argument("--kinds", default=",".join(KINDS), help="recordings to read")
    parser.add_argument(
        "--big-messages",
        type=int,
        default=400_000,
        help="messages of the file for batches() and threads; 0 skips them",
    )
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    parser.add_argument("--keep", type=Path, help="write the recordings here and keep them")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        arguments = json.loads(args.child)
        task = {"memory": child_memory, "threads": child_threads}.get(arguments.get("task"), child)
        print(RESULT_MARK + json.dumps(task(arguments)), flush=True)
        return 0

    routes = ["ours", "ours-table"] + (
        PEERS
        if not args.routes
        else [r for r in args.routes.split(",") if r in BY_NAME and not r.startswith("ours")]
    )
    unknown = [r for r in (args.routes or "").split(",") if r and r not in BY_NAME]
    if unknown:
        parser.error(f"unknown routes {unknown}; the routes are {list(BY_NAME)}")
    kinds = [k for k in args.kinds.split(",") if k]
    if set(kinds) - set(KINDS):
        parser.error(f"--kinds: one of {KINDS}")

    def log(text):
        print(text, flush=True)

    info = machine()
    info.update(
        messages=args.messages, rounds=args.rounds, topic=TOPIC, big_messages=args.big_messages
    )
    log(
        f"CPython {info['python']} on {info['platform']}, {info['cpu']}, {info['cores']} CPUs;"
        f" source {info['source']}; load average {info['load_average']:.2f}"
    )
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        rows = sample_rows(args.messages)
        paths = write_recordings(folder, rows, kinds)
        expected = sum(1 for row in rows if row[0] == TOPIC)
        info["sizes_mb"] = {k: size_of(p) / 1e6 for k, p in paths.items()}
        log(
            f"{args.messages} messages ({expected} on {TOPIC}); "
            + ", ".join(f"{k} {v:.1f} MB" for k, v in info["sizes_mb"].items())
        )
        results = compare_routes(paths, routes, args.rounds, expected, log)
        memory = threads = None
        if args.big_messages:
            big_folder = folder / "big"
            big_folder.mkdir(exist_ok=True)
            big_rows = sample_rows(args.big_messages, seed=1, distinct=2000)
            big = write_recordings(big_folder, big_rows, ("mcap-zstd",))["mcap-zstd"]
            twin = big_folder / "twin.mcap"
            shutil.copyfile(big, twin)
            del big_rows
            info["big_mb"] = big.stat().st_size / 1e6
            memory = {}
            # As the process runs by default, and with glibc's threshold for
            # giving large blocks their own mapping fixed at 64 KiB, so that
            # what is freed leaves the resident set at once (by default the
            # threshold rises with the first large block freed, and freed
            # blocks stay in the heap).
            for how, env in (
                ("batches", None),
                ("table", None),
                ("batches, fixed threshold", {"MALLOC_MMAP_THRESHOLD_": "65536"}),
                ("table, fixed threshold", {"MALLOC_MMAP_THRESHOLD_": "65536"}),
            ):
                got = [
                    run_child(
                        {
                            "task": "memory",
                            "path": str(big),
                            "topic": TOPIC,
                            "how": how.split(",")[0],
                        },
                        env=env,
                    )
                    for _ in range(max(1, args.rounds))
                ]
                failed = [g for g in got if "error" in g]
                if failed:
                    raise SystemExit(f"memory run ({how}): {failed[0]['error']}")
                memory[how] = {key: statistics.median(g[key] for g in got) for key in got[0]}
            threads = {}
            for label, jobs in (
                ("two topics of one file", [(str(big), "/imu"), (str(big), "/pose")]),
                ("/imu of two files", [(str(big), "/imu"), (str(twin), "/imu")]),
            ):
                got = run_child({"task": "threads", "jobs": jobs, "rounds": max(3, args.rounds)})
                if "error" in got:
                    raise SystemExit(f"threads run: {got['error']}")
                threads[label] = got
        figures = ratios(results)
        report(results, figures, memory, threads, info, log)
    if args.json:
        document = {
            "machine": info,
            "routes": {r.name: r.title for r in ROUTES},
            "results": results,
            "figures": {k: {"ratio": r, "target": t} for k, (r, t) in figures.items()},
            "batches_memory": memory,
            "threads": threads,
        }
        Path(args.json).write_text(json.dumps(document, indent=1) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
