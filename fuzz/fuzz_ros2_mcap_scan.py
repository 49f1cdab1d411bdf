#!/usr/bin/env python3
"""Fuzz target: the MCAP record scanner of korvex_messages.ros2
(`scan_mcap_records`) against a plain reading of the records.

Input: one byte choosing the selection (bit 0: channels 1 and 2 only; bit 1:
log times in [256, 2**40)), then the records of a chunk.  Oracle, a walk in
Python over the same bytes, record by record:

- the scan stops at the first record whose header or content runs past the
  end (end 1), or at a message record shorter than its 22 bytes of fields
  (end 2), and says where;
- it takes exactly the message records before that point that the
  selection takes, with their data, log times and channels, and lists
  every other record's opcode and place;
- its output holds no more data than the input, in both modes, and the
  tallies of pack=False count what pack=True takes.

    python3 -m fuzz.fuzz_ros2_mcap_scan CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import struct
import sys


def selection(flags):
    channels = {1, 2} if flags & 1 else None
    start, end = (256, 2**40) if flags & 2 else (None, None)
    return channels, start, end


def reference(data, channels, start, end):
    """(messages, others, stop, end kind) by a plain walk."""
    messages, others, at = [], [], 0
    while at < len(data):
        if len(data) - at < 9:
            return messages, others, at, 1
        opcode, length = data[at], struct.unpack_from("<Q", data, at + 1)[0]
        if length > len(data) - at - 9:
            return messages, others, at, 1
        content = at + 9
        if opcode == 0x05:
            if length < 22:
                return messages, others, at, 2
            channel, _, log_time = struct.unpack_from("<HIQ", data, content)
            if (
                (channels is None or channel in channels)
                and (start is None or log_time >= start)
                and (end is None or log_time < end)
            ):
                messages.append((channel, log_time, data[content + 22 : content + length]))
        else:
            others.append((opcode, content, length))
        at = content + length
    return messages, others, at, 0


def fail(what, data, got, expected):
    raise AssertionError(
        "%s: scan of bytes.fromhex(%r)\n  gave     %r\n  expected %r"
        % (what, data.hex(), got, expected)
    )


_bound = False


def test_one_input(data):
    global _bound
    if not _bound:
        # The scanner's comparisons are the coverage feedback (libFuzzer is
        # loaded by now, on the first input).
        from fuzz.common import bind_native_coverage

        bind_native_coverage()
        _bound = True
    from korvex_messages.ros2 import _native as native

    if not data:
        return
    channels, start, end = selection(data[0])
    records = data[1:]
    want_messages, want_others, want_stop, want_end = reference(records, channels, start, end)
    scan = native.scan_mcap_records(records, channels, start, end, True)
    payload, offsets, times, ids = scan[:4]
    offsets = memoryview(offsets).cast("q").tolist()
    times = memoryview(times).cast("q").tolist()
    ids = memoryview(ids).cast("H").tolist()
    got_messages = [
        (ids[i], times[i] & (2**64 - 1), payload[offsets[i] : offsets[i + 1]])
        for i in range(len(times))
    ]
    if len(payload) > len(records) or offsets[-1] != len(payload):
        fail("payload", records, (len(payload), offsets[-1]), len(records))
    if got_messages != want_messages:
        fail("messages", records, got_messages, want_messages)
    others = memoryview(scan[4]).cast("q").tolist()
    others = [tuple(others[i : i + 3]) for i in range(0, len(others), 3)]
    if others != want_others:
        fail("other records", records, others, want_others)
    if (scan[6], scan[7]) != (want_stop, want_end):
        fail("where the walk ends", records, scan[6:8], (want_stop, want_end))
    in_order = [m[1] for m in want_messages] == sorted(m[1] for m in want_messages)
    if scan[8] is not in_order:
        fail("time order", records, scan[8], in_order)
    tallies = native.scan_mcap_records(records, channels, start, end, False)[5]
    counts = {}
    for channel, _, _ in want_messages:
        counts[channel] = counts.get(channel, 0) + 1
    if {c: n for c, n, _, _ in tallies} != counts:
        fail("tallies", records, tallies, counts)


def seeds():
    """(label, input): records of mcap's writer, whole, cut and lying."""
    import io

    from mcap.writer import CompressionType, Writer

    stream = io.BytesIO()
    writer = Writer(stream, use_chunking=False, compression=CompressionType.NONE)
    writer.start()
    schema = writer.register_schema("pkg/msg/T", "ros2msg", b"uint8 x")
    channels = [writer.register_channel("/t%d" % i, "cdr", schema) for i in range(3)]
    for index in range(6):
        time = [5, 300, 2**41, 1000, 299, 2**40 - 1][index]
        writer.add_message(channels[index % 3], time, bytes(range(index * 3)), time)
    writer.finish()
    raw = stream.getvalue()
    summary_start = struct.unpack_from("<Q", raw, len(raw) - 8 - 20)[0]
    records = raw[8:summary_start]
    found = []
    for flags in range(4):
        found.append(("whole-%d" % flags, bytes([flags]) + records))
    found.append(("cut", b"\x03" + records[: len(records) // 2]))
    found.append(("header-only", b"\x00\x05" + struct.pack("<Q", 2**64 - 1)))
    found.append(("short-message", b"\x00\x05" + struct.pack("<Q", 21) + b"\x00" * 21))
    return found


def main():
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
