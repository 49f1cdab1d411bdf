"""Smoke test of the benchmark in bench/: its workloads, its checks and its runner.

No timing is asserted.  Peers (rosbags, mcap-ros2-support, pycdr2, msgspec)
are optional: their cases are skipped when the package is not installed, and
so are the codec floors when the test-only module is not built.
"""

import multiprocessing
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

import _korvex_messages as km
from bench import run
from bench import workloads as wl
from bench.contenders import (
    codec_floor,
    floors,
    mcap_peer,
    msgspec_peer,
    ours,
    pycdr2_peer,
    rosbags_peer,
)
from tests.support.checks import assert_same
from tests.support.runtime import child_environment

ROOT = Path(__file__).resolve().parent.parent

WORKLOADS = wl.build_all()
KEYS = [w.key for w in WORKLOADS]
BY_KEY = {w.key: w for w in WORKLOADS}


@pytest.fixture(scope="module", autouse=True)
def bench_schemas():
    """Drop again the bench schemas that this module registers (the codec
    floors register them in the test-only module too)."""
    names = {
        wl.qualified(s) for w in WORKLOADS for s in wl.dependencies(w.top) if s != wl.TIME_TYPE
    }
    # The test-only module counts only once something has imported it.
    modules = ("_korvex_messages", "_korvex_messages_testing")
    already = {
        m: {n for n in names if sys.modules[m].schema_exists(n)}
        for m in modules
        if m in sys.modules
    }
    yield
    for m in modules:
        if m in sys.modules:
            module = sys.modules[m]
            for name in names - already.get(m, set()):
                if module.schema_exists(name):
                    module.unregister_schema(name)


@pytest.fixture(scope="module")
def our_contender():
    contender = ours.Ours()
    contender.load()
    return contender


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


# ---------------------------------------------------------------------------
# The codec floors of the test-only module


@pytest.fixture(scope="module")
def floor_contender(kt):
    contender = codec_floor.CodecFloor()
    contender.load()
    return contender


@pytest.mark.parametrize("key", KEYS)
def test_floors_run_and_build_what_deserialize_returns(key, kt, floor_contender, our_contender):
    workload = BY_KEY[key]
    prepared = our_contender.prepare(workload) + floor_contender.prepare(workload)
    run.check(workload, prepared)
    floor = prepared[1]
    assert floor.encode is kt.serialize_floor and floor.decode is kt.deserialize_floor
    assert floor.encode(*floor.encode_args) is None
    expected = km.deserialize(workload.schema, km.serialize(workload.schema, workload.message))
    # The floor builds new objects: none is the template's own.
    built = floor.decode(*floor.decode_args)
    assert_same(built, expected, fresh=True)
    # Every call builds anew, from the same template.
    again = floor.decode(*floor.decode_args)
    assert_same(again, expected, fresh=True)
    if isinstance(expected, dict) and expected:
        assert again is not built


def test_floor_template_rounds_float32_as_deserialize_does(kt, unique_name):
    name = unique_name("floor_f32")
    fields = [
        ("a", "float32"),
        ("b", "array<float32>"),
        ("t", "time"),
        ("n", "uint64"),
        ("s", "string"),
        ("flag", "bool"),
        ("d", "duration"),
        ("m", "array<array<int8>>"),
        ("texts", "array<string>"),
    ]
    km.register_schema(name, fields)
    kt.register_schema(name, fields)
    message = {
        "a": 0.1,
        "b": [0.2, 1e39, 3],
        "t": {"sec": -5, "nanosec": 7},
        "n": 2**64 - 1,
        "s": "ü€😀",
        "flag": True,
        "d": {"sec": 2**31 - 1, "nanosec": 2**32 - 1},
        "m": [[-128, 127], []],
        # every character width, and the empty string
        "texts": ["ascii", "café", "€uro", "😀", "", "a\x00b"],
    }
    built = kt.deserialize_floor(name, kt.floor_template(name, message))
    assert_same(built, km.deserialize(name, km.serialize(name, message)), fresh=True)


def _floor_schema(kt, unique_name):
    inner = unique_name("floor_inner")
    kt.register_schema(inner, [("x", "float64"), ("stamp", "time")])
    outer = unique_name("floor_outer")
    kt.register_schema(
        outer,
        [("i", "int32"), ("s", "string"), ("b", "bytes"), ("items", "array<struct:" + inner + ">")],
    )
    return outer


GOOD = {"i": 1, "s": "a", "b": b"", "items": [{"x": 1.5, "stamp": {"sec": 1, "nanosec": 2}}]}


