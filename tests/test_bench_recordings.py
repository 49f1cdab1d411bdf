"""Smoke test of the recordings benchmark (bench/recordings.py): a run on a
tiny recording with the peers at hand, its output checks and its helpers.
No timing is asserted.

rosbags, mcap and mcap-ros2-support write the recordings, pandas and pyarrow
take the tables, so without them the module skips; the other peers are
reported as unavailable by the run itself when they are not installed.
"""

import json
import math

import pytest

pytest.importorskip("korvex_messages.ros2", reason="the ROS 2 codec module is not built")
for _module in ("rosbags", "mcap", "mcap_ros2", "pandas", "pyarrow"):
    pytest.importorskip(_module, reason=f"{_module} is not installed")

from bench import recordings as bench  # noqa: E402
from tests.support import ros2 as peers  # noqa: E402

pytestmark = pytest.mark.pure_python

IMU = "sensor_msgs/msg/Imu"


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """The JSON of a small run: 200 messages, one round, rosbags' and
    baglab's routes (baglab standing for a peer that may be missing)."""
    folder = tmp_path_factory.mktemp("bench-recordings")
    out = folder / "results.json"
    status = bench.main(
        [
            "--messages",
            "200",
            "--rounds",
            "1",
            "--big-messages",
            "3000",
            "--routes",
            "rosbags,baglab",
            "--json",
            str(out),
            "--keep",
            str(folder / "files"),
        ]
    )
    assert status == 0
    return json.loads(out.read_text())


@pytest.mark.parametrize("kind", bench.KINDS)
@pytest.mark.parametrize("route", ["ours", "ours-table", "rosbags"])
def test_every_route_reads_every_row(run, kind, route):
    result = run["results"][kind][route]
    assert "error" not in result, result.get("error")
    assert result["rows"] == 100  # half of the messages are on /imu
    assert result["seconds"] > 0 and len(result["runs"]) == 1


@pytest.mark.parametrize("kind", bench.KINDS)
def test_rosbags_frame_has_our_fields_and_values(run, kind):
    ours, theirs = run["results"][kind]["ours"], run["results"][kind]["rosbags"]
    assert not theirs["missing"]
    # the message's 16 leaf fields (arrays as one column) and the log time
    assert ours["columns"] == theirs["columns"] == 17
    for field in bench.SPOT_FIELDS:
        assert theirs["spots"][field] == ours["spots"][field]


def test_a_missing_peer_is_reported_with_its_reason(run):
    try:
        import baglab  # noqa: F401
    except ImportError:
        assert run["results"]["sqlite3"]["baglab"]["error"].startswith("not installed")
    else:
        assert run["results"]["sqlite3"]["baglab"]["rows"] == 100
    # baglab reads bags only: the bare MCAP file is not offered to it.
    assert "baglab" not in run["results"]["mcap-zstd"]


def test_figures_are_ratios_of_the_medians(run):
    results = run["results"]
    figure = run["figures"]["sqlite3 bag table() against rosbags"]
    want = results["sqlite3"]["rosbags"]["seconds"] / results["sqlite3"]["ours-table"]["seconds"]
    assert math.isclose(figure["ratio"], want) and figure["target"] == 10


def test_batches_and_threads_read_whole_topics(run):
    memory, threads = run["batches_memory"], run["threads"]
    assert memory["batches"]["rows"] == memory["table"]["rows"] == 1500
    assert memory["table"]["batches"] == 1
    assert threads["two topics of one file"]["rows"] == [1500, 1500]
    assert threads["/imu of two files"]["rows"] == [1500, 1500]


def _reference():
    names = ["log_time", "header.stamp.sec", "angular_velocity.x", "orientation_covariance"]
    spots = {
        "header.stamp.sec": [1.0, 2.0, 3.0],
        "angular_velocity.x": [0.5, 0.25, math.nan],
        "orientation.w": [1.0, 1.0, 1.0],
    }
    return {"names": names, "spots": spots}


# (change to a copy of the reference result, what check_against says)
CHECK_CASES = [
    ({}, ""),
    ({"rows": 99}, "99 rows, not 100"),
    ({"spots": {"header.stamp.sec": [1.0, 2.0, 4.0]}}, "header.stamp.sec"),
    ({"spots": {"angular_velocity.x": [0.5, 0.25, 0.0]}}, "angular_velocity.x"),
    ({"spots": {"header.stamp.sec": None, "angular_velocity.x": None}}, "only 1 of the checked"),
]


