"""Writes the seed corpus of the fuzz targets (deterministic).

    python3 -m fuzz.make_seeds [OUT_DIR]     (default: fuzz/corpus; run from the checkout)

deserialize seeds: the schema byte followed by valid encodings (built with
the reference encoder from generated valid values), plus hostile variants
(truncations, trailing bytes, other header options, forged lengths and
counts, floods of empty structs, deep nesting).

serialize seeds: the schema byte followed by provider bytes that make the
generator produce valid messages, and a few random ones.

ros2_deserialize seeds: the type byte followed by rosbags' encodings of
random messages (little- and big-endian), a truncation, trailing bytes and
a forged first count; ros2_serialize seeds: the type byte followed by
provider bytes (all zero: the plain spelling of every value; and random).
ros2_decode_table and ros2_encode_table take the inputs of ros2_deserialize,
and their seeds are its.

ros2_mcap_scan seeds: a selection byte followed by the records of a small
MCAP file, whole, cut, and lying about lengths; ros2_arrow_producer seeds:
pseudo-random bytes of a fixed seed (fuzz_ros2_arrow_producer.seeds).
"""

import os
import random
import struct
import sys

from fuzz import common
from tests.support import cdr, contract


class SeedProvider:
    """The FuzzedDataProvider calls the generator makes, answered from a
    seeded random source, biased towards valid values."""

    def __init__(self, rng, valid_bias=True):
        self.rng = rng
        self.valid_bias = valid_bias

    def ConsumeIntInRange(self, low, high):
        if self.valid_bias and high - low in (3, 7, 9, 15, 31, 63) and low == 0:
            # Generator choices: small values keep things valid.
            return self.rng.randint(0, min(high, 2 if high <= 3 else 20))
        return self.rng.randint(low, high)

    def ConsumeBool(self):
        return self.rng.random() < 0.5

    def ConsumeFloat(self):
        return self.rng.choice(
            [
                0.0,
                -0.0,
                1.5,
                -2.25,
                1e300,
                float("inf"),
                float("nan"),
                3.4028235e38,
                1e-45,
                self.rng.uniform(-1e6, 1e6),
            ]
        )

    def ConsumeRegularFloat(self):
        return self.rng.uniform(-1e9, 1e9)

    def ConsumeUnicode(self, count):
        return "".join(
            chr(self.rng.choice([0x41, 0xE9, 0x4E2D, 0x1F600, 0xD800, 0])) for _ in range(count)
        )

    def ConsumeUnicodeNoSurrogates(self, count):
        return "".join(
            chr(self.rng.choice([0x41, 0x7A, 0xE9, 0x4E2D, 0x1F600, 0])) for _ in range(count)
        )

    def ConsumeBytes(self, count):
        return bytes(self.rng.randrange(256) for _ in range(count))


def valid_messages(name, rng, wanted):
    found = []
    for _ in range(200):
        generator = common.Generator(SeedProvider(rng))
        _, expected = generator.message(name)
        if generator.failure is None:
            found.append(expected)
            if len(found) == wanted:
                break
    return found


HEADER = cdr.HEADER
u32 = cdr.u32


def crafted():
    """Hand-made hostile payloads: (schema name, payload)."""
    out = [
        ("fz.scalars", b""),
        ("fz.scalars", b"\x00\x01"),
        ("fz.scalars", b"\x00\x00\x00\x00"),
        ("fz.scalars", b"\x01\x00\x00\x00\x00"),
        ("fz.empty", b"\x00\x01\x12\x34" + b"junk"),
        ("fz.header", HEADER + b"\x00" * 8 + u32(0xFFFFFFFF) + b"abc\x00"),
        ("fz.header", HEADER + b"\x00" * 8 + u32(0) + u32(1)),
        ("fz.header", HEADER + b"\x00" * 8 + u32(3) + b"\xff\xfe\x00" + u32(1)),
        ("fz.header", HEADER + b"\x00" * 8 + u32(4) + b"\xe4\xb8\x00" + b"\x00" * 8),
        ("fz.arrays", HEADER + u32(0xFFFFFFFF) + b"\x01\x00"),
        ("fz.nested", HEADER + b"\x00" * 24 + u32(0xFFFFFFFF)),
        ("fz.holds_empty", HEADER + u32(contract.MAX_EMPTY_VALUES) + u32(0) + u32(0) + b"\x00" * 8),
        ("fz.holds_empty", HEADER + u32(contract.MAX_EMPTY_VALUES) + u32(2)),
        ("fz.holds_empty", HEADER + u32(0xFFFFFFFF)),
        ("fz.holds_empty", HEADER + u32(0) + u32(3) + u32(0xFFFFFFFF) * 3),
        ("fz.loop", HEADER),
        ("fz.ping", HEADER + b"\x07" + b"\x00" * 3 + u32(1) + b"\x08" + b"\x00" * 3 + u32(0)),
        ("fz.node", HEADER + (b"\x01\x00\x00\x00" + u32(1)) * 60 + b"\x01\x00\x00\x00" + u32(0)),
        ("fz.dangling", HEADER + u32(5)),
        ("fz.dup", HEADER + u32(1) + u32(0) + struct.pack("<d", 2.5) + u32(3)),
        ("fz.names", HEADER + u32(3) + b"hi\x00" + b"\x02" + b"\xff"),
    ]
    for depth in (1, 50, 99, 100, 101):
        out.append(("fz.deep", HEADER + u32(1) * (depth - 1) + u32(0)))
    return out


