"""korvex_messages.ros2.open_recording on recordings the peers write: MCAP
files by mcap's writer, rosbag2 bags by rosbags' Writer, every storage and
compression; rows compared with rosbags' reading of the same files.  File
handling in Python, so pure_python (the native scanner has its own tests)."""

import datetime
import shutil
import struct
import warnings

import pytest

from tests.support import recordings as rec
from tests.support import ros2 as peers

ros2 = pytest.importorskip("korvex_messages.ros2")
pytest.importorskip("rosbags.rosbag2")
pytest.importorskip("mcap.writer")

pytestmark = pytest.mark.pure_python

ROWS = rec.sample_messages()


@pytest.fixture
def topic_types_unregistered():
    """The topics' types out of the process-wide registry for the test (other
    test modules register the Humble types), registered again after it: a
    recording falls back on registered types, which would hide a missing one."""
    removed = []
    for kind in rec.TYPES.values():
        if ros2.is_registered(kind):
            removed += ros2.unregister(kind, dependants=True)
    yield
    for name in removed:
        if not ros2.is_registered(name):
            ros2.register_msg(name, peers.msgdef_text(name))


def ours(recording, **window):
    return [(topic, t, message) for topic, t, message in recording.messages(**window)]


def same_rows(got, want):
    assert len(got) == len(want)
    for (topic, t, message), (want_topic, want_t, want_message) in zip(got, want):
        assert (topic, t) == (want_topic, want_t)
        assert peers.same(message, want_message), (topic, t)


def check_against(recording, want):
    got = ours(recording)
    times = [t for _, t, _ in got]
    assert times == sorted(times)
    same_rows(rec.in_time_order(got), rec.in_time_order(want))
    infos = {info.name: info for info in recording.topics}
    assert set(infos) == {topic for topic, _, _ in want}
    for name, info in infos.items():
        mine = [t for topic, t, _ in want if topic == name]
        assert (info.type, info.message_count, info.start, info.end) == (
            rec.TYPES[name],
            len(mine),
            min(mine),
            max(mine),
        )
        assert info.serialization_format == "cdr"


MCAP_CASES = [
    pytest.param(dict(compression="none"), id="chunks-none"),
    pytest.param(dict(compression="zstd"), id="chunks-zstd", marks=pytest.mark.extra("zstandard")),
    pytest.param(dict(compression="lz4"), id="chunks-lz4", marks=pytest.mark.extra("lz4")),
    pytest.param(
        dict(compression="zstd", summary=False),
        id="zstd-no-summary",
        marks=pytest.mark.extra("zstandard"),
    ),
    pytest.param(
        dict(compression="lz4", summary=False), id="lz4-no-summary", marks=pytest.mark.extra("lz4")
    ),  # fmt: skip
    pytest.param(dict(compression="none", summary="indexes only"), id="summary-without-channels"),
    pytest.param(dict(chunked=False), id="no-chunks"),
    pytest.param(dict(chunked=False, summary=False), id="no-chunks-no-summary"),
    pytest.param(dict(compression="none", chunk_size=10**6), id="one-chunk"),
]


@pytest.mark.parametrize("options", MCAP_CASES)
def test_mcap_files_read_as_mcap_reads_them(tmp_path, options):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, **options)
    # mcap's reader reads the same rows from a file with every index (it
    # cannot read one whose summary lacks the channels).
    want = rec.mcap_rows(rec.write_mcap(tmp_path / "indexed.mcap", ROWS, compression="none"))
    with ros2.open_recording(path) as recording:
        assert recording.storage == "mcap"
        check_against(recording, want)


BAG_CASES = [
    pytest.param("sqlite3", "none", id="sqlite3"),
    pytest.param("sqlite3", "file", id="sqlite3-file-zstd", marks=pytest.mark.extra("zstandard")),
    pytest.param(
        "sqlite3", "message", id="sqlite3-message-zstd", marks=pytest.mark.extra("zstandard")
    ),  # fmt: skip
    pytest.param("mcap", "none", id="mcap"),
    pytest.param("mcap", "file", id="mcap-file-zstd", marks=pytest.mark.extra("zstandard")),
    pytest.param("mcap", "message", id="mcap-message-zstd", marks=pytest.mark.extra("zstandard")),
]


