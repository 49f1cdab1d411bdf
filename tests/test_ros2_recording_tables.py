"""Recording.table and Recording.batches: a topic as pyarrow Tables, its
log_time column first.  The messages, their order and times come from
rosbags' reading of the same bag; their columns from decode_table on the
very bytes rosbags read.  Runs only where the codec has decode_table."""

import datetime

import pytest

from tests.support import recordings as rec

ros2 = pytest.importorskip("korvex_messages.ros2")
pa = pytest.importorskip("pyarrow")
pytest.importorskip("rosbags.rosbag2")

pytestmark = [
    pytest.mark.pure_python,
    pytest.mark.skipif(
        not hasattr(ros2._native, "decode_table"), reason="this codec has no decode_table"
    ),
]

ROWS = rec.sample_messages(90)
NS = 1_700_000_000_000_000_000


def rosbags_raw(bag, topic):
    from rosbags.rosbag2 import Reader

    with Reader(bag) as reader:
        connections = [c for c in reader.connections if c.topic == topic]
        return [(t, bytes(data)) for _, t, data in reader.messages(connections=connections)]


def expected(recording, topic, raw, flatten):
    times = [t for t, _ in raw]
    want = pa.table(
        ros2._native.decode_table(recording.codec_type(topic), [d for _, d in raw], flatten=flatten)
    )
    stamps = pa.array(times, pa.int64()).cast(pa.timestamp("ns", tz="UTC"))
    return want.add_column(0, "log_time", stamps)


@pytest.mark.parametrize("flatten", [False, True])
@pytest.mark.parametrize(
    "window", [dict(), dict(start=NS + 5_000_000, end=NS + 20_000_000), dict(start=NS + 10**15)]
)
@pytest.mark.parametrize("storage", ["sqlite3", "mcap"])
def test_table_is_the_topics_messages_with_log_time_first(tmp_path, storage, window, flatten):
    bag = rec.write_bag(tmp_path / "bag", ROWS, storage)
    for topic in rec.TYPES:
        raw = sorted(rosbags_raw(bag, topic), key=lambda row: row[0])
        raw = [
            (t, d) for t, d in raw if t >= window.get("start", 0) and t < window.get("end", 2**63)
        ]
        with ros2.open_recording(bag) as recording:
            got = recording.table(topic, flatten=flatten, **window)
            want = expected(recording, topic, raw, flatten)
        assert got.column_names[0] == "log_time"
        assert got.schema.field("log_time").type == pa.timestamp("ns", tz="UTC")
        assert got.equals(want), topic


def test_batches_cover_the_table_in_order(tmp_path):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none", chunk_size=700)
    with ros2.open_recording(path) as recording:
        whole = recording.table("/imu")
        pieces = list(recording.batches("/imu", max_bytes=1000))
        start = datetime.datetime.fromtimestamp(1_700_000_000.01, datetime.timezone.utc)
        later = recording.table("/imu", start=start)
    assert len(pieces) > 1
    assert pa.concat_tables(pieces).equals(whole)
    times = whole.column("log_time").cast(pa.int64()).to_pylist()
    assert times == sorted(times) and len(times) == sum(1 for r in ROWS if r[0] == "/imu")
    assert later.column("log_time").cast(pa.int64()).to_pylist() == [
        t for t in times if t >= 1_700_000_000_010_000_000
    ]
