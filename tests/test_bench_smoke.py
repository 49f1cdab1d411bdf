"""Smoke test of the benchmark in bench/: its workloads, its checks and its runner.

No timing is asserted.  Peers (rosbags, mcap-ros2-support, pycdr2) are
optional: their cases are skipped when the package is not installed.
"""

import sys
from pathlib import Path

import pytest

import _korvex_messages as km

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from bench import run  # noqa: E402
from bench import workloads as wl  # noqa: E402
from bench.contenders import floors, mcap_peer, ours, pycdr2_peer, rosbags_peer  # noqa: E402

WORKLOADS = wl.build_all()
KEYS = [w.key for w in WORKLOADS]
BY_KEY = {w.key: w for w in WORKLOADS}


@pytest.fixture(scope="module", autouse=True)
def bench_schemas():
    """Drop again the bench schemas that this module registers."""
    names = {wl.qualified(s) for w in WORKLOADS for s in wl.dependencies(w.top) if s != wl.TIME_TYPE}
    already = {n for n in names if km.schema_exists(n)}
    yield
    for name in names - already:
        if km.schema_exists(name):
            km.unregister_schema(name)


@pytest.fixture(scope="module")
def our_contender():
    contender = ours.Ours()
    contender.load()
    return contender


# The shapes the benchmark promises, checked on the built messages.
SHAPES = [
    ("1", lambda m: m["header"]["frame_id"] == "base_link"
     and set(m["pose"]["orientation"]) == {"x", "y", "z", "w"}),
    ("2", lambda m: all(len(m[k]) == 9 for k in m if k.endswith("covariance"))
     and sum(k.endswith("covariance") for k in m) == 3),
    ("3", lambda m: len(m["points"]) == 10_000
     and all(set(p) == {"x", "y", "z", "intensity", "ring"} for p in m["points"])),
    ("4a", lambda m: len(m["values"]) == 100_000 and all(type(v) is float for v in m["values"])),
    ("4b", lambda m: type(m["data"]) is bytes and len(m["data"]) == 1 << 20),
    ("5", lambda m: len(m["names"]) == 1_000 and all(0 < len(s) < 32 for s in m["names"])),
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
    ("Point", {"x": 1.0, "y": 2.0, "z": 3.0}, 0,
     b"\x00\x01\x00\x00" + b"\x00" * 4 + b"".join(v.to_bytes(8, "little") for v in
                                                   (0x3FF0 << 48, 0x4000 << 48, 0x4008 << 48))),
    ("Point", {"x": 1.0, "y": 2.0, "z": 3.0}, 4,
     b"\x00\x01\x00\x00" + b"".join(v.to_bytes(8, "little") for v in
                                    (0x3FF0 << 48, 0x4000 << 48, 0x4008 << 48))),
    ("Names", {"names": ["hi", ""]}, 0,
     b"\x00\x01\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00hi\x00\x00\x01\x00\x00\x00\x00"),
    ("PointXYZIR", {"x": 0.0, "y": 0.0, "z": 0.0, "intensity": 1.0, "ring": 0x1234}, 4,
     b"\x00\x01\x00\x00" + b"\x00" * 12 + b"\x00\x00\x80\x3f\x34\x12"),
    ("Header", {"stamp": {"sec": -1, "nanosec": 5}, "frame_id": "a"}, 0,
     b"\x00\x01\x00\x00\xff\xff\xff\xff\x05\x00\x00\x00\x02\x00\x00\x00a\x00"),
]


@pytest.mark.parametrize("top, message, origin, expected", REFERENCE_CASES)
def test_reference_layout(top, message, origin, expected):
    assert wl.reference_encode(top, message, origin) == expected


PEERS = [
    ("rosbags", "rosbags", rosbags_peer.Rosbags),
    ("mcap_ros2", "mcap-ros2", mcap_peer.McapRos2),
    ("pycdr2", "pycdr2", pycdr2_peer.Pycdr2),
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
    assert prepared[1].notes, "the check records how the peer's bytes compare to ours"
    if not wl.uses_8_byte_values(workload.top):
        assert prepared[1].notes == ["bytes identical to ours"]


@pytest.mark.parametrize("key", KEYS)
def test_floors_round_trip(key, our_contender):
    workload = BY_KEY[key]
    prepared = our_contender.prepare(workload)
    for contender in floors.CONTENDERS:
        prepared += contender.prepare(workload)
    run.check(workload, prepared)
    labels = [p.label for p in prepared]
    assert {"marshal", "pickle"} <= set(labels)
    extra = {"4a": "array.array('f')", "4b": "one copy"}.get(key)
    if extra is not None:
        assert extra in labels


def test_check_catches_a_wrong_peer(our_contender):
    """A contender that decodes to another message fails the check."""
    workload = BY_KEY["1"]
    (good,) = our_contender.prepare(workload)
    other = dict(workload.message, header={"stamp": {"sec": 0, "nanosec": 0}, "frame_id": "x"})
    data = km.serialize(workload.schema, other)
    liar = run.Prepared("liar", km.serialize, (workload.schema, other),
                        km.deserialize, (workload.schema, data))
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