@pytest.mark.extra("yaml")
@pytest.mark.parametrize("storage,compression", BAG_CASES)
@pytest.mark.parametrize("version", [8, 9])
def test_bags_read_as_rosbags_reads_them(tmp_path, storage, compression, version):
    bag = rec.write_bag(tmp_path / "bag", ROWS, storage, compression, version)
    with ros2.open_recording(bag) as recording:
        assert recording.storage == storage
        check_against(recording, rec.rosbags_rows(bag))


@pytest.mark.extra("yaml")
@pytest.mark.parametrize("version", [4, 5, 6, 7])
def test_older_metadata_versions(tmp_path, version):
    bag = rec.write_bag(tmp_path / "bag", ROWS, "sqlite3", "none", 8)
    want = rec.rosbags_rows(bag)
    rec.downgrade(bag, version)
    with ros2.open_recording(bag) as recording:
        check_against(recording, want)


@pytest.mark.parametrize("summed", [0, 10], ids=["grouped", "summed"])
def test_db3_topics_are_counted_either_way(tmp_path, monkeypatch, summed):
    """A few topics are counted in one pass of sums, many by GROUP BY; a
    topic without messages is listed with none either way."""
    import sqlite3

    from korvex_messages.ros2 import _rosbag2

    monkeypatch.setattr(_rosbag2, "_SUMMED_TOPICS", summed)
    db3 = rec.db3_of(rec.write_bag(tmp_path / "bag", ROWS))
    want = rec.rosbags_rows(db3.parent)
    with sqlite3.connect(db3) as db:
        db.execute(
            "INSERT INTO topics (id, name, type, serialization_format, offered_qos_profiles,"
            " type_description_hash) VALUES (99, '/quiet', 'std_msgs/msg/Empty', 'cdr', '', '')"
        )
    db.close()
    with ros2.open_recording(db3, types={"std_msgs/msg/Empty": ""}) as recording:
        infos = {info.name: info for info in recording.topics}
        assert infos.pop("/quiet").message_count == 0
        for name, info in infos.items():
            mine = [t for topic, t, _ in want if topic == name]
            assert (info.message_count, info.start, info.end) == (len(mine), min(mine), max(mine))


@pytest.mark.parametrize("kind", ["mcap", "sqlite3"])
def test_messages_in_numpy_mode(tmp_path, kind):
    if kind == "mcap":
        path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
    else:
        path = rec.db3_of(rec.write_bag(tmp_path / "bag", ROWS))
    store = peers.typestore()
    want = {}
    for topic, kind_name, t, _, data in ROWS:
        want.setdefault((topic, t), []).append(
            peers.as_dict(store.deserialize_cdr(data, kind_name), numpy=True)
        )
    with ros2.open_recording(path) as recording:
        got = list(recording.messages(numpy=True))
    assert len(got) == len(ROWS)
    for topic, t, message in got:
        assert any(peers.same(message, m) for m in want[(topic, t)]), (topic, t)


@pytest.mark.extra("yaml")
@pytest.mark.parametrize("storage", ["sqlite3", "mcap"])
def test_split_bags_read_across_their_files(tmp_path, storage):
    first = rec.sample_messages(30, seed=1, ordered=True)
    second = [(a, b, t + 10**12, d, e) for a, b, t, d, e in rec.sample_messages(31, seed=2)]
    bag = rec.write_bag(tmp_path / "bag", first, storage)
    rec.split_bag(bag, rec.write_bag(tmp_path / "other", second, storage))
    with ros2.open_recording(bag) as recording:
        check_against(recording, rec.rosbags_rows(bag))


def test_single_db3_file(tmp_path):
    bag = rec.write_bag(tmp_path / "bag", ROWS)
    (db3,) = bag.glob("*.db3")
    want = rec.rosbags_rows(bag)
    with ros2.open_recording(db3) as recording:
        assert recording.storage == "sqlite3"
        check_against(recording, want)


NS = 1_700_000_000_000_000_000