@pytest.mark.parametrize("change, says", CHECK_CASES)
def test_check_catches_a_route_doing_less(change, says):
    reference = _reference()
    result = {"rows": 100, "spots": dict(reference["spots"])}
    result["spots"].update(change.get("spots", {}))
    result["rows"] = change.get("rows", 100)
    why = bench.check_against(reference, result, 100)
    assert (why == "") if not says else (says in why)


@pytest.mark.parametrize(
    "names, missing",
    [
        (["log_time", "header.stamp.sec", "angular_velocity.x", "orientation_covariance"], []),
        # mcap-bag-parser's spelling: arrays spread over numbered columns
        (
            [
                "msg_timestamp",
                "/imu/header/stamp/sec",
                "angular_velocity/x",
                "orientation_covariance.0",
                "orientation_covariance.8",
            ],
            [],
        ),
        # rosbag-resurrector's: underscores, and no covariance arrays
        (["timestamp_ns", "header.stamp_sec", "angular_velocity.x"], ["orientation_covariance"]),
        (
            ["header.stamp.nanosec", "angular_velocity.y"],
            ["header.stamp.sec", "angular_velocity.x", "orientation_covariance"],
        ),
    ],
)
def test_missing_fields_by_any_spelling(names, missing):
    assert bench.missing_fields(_reference(), {"names": names}) == missing


def test_flat_rows_of_rosbags_messages_hold_every_leaf():
    """The flattening the object-returning peers' routes use, against the
    leaf fields rosbags' store lists for the type."""
    import random

    _, message = peers.random_message(IMU, random.Random(3))
    row = bench.flat_row(message, {})
    assert list(row) == bench.leaf_paths(peers.typestore(), IMU)
    assert row["angular_velocity.x"] == message.angular_velocity.x
    assert list(row["orientation_covariance"]) == list(message.orientation_covariance)


def test_recordings_hold_the_messages_in_turn(tmp_path):
    from mcap.reader import make_reader

    rows = bench.sample_rows(10, distinct=4)
    paths = bench.write_recordings(tmp_path, rows)
    assert sorted(paths) == sorted(bench.KINDS)
    with open(paths["mcap-zstd"], "rb") as stream:
        read = [(c.topic, m.log_time, m.data) for _, c, m in make_reader(stream).iter_messages()]
    assert read == [(topic, t, data) for topic, _, t, _, data in rows]
    assert [topic for topic, *_ in read[:4]] == ["/imu", "/pose", "/imu", "/pose"]
    # distinct=4 repeats the first four messages' bytes, each on its topic
    assert read[4][2] == read[0][2] and read[5][2] == read[1][2] != read[0][2]
    assert peers.deserialize(read[0][2], IMU).header.frame_id == "imu_link"


# The chart of the performance page, drawn from the committed results.
RESULTS = bench.ROOT / "bench" / "results"


def test_chart_bars_are_the_timed_routes_fastest_first():
    from bench import chart

    document = json.loads((RESULTS / "recordings.json").read_text())
    groups = chart.recordings_bars(document)
    assert [g[0] for g in groups] == [bench.KIND_TITLES[k] for k in document["results"]]
    for (_, bars, count, _), routes in zip(groups, document["results"].values()):
        timed = {document["routes"][n]: r for n, r in routes.items() if "error" not in r}
        assert {b[0] for b in bars} == set(timed)
        assert [b[1] for b in bars] == sorted(timed[b[0]]["seconds"] * 1e3 for b in bars)
        for title, _, ours, complete in bars:
            assert ours == title.startswith("ours")
            assert complete == (not timed[title].get("missing"))
        assert count == timed[bars[0][0]]["rows"]


def test_chart_draws_every_panel(tmp_path):
    pytest.importorskip("matplotlib", reason="matplotlib (the bench extra) is not installed")
    from bench import chart

    out = tmp_path / "chart.svg"
    assert chart.main(["--results", str(RESULTS), "--out", str(out)]) == 0
    text = out.read_text()
    for title in ("MCAP file, zstd chunks", "decode_table against", "ours against rosbags"):
        assert title in text
