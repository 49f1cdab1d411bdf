"""The native MCAP record scanner of korvex_messages.ros2 against mcap's own
reader: which messages it takes, their data, offsets and log times, and how
it ends on bytes cut short or lying about their lengths.  Native code that
reads little-endian fields, so these run in every CI job."""

import io
import random
import struct
import zlib

import pytest

mcap_writer = pytest.importorskip("mcap.writer")
mcap_reader = pytest.importorskip("mcap.reader")
native = pytest.importorskip("korvex_messages.ros2._native")

MAGIC_LENGTH = 8
COMPLETE, CUT_SHORT, MALFORMED = 0, 1, 2
# Channel ids and log times chosen to need every byte of their fields.
MESSAGES = [
    (1, 5, b"\x00\x01\x00\x00abc"),
    (2, 2**40 + 7, b""),
    (1, 3, b"x" * 300),
    (0x1234, 2**62, b"\xff\xfe"),
    (2, 2**40 + 7, b"tie"),
]


def unchunked_file(messages=MESSAGES):
    """An MCAP file written by mcap without chunks: its data section is the
    message records themselves.  Returns (bytes, data section end)."""
    stream = io.BytesIO()
    # No compression: the writer asks for zstandard otherwise, which not
    # every platform the suite runs on has.
    writer = mcap_writer.Writer(
        stream, use_chunking=False, compression=mcap_writer.CompressionType.NONE
    )
    writer.start()
    schema = writer.register_schema("pkg/msg/T", "ros2msg", b"uint8 x")
    ids = {}
    for channel, log_time, data in messages:
        if channel not in ids:
            ids[channel] = writer.register_channel(f"/t{channel}", "cdr", schema)
        writer.add_message(ids[channel], log_time, data, log_time)
    writer.finish()
    raw = stream.getvalue()
    # The mcap writer numbers channels itself: map ours to its ids.
    oracle = [
        (channel.id, message.log_time, message.data)
        for _, channel, message in mcap_reader.make_reader(io.BytesIO(raw)).iter_messages(
            log_time_order=False
        )
    ]
    return raw, oracle


def data_section(raw):
    """The records from after the magic up to the data end record (opcode
    0x0F), found by the writer's footer: summary start."""
    summary_start = struct.unpack_from("<Q", raw, len(raw) - 8 - 20)[0]
    return raw[MAGIC_LENGTH:summary_start]


def places(others):
    """The (opcode, content offset, content length) triples of a scan."""
    values = memoryview(others).cast("q").tolist()
    return [tuple(values[i : i + 3]) for i in range(0, len(values), 3)]


def unpack(scan):
    payload, offsets, times, channels = scan[:4]
    offsets = memoryview(offsets).cast("q").tolist()
    times = memoryview(times).cast("q").tolist()
    channels = memoryview(channels).cast("H").tolist()
    return [
        (channels[i], times[i], payload[offsets[i] : offsets[i + 1]]) for i in range(len(times))
    ]


@pytest.mark.parametrize(
    "wanted,start,end",
    [
        (None, None, None),
        ({1}, None, None),
        ([2, 0x1234], None, None),
        ((), None, None),
        (None, 5, None),
        (None, None, 2**40 + 7),  # the end is excluded
        (None, 2**40 + 7, 2**40 + 8),
        ({1, 2}, 4, 2**62),
        (None, 2**64 - 1, None),
    ],
)
def test_takes_the_messages_of_the_wanted_channels_in_the_window(wanted, start, end):
    raw, oracle = unchunked_file()
    scan = native.scan_mcap_records(data_section(raw), wanted, start, end, True)
    want = [
        m
        for m in oracle
        if (wanted is None or m[0] in wanted)
        and (start is None or m[1] >= start)
        and (end is None or m[1] < end)
    ]
    assert unpack(scan) == want
    assert scan[6] == len(data_section(raw)) and scan[7] == COMPLETE
    times = [m[1] for m in want]
    assert scan[8] is (times == sorted(times))


def test_other_records_are_listed_in_order():
    raw, _ = unchunked_file()
    section = data_section(raw)
    others = places(native.scan_mcap_records(section, (), None, None, True)[4])
    # The header, the schema, the channels and the data end record.
    assert [op for op, _, _ in others] == [0x01, 0x03, 0x04, 0x04, 0x04, 0x0F]
    for opcode, at, length in others:
        assert section[at - 9] == opcode
        assert struct.unpack_from("<Q", section, at - 8)[0] == length


def test_tallies_count_each_channel():
    raw, oracle = unchunked_file()
    scan = native.scan_mcap_records(data_section(raw), None, None, 2**62, False)
    assert scan[:4] == (None, None, None, None)
    want = {}
    for channel, log_time, _ in oracle:
        if log_time < 2**62:
            count, first, last = want.get(channel, (0, log_time, log_time))
            want[channel] = (count + 1, min(first, log_time), max(last, log_time))
    assert {c: (n, f, last) for c, n, f, last in scan[5]} == want