@pytest.mark.parametrize(
    "window",
    [
        dict(topics=["/imu"]),
        dict(topics="/pose", start=NS + 5_000_000),
        dict(start=NS + 3_000_000, end=NS + 9_000_000),
        dict(end=NS),  # the end is excluded
        dict(start=NS + 10**15),
        dict(start=-5, end=2**70),  # beyond what either storage holds
        dict(end=-1),
        dict(
            start=datetime.datetime.fromtimestamp(1_700_000_000.004, datetime.timezone.utc),
            end=datetime.datetime(
                2023,
                11,
                14,
                23,
                13,
                20,
                12_000,
                tzinfo=datetime.timezone(datetime.timedelta(hours=1)),
            ),
        ),  # fmt: skip
    ],
)
@pytest.mark.parametrize("kind", ["mcap", "sqlite3"])
def test_windows_and_topics(tmp_path, window, kind):
    if kind == "mcap":
        path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
        want = rec.mcap_rows(path)
    else:
        bag = rec.write_bag(tmp_path / "bag", ROWS)
        path, want = rec.db3_of(bag), rec.rosbags_rows(bag)
    low, high = window.get("start"), window.get("end")
    low, high = (v if not isinstance(v, datetime.datetime) else
                 round(v.timestamp() * 10**6) * 1000 for v in (low, high))  # fmt: skip
    topics = window.get("topics")
    topics = [topics] if isinstance(topics, str) else topics
    want = [
        row
        for row in want
        if (low is None or row[1] >= low)
        and (high is None or row[1] < high)
        and (topics is None or row[0] in topics)
    ]
    with ros2.open_recording(path) as recording:
        same_rows(rec.in_time_order(ours(recording, **window)), rec.in_time_order(want))


@pytest.mark.parametrize("value,error", [(datetime.datetime(2024, 1, 1), ValueError),
                                         (1.5, TypeError), (True, TypeError)])  # fmt: skip
def test_window_bounds_are_checked(tmp_path, value, error):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
    with ros2.open_recording(path) as recording, pytest.raises(error):
        next(recording.messages(start=value))


@pytest.mark.parametrize("max_bytes", [1, 700, 10**9])
@pytest.mark.parametrize("kind", ["mcap", "sqlite3"])
def test_topic_batches_are_one_buffer_with_offsets(tmp_path, max_bytes, kind):
    if kind == "mcap":
        path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none", chunk_size=600)
    else:
        path = rec.db3_of(rec.write_bag(tmp_path / "bag", ROWS))
    want = sorted(
        ((t, data) for topic, _, t, _, data in ROWS if topic == "/imu"), key=lambda r: r[0]
    )
    with ros2.open_recording(path) as recording:
        got = []
        for batch in recording._topic_batches("/imu", max_bytes=max_bytes):
            for piece in batch.pieces():  # as decode_table takes them, then joined
                assert piece.offsets[0] == 0 and piece.offsets[-1] == len(piece.payload)
            count, first = len(batch), batch.first_log_time()
            buffer, offsets, times = batch.payload, batch.offsets, batch.log_times
            assert (count, first) == (len(times), times[0])
            assert memoryview(offsets).format == memoryview(times).format == "q"
            assert len(offsets) == len(times) + 1 and offsets[0] == 0
            assert offsets[-1] == len(buffer)
            if max_bytes == 1:
                assert len(times) == 1
            got.extend(
                (times[i], bytes(buffer[offsets[i] : offsets[i + 1]])) for i in range(len(times))
            )
        assert got == want


# -- definitions ------------------------------------------------------------


def definitions_folder(root, kinds):
    for kind in kinds:
        for name in peers.rosbags_closure(peers.typestore(), kind):
            package, _, short = name.split("/")
            folder = root / package / "msg"
            folder.mkdir(parents=True, exist_ok=True)
            (folder / f"{short}.msg").write_text(rec.first_section(rec.msg_text(name)))
    return root


@pytest.mark.extra("yaml")
@pytest.mark.usefixtures("topic_types_unregistered")
def test_humble_bag_names_every_missing_type_before_reading(tmp_path):
    bag = rec.make_humble(rec.write_bag(tmp_path / "bag", ROWS))
    with pytest.raises(ros2.MissingDefinitionsError) as caught:
        ros2.open_recording(bag)
    text = str(caught.value)
    for topic, kind in rec.TYPES.items():
        assert kind in text and topic in text
    assert "types=" in text
    want = rec.rosbags_rows(bag)
    # Supplied as a mapping of concatenated texts, or as a folder of .msg files.
    given = {kind: rec.msg_text(kind) for kind in rec.TYPES.values()}
    for types in (given, definitions_folder(tmp_path / "share", rec.TYPES.values())):
        with ros2.open_recording(bag, types=types) as recording:
            check_against(recording, want)


