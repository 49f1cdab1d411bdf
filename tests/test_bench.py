"""Smoke test of the benchmark in bench/: its workloads, its checks and its runner.

No timing is asserted.  Peers (rosbags, mcap-ros2-support, pycdr2, msgspec)
are optional: their cases are skipped when the package is not installed.
The floors it compares against are tested in tests/test_floors.py, the
examples it runs in tests/test_examples.py.
"""

import pytest

import _korvex_messages as km
from bench import run
from bench import workloads as wl
from bench.contenders import mcap_peer, msgspec_peer, pycdr2_peer, rosbags_peer
from tests.support.bench import BY_KEY, KEYS
from tests.support.checks import assert_same

# The benchmark's harness; the codec it drives is tested natively elsewhere.
pytestmark = [pytest.mark.usefixtures("bench_schemas"), pytest.mark.pure_python]


# The shapes the benchmark promises, checked on the built messages.
SHAPES = [
    (
        "1",
        lambda m: (
            m["header"]["frame_id"] == "base_link"
            and set(m["pose"]["orientation"]) == {"x", "y", "z", "w"}
        ),
    ),
    (
        "2",
        lambda m: (
            all(len(m[k]) == 9 for k in m if k.endswith("covariance"))
            and sum(k.endswith("covariance") for k in m) == 3
        ),
    ),
    (
        "3",
        lambda m: (
            len(m["points"]) == 10_000
            and all(set(p) == {"x", "y", "z", "intensity", "ring"} for p in m["points"])
        ),
    ),
    ("4a", lambda m: len(m["values"]) == 100_000 and all(type(v) is float for v in m["values"])),
    ("4b", lambda m: type(m["data"]) is bytes and len(m["data"]) == 1 << 20),
    ("5", lambda m: len(m["names"]) == 1_000 and all(0 < len(s) < 32 for s in m["names"])),
    (
        "6",
        lambda m: (
            len(m["transforms"]) == 50
            and all(
                set(t) == {"header", "child_frame_id", "transform"}
                and set(t["transform"]["rotation"]) == {"x", "y", "z", "w"}
                and type(t["transform"]["translation"]["x"]) is float
                for t in m["transforms"]
            )
            and len({t["child_frame_id"] for t in m["transforms"]}) == 50
        ),
    ),
    (
        "7",
        lambda m: (
            len(m["status"]) == 20
            and all(
                len(s["values"]) == 8
                and 0 <= s["level"] <= 255
                and all(set(kv) == {"key", "value"} for kv in s["values"])
                for s in m["status"]
            )
        ),
    ),
    (
        "8",
        lambda m: (
            len(m["ranges"]) == len(m["intensities"]) == 1_080
            and all(m["range_min"] <= r <= m["range_max"] for r in m["ranges"])
            and all(wl.f32(v) == v for v in m["ranges"] + m["intensities"] + [m["angle_increment"]])
        ),
    ),
    (
        "9",
        lambda m: (
            len(m["pose"]["covariance"]) == len(m["twist"]["covariance"]) == 36
            and set(m["twist"]["twist"]) == {"linear", "angular"}
            and set(m["pose"]["pose"]) == {"position", "orientation"}
        ),
    ),
]


@pytest.mark.parametrize("key, holds", SHAPES, ids=[k for k, _ in SHAPES])
def test_workload_shapes(key, holds):
    assert holds(BY_KEY[key].message)


@pytest.mark.parametrize("key", KEYS)
def test_ours_round_trips_every_workload(key, our_contender):
    workload = BY_KEY[key]
    (prepared,) = our_contender.prepare(workload)
    data = km.serialize(workload.schema, workload.message)
    assert data == wl.reference_encode(workload.top, workload.message, origin=0)
    assert km.deserialize(workload.schema, data) == workload.message
    # The timed calls are exactly these.
    assert prepared.encode(*prepared.encode_args) == data
    assert prepared.decode(*prepared.decode_args) == workload.message


# Hand-laid bytes for the reference encoder that the checks rely on: 8-byte
# values are padded from the first header byte (origin 0, as ours) or from
# the end of the header (origin 4, as the peers).
REFERENCE_CASES = [
    (
        "Point",
        {"x": 1.0, "y": 2.0, "z": 3.0},
        0,
        b"\x00\x01\x00\x00"
        + b"\x00" * 4
        + b"".join(v.to_bytes(8, "little") for v in (0x3FF0 << 48, 0x4000 << 48, 0x4008 << 48)),
    ),
    (
        "Point",
        {"x": 1.0, "y": 2.0, "z": 3.0},
        4,
        b"\x00\x01\x00\x00"
        + b"".join(v.to_bytes(8, "little") for v in (0x3FF0 << 48, 0x4000 << 48, 0x4008 << 48)),
    ),
    (
        "Names",
        {"names": ["hi", ""]},
        0,
        b"\x00\x01\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00hi\x00\x00\x01\x00\x00\x00\x00",
    ),
    (
        "PointXYZIR",
        {"x": 0.0, "y": 0.0, "z": 0.0, "intensity": 1.0, "ring": 0x1234},
        4,
        b"\x00\x01\x00\x00" + b"\x00" * 12 + b"\x00\x00\x80\x3f\x34\x12",
    ),
    (
        "Header",
        {"stamp": {"sec": -1, "nanosec": 5}, "frame_id": "a"},
        0,
        b"\x00\x01\x00\x00\xff\xff\xff\xff\x05\x00\x00\x00\x02\x00\x00\x00a\x00",
    ),
]