def test_every_cut_gives_the_whole_records_before_it():
    raw, oracle = unchunked_file()
    section = data_section(raw)
    for cut in range(len(section)):
        scan = native.scan_mcap_records(section[:cut], None, None, None, True)
        assert scan[6] <= cut
        assert scan[7] == (COMPLETE if scan[6] == cut else CUT_SHORT)
        got = unpack(scan)
        assert got == oracle[: len(got)]
        # It stops at a record that does not fit in the bytes left.
        left = cut - scan[6]
        if left:
            assert left < 9 or struct.unpack_from("<Q", section, scan[6] + 1)[0] > left - 9


def record(opcode, content, claimed=None):
    length = len(content) if claimed is None else claimed
    return bytes([opcode]) + struct.pack("<Q", length) + content


def message(channel, log_time, data):
    return record(0x05, struct.pack("<HIQQ", channel, 0, log_time, log_time) + data)


@pytest.mark.parametrize(
    "data,stop,end,taken",
    [
        (b"", 0, COMPLETE, 0),
        (b"\x05\x00", 0, CUT_SHORT, 0),
        (record(0x05, b"", claimed=2**64 - 1), 0, CUT_SHORT, 0),
        (record(0x05, b"", claimed=2**63), 0, CUT_SHORT, 0),
        (message(1, 1, b"a") + record(0x06, b"xy", claimed=3), 32, CUT_SHORT, 1),
        (message(1, 1, b"a") + record(0x05, b"\x00" * 21), 32, MALFORMED, 1),
        (record(0x05, b"\x00" * 22) + message(1, 1, b""), 62, COMPLETE, 2),
        (record(0x02, b"") * 3, 27, COMPLETE, 0),
    ],
)
def test_lying_lengths_stop_the_walk(data, stop, end, taken):
    scan = native.scan_mcap_records(data, None, None, None, True)
    assert (scan[6], scan[7], len(unpack(scan))) == (stop, end, taken)
    # Nothing beyond what the bytes hold is allocated for the output: the
    # data at most, and 24 bytes per other record of at least 9.
    assert len(scan[0]) <= len(data) and len(scan[4]) <= 24 * (len(data) // 9)


def test_out_of_order_times_are_reported():
    data = message(1, 9, b"a") + message(1, 3, b"b") + message(2, 1, b"c")
    scan = native.scan_mcap_records(data, {1}, None, None, True)
    assert scan[8] is False and [m[1] for m in unpack(scan)] == [9, 3]
    assert native.scan_mcap_records(data, {2}, None, None, True)[8] is True


def test_reads_any_contiguous_buffer():
    data = message(7, 2**33, b"xyz")
    for buffer in (data, bytearray(data), memoryview(data)):
        assert unpack(native.scan_mcap_records(buffer, None, None, None, True)) == [
            (7, 2**33, b"xyz")
        ]
    # The output's integers are in this machine's byte order.
    offsets = native.scan_mcap_records(data, None, None, None, True)[1]
    assert offsets == struct.pack("=qq", 0, 3)


@pytest.mark.parametrize(
    "args,error,text",
    [
        (("not bytes", None, None, None, True), TypeError, None),
        ((b"", [70000], None, None, True), ValueError, "channel id 70000"),
        ((b"", [-1], None, None, True), ValueError, "channel id -1"),
        ((b"", ["1"], None, None, True), TypeError, "channel id must be an int"),
        ((b"", 5, None, None, True), TypeError, "not iterable"),
        ((b"", None, -1, None, True), OverflowError, None),
        ((b"", None, None, 1.5, True), TypeError, "end must be an int"),
        ((b"", None, None, None), TypeError, "takes 5 arguments"),
    ],
)
def test_arguments_are_checked(args, error, text):
    with pytest.raises(error, match=text):
        native.scan_mcap_records(*args)


def test_crc32_is_zlibs():
    # Every length up to a few folding blocks and beyond (the carry-less
    # path takes 64 bytes, then 16 at a time, the tail a byte at a time),
    # at every misalignment of the start.
    rng = random.Random(32)
    lengths = list(range(0, 200)) + [1 << 16, (1 << 20) + 13]
    for length in lengths:
        data = rng.randbytes(length + 15)
        for start in (0, 1, 7, 15) if length < 200 else (0, 3):
            view = memoryview(data)[start : start + length]
            assert native.crc32(view) == zlib.crc32(view), (length, start)
    # Patterns that keep the register's top bits set or clear.
    for data in (b"\xff" * 4096, b"\x00" * 4096, b"\x80\x01" * 2048):
        assert native.crc32(data) == zlib.crc32(data)


@pytest.mark.parametrize(
    "args,error",
    [(("text",), TypeError), ((memoryview(b"abcd")[::2],), BufferError), ((), TypeError)],
)
def test_crc32_arguments_are_checked(args, error):
    with pytest.raises(error):
        native.crc32(*args)


@pytest.mark.parametrize(
    "times,extra",
    [([], b""), ([7], b""), ([5, 2**64 - 1, 0, 9], b""), ([3, 1, 2], b"\x01" * 15)],
)
def test_message_index_tally_counts_whole_entries(times, extra):
    entries = b"".join(struct.pack("<QQ", t, i) for i, t in enumerate(times)) + extra
    expected = (len(times), min(times), max(times)) if times else (0, 0, 0)
    assert native.tally_message_index(entries) == expected