@pytest.mark.usefixtures("topic_types_unregistered")
def test_empty_schema_counts_as_missing_unless_given(tmp_path):
    path = rec.write_mcap(
        tmp_path / "run.mcap", ROWS, compression="none",
        schema_text=lambda kind: "" if kind == "sensor_msgs/msg/Imu" else rec.msg_text(kind),
    )  # fmt: skip
    with pytest.raises(
        ros2.MissingDefinitionsError, match="sensor_msgs/msg/Imu .topics /imu."
    ) as e:
        ros2.open_recording(path)
    assert "PoseStamped" not in str(e.value)
    types = {"sensor_msgs/Imu": rec.msg_text("sensor_msgs/msg/Imu")}
    with ros2.open_recording(path, types=types) as recording:
        check_against(recording, rec.mcap_rows(path))


@pytest.mark.usefixtures("topic_types_unregistered")
def test_ros2idl_schema_is_refused_naming_its_type(tmp_path):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
    data = path.read_bytes()
    # The same length, so that every offset stays true.
    data = data.replace(b"\x07\x00\x00\x00ros2msg", b"\x07\x00\x00\x00ros2idl")
    path.write_bytes(data)
    with pytest.raises(ros2.MissingDefinitionsError, match="ros2idl"):
        ros2.open_recording(path)


def test_two_recordings_defining_one_name_differently(tmp_path):
    topics = {"/a": "demo_recording_msgs/msg/Sample"}
    registered = ros2.registered()

    def write(name, text, values):
        path = tmp_path / name
        row = [("/a", topics["/a"], 5, values, None)]
        ros2.register_msg(topics["/a"], text)
        try:
            row = [("/a", topics["/a"], 5, values, ros2.serialize(topics["/a"], values))]
        finally:
            ros2.unregister(topics["/a"])
        return rec.write_mcap(path, row, compression="none", schema_text=lambda _: text)

    one = write("one.mcap", "int32 x", {"x": -7})
    two = write("two.mcap", "string x\nfloat64 y", {"x": "text", "y": 0.5})
    with ros2.open_recording(one) as first, ros2.open_recording(two) as second:
        assert [m for _, _, m in first.messages()] == [{"x": -7}]
        assert [m for _, _, m in second.messages()] == [{"x": "text", "y": 0.5}]
        assert first.codec_type("/a") != second.codec_type("/a")
        assert ros2.registered() == registered
        private = first.codec_type("/a")
        assert ros2._native.type_exists(private)
    assert not ros2._native.type_exists(private)
    assert ros2.registered() == registered
    with pytest.raises(ValueError, match="closed"):
        next(first.messages())


def test_types_registered_in_the_process_fill_in(tmp_path):
    kind = "sensor_msgs/msg/Imu"
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none",
                          schema_text=lambda k: "" if k == kind else rec.msg_text(k))  # fmt: skip
    fresh = ros2.register_msg(kind, rec.msg_text(kind))
    try:
        with ros2.open_recording(path) as recording:
            check_against(recording, rec.mcap_rows(path))
    finally:
        for name in reversed(fresh):
            ros2.unregister(name, dependants=True) if ros2.is_registered(name) else None


# -- damaged files ----------------------------------------------------------


def chunk_offsets(path):
    from mcap.reader import make_reader

    with open(path, "rb") as stream:
        return [c.chunk_start_offset for c in make_reader(stream).get_summary().chunk_indexes]


@pytest.mark.parametrize(
    "compression", ["none", pytest.param("zstd", marks=pytest.mark.extra("zstandard"))]
)
def test_cut_short_gives_complete_chunks_with_a_warning(tmp_path, compression):
    ordered = rec.sample_messages(60, ordered=True)
    path = rec.write_mcap(tmp_path / "run.mcap", ordered, compression=compression, chunk_size=800)
    offsets = chunk_offsets(path)
    want = rec.mcap_rows(path)
    data = path.read_bytes()
    for cut in (offsets[2] + 20, offsets[-1] + 5, len(data) - 30):
        path.write_bytes(data[:cut])
        with pytest.warns(ros2.RecordingCutShort, match="stopped at byte") as caught:
            recording = ros2.open_recording(path)
        with recording:
            got = ours(recording)
        assert "complete chunk" in str(caught[0].message)
        assert 0 < len(got) < len(want) or cut == len(data) - 30
        # Each topic's messages are the first ones of that topic.
        for topic in rec.TYPES:
            mine = [row for row in got if row[0] == topic]
            same_rows(mine, [row for row in want if row[0] == topic][: len(mine)])


