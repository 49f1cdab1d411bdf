"""Smoke test of the ROS 2 benchmark (bench/ros2.py): its workloads, its
checks against the peers and a quick run.  No timing is asserted.

rosbags and numpy give the benchmark its type definitions, so without them
the whole module skips; each other peer's cases skip when it is missing.
"""

import pytest

pytest.importorskip("korvex_messages.ros2._native", reason="the ROS 2 codec module is not built")
pytest.importorskip("numpy", reason="numpy is not installed")
pytest.importorskip("rosbags", reason="rosbags (the type definitions) is not installed")

from bench import ros2 as bench  # noqa: E402
from bench import ros2_contenders as rc  # noqa: E402
from bench import ros2_workloads as rw  # noqa: E402
from bench.contenders import Prepared  # noqa: E402
from bench.run import CheckFailed, make_timer  # noqa: E402

# The ROS 2 benchmark's harness; the codec it drives is tested natively elsewhere.
pytestmark = pytest.mark.pure_python

WORKLOADS = {w.key: w for w in rw.build_all()}

# The sizes the benchmark promises, read from the built messages.
SHAPES = [
    ("pose", lambda m: set(m["pose"]) == {"position", "orientation"}),
    ("imu", lambda m: all(len(m[k]) == 9 for k in m if k.endswith("covariance"))),
    ("tf", lambda m: len(m["transforms"]) == 50),
    ("scan", lambda m: len(m["ranges"]) == len(m["intensities"]) == 1080),
    (
        "cloud",
        lambda m: (
            len(m["data"]) == 640 * 480 * 16
            and m["point_step"] * m["width"] == m["row_step"]
            and [f["name"] for f in m["fields"]] == ["x", "y", "z", "intensity"]
        ),
    ),
    ("image", lambda m: len(m["data"]) == 921_600 and m["encoding"] == "rgb8"),
    ("diag", lambda m: len(m["status"]) == 20 and all(len(s["values"]) == 8 for s in m["status"])),
]


@pytest.mark.parametrize("key, holds", SHAPES, ids=[k for k, _ in SHAPES])
def test_workload_shapes(key, holds):
    assert holds(WORKLOADS[key].message)


@pytest.fixture(scope="module")
def ours():
    contender = rc.Ours()
    contender.load()
    return contender


@pytest.fixture(scope="module", params=rc.PEERS, ids=[p.name for p in rc.PEERS])
def peer(request):
    contender = request.param()
    try:
        contender.load()
    except ImportError as error:
        pytest.skip(f"{contender.name} is not installed ({error})")
    return contender


@pytest.mark.parametrize("key", list(WORKLOADS))
def test_peer_bytes_and_values_match_ours(key, ours, peer):
    """The check the timed run starts with: every CDR peer writes our bytes
    and every contender decodes to the message."""
    workload = WORKLOADS[key]
    prepared = ours.prepare(workload) + peer.prepare(workload)
    bench.check(workload, prepared)
    for p in prepared:
        if p.produces_cdr:
            assert p.calls.notes == ["bytes identical to ours"]


def _ours_with(workload, ours, **changes):
    """Our two rows, then a copy of our list row with some calls replaced."""
    prepared = ours.prepare(workload)
    base = prepared[0].calls
    fields = dict(
        label="impostor",
        encode=base.encode,
        encode_args=base.encode_args,
        decode=base.decode,
        decode_args=base.decode_args,
    )
    fields.update(changes)
    return prepared + [rc.Ros2Prepared(Prepared(**fields), "list", lambda value: value)]


@pytest.mark.parametrize(
    "change, error",
    [
        ("other bytes", "bytes differ from ours"),
        ("other decode input", "timed decoding other bytes"),
        ("other value", "does not decode to the message"),
    ],
)
def test_check_catches_a_wrong_contender(change, error, ours):
    from korvex_messages import ros2

    workload = WORKLOADS["scan"]
    other = dict(workload.message, header=dict(workload.message["header"], frame_id="other"))
    other_bytes = ros2.serialize(workload.type_name, other)
    changes = {
        "other bytes": {"encode_args": (workload.type_name, other)},
        "other decode input": {"decode_args": (workload.type_name, other_bytes)},
        "other value": {
            "decode": lambda name, data: ros2.deserialize(name, other_bytes),
        },
    }[change]
    with pytest.raises(CheckFailed, match=error):
        bench.check(workload, _ours_with(workload, ours, **changes))


