"""korvex_messages.ros2.dask.read_topic and korvex_messages.ros2.ray.read_topic
on recordings the peers write.  The oracle is the sequential read, each file
opened with open_recording and its topic read with Recording.table (itself
checked against rosbags' reading in test_ros2_recording_tables.py); log
times and counts come from the rows written."""

import pickle
import random

import pytest

from tests.support import recordings as rec

ros2 = pytest.importorskip("korvex_messages.ros2")
pytest.importorskip("rosbags.rosbag2")
pytest.importorskip("mcap.writer")
try:
    import pyarrow as pa
except ImportError:  # the extra marks skip every test that needs it
    pa = None

pytestmark = [
    pytest.mark.pure_python,
    pytest.mark.skipif(
        not hasattr(ros2._native, "decode_table"), reason="this codec has no decode_table"
    ),
]
needs_dask = pytest.mark.extra("dask", "pandas", "pyarrow")
needs_ray = pytest.mark.extra("ray", "pyarrow")

SECOND = 10**9
FILES = 4
# The first log time of sample_messages.
NS = 1_700_000_000_000_000_000


def write(kind, path, rows):
    """One recording of `rows` in the storage `kind`; its path."""
    if kind == "mcap":
        return rec.write_mcap(path.with_suffix(".mcap"), rows)
    if kind == "db3":
        return rec.db3_of(rec.write_bag(path, rows, "sqlite3"))
    return rec.write_bag(path, rows, kind.removeprefix("bag-"))


KINDS = [
    "mcap",
    "db3",
    pytest.param("bag-sqlite3", marks=pytest.mark.extra("yaml")),
    pytest.param("bag-mcap", marks=pytest.mark.extra("yaml")),
]


def shifted(rows, offset):
    return [(topic, kind, t + offset, values, data) for topic, kind, t, values, data in rows]


def make_files(tmp_path, kind="mcap", count=FILES, spacing=SECOND, rows=36, **options):
    """`count` recordings, file i's log times `i * spacing` after file 0's;
    [(path, rows written)] in time order."""
    made = []
    for index in range(count):
        written = shifted(rec.sample_messages(rows, seed=index, ordered=True), index * spacing)
        if options:
            path = rec.write_mcap(tmp_path / f"run{index}.mcap", written, **options)
        else:
            path = write(kind, tmp_path / f"run{index}", written)
        made.append((path, written))
    return made


def times_of(written, topic):
    return [t for name, _, t, _, _ in written if name == topic]


def sequential_tables(paths, topic, types=None, **options):
    tables = []
    for path in paths:
        with ros2.open_recording(path, types=types) as recording:
            tables.append(pa.table(recording.table(topic, **options)))
    return tables


def as_frame(tables):
    """The tables as one pandas frame of ArrowDtype columns indexed by log
    time, as it arrives from another process (a pickle round trip: pyarrow
    drops the nullability of a fixed-size list's items there)."""
    import pandas as pd

    frame = pa.concat_tables(tables).to_pandas(types_mapper=pd.ArrowDtype)
    return pickle.loads(pickle.dumps(frame.set_index("log_time")))


def check_divisions(frame, partitions):
    """Known divisions, sorted, and every partition's log times within its own."""
    import pandas as pd

    divisions = frame.divisions
    assert frame.known_divisions
    assert list(divisions) == sorted(divisions)
    for index, part in enumerate(partitions):
        assert len(part), f"partition {index} is empty"
        low, high = divisions[index], divisions[index + 1]
        assert part.index.min() >= low
        if index + 1 < len(partitions):
            assert part.index.max() < high
        else:
            assert part.index.max() <= high
        assert isinstance(low, pd.Timestamp) and str(low.tz) == "UTC"


# ---------------------------------------------------------------------------
# Dask


def compute(frame, **options):
    return frame.compute(scheduler="sync", **options)