@pytest.mark.parametrize(
    "compression",
    ["none", pytest.param("zstd", marks=pytest.mark.extra("zstandard"))],
)
def test_crc_mismatch_names_the_chunk(tmp_path, compression):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression=compression, chunk_size=800)
    offsets = chunk_offsets(path)
    assert len(offsets) > 3  # compressed chunks are read ahead: the error still names its own
    offset = offsets[2]
    data = bytearray(path.read_bytes())
    if compression == "none":
        data[offset + 9 + 8 + 8 + 8 + 4 + 4 + 8 + 40] ^= 0xFF  # inside its records
    else:
        data[offset + 9 + 8 + 8 + 8] ^= 0xFF  # the CRC it stores
    path.write_bytes(bytes(data))
    with (
        ros2.open_recording(path) as recording,
        pytest.raises(ros2.RecordingError, match=f"chunk at byte {offset}: CRC mismatch"),
    ):
        list(recording.messages())


@pytest.mark.extra("yaml")
@pytest.mark.parametrize(
    "damage,match",
    [
        ("remove second file", r"lists split_1_other\.db3, which is not in"),
        ("count", r"metadata\.yaml: topic /imu has 999 messages"),
        ("type", r"metadata\.yaml: topic /imu is of type std_msgs/msg/String"),
        ("version", r"metadata\.yaml: version 3"),
        ("files", r"metadata\.yaml: 'files' names"),
        ("no yaml", r"not a rosbag2 directory"),
    ],
)
def test_damaged_bags_name_what_is_wrong(tmp_path, damage, match):
    bag = rec.write_bag(tmp_path / "bag", rec.sample_messages(20, seed=1))
    other = rec.write_bag(tmp_path / "other", rec.sample_messages(20, seed=2))
    rec.split_bag(bag, other)
    if damage == "remove second file":
        (bag / "split_1_other.db3").unlink()
    elif damage == "no yaml":
        (bag / "metadata.yaml").unlink()
    else:

        def change(info):
            entry = next(
                t
                for t in info["topics_with_message_count"]
                if t["topic_metadata"]["name"] == "/imu"
            )
            if damage == "count":
                entry["message_count"] = 999
            elif damage == "type":
                entry["topic_metadata"]["type"] = "std_msgs/msg/String"
            elif damage == "version":
                info["version"] = 3
            else:
                info["files"].pop()

        rec.edit_metadata(bag, change)
    with pytest.raises((ros2.RecordingError, FileNotFoundError), match=match):
        ros2.open_recording(bag)