def test_timer_spells_out_keyword_arguments():
    calls = []
    timer = make_timer(lambda *a, **k: calls.append((a, k)), (1, "x"), {"numpy": True})
    timer.timeit(2)
    assert calls == [((1, "x"), {"numpy": True})] * 2


def _result(key, ratios):
    """A Result with the given peer / ours ratios, the same for both operations:
    {label: (against ours list, against ours numpy)}."""
    labels = [rc.OURS_LIST, rc.OURS_NUMPY, *ratios]
    prepared = [
        rc.Ros2Prepared(Prepared(label, None, (), None, ()), "list", None) for label in labels
    ]
    table = {
        "list": {rc.OURS_LIST: 1.0, rc.OURS_NUMPY: 1.0},
        "numpy": {rc.OURS_LIST: 1.0, rc.OURS_NUMPY: 1.0},
    }
    for label, (in_list, in_numpy) in ratios.items():
        table["list"][label], table["numpy"][label] = in_list, in_numpy
    return bench.Result(
        WORKLOADS[key], 0, prepared, ratios={op: table for op in ("serialize", "deserialize")}
    )


# (workload, peer ratios, expected verdicts of the target rows in order)
TARGET_CASES = [
    # rosbags is read against our numpy mode: 12x in list mode does not save 9x in numpy mode.
    ("pose", {"rosbags": (12.0, 9.0)}, ["**no**"]),
    ("pose", {"rosbags": (9.0, 12.0)}, ["yes"]),
    # mcap-ros2-support returns lists: read against our list mode.
    ("pose", {"mcap-ros2": (10.5, 3.0)}, ["yes"]),
    # mcap-ros2-fast on an array-heavy workload: the numpy-input row for serialize and its
    # decoder against our numpy mode decide; the list-mode row is only reported.
    (
        "scan",
        {"mcap-ros2-fast": (0.1, 1.2), "mcap-ros2-fast (numpy in)": (0.5, 1.1)},
        ["yes", "reported"],
    ),
    (
        "scan",
        {"mcap-ros2-fast": (5.0, 0.9), "mcap-ros2-fast (numpy in)": (5.0, 5.0)},
        ["**no**", "reported"],
    ),
    ("tf", {"mcap-ros2-fast": (0.99, 50.0)}, ["**no**"]),
    # msgspec: ours / msgspec = 1 / ratio, serialize only.
    ("imu", {"msgspec": (1.3, 1.0)}, ["yes"]),
    ("imu", {"msgspec": (1.2, 9.0)}, ["**no**"]),
    ("scan", {"msgspec": (0.1, 0.1)}, []),  # no msgspec target on array-heavy workloads
]


@pytest.mark.parametrize("key, ratios, verdicts", TARGET_CASES)
def test_target_verdicts(key, ratios, verdicts):
    lines, all_met = bench.targets({key: _result(key, ratios)})
    rows = [line for line in lines if line.startswith("| ") and "target |" not in line]
    assert [row.rstrip(" |").rsplit("| ", 1)[1] for row in rows] == verdicts
    assert all_met == ("**no**" not in verdicts)


def test_quick_run_prints_tables_and_targets(capsys):
    status = bench.main(["--quick", "--workloads", "pose,image"])
    out = capsys.readouterr().out
    assert status == 0
    assert "### pose: PoseStamped" in out and "### image: Image" in out
    rows = [line for line in out.splitlines() if line.startswith("| ours (")]
    assert len(rows) == 4  # two modes, two workloads
    targets = out.split("### Targets", 1)[1]
    for label in ("rosbags", "mcap-ros2", "mcap-ros2-fast", "msgspec"):
        if f"Left out: {label}:" not in out:
            assert label in targets