@needs_dask
@pytest.mark.parametrize("flatten", [False, True])
@pytest.mark.parametrize("kind", KINDS)
def test_dask_frame_is_the_files_read_one_after_another(tmp_path, kind, flatten):
    import pandas as pd

    from korvex_messages.ros2.dask import read_topic

    files = make_files(tmp_path, kind)
    given = [path for path, _ in files]
    random.Random(kind).shuffle(given)
    for topic in rec.TYPES:
        frame = read_topic(given, topic, flatten=flatten)
        got = compute(frame)
        want = as_frame(sequential_tables([p for p, _ in files], topic, flatten=flatten))
        pd.testing.assert_frame_equal(got, want)
        assert all(isinstance(t, pd.ArrowDtype) for t in [*got.dtypes, got.index.dtype])
        # The meta is the computed frame's, column for column.
        assert list(frame.dtypes.items()) == list(got.dtypes.items())
        assert frame.index.dtype == got.index.dtype
        # One partition per file, in time order, divided by the files' first
        # log times and the last file's last.
        first = [times_of(written, topic) for _, written in files]
        want_divisions = [min(t) for t in first] + [max(first[-1])]
        assert [d.value for d in frame.divisions] == want_divisions
        check_divisions(frame, [compute(p) for p in frame.partitions])


@needs_dask
def test_dask_frame_needs_no_partition_to_know_its_columns(tmp_path, monkeypatch):
    from korvex_messages.ros2 import dask as ros2_dask

    files = make_files(tmp_path, count=2)

    def refuse(*args):
        raise AssertionError("a partition was read")

    monkeypatch.setattr(ros2_dask, "read_table", refuse)
    frame = ros2_dask.read_topic([p for p, _ in files], "/pose", flatten=True)
    assert "pose.position.x" in frame.columns and frame.index.name == "log_time"
    assert frame.npartitions == 2 and frame.known_divisions
    assert str(frame["header.frame_id"].dtype) == "string[pyarrow]"
    with pytest.raises(AssertionError, match="a partition was read"):
        compute(frame)