@pytest.mark.parametrize(
    "content,match",
    [
        (b"", "neither an MCAP file"),
        (b"\x89MCAP0\r\n", None),
        (b"SQLite format 3\x00" + b"\x00" * 100, "not a rosbag2 sqlite3 file"),
        (b"\x89MCAP0\r\n\x06" + struct.pack("<Q", 2**62), "stopped at byte 8"),
    ],
)
def test_not_recordings(tmp_path, content, match):
    path = tmp_path / "file"
    path.write_bytes(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with ros2.open_recording(path) as recording:
                assert recording.topics == []
            error = None
        except ros2.RecordingError as raised:
            error = str(raised)
    if match is None:
        assert error is None and not caught
    else:
        assert match in (error or str(caught[0].message))


# -- the command line -------------------------------------------------------


def test_info_on_the_command_line(tmp_path, run_python):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
    done = run_python("import runpy; runpy.run_module('korvex_messages.ros2', run_name='__main__')",
                      "info", str(path))  # fmt: skip
    assert done.returncode == 0, done.stderr
    for line in ("storage:     mcap", "compression: chunks: none", f"messages:    {len(ROWS)}"):
        assert line in done.stdout
    counts = {topic: sum(1 for row in ROWS if row[0] == topic) for topic in rec.TYPES}
    for topic, kind in rec.TYPES.items():
        assert any(
            line.split()[:3] == [topic, kind, str(counts[topic])]
            for line in done.stdout.splitlines()
        )


@pytest.mark.extra("yaml")
def test_info_needs_no_definitions(tmp_path, run_python):
    bag = rec.make_humble(rec.write_bag(tmp_path / "bag", ROWS))
    done = run_python("import runpy; runpy.run_module('korvex_messages.ros2', run_name='__main__')",
                      "info", str(bag))  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert "storage:     sqlite3" in done.stdout and "sensor_msgs/msg/Imu" in done.stdout
    with (
        ros2.Recording(bag, inventory_only=True) as recording,
        pytest.raises(ValueError, match="inventory only"),
    ):
        next(recording.messages())


@pytest.mark.parametrize("what", ["missing", "damaged"])
def test_user_errors_are_one_line(tmp_path, run_python, what):
    path = tmp_path / "missing.mcap"
    if what == "damaged":
        path = tmp_path / "cut.db3"
        path.write_bytes(b"SQLite format 3\x00" + b"\x01" * 300)
    done = run_python("import runpy; runpy.run_module('korvex_messages.ros2', run_name='__main__')",
                      "info", str(path))  # fmt: skip
    assert done.returncode == 1
    assert "Traceback" not in done.stderr and done.stdout == ""
    assert len(done.stderr.strip().splitlines()) == 1
    assert done.stderr.startswith("korvex-ros2: error: ")
    assert ("no such file" if what == "missing" else "not a rosbag2 sqlite3 file") in done.stderr
    shutil.rmtree(tmp_path)


@pytest.mark.extra("zstandard")
def test_example_runs(tmp_path, run_python):
    import pathlib

    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "ros2_recording.py"
    done = run_python(example.read_text(), "--keep", str(tmp_path), timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "poses.mcap: /pose turtlesim/msg/Pose2D x50, 4.9 s" in done.stdout
    assert "second 1 to 2: 10 poses, first x=1.0" in done.stdout
    assert "without definitions: turtlesim/msg/Pose2D (topics /pose)" in done.stdout
    assert "last pose theta=0.49" in done.stdout
    assert "registry unchanged: True" in done.stdout


@pytest.mark.parametrize(
    "compression",
    [
        pytest.param("zstd", marks=pytest.mark.extra("zstandard")),
        pytest.param("lz4", marks=pytest.mark.extra("lz4")),
    ],
)
@pytest.mark.parametrize("claim", [-1, +1, 2**62])
def test_chunk_size_claims_are_checked_against_the_data(tmp_path, compression, claim):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression=compression, chunk_size=800)
    offset = chunk_offsets(path)[0]
    data = bytearray(path.read_bytes())
    at = offset + 9 + 16  # the chunk's uncompressed size
    real = struct.unpack_from("<Q", data, at)[0]
    claimed = real + claim if claim in (-1, 1) else claim
    struct.pack_into("<Q", data, at, claimed)
    path.write_bytes(bytes(data))
    if claim == -1:
        match = f"chunk at byte {offset}: decompressed to more than {real - 1} bytes"
    else:
        match = f"chunk at byte {offset}: decompressed to {real} bytes, its header says {claimed}"
    with ros2.open_recording(path) as recording, pytest.raises(ros2.RecordingError, match=match):
        list(recording.messages())


@pytest.mark.parametrize(
    "types,error,match",
    [
        (5, TypeError, "a mapping of type name to .msg text, or a folder"),
        ({"sensor_msgs/msg/Imu": b"bytes"}, TypeError, "mapping of type name .str."),
        ({"not a name": "int32 x"}, ros2.MsgDefinitionError, "not a name"),
        ("/no/such/folder", FileNotFoundError, "is not a folder"),
    ],
)
def test_types_argument_is_checked(tmp_path, types, error, match):
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
    with pytest.raises(error, match=match):
        ros2.open_recording(path, types=types)


def test_a_recording_dropped_unclosed_releases_its_types(tmp_path):
    import gc

    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
    recording = ros2.open_recording(path)
    private = recording.codec_type("/imu")
    assert ros2._native.type_exists(private)
    del recording
    gc.collect()
    assert not ros2._native.type_exists(private)


def test_a_nested_section_using_an_undefined_type_is_missing(tmp_path):
    kind = "geometry_msgs/msg/PoseStamped"
    text = rec.msg_text(kind).replace("builtin_interfaces/Time stamp", "other_msgs/Time stamp")
    assert "other_msgs/Time stamp" in text
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none",
                          schema_text=lambda k: text if k == kind else rec.msg_text(k))  # fmt: skip
    with pytest.raises(ros2.MissingDefinitionsError, match="other_msgs/msg/Time .nested"):
        ros2.open_recording(path)


