"""The metadata.yaml reader that works without PyYAML, against PyYAML's
safe_load: the documents rosbag2 and rosbags write are read natively and
alike, and any other document is either read alike or declined (then PyYAML
reads it), never read differently."""

import random

import pytest

from tests.support import recordings as rec

yaml = pytest.importorskip("yaml")
plain_yaml = pytest.importorskip("korvex_messages.ros2._plain_yaml")

pytestmark = pytest.mark.pure_python

# As rosbag2's C++ writer (yaml-cpp) lays them out: items indented under
# their key, QoS profiles as one escaped text (Humble) or as mappings (Jazzy).
HUMBLE = r"""
rosbag2_bagfile_information:
  version: 5
  storage_identifier: sqlite3
  duration:
    nanoseconds: 1000
  starting_time:
    nanoseconds_since_epoch: 1
  message_count: 2
  topics_with_message_count:
    - topic_metadata:
        name: /imu
        type: sensor_msgs/msg/Imu
        serialization_format: cdr
        offered_qos_profiles: "- history: 3\n  depth: 0\n  reliability: 1\n  deadline:\n    sec: 9223372036\n    nsec: 854775807\n  avoid_ros_namespace_conventions: false"
      message_count: 1
  compression_format: ""
  compression_mode: ""
  relative_file_paths:
    - rosbag2_2023_01_01-00_00_00_0.db3
  files:
    - path: rosbag2_2023_01_01-00_00_00_0.db3
      starting_time:
        nanoseconds_since_epoch: 1
      duration:
        nanoseconds: 1000
      message_count: 2
"""  # noqa: E501

JAZZY = """
rosbag2_bagfile_information:
  version: 9
  storage_identifier: mcap
  topics_with_message_count:
    - topic_metadata:
        name: /tf
        type: tf2_msgs/msg/TFMessage
        serialization_format: cdr
        offered_qos_profiles:
          - history: keep_last
            depth: 10
            reliability: reliable
            deadline:
              sec: 9223372036
              nsec: 854775807
            avoid_ros_namespace_conventions: false
        type_description_hash: RIHS01_00ff
      message_count: 0
  compression_format: zstd
  compression_mode: FILE
  relative_file_paths:
    - bag_0.mcap.zstd
  custom_data: ~
  ros_distro: jazzy
"""

NATIVE = [
    pytest.param(HUMBLE, id="humble-yaml-cpp"),
    pytest.param(JAZZY, id="jazzy-yaml-cpp"),
    pytest.param("a:\n- 1\n-\n- - x\n  - y\n- k: v\n  l: ''\n", id="nested-items"),
    pytest.param("a:\n  b:\n    RIHS01_c\nd: 1\n", id="plain-on-the-next-line"),
    pytest.param("a: 'it''s'\nb: \"\\u00e9\\x41\\t\\\"\\\\\\/\"\n", id="quoted"),
    pytest.param("a: -0\nb: -12\nc: TRUE\nd: False\ne: Null\nf:\ng: {}\n", id="plain-values"),
]


@pytest.mark.parametrize("text", NATIVE)
def test_what_rosbag2_writes_is_read_natively_as_pyyaml_reads_it(text):
    assert plain_yaml.load(text) == yaml.safe_load(text)


@pytest.mark.extra("yaml")
@pytest.mark.parametrize("storage", ["sqlite3", "mcap"])
@pytest.mark.parametrize("version", [4, 5, 6, 7, 8, 9])
def test_rosbags_metadata_of_each_version_is_read_natively(tmp_path, storage, version):
    path = rec.write_bag(tmp_path / "bag", rec.sample_messages(6), storage=storage)
    if version < 9:
        rec.downgrade(path, version)
    text = (path / "metadata.yaml").read_text()
    assert plain_yaml.load(text) == yaml.safe_load(text)


# Documents beyond the subset: each is declined, or read as PyYAML reads it.
BEYOND = [
    "a: yes\n", "a: off\n", "a: 0123\n", "a: 0x1F\n", "a: 1e3\n", "a: 1.5\n", "a: .inf\n",
    "a: +5\n", "a: 1_000\n", "a: 2001-12-14\n", "a: 1:20\n", "a: [1, 2]\n", "a: {b: 1}\n",
    "a: &x 1\nb: *x\n", "a: !!str 1\n", "a: |\n  text\n", "a: >\n  text\n", "a: 1 # note\n",
    "# note\na: 1\n", "a:\t1\n", "---\na: 1\n", "a: 1\n...\n", "? a\n: 1\n", "a: b: c\n",
    "a: 'x'y\n", "a: \"x\n  y\"\n", "a: \"\\q\"\n", "a: \"\\ud800\"\n", "a: b c\n",
    "a: 1\na: 2\n", '"a": 1\n', "a:1\n", "a: -\n", "a:\n  b: 1\n c: 2\n", "a: 1\n  b: 2\n",
    "- a\nb: 1\n", "a: 1\n- b\n", "a: \x01\n", "\ufeffa: 1\n", "a: <<\n", "a: =\n",
]  # fmt: skip


@pytest.mark.parametrize("text", BEYOND)
def test_documents_beyond_the_subset_are_declined_or_read_alike(text):
    assert_declined_or_alike(text)


def assert_declined_or_alike(text):
    try:
        got = plain_yaml.load(text)
    except plain_yaml.Unsupported:
        return
    try:
        want = yaml.safe_load(text)
    except yaml.YAMLError as error:
        raise AssertionError(f"read {got!r} where PyYAML refuses {text!r}: {error}") from None
    assert got == want, text
    assert type(got) is type(want), text


WORDS = ["a", "yes", "No", "on", "null", "~", "true", "0123", "12", "-7", "1e3", "1.5", "",
         " lead", "trail ", "a: b", "#x", "x#y", "'q'", '"d"', "é", "line\nbreak", "tab\tin",
         "/imu", "sensor_msgs/msg/Imu", "RIHS01_ab", "keep_last", "[1]", "{}", "-", "- x",
         "x" * 120]  # fmt: skip


def random_value(rng, depth):
    roll = rng.random()
    if depth > 3 or roll < 0.45:
        return rng.choice([*WORDS, 0, -3, 2**63, True, False, None, 1.5])
    if roll < 0.7:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    keys = rng.sample(["k", "name", "type", "yes", "1", "a b", "_x", "topic_metadata"], 3)
    return {key: random_value(rng, depth + 1) for key in keys[: rng.randrange(4)]}


@pytest.mark.parametrize("seed", range(40))
def test_documents_pyyaml_writes_are_declined_or_read_alike(seed):
    rng = random.Random(f"plain-yaml/{seed}")
    for _ in range(10):
        document = {"rosbag2_bagfile_information": random_value(rng, 0)}
        text = yaml.safe_dump(
            document,
            default_flow_style=rng.choice([False, None]),
            indent=rng.choice([2, 4]),
            width=rng.choice([40, 80, 1000]),
            allow_unicode=rng.random() < 0.5,
        )
        assert_declined_or_alike(text)


@pytest.mark.extra("yaml")
def test_a_declined_metadata_file_is_read_by_pyyaml(tmp_path):
    from korvex_messages.ros2._rosbag2 import read_metadata

    path = rec.write_bag(tmp_path / "bag", rec.sample_messages(6))
    natively = read_metadata(path)
    text = "# written by hand\n" + (path / "metadata.yaml").read_text()
    (path / "metadata.yaml").write_text(text)
    with pytest.raises(plain_yaml.Unsupported):
        plain_yaml.load(text)
    assert read_metadata(path) == natively
