"""korvex_messages.ros2 with MCAP: files written by mcap-ros2-support read
back through the DecoderFactory, byte identity with mcap-ros2-support's own
serializer, and the example that does both."""

import importlib.util
import io
import random
import subprocess
import sys
from pathlib import Path

import pytest

from tests.support import ros2 as peers
from tests.support.runtime import child_environment

mcap_reader = pytest.importorskip("mcap.reader")
mcap_writer = pytest.importorskip("mcap.writer")
mcap_ros2_writer = pytest.importorskip("mcap_ros2.writer")
dynamic = pytest.importorskip("mcap_ros2._dynamic")
ros2 = pytest.importorskip("korvex_messages.ros2")

NAMES = peers.message_names()
# mcap's writers compress chunks with zstandard by default; it has no wheel for every
# platform the suite runs on (armhf, s390x).
HAVE_ZSTANDARD = importlib.util.find_spec("zstandard") is not None
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "ros2_mcap.py"


def message_for(name, seed=0):
    values, _ = peers.random_message(name, random.Random(f"mcap/{name}/{seed}"))
    return values


@pytest.mark.parametrize("name", NAMES)
def test_bytes_match_mcap_ros2_serializer(name):
    text = peers.msgdef_text(name)
    ros2.register_msg(name, text)
    encode = dynamic.serialize_dynamic(name, text)[name]
    for seed in range(2):
        values = message_for(name, seed)
        assert ros2.serialize(name, values) == encode(values)


def test_file_written_by_mcap_ros2_reads_back_as_dicts():
    stream = io.BytesIO()
    # Uncompressed chunks, so that the test needs no compression package.
    writer = mcap_ros2_writer.Writer(stream, compression=mcap_writer.CompressionType.NONE)
    written = []
    for index, name in enumerate(NAMES):
        schema = writer.register_msgdef(name, peers.msgdef_text(name))
        values = message_for(name)
        writer.write_message(f"/topic{index}", schema, values, log_time=index, publish_time=index)
        written.append((f"/topic{index}", values))
    writer.finish()
    stream.seek(0)
    reader = mcap_reader.make_reader(stream, decoder_factories=[ros2.DecoderFactory()])
    read = [(channel.topic, message) for _, channel, _, message in reader.iter_decoded_messages()]
    assert len(read) == len(written)
    for (topic, got), (want_topic, want) in zip(read, written):
        assert topic == want_topic
        assert peers.same(got, want), topic


class Schema:
    def __init__(self, name, encoding, data):
        self.name, self.encoding, self.data = name, encoding, data


@pytest.mark.parametrize(
    "message_encoding,schema",
    [
        ("json", Schema("std_msgs/msg/String", "jsonschema", b"{}")),
        ("ros1", Schema("std_msgs/String", "ros1msg", b"string data")),
        ("cdr", Schema("pkg/msg/Thing", "omgidl", b"struct Thing {};")),
        ("cdr", None),
    ],
)
@pytest.mark.pure_python
def test_decoder_factory_leaves_other_encodings_to_other_factories(message_encoding, schema):
    assert ros2.DecoderFactory().decoder_for(message_encoding, schema) is None


def test_decoder_factory_registers_the_schema_and_decodes():
    text = "uint8[] data\nfloat64[2] xy"
    decode = ros2.DecoderFactory(numpy=True).decoder_for(
        "cdr", Schema("mcap_test_msgs/Sample", "ros2msg", text.encode())
    )
    data = ros2.serialize("mcap_test_msgs/msg/Sample", {"data": b"\x01\x02", "xy": [0.5, 1.5]})
    message = decode(data)
    assert message["data"].tobytes() == b"\x01\x02" and message["xy"].tolist() == [0.5, 1.5]
    assert ros2.DecoderFactory().decoder_for(
        "cdr", Schema("mcap_test_msgs/msg/Sample", "ros2msg", text.encode())
    )(data) == {"data": b"\x01\x02", "xy": [0.5, 1.5]}


@pytest.mark.pure_python
@pytest.mark.skipif(not HAVE_ZSTANDARD, reason="the example writes zstandard-compressed files")
def test_example_runs(tmp_path):
    completed = subprocess.run(
        [sys.executable, str(EXAMPLE), "--keep", str(tmp_path)],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert "poses.mcap: 3 PoseStamped read back as dicts" in completed.stdout
    assert "ranges as numpy float32 (360,)" in completed.stdout
    assert (tmp_path / "poses.mcap").stat().st_size > 0