@needs_dask
# Files 1 ms apart overlap; 17 ms apart, one file's last log time is the
# next one's first, which a division cannot separate.
@pytest.mark.parametrize("spacing", [SECOND // 1000, 17 * SECOND // 1000], ids=["1ms", "17ms"])
def test_dask_overlapping_files_keep_their_order_and_divisions_unknown(tmp_path, spacing):
    import pandas as pd

    from korvex_messages.ros2.dask import read_topic

    files = make_files(tmp_path, count=3, spacing=spacing)
    assert max(times_of(files[0][1], "/imu")) >= min(times_of(files[1][1], "/imu"))
    given = [files[2][0], files[0][0], files[1][0]]
    frame = read_topic(given, "/imu")
    assert not frame.known_divisions and frame.npartitions == 3
    pd.testing.assert_frame_equal(compute(frame), as_frame(sequential_tables(given, "/imu")))


def moment(ns):
    import datetime

    return datetime.datetime.fromtimestamp(ns // SECOND, datetime.timezone.utc) + (
        datetime.timedelta(microseconds=ns % SECOND // 1000)
    )


@needs_dask
@pytest.mark.parametrize(
    "window",
    [
        dict(start=1, end=3),  # file 1's third message to file 3's start
        dict(start=1.5),
        dict(end=0.5),
        dict(start=2.2, end=2.3),
        dict(start=1.25, end=2.75, as_datetime=True),
        dict(start=9),  # after every file
        dict(start=2, end=2),
    ],
    ids=str,
)
def test_dask_windows(tmp_path, window):
    import pandas as pd

    from korvex_messages.ros2.dask import read_topic

    files = make_files(tmp_path)
    paths = [p for p, _ in files]
    bounds = {}
    for name in ("start", "end"):
        if name in window:
            ns = NS + round(window[name] * SECOND)
            bounds[name] = moment(ns) if window.get("as_datetime") else ns
    frame = read_topic(paths, "/imu", **bounds)
    got = compute(frame)
    pd.testing.assert_frame_equal(got, as_frame(sequential_tables(paths, "/imu", **bounds)))
    low = NS + round(window["start"] * SECOND) if "start" in window else 0
    high = NS + round(window["end"] * SECOND) if "end" in window else 2**63
    touched = [w for _, w in files if any(low <= t < high for t in times_of(w, "/imu"))]
    if touched:
        assert frame.npartitions == len(touched)
        check_divisions(frame, [compute(p) for p in frame.partitions])
    else:
        assert frame.npartitions == 1 and len(got) == 0


@needs_dask
@pytest.mark.parametrize("rows", [1, 5, 12, 1000])
def test_dask_rows_per_partition_cuts_files_into_time_slices(tmp_path, rows):
    import pandas as pd

    from korvex_messages.ros2.dask import read_topic

    files = make_files(tmp_path, count=2, rows=36)
    frame = read_topic([p for p, _ in files], "/imu", rows_per_partition=rows)
    got = compute(frame)
    pd.testing.assert_frame_equal(got, as_frame(sequential_tables([p for p, _ in files], "/imu")))
    per_file = [len(times_of(w, "/imu")) for _, w in files]
    assert frame.npartitions >= sum(-(-n // rows) for n in per_file)
    assert frame.npartitions <= sum(per_file)
    parts = [compute(p) for p in frame.partitions]
    check_divisions(frame, [p for p in parts if len(p)])


@needs_dask
def test_dask_types_reach_the_workers(tmp_path):
    """Files without the Imu definition read on worker processes of their
    own: only types= gives them the definition."""
    import pandas as pd

    from korvex_messages.ros2.dask import read_topic

    def schema_text(kind):
        return "" if kind == "sensor_msgs/msg/Imu" else rec.msg_text(kind)

    files = make_files(tmp_path, count=2, schema_text=schema_text)
    paths = [p for p, _ in files]
    types = {"sensor_msgs/msg/Imu": rec.msg_text("sensor_msgs/msg/Imu")}
    frame = read_topic(paths, "/imu", types=types)
    got = frame.compute(scheduler="processes", num_workers=2)
    pd.testing.assert_frame_equal(got, as_frame(sequential_tables(paths, "/imu", types=types)))


def bad_inputs(tmp_path):
    files = make_files(tmp_path, count=2)
    paths = [str(p) for p, _ in files]
    poses = rec.sample_messages(12, topics={"/imu": "geometry_msgs/msg/PoseStamped"})
    other = str(rec.write_mcap(tmp_path / "other.mcap", shifted(poses, 5 * SECOND)))
    no_imu = rec.sample_messages(12, topics={"/pose": "geometry_msgs/msg/PoseStamped"})
    lacking = str(rec.write_mcap(tmp_path / "lacking.mcap", shifted(no_imu, 6 * SECOND)))
    missing = str(tmp_path / "missing.mcap")
    return [
        ([paths[0], missing], {}, FileNotFoundError, "missing.mcap"),
        ([paths[0], lacking], {}, KeyError, r"lacking\.mcap: no topic '/imu'"),
        ([paths[0], other], {}, ros2.RecordingError, r"other\.mcap: topic /imu has other columns"),
        ([], {}, ValueError, "no recording given"),
        ([paths[0], b"run1.mcap"], {}, TypeError, "got bytes"),
        (paths, dict(rows_per_partition=0), ValueError, "positive int of rows"),
        (paths, dict(start="yesterday"), TypeError, "start: expected int nanoseconds"),
    ]


@needs_dask
def test_dask_bad_input_names_the_file(tmp_path):
    from korvex_messages.ros2.dask import read_topic

    for paths, options, error, match in bad_inputs(tmp_path):
        with pytest.raises(error, match=match):
            read_topic(paths, "/imu", **options)


def test_scaleout_modules_import_their_libraries_on_first_use(run_python):
    completed = run_python(
        """
        import sys

        import korvex_messages.ros2 as ros2
        import korvex_messages.ros2.dask
        import korvex_messages.ros2.ray
        assert ros2.dask is korvex_messages.ros2.dask and ros2.ray is korvex_messages.ros2.ray
        print(sorted({"dask", "ray", "pandas"} & set(sys.modules)))
        # As if neither were installed.
        sys.modules["dask"] = sys.modules["ray"] = None
        for reader in (ros2.dask.read_topic, ros2.ray.read_topic):
            try:
                reader(["run.mcap"], "/imu")
            except ImportError as error:
                print(error)
        try:
            ros2.ray.RecordingDatasource
        except ImportError as error:
            print(error)
        """
    )
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0] == "[]"
    assert lines[1:] == [
        "korvex_messages.ros2.dask.read_topic needs dask.dataframe, which is not installed:"
        " pip install 'korvex-messages[dask]'",
        *[
            "korvex_messages.ros2.ray needs ray.data, which is not installed:"
            " pip install 'korvex-messages[ray]'"
        ]
        * 2,
    ]


# ---------------------------------------------------------------------------
# Ray


@needs_ray
@pytest.mark.parametrize("window", [{}, dict(start=0.5, end=2.5)], ids=["whole", "window"])
def test_ray_read_tasks_are_one_per_file(tmp_path, window):
    from korvex_messages.ros2.ray import RecordingDatasource

    files = make_files(tmp_path, kind="db3")
    bounds = {name: NS + round(at * SECOND) for name, at in window.items()}
    given = [p for p, _ in files][::-1]
    source = RecordingDatasource(given, "/imu", flatten=True, **bounds)
    # Sent to the workers by pickle: the class is found again by its name.
    source = pickle.loads(pickle.dumps(source))
    tasks = source.get_read_tasks(parallelism=16)
    low, high = bounds.get("start", 0), bounds.get("end", 2**63)
    touched = [(p, w) for p, w in files if any(low <= t < high for t in times_of(w, "/imu"))]
    assert len(tasks) == len(touched)
    for task, (path, written) in zip(tasks, touched):
        metadata = task.metadata
        assert metadata.input_files in ([str(path)], (str(path),))
        times = times_of(written, "/imu")
        if all(low <= t < high for t in times):
            assert metadata.num_rows == len(times)
        else:
            assert metadata.num_rows is None
        assert metadata.size_bytes > 0
    assert source.estimate_inmemory_data_size() == sum(t.metadata.size_bytes for t in tasks)
    blocks = [block for task in tasks for block in task()]
    assert all(block.schema == source.schema for block in blocks)
    want = sequential_tables([p for p, _ in touched], "/imu", flatten=True, **bounds)
    assert pa.concat_tables(blocks).equals(pa.concat_tables(want))


@needs_ray
def test_ray_bad_input_names_the_file(tmp_path):
    from korvex_messages.ros2.ray import read_topic

    for paths, options, error, match in bad_inputs(tmp_path):
        if "rows_per_partition" in options:
            continue  # a dask option
        with pytest.raises(error, match=match):
            read_topic(paths, "/imu", **options)


@needs_ray
def test_ray_dataset_on_a_local_ray(tmp_path):
    import ray

    from korvex_messages.ros2.ray import read_topic

    files = make_files(tmp_path, count=3)
    paths = [p for p, _ in files]
    ray.init(num_cpus=1, include_dashboard=False, log_to_driver=False)
    try:
        dataset = read_topic(paths, "/pose", flatten=True)
        assert dataset.count() == sum(len(times_of(w, "/pose")) for _, w in files)
        got = pa.concat_tables(ray.get(dataset.to_arrow_refs()))
    finally:
        ray.shutdown()
    assert got.equals(pa.concat_tables(sequential_tables(paths, "/pose", flatten=True)))