@pytest.mark.parametrize(
    "options",
    [
        pytest.param(dict(compression="none", chunk_size=800), id="chunks"),
        pytest.param(
            dict(compression="zstd", chunk_size=800),
            id="zstd",
            marks=pytest.mark.extra("zstandard"),
        ),  # fmt: skip
        pytest.param(dict(compression="none", summary=False), id="no-summary"),
        pytest.param(dict(chunked=False), id="no-chunks"),
    ],
)
def test_damaged_mcap_files_fail_with_a_clear_error(tmp_path, options):
    """Bytes overwritten, lengths forged, files cut: opening and reading
    gives messages, a warning, or a ValueError naming the fault; nothing
    else escapes, and no map stays open."""
    import random

    seed = rec.write_mcap(tmp_path / "seed.mcap", ROWS[:30], **options).read_bytes()
    rng = random.Random(repr(options))
    target = tmp_path / "damaged.mcap"
    for _ in range(150):
        data = bytearray(seed)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(data))
            choice = rng.random()
            if choice < 0.6:
                data[at] = rng.randrange(256)
            elif choice < 0.8:
                data[at : at + 8] = rng.randrange(2**64).to_bytes(8, "little")
            else:
                del data[at:]
        target.write_bytes(bytes(data))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ros2.RecordingCutShort)
            try:
                with ros2.open_recording(target) as recording:
                    list(recording.messages())
            except ValueError as error:  # RecordingError, MsgDefinitionError among them
                assert str(error)


def test_damaged_db3_files_fail_with_a_clear_error(tmp_path):
    """Bytes overwritten and files cut: sqlite's own errors come out as
    RecordingError naming the file."""
    import random

    bag = rec.write_bag(tmp_path / "bag", ROWS[:30])
    (db3,) = bag.glob("*.db3")
    seed = db3.read_bytes()
    rng = random.Random(7)
    target = tmp_path / "damaged.db3"
    refused = 0
    for _ in range(150):
        data = bytearray(seed)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(data))
            if rng.random() < 0.7:
                data[at] = rng.randrange(256)
            else:
                del data[at:]
        target.write_bytes(bytes(data))
        try:
            with ros2.open_recording(target) as recording:
                list(recording.messages())
        except ValueError as error:  # RecordingError, MsgDefinitionError among them
            assert str(error)
            refused += 1
    assert refused


@pytest.mark.extra("yaml")
@pytest.mark.parametrize(
    "key,value",
    [
        ("compression_mode", 5),
        ("compression_format", ["zstd"]),
        ("files", 1.5),
        ("topics_with_message_count", True),
        ("relative_file_paths", {}),
        ("version", "9"),
        ("storage_identifier", None),
    ],
)
def test_metadata_of_the_wrong_kind_is_named(tmp_path, key, value):
    bag = rec.write_bag(tmp_path / "bag", ROWS[:10])
    rec.edit_metadata(bag, lambda info: info.__setitem__(key, value))
    with pytest.raises(ros2.RecordingError, match=f"metadata.yaml.*'{key}'"):
        ros2.open_recording(bag)


@pytest.mark.parametrize(
    "argv,text",
    [
        ([], "the following arguments are required: command"),
        (["nope"], "invalid choice: 'nope'"),
        (["info"], "the following arguments are required: path"),
        (["export", "x.mcap", "/t", "o.csv", "--start", "yesterday"], "neither int nanoseconds"),
        (["export", "x.mcap", "/t", "o.csv", "--end", "2024-01-01T00:00:00"], "no time zone"),
    ],
)
def test_command_line_usage_errors_are_one_line(capsys, argv, text):
    from korvex_messages.ros2.__main__ import main

    with pytest.raises(SystemExit) as exited:
        main(argv)
    assert exited.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("korvex-ros2: error: ") and text in err
    assert len(err.strip().splitlines()) == 1