@pytest.mark.parametrize("top, message, origin, expected", REFERENCE_CASES)
def test_reference_layout(top, message, origin, expected):
    assert wl.reference_encode(top, message, origin) == expected


PEERS = [
    ("rosbags", "rosbags", rosbags_peer.Rosbags),
    ("mcap_ros2", "mcap-ros2", mcap_peer.McapRos2),
    ("pycdr2", "pycdr2", pycdr2_peer.Pycdr2),
    ("msgspec", "msgspec", msgspec_peer.Msgspec),
]


@pytest.fixture(scope="module", params=PEERS, ids=[p[1] for p in PEERS])
def peer(request):
    module, _, cls = request.param
    contender = cls()
    try:
        contender.load()
    except ImportError as error:
        pytest.skip(f"{module} is not installed ({error})")
    return contender


@pytest.mark.parametrize("key", KEYS)
def test_peer_matches_ours(key, peer, our_contender):
    """The peer decodes its own bytes to our message, in the expected layout."""
    workload = BY_KEY[key]
    prepared = our_contender.prepare(workload) + peer.prepare(workload)
    run.check(workload, prepared)
    if not prepared[1].produces_cdr:
        return  # msgspec: checked to decode to our message and to round-trip
    assert prepared[1].notes, "the check records how the peer's bytes compare to ours"
    if not wl.uses_8_byte_values(workload.top):
        assert prepared[1].notes == ["bytes identical to ours"]


def test_check_catches_a_wrong_peer(our_contender):
    """A contender that decodes to another message fails the check."""
    workload = BY_KEY["1"]
    (good,) = our_contender.prepare(workload)
    other = dict(workload.message, header={"stamp": {"sec": 0, "nanosec": 0}, "frame_id": "x"})
    data = km.serialize(workload.schema, other)
    liar = run.Prepared(
        "liar", km.serialize, (workload.schema, other), km.deserialize, (workload.schema, data)
    )
    with pytest.raises(run.CheckFailed, match="does not decode to the same message"):
        run.check(workload, [good, liar])


def test_quick_run_prints_a_table(capsys):
    status = run.main(["--quick", "--workloads", "1,4b", "--contenders", "marshal", "--no-memory"])
    out = capsys.readouterr().out
    assert status == 0
    assert "### Workload 1: stamped pose" in out
    assert "### Workload 4b" in out
    assert "| korvex |" in out and "| marshal |" in out
    assert "ours / marshal" in out


def test_quick_run_reports_ours_over_each_contender(capsys):
    status = run.main(["--quick", "--workloads", "9", "--contenders", "marshal", "--no-memory"])
    out = capsys.readouterr().out
    assert status == 0
    assert (
        "| contender | serialize | × ours | ours / it | deserialize | × ours | ours / it |" in out
    )
    (row,) = [line for line in out.splitlines() if line.startswith("| marshal |")]
    cells = [c.strip() for c in row.strip("|").split("|")]
    # contender / ours and ours / contender are paired medians of the same rounds.
    for times_ours, ours_over in (
        (float(cells[2]), float(cells[3])),
        (float(cells[5]), float(cells[6])),
    ):
        assert times_ours > 0 and ours_over > 0
        assert abs(times_ours * ours_over - 1) < 0.25, row


# ---------------------------------------------------------------------------
# msgspec: the same dicts as MessagePack


@pytest.fixture(scope="module")
def msgspec_contender():
    contender = msgspec_peer.Msgspec()
    try:
        contender.load()
    except ImportError as error:
        pytest.skip(f"msgspec is not installed ({error})")
    return contender


@pytest.mark.parametrize("key", KEYS)
def test_msgspec_round_trips_the_same_dict(key, msgspec_contender):
    workload = BY_KEY[key]
    (prepared,) = msgspec_contender.prepare(workload)
    # The timed calls take our very message and give it back unchanged.
    assert prepared.encode_args == (workload.message,)
    assert prepared.encode_args[0] is workload.message
    decoded = prepared.decode(prepared.encode(*prepared.encode_args))
    assert_same(decoded, workload.message)


def test_quick_run_reports_ours_over_msgspec(capsys, msgspec_contender):
    status = run.main(["--quick", "--workloads", "1,8", "--contenders", "msgspec", "--no-memory"])
    out = capsys.readouterr().out
    assert status == 0
    assert "### Ours against msgspec and the floor" in out
    rows = [line for line in out.splitlines() if line.startswith("| ours / msgspec ≤ 0.8 |")]
    assert [row.split("|")[2].strip() for row in rows] == ["1", "8"]


def test_quick_throughput_run(capsys):
    status = run.main(["--quick", "--throughput"])
    out = capsys.readouterr().out
    assert status == 0
    assert "### Throughput: decoding a record file on worker processes" in out
    rows = [
        line
        for line in out.splitlines()
        if line.startswith(
            ("| in this process |", "| 1 worker process |", "| 2 worker processes |")
        )
    ]
    assert len(rows) == 3
    assert "### Workload" not in out  # --throughput runs nothing else
