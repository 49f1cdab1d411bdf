"""Small ROS 2 recordings made by the peers' writers, and the peers' reading
of them, for the tests of korvex_messages.ros2.open_recording.

- `sample_messages`: random messages of a few topics as (topic, type, log
  time, dict, CDR bytes from rosbags), times interleaved, with ties and a
  few out of order;
- `write_mcap`: an MCAP file by mcap's writer (chunks of any compression,
  with or without summary and indexes, or no chunks);
- `write_bag`: a rosbag2 directory by rosbags' Writer (sqlite3 or mcap
  storage, each compression mode), `db3_of` its sqlite3 file, `split_bag`
  two of them as one split bag, `make_humble` one without stored
  definitions;
- `rosbags_rows`: (topic, log time, dict) of a bag as rosbags' reader reads
  it, `mcap_rows` those of an MCAP file as mcap's reader and rosbags'
  deserializer read them.
"""

import random
import re
import sqlite3

from tests.support import ros2 as peers

TYPES = {
    "/pose": "geometry_msgs/msg/PoseStamped",
    "/imu": "sensor_msgs/msg/Imu",
    "/diagnostics": "diagnostic_msgs/msg/DiagnosticArray",
}


def sample_messages(count=60, seed=0, topics=TYPES, ordered=False):
    """[(topic, type, log time, dict, cdr bytes)] in write order."""
    rng = random.Random(f"recordings/{seed}")
    names = list(topics)
    rows = []
    for index in range(count):
        topic = names[index % len(names)]
        kind = topics[topic]
        values, theirs = peers.random_message(kind, rng)
        log_time = 1_700_000_000_000_000_000 + (index // 2) * 1_000_000
        if not ordered and index % 11 == 5:
            log_time -= 3_000_000  # written after later messages
        rows.append((topic, kind, log_time, values, peers.serialize(theirs)))
    return rows


def msg_text(kind):
    return peers.msgdef_text(kind)


def first_section(text):
    """The type's own section of a concatenated definition (a `.msg` file)."""
    return re.split(r"\n=+\n", text)[0]


def write_mcap(path, rows, compression="none", chunk_size=1500, summary=True, chunked=True,
               schema_text=msg_text):  # fmt: skip
    from mcap.writer import CompressionType, IndexType, Writer

    kinds = {"none": CompressionType.NONE, "zstd": CompressionType.ZSTD, "lz4": CompressionType.LZ4}
    options = {}
    if summary == "indexes only":
        options = dict(repeat_channels=False, repeat_schemas=False)
    elif not summary:
        options = dict(
            index_types=IndexType.NONE, repeat_channels=False, repeat_schemas=False,
            use_statistics=False, use_summary_offsets=False,
        )  # fmt: skip
    with open(path, "wb") as stream:
        writer = Writer(stream, chunk_size=chunk_size, compression=kinds[compression],
                        use_chunking=chunked, **options)  # fmt: skip
        writer.start(profile="ros2")
        schemas, channels = {}, {}
        for topic, kind, log_time, _, data in rows:
            if kind not in schemas:
                schemas[kind] = writer.register_schema(kind, "ros2msg", schema_text(kind).encode())
            if topic not in channels:
                channels[topic] = writer.register_channel(topic, "cdr", schemas[kind])
            writer.add_message(channels[topic], log_time, data, log_time)
        writer.finish()
    return path


def write_bag(path, rows, storage="sqlite3", compression="none", version=9):
    from rosbags.rosbag2 import StoragePlugin, Writer
    from rosbags.rosbag2.enums import CompressionFormat, CompressionMode

    plugin = {"sqlite3": StoragePlugin.SQLITE3, "mcap": StoragePlugin.MCAP}[storage]
    writer = Writer(path, version=version, storage_plugin=plugin)
    if compression != "none":
        mode = {"file": CompressionMode.FILE, "message": CompressionMode.MESSAGE}[compression]
        writer.set_compression(mode, CompressionFormat.ZSTD)
    writer.open()
    connections = {}
    for topic, kind, log_time, _, data in rows:
        if topic not in connections:
            connections[topic] = writer.add_connection(topic, kind, typestore=peers.typestore())
        writer.write(connections[topic], log_time, data)
    writer.close()
    return path


def db3_of(bag):
    """The storage file of a one-file sqlite3 bag: opened alone, it needs no
    metadata.yaml (nor PyYAML)."""
    (db3,) = bag.glob("*.db3")
    return db3


def _metadata(path):
    import yaml

    return yaml.safe_load((path / "metadata.yaml").read_text())


def _write_metadata(path, document):
    import yaml

    (path / "metadata.yaml").write_text(yaml.safe_dump(document))


def edit_metadata(path, change):
    document = _metadata(path)
    change(document["rosbag2_bagfile_information"])
    _write_metadata(path, document)


def split_bag(first, second):
    """Moves the storage file of bag `second` into bag `first`, whose
    metadata then lists both, as rosbag2 writes a split bag."""
    info = _metadata(second)["rosbag2_bagfile_information"]
    name = info["relative_file_paths"][0]
    moved = "split_1_" + name
    (second / name).rename(first / moved)

    def join(mine):
        mine["relative_file_paths"].append(moved)
        mine["files"].append({**info["files"][0], "path": moved})
        mine["message_count"] += info["message_count"]
        counts = {t["topic_metadata"]["name"]: t for t in mine["topics_with_message_count"]}
        for entry in info["topics_with_message_count"]:
            name = entry["topic_metadata"]["name"]
            if name in counts:
                counts[name]["message_count"] += entry["message_count"]
            else:
                mine["topics_with_message_count"].append(entry)

    edit_metadata(first, join)
    return first


def make_humble(path):
    """A sqlite3 bag as ROS 2 Humble writes it: no stored definitions,
    metadata version 5."""
    db = path / _metadata(path)["rosbag2_bagfile_information"]["relative_file_paths"][0]
    with sqlite3.connect(db) as connection:
        connection.execute("DROP TABLE message_definitions")
        connection.execute("UPDATE schema SET schema_version = 3")

    def humble(info):
        info["version"] = 5
        for entry in info["topics_with_message_count"]:
            entry["topic_metadata"].pop("type_description_hash", None)
        info.pop("ros_distro", None)

    edit_metadata(path, humble)
    return path


def downgrade(path, version):
    """The metadata.yaml of bag `path` as rosbag2 wrote it at `version` (4
    to 7): the keys later versions added removed."""

    def strip(info):
        info["version"] = version
        if version < 9:
            for entry in info["topics_with_message_count"]:
                entry["topic_metadata"]["offered_qos_profiles"] = ""
        if version < 8:
            info.pop("ros_distro", None)
        if version < 7:
            for entry in info["topics_with_message_count"]:
                entry["topic_metadata"].pop("type_description_hash", None)
        if version < 6:
            info.pop("custom_data", None)
        if version < 5:
            info.pop("files", None)

    edit_metadata(path, strip)
    return path


def rosbags_rows(path):
    """(topic, log time, dict) of every message, as rosbags' reader gives them."""
    from rosbags.rosbag2 import Reader

    store = peers.typestore()
    rows = []
    with Reader(path) as reader:
        for connection, log_time, data in reader.messages():
            message = store.deserialize_cdr(data, connection.msgtype)
            rows.append((connection.topic, log_time, peers.as_dict(message)))
    return rows


def mcap_rows(path):
    """(topic, log time, dict) of every message, as mcap's reader finds them
    in log-time order and rosbags' deserializer reads them."""
    from mcap.reader import make_reader

    rows = []
    with open(path, "rb") as stream:
        reader = make_reader(stream)
        for schema, channel, message in reader.iter_messages(log_time_order=True):
            decoded = peers.deserialize(message.data, schema.name)
            rows.append((channel.topic, message.log_time, peers.as_dict(decoded)))
    return rows


def in_time_order(rows):
    """Rows ordered by log time, equal times by topic, a topic's own order
    kept (a stable sort)."""
    return sorted(rows, key=lambda row: (row[1], row[0]))