@pytest.mark.skipif(hasattr(ros2._native, "decode_table"), reason="this codec has decode_table")
def test_export_without_decode_table_says_so(tmp_path, capsys):
    from korvex_messages.ros2.__main__ import main

    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="none")
    assert main(["export", str(path), "/imu", str(tmp_path / "imu.parquet")]) == 1
    err = capsys.readouterr().err
    assert err.startswith("korvex-ros2: error: ") and "decode_table" in err
    with ros2.open_recording(path) as recording, pytest.raises(NotImplementedError):
        recording.table("/imu")


@pytest.mark.extra("zstandard")
@pytest.mark.parametrize("one_call", [True, False], ids=["one-call", "streamed"])
def test_threads_sharing_a_recording_read_what_one_reads(tmp_path, monkeypatch, one_call):
    """Chunks are decompressed ahead on worker threads, streamed ones into
    buffers reused from chunk to chunk: readers in several threads of one
    open recording must still each see their own messages."""
    import threading

    from korvex_messages.ros2 import _mcap_file

    if not one_call:  # no claim is believed: every chunk streams into a reused buffer
        monkeypatch.setattr(_mcap_file, "_TRUSTED_RATIO", -(2**40))
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="zstd", chunk_size=700)
    with ros2.open_recording(path) as recording:
        want = {topic: ours(recording) for topic in rec.TYPES}
        for topic in rec.TYPES:
            want[topic] = [row for row in want[topic] if row[0] == topic]
        got, failures = [], []

        def read(topic):
            try:
                for _ in range(3):
                    got.append((topic, ours_of(recording, topic)))
            except BaseException as error:  # reported below, not lost in the thread
                failures.append(error)

        threads = [threading.Thread(target=read, args=(t,)) for t in [*rec.TYPES] * 2]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert failures == []
    assert len(got) == 3 * len(threads)
    for topic, rows in got:
        same_rows(rows, want[topic])


@pytest.mark.extra("zstandard", "pyarrow")
@pytest.mark.parametrize("route", ["Recording.table", "scale-out task", "scale-out blocks"])
def test_only_scale_out_tasks_read_chunks_without_worker_threads(tmp_path, monkeypatch, route):
    """A Dask or Ray task reads its file on its own thread (the engine runs
    one task per core already); everything else reads chunks ahead on worker
    threads.  Either way the table is the same."""
    import pyarrow as pa

    from korvex_messages.ros2 import _mcap_file, _scaleout

    pools = []

    class CountedPool(_mcap_file.ThreadPoolExecutor):
        def __init__(self, *args, **kwargs):
            pools.append(self)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(_mcap_file, "ThreadPoolExecutor", CountedPool)
    monkeypatch.setattr(_mcap_file, "_WORKERS", 2)  # on a one-CPU machine too
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="zstd", chunk_size=700)
    topic = next(iter(rec.TYPES))
    with ros2.open_recording(path) as recording:
        want = pa.table(recording.table(topic))
    pools.clear()
    schema = _scaleout.shipped(want.schema)
    if route == "Recording.table":
        with ros2.open_recording(path) as recording:
            got = pa.table(recording.table(topic))
    elif route == "scale-out task":
        got = _scaleout.read_table(str(path), topic, None, None, False, None, schema)
    else:
        got = pa.concat_tables(
            _scaleout.read_blocks(str(path), topic, None, None, False, None, schema)
        )
    assert got.equals(want)
    assert len(pools) == (1 if route == "Recording.table" else 0)


def ours_of(recording, topic):
    return [(t, stamp, message) for t, stamp, message in recording.messages(topic)]


@pytest.mark.extra("zstandard")
def test_a_recording_read_while_the_interpreter_shuts_down_is_read_whole(tmp_path, run_python):
    """No worker thread can start then (an atexit handler, a finalizer): the
    chunks are read one after the other instead."""
    path = rec.write_mcap(tmp_path / "run.mcap", ROWS, compression="zstd", chunk_size=700)
    script = f"""
import atexit
from korvex_messages import ros2

def at_exit():
    with ros2.open_recording({str(path)!r}) as recording:
        print("rows", sum(len(recording.table(t.name)) for t in recording.topics))

atexit.register(at_exit)
"""
    completed = run_python(script)
    assert completed.returncode == 0, completed.stderr
    assert f"rows {len(ROWS)}" in completed.stdout