def ros2_seeds(out_dir):
    from fuzz import ros2_common
    from tests.support import ros2 as peers

    ros2_common.register_peer_types()
    deser_dir = os.path.join(out_dir, "ros2_deserialize")
    ser_dir = os.path.join(out_dir, "ros2_serialize")
    table_dirs = [
        os.path.join(out_dir, "ros2_decode_table"),
        os.path.join(out_dir, "ros2_encode_table"),
    ]
    for directory in (deser_dir, ser_dir, *table_dirs):
        os.makedirs(directory, exist_ok=True)
        for entry in os.listdir(directory):
            os.remove(os.path.join(directory, entry))
    written = 0

    def put(directory, label, data):
        nonlocal written
        for into in (directory, *table_dirs) if directory == deser_dir else (directory,):
            with open(os.path.join(into, label.replace("/", "_")), "wb") as handle:
                handle.write(data)
            written += 1

    rng = random.Random(20261209)
    for index, name in enumerate(ros2_common.TYPES):
        tag = bytes([index])
        for n in range(2):
            _, message = peers.random_message(name, rng)
            encoded = peers.serialize(message)
            put(deser_dir, "%s-valid-%d" % (name, n), tag + encoded)
            if n:
                continue
            put(deser_dir, "%s-big-endian" % name, tag + peers.serialize(message, False))
            put(deser_dir, "%s-trailing" % name, tag + encoded + b"\x00\xaa")
            if len(encoded) > 5:
                put(deser_dir, "%s-cut" % name, tag + encoded[:-1])
            if len(encoded) >= 8:
                put(deser_dir, "%s-count" % name, tag + encoded[:4] + u32(0xFFFFFFFF) + encoded[8:])
        put(ser_dir, "%s-plain" % name, tag + b"\x00" * 64)
        for n in range(2):
            put(
                ser_dir,
                "%s-random-%d" % (name, n),
                tag + bytes(rng.randrange(256) for _ in range(64 + 192 * n)),
            )
    return written


def ros2_register_seeds(out_dir):
    """Definition texts: those recordings store for the ROS 2 type set, and
    hostile ones (long names and defaults, deep chains, cycles, counts past
    32 bits, bytes that are not UTF-8)."""
    from fuzz import ros2_common
    from tests.support import ros2 as peers

    directory = os.path.join(out_dir, "ros2_register")
    os.makedirs(directory, exist_ok=True)
    for entry in os.listdir(directory):
        os.remove(os.path.join(directory, entry))
    seeds = [("%s-recorded" % name, peers.msgdef_text(name)) for name in ros2_common.TYPES[:-1]]
    seeds.append(("bounds", ros2_common.BOUNDS_TEXT))
    separator = "=" * 80
    chain = "".join(
        "%s\nMSG: fuzz_register_msgs/T%d\nfuzz_register_msgs/T%d[<=1] next\n"
        % (separator, i, i + 1)
        for i in range(1, 200)
    )
    seeds += [
        ("constant-name", "int32 A" + "0" * 40 + "a=1\n"),
        ("string-array-default", "string[] s [" + ",".join(["'x'"] * 2000) + "]\n"),
        ("escaped-quotes", 'string s "' + '\\"' * 500 + '"\n'),
        ("count-past-32-bits", "uint8[4294967296] a\nstring<=99999999999 s\n"),
        ("chain", "fuzz_register_msgs/T1[<=1] next\n" + chain + separator + "\nMSG: "
         "fuzz_register_msgs/T200\nint8 x\n"),
        ("cycle", "fuzz_register_msgs/A a\n%s\nMSG: fuzz_register_msgs/A\n"
         "fuzz_register_msgs/Root r\n" % separator),
        ("service", "example_interfaces/srv/AddTwoInts_Request r\n%s\n"
         "MSG: example_interfaces/srv/AddTwoInts_Request\nint64 a\nint64 b\n" % separator),
        ("header", "Header h\nchar[] c\nbyte[2] b\n"),
        ("empty", ""),
    ]  # fmt: skip
    written = 0
    for label, text in seeds:
        with open(os.path.join(directory, label.replace("/", "_")), "wb") as handle:
            handle.write(text.encode("utf-8"))
        written += 1
    with open(os.path.join(directory, "not-utf-8"), "wb") as handle:
        handle.write(b"string s '\xe9\xff'\nint8 \xc3( x\n")
    return written + 1