def _with(**changes):
    return dict(GOOD, **changes)


def _item(**changes):
    return _with(items=[dict(GOOD["items"][0], **changes)])


# serialize_floor reads every value, so a value it cannot read fails; the
# template, which checks values, refuses the same ones.  (message, error of
# serialize_floor, error of floor_template)
FLOOR_READ_FAILURES = [
    ("int as str", _with(i="1"), TypeError, TypeError),
    ("string as int", _with(s=1), TypeError, TypeError),
    ("bytes as str", _with(b="x"), TypeError, TypeError),
    ("array as tuple", _with(items=tuple(GOOD["items"])), TypeError, TypeError),
    ("struct as list", _with(items=[[]]), SystemError, TypeError),
    ("float as str", _item(x="1"), TypeError, TypeError),
    ("sec as float", _item(stamp={"sec": 1.0, "nanosec": 2}), TypeError, TypeError),
    ("missing field", {k: v for k, v in GOOD.items() if k != "s"}, KeyError, KeyError),
    (
        "missing nested field",
        _with(items=[{"stamp": {"sec": 1, "nanosec": 2}}]),
        KeyError,
        KeyError,
    ),
    ("missing nanosec", _item(stamp={"sec": 1}), KeyError, KeyError),
]


@pytest.mark.parametrize(
    "values, walk_error, template_error",
    [c[1:] for c in FLOOR_READ_FAILURES],
    ids=[c[0] for c in FLOOR_READ_FAILURES],
)
def test_serialize_floor_reads_every_value(kt, unique_name, values, walk_error, template_error):
    outer = _floor_schema(kt, unique_name)
    assert kt.serialize_floor(outer, GOOD) is None
    with pytest.raises(walk_error):
        kt.serialize_floor(outer, values)
    with pytest.raises(template_error):
        kt.floor_template(outer, values)


def test_floor_template_is_refused_after_registry_changes(kt, unique_name):
    outer = _floor_schema(kt, unique_name)
    template = kt.floor_template(outer, GOOD)
    assert kt.deserialize_floor(outer, template) == GOOD
    other = unique_name("floor_other")
    kt.register_schema(other, [])
    with pytest.raises(ValueError, match="stale"):
        kt.deserialize_floor(outer, template)
    fresh = kt.floor_template(outer, GOOD)
    with pytest.raises(ValueError, match="stale"):
        kt.deserialize_floor(other, fresh)  # made for another schema
    import datetime

    for not_a_template in (object(), datetime.datetime_CAPI):  # the latter: another capsule
        with pytest.raises(TypeError, match="template"):
            kt.deserialize_floor(outer, not_a_template)
    with pytest.raises(KeyError):
        kt.deserialize_floor(unique_name("floor_unknown"), fresh)
    assert kt.deserialize_floor(outer, fresh) == GOOD


FLOOR_ARGUMENT_ERRORS = [
    (
        "serialize_floor",
        ("S",),
        {},
        "serialize_floor() missing 1 required positional argument: 'values'",
    ),
    (
        "serialize_floor",
        ("S", []),
        {},
        "argument 'values': 'list' object is not an instance of 'dict'",
    ),
    (
        "serialize_floor",
        (None, {}),
        {},
        "argument 'schema_name': 'None' is not an instance of 'str'",
    ),
    (
        "floor_template",
        ("S", {}),
        {"message": {}},
        "floor_template() got multiple values for argument 'message'",
    ),
    (
        "deserialize_floor",
        (),
        {},
        "deserialize_floor() missing 2 required positional arguments: 'schema_name' and 'template'",
    ),
]


@pytest.mark.parametrize("function, args, kwargs, text", FLOOR_ARGUMENT_ERRORS)
def test_floors_take_arguments_like_the_real_functions(kt, function, args, kwargs, text):
    with pytest.raises(TypeError) as raised:
        getattr(kt, function)(*args, **kwargs)
    assert raised.value.args == (text,)


def test_floors_accept_keywords_like_the_real_functions(kt, unique_name):
    outer = _floor_schema(kt, unique_name)
    assert kt.serialize_floor(schema_name=outer, values=GOOD) is None
    template = kt.floor_template(outer, message=GOOD)
    assert kt.deserialize_floor(template=template, schema_name=outer) == GOOD


# ---------------------------------------------------------------------------
# Decoding on worker processes: examples/parallel_decode.py and --throughput

EXAMPLES = ROOT / "examples"


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
