"""The examples that decode on worker processes: examples/parallel_decode.py,
alone and on a file that examples/record_replay.py kept, and its pieces.
(The benchmark's --throughput run, which uses them, is in tests/test_bench.py.)
"""

import multiprocessing
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

from tests.support.runtime import child_environment

# The examples' own Python (splitting, indexing, worker set-up); the codec they
# call is tested natively elsewhere.
pytestmark = pytest.mark.pure_python

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("workers", [1, 2])
def test_parallel_decode_example_runs(tmp_path, workers):
    completed = subprocess.run(
        [
            sys.executable,
            str(EXAMPLES / "parallel_decode.py"),
            "--seconds",
            "0.2",
            "--workers",
            str(workers),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=child_environment(),
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "parallel decode matches the recording" in completed.stdout
    # 0.2 s of the stream: 40 IMU readings, 10 poses, 2 images.
    assert "file: " in completed.stdout and " in 52 records" in completed.stdout
    assert f"{workers} worker processes (spawn)" in completed.stdout


def test_parallel_decode_reads_a_file_kept_by_record_replay(tmp_path):
    path = tmp_path / "run.rec"
    env = child_environment()
    recorded = subprocess.run(
        [
            sys.executable,
            str(EXAMPLES / "record_replay.py"),
            "--seconds",
            "0.3",
            "--keep",
            str(path),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=300,
    )
    assert recorded.returncode == 0, recorded.stdout + recorded.stderr
    decoded = subprocess.run(
        [
            sys.executable,
            str(EXAMPLES / "parallel_decode.py"),
            "--file",
            str(path),
            "--chunks",
            "3",
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=300,
    )
    assert decoded.returncode == 0, decoded.stdout + decoded.stderr
    assert "parallel decode matches the recording" in decoded.stdout
    assert " in 78 records, 6 ranges" in decoded.stdout


@pytest.fixture(scope="module")
def parallel_decode():
    from examples import parallel_decode

    return parallel_decode


@pytest.fixture
def record_file(tmp_path, parallel_decode):
    record_replay = parallel_decode.record_replay
    record_replay.register_layouts()
    stream = list(record_replay.simulate(0.25))
    path = tmp_path / "stream.rec"
    with open(path, "wb") as out:
        record_replay.write_records(out, stream)
    return str(path), stream


@pytest.mark.parametrize("parts", [1, 2, 5, 64, 1000])
def test_split_covers_every_record_once(parallel_decode, record_file, parts):
    path, stream = record_file
    offsets = parallel_decode.index_records(path)
    assert len(offsets) == len(stream) + 1
    ranges = parallel_decode.split(offsets, parts)
    assert ranges[0][0] == offsets[0] and ranges[-1][1] == offsets[-1]
    assert all(a[1] == b[0] for a, b in zip(ranges, ranges[1:]))
    assert len(ranges) == min(parts, len(stream))
    decoded = []
    for start, stop in ranges:
        assert start in offsets and stop in offsets
        decoded += parallel_decode.decode_range(path, start, stop)[1]
    assert decoded == stream


TRUNCATIONS = [
    ("payload", lambda data, offsets: data[:-1], "truncated record payload"),
    ("header", lambda data, offsets: data[: offsets[-2] + 3], "truncated record header"),
    ("magic", lambda data, offsets: b"KVXREC0\n" + data[8:], "not a record file"),
]


@pytest.mark.parametrize(
    "cut, error", [c[1:] for c in TRUNCATIONS], ids=[c[0] for c in TRUNCATIONS]
)
def test_index_records_refuses_a_broken_file(parallel_decode, record_file, tmp_path, cut, error):
    path, _ = record_file
    bad = tmp_path / "broken.rec"
    bad.write_bytes(cut(Path(path).read_bytes(), parallel_decode.index_records(path)))
    with pytest.raises(ValueError, match=error):
        parallel_decode.index_records(str(bad))


def test_workers_need_the_initializer(parallel_decode, record_file):
    """The registry is per process: a spawned worker that registers nothing
    cannot decode, one started with the example's pool can."""
    path, stream = record_file
    offsets = parallel_decode.index_records(path)
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=1, mp_context=context) as bare:
        with pytest.raises(KeyError):
            bare.submit(parallel_decode.decode_range, path, offsets[0], offsets[-1]).result()
    with parallel_decode.make_pool(1) as pool:
        counts, decoded = parallel_decode.decode_file(pool, path, [(offsets[0], offsets[-1])])
    assert decoded == stream
    assert sum(counts) == len(stream)


@pytest.mark.extra("pyarrow")
def test_quickstart_writes_a_recording_rosbags_reads_and_its_parquet(tmp_path):
    """The quick start's `.db3` holds what rosbags decodes to the values of
    the Parquet file it exported."""
    import sqlite3

    import pyarrow.parquet

    from tests.support import ros2 as peer

    completed = subprocess.run(
        [sys.executable, str(EXAMPLES / "quickstart.py"), "--keep", str(tmp_path)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=child_environment(),
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[0].split() == ["/imu", "sensor_msgs/msg/Imu", "200", "messages"]
    assert lines[1].split() == ["/status", "std_msgs/msg/String", "2", "messages"]
    assert lines[-1] == "imu.parquet: 200 rows, 17 columns"

    with sqlite3.connect(tmp_path / "run.db3") as db:
        rows = db.execute(
            "SELECT timestamp, data FROM messages JOIN topics ON topics.id = topic_id"
            " WHERE topics.name = '/imu' ORDER BY timestamp"
        ).fetchall()
    db.close()
    exported = pyarrow.parquet.read_table(tmp_path / "imu.parquet")
    times = exported["log_time"].cast("int64").to_pylist()
    table = exported.to_pydict()
    assert len(rows) == len(times) == 200
    for index, (stamp, data) in enumerate(rows):
        message = peer.deserialize(data, "sensor_msgs/msg/Imu")
        assert message.header.stamp.sec * 10**9 + message.header.stamp.nanosec == stamp
        assert times[index] == stamp
        assert table["header.frame_id"][index] == message.header.frame_id
        assert table["angular_velocity.z"][index] == message.angular_velocity.z
        assert table["linear_acceleration.z"][index] == message.linear_acceleration.z
        assert table["orientation_covariance"][index] == list(message.orientation_covariance)
