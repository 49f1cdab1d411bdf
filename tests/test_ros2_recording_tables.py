"""Recording.table and Recording.batches: a topic as the codec's Tables, its
log_time column first.  The messages, their order and times come from
rosbags' reading of the same bag; their columns from decode_table on the
very bytes rosbags read.  Runs only where the codec has decode_table."""

import datetime
import sys

import pytest

from tests.support import recordings as rec
from tests.support import ros2 as peers

ros2 = pytest.importorskip("korvex_messages.ros2")
pytest.importorskip("rosbags.rosbag2")
try:
    import pyarrow as pa
except ImportError:  # the extra mark below skips every test
    pa = None

pytestmark = [
    pytest.mark.pure_python,
    # Tables are pyarrow's; bag directories need PyYAML.
    pytest.mark.extra("pyarrow", "yaml"),
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
    return want.add_column(0, pa.field("log_time", stamps.type, nullable=False), stamps)


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
            table = recording.table(topic, flatten=flatten, **window)
            want = expected(recording, topic, raw, flatten)
        assert isinstance(table, ros2.Table)
        assert table.column_names[0] == "log_time" and table.num_rows == len(raw)
        got = pa.table(table)
        assert got.schema.field("log_time").type == pa.timestamp("ns", tz="UTC")
        assert got.equals(want), topic
        assert got.schema.equals(want.schema), topic


def several_chunks(tmp_path):
    """An MCAP file of small chunks whose times overlap, as mcap reads it."""
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none", chunk_size=400)
    return path, rec.mcap_rows(path)


def split_bag(tmp_path):
    """A bag of two files, as rosbags reads it."""
    first = rec.sample_messages(30, seed=1, ordered=True)
    second = [(a, b, t + 10**12, d, e) for a, b, t, d, e in rec.sample_messages(31, seed=2)]
    bag = rec.write_bag(tmp_path / "bag", first, "mcap")
    rec.split_bag(bag, rec.write_bag(tmp_path / "other", second, "mcap"))
    return bag, rec.rosbags_rows(bag)


@pytest.mark.parametrize("flatten", [False, True])
@pytest.mark.parametrize("make", [several_chunks, split_bag])
def test_a_table_of_several_batches_is_their_rows_in_time_order(tmp_path, make, flatten):
    path, rows = make(tmp_path)
    want_rows = rec.in_time_order(rows)
    with ros2.open_recording(path) as recording:
        for topic in rec.TYPES:
            want = [(t, message) for name, t, message in want_rows if name == topic]
            got = pa.table(recording.table(topic, flatten=flatten))
            nested = pa.table(recording.table(topic)) if flatten else got
            assert got.column("log_time").cast(pa.int64()).to_pylist() == [t for t, _ in want]
            for row, (_, message) in zip(nested.drop_columns(["log_time"]).to_pylist(), want):
                assert peers.same(row, message), topic
            assert got.num_rows == len(want) and got.column_names[0] == "log_time"


@pytest.mark.extra("polars")
@pytest.mark.parametrize("window", [dict(), dict(start=NS + 10**15)])
def test_polars_reads_the_table_with_its_log_times(tmp_path, window):
    import polars

    path, rows = several_chunks(tmp_path)
    times = [t for name, t, _ in rec.in_time_order(rows) if name == "/imu"]
    times = [t for t in times if t >= window.get("start", 0)]
    with ros2.open_recording(path) as recording:
        table = recording.table("/imu", flatten=True, **window)
    frame = table.to_polars()
    assert frame.schema["log_time"] == polars.Datetime("ns", "UTC")
    assert frame["log_time"].dt.epoch("ns").to_list() == times
    assert frame.columns == table.column_names and frame.height == len(times)
    assert polars.DataFrame(table).equals(frame)


def test_batches_cover_the_table_in_order(tmp_path):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none", chunk_size=700)
    with ros2.open_recording(path) as recording:
        whole = pa.table(recording.table("/imu"))
        pieces = [pa.table(t) for t in recording.batches("/imu", max_bytes=1000)]
        start = datetime.datetime.fromtimestamp(1_700_000_000.01, datetime.timezone.utc)
        later = pa.table(recording.table("/imu", start=start))
    assert len(pieces) > 1
    assert pa.concat_tables(pieces).equals(whole)
    times = whole.column("log_time").cast(pa.int64()).to_pylist()
    assert times == sorted(times) and len(times) == sum(1 for r in ROWS if r[0] == "/imu")
    assert later.column("log_time").cast(pa.int64()).to_pylist() == [
        t for t in times if t >= 1_700_000_000_010_000_000
    ]


@pytest.mark.parametrize(
    "suffix,topic,read",
    [
        (".parquet", "/imu", lambda p: pa.parquet.read_table(p)),
        (".arrow", "/diagnostics", lambda p: pa.ipc.open_file(p).read_all()),
        (".feather", "/imu", lambda p: pa.feather.read_table(p)),
        (".csv", "/pose", lambda p: pa.csv.read_csv(p)),
    ],
)
@pytest.mark.parametrize(
    "window", [[], ["--start", "2023-11-14T22:13:20.005Z", "--end", str(NS + 20_000_000)]]
)
def test_export_writes_the_topics_table(tmp_path, suffix, topic, read, window):
    import importlib

    for module in ("parquet", "ipc", "feather", "csv"):
        importlib.import_module(f"pyarrow.{module}")
    from korvex_messages.ros2.__main__ import main

    bag = rec.write_bag(tmp_path / "bag", ROWS)
    out = tmp_path / f"out{suffix}"
    assert main(["export", str(bag), topic, str(out), *window]) == 0
    bounds = dict(start=NS + 5_000_000, end=NS + 20_000_000) if window else {}
    with ros2.open_recording(bag) as recording:
        want = pa.table(recording.table(topic, flatten=suffix == ".csv", **bounds))
    got = read(out)
    assert got.num_rows == want.num_rows > 0
    if suffix == ".csv":
        # CSV keeps the values, not every type: compare what it reads back.
        assert got.column_names == want.column_names
        assert (
            got.column("log_time").cast(pa.int64()).equals(want.column("log_time").cast(pa.int64()))
        )
    else:
        assert got.equals(want)


def test_export_refuses_what_it_cannot_write(tmp_path, capsys):
    from korvex_messages.ros2.__main__ import main

    bag = rec.write_bag(tmp_path / "bag", ROWS)
    for argv, text in [
        (["export", str(bag), "/imu", str(tmp_path / "x.txt")], "must end in .parquet"),
        (["export", str(bag), "/nope", str(tmp_path / "x.parquet")], "no topic /nope"),
    ]:
        assert main(argv) == 1
        err = capsys.readouterr().err
        assert err.startswith("korvex-ros2: error: ") and text in err
        assert len(err.strip().splitlines()) == 1


@pytest.mark.parametrize("topic", ["/imu", "/diagnostics"])
def test_csv_holds_lists_as_json_and_bytes_as_hex(tmp_path, topic):
    import csv
    import json

    from korvex_messages.ros2.__main__ import _csv_cells, main

    bag = rec.write_bag(tmp_path / "bag", ROWS)
    out = tmp_path / "out.csv"
    assert main(["export", str(bag), topic, str(out)]) == 0
    with ros2.open_recording(bag) as recording:
        want = pa.table(recording.table(topic, flatten=True)).drop_columns(["log_time"])
    with out.open(newline="", encoding="utf-8") as handle:
        got = list(csv.DictReader(handle))
    lists = [f.name for f in want.schema if pa.types.is_list(f.type) or
             pa.types.is_fixed_size_list(f.type)]  # fmt: skip
    assert lists and len(got) == want.num_rows
    for row, expected in zip(got, want.to_pylist()):
        for name in lists:
            assert peers.same(json.loads(row[name]), expected[name]), name
    # Bytes, alone and inside lists of structs.
    octets = pa.table({
        "raw": pa.array([b"\x00\xff"], pa.binary()),
        "fixed": pa.array([b"ab"], pa.binary(2)),
        "nested": pa.array([[{"data": b"\x01"}]], pa.list_(pa.struct([("data", pa.binary())]))),
    })  # fmt: skip
    assert _csv_cells(octets).to_pylist() == [
        {"raw": "00ff", "fixed": "6162", "nested": '[{"data": "01"}]'}
    ]


def test_an_export_that_fails_midway_leaves_no_file(tmp_path, monkeypatch, capsys):
    import itertools

    from korvex_messages.ros2 import __main__ as cli
    from korvex_messages.ros2._mcap_file import RecordingError
    from korvex_messages.ros2._recording import Recording

    bag = rec.write_bag(tmp_path / "bag", ROWS)
    real = Recording.batches

    def one_batch_then_a_failure(self, *args, **kwargs):
        yield from itertools.islice(real(self, *args, **kwargs), 1)
        raise RecordingError("chunk at offset 1234: CRC mismatch")

    monkeypatch.setattr(Recording, "batches", one_batch_then_a_failure)
    for suffix in (".parquet", ".csv", ".arrow"):
        out = tmp_path / f"out{suffix}"
        assert cli.main(["export", str(bag), "/imu", str(out)]) == 1
        assert "CRC mismatch" in capsys.readouterr().err
        assert not out.exists(), suffix


def test_tables_are_read_without_pyarrow(tmp_path, monkeypatch):
    path, rows = several_chunks(tmp_path)
    count = sum(1 for name, _, _ in rows if name == "/pose")
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # any import of it fails
    with ros2.open_recording(path) as recording:
        table = recording.table("/pose", flatten=True)
        pieces = list(recording.batches("/pose", max_bytes=500))
    assert all(isinstance(t, ros2.Table) for t in [table, *pieces]) and len(pieces) > 1
    assert table.num_rows == sum(t.num_rows for t in pieces) == count
    assert table.column_names[:2] == ["log_time", "header.stamp.sec"]