def seeds_of(out_dir, target):
    """The seeds a target module gives itself (its seeds() function)."""
    import importlib

    directory = os.path.join(out_dir, target)
    os.makedirs(directory, exist_ok=True)
    for entry in os.listdir(directory):
        os.remove(os.path.join(directory, entry))
    found = importlib.import_module("fuzz.fuzz_" + target).seeds()
    for label, data in found:
        with open(os.path.join(directory, label), "wb") as handle:
            handle.write(data)
    return len(found)


def ros2_mcap_scan_seeds(out_dir):
    """The records of a small MCAP file by mcap's writer under each
    selection, cut, and lying about lengths (fuzz_ros2_mcap_scan.seeds)."""
    from fuzz import fuzz_ros2_mcap_scan

    directory = os.path.join(out_dir, "ros2_mcap_scan")
    os.makedirs(directory, exist_ok=True)
    for entry in os.listdir(directory):
        os.remove(os.path.join(directory, entry))
    found = fuzz_ros2_mcap_scan.seeds()
    for label, data in found:
        with open(os.path.join(directory, label), "wb") as handle:
            handle.write(data)
    return len(found)


def main(argv):
    out_dir = (
        argv[1]
        if len(argv) > 1
        else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    )
    index_of = {name: i for i, (name, _) in enumerate(common.SCHEMAS)}
    deser_dir = os.path.join(out_dir, "deserialize")
    ser_dir = os.path.join(out_dir, "serialize")
    # decode_table takes the inputs of deserialize, and its seeds are theirs.
    table_dir = os.path.join(out_dir, "decode_table")
    for directory in (deser_dir, ser_dir, table_dir):
        os.makedirs(directory, exist_ok=True)
        for entry in os.listdir(directory):
            os.remove(os.path.join(directory, entry))
    written = 0

    def put(directory, label, data):
        nonlocal written
        for into in (directory, table_dir) if directory == deser_dir else (directory,):
            with open(os.path.join(into, label), "wb") as handle:
                handle.write(data)
            written += 1

    rng = random.Random(20240607)
    for name, _ in common.SCHEMAS:
        tag = bytes([index_of[name]])
        for n, values in enumerate(valid_messages(name, rng, 3)):
            encoded = cdr.encode(name, values, common.PARSED)
            put(deser_dir, "%s-valid-%d" % (name, n), tag + encoded)
            if n == 0 and len(encoded) > 4:
                put(deser_dir, "%s-cut" % name, tag + encoded[:-1])
                put(deser_dir, "%s-trailing" % name, tag + encoded + b"\xaa\xbb")
                put(deser_dir, "%s-options" % name, tag + b"\x00\x01\xff\xff" + encoded[4:])
        put(ser_dir, "%s-defaults" % name, tag + b"\x00" * 64)
        for n in range(2):
            put(
                ser_dir,
                "%s-random-%d" % (name, n),
                tag + bytes(rng.randrange(256) for _ in range(48 + 200 * n)),
            )
    for n, (name, payload) in enumerate(crafted()):
        put(deser_dir, "crafted-%02d-%s" % (n, name), bytes([index_of[name]]) + payload)
    written += ros2_seeds(out_dir)
    written += ros2_register_seeds(out_dir)
    written += ros2_mcap_scan_seeds(out_dir)
    written += seeds_of(out_dir, "ros2_arrow_producer")
    print("wrote %d seed inputs under %s" % (written, out_dir))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
