"""Hand-built little-endian CDR byte strings.

Decoder tests build their input with `Cdr`; the reference encoders of the
round-trip tests and of the fuzz targets write their expected output with it.

Offsets are counted from the first byte of the encapsulation header, so an
8-byte value right after the header is preceded by four padding bytes.
Padding is filled with ``pad_byte`` (0x00 by default); the decoder must skip
it whatever it holds.
"""

import math
import struct

HEADER = b"\x00\x01\x00\x00"


class Cdr:
    def __init__(self, header=HEADER, pad_byte=0x00):
        self.buf = bytearray(header)
        self.pad_byte = pad_byte

    def __len__(self):
        return len(self.buf)

    def done(self):
        return bytes(self.buf)

    def align(self, a):
        self.buf += bytes([self.pad_byte]) * (-len(self.buf) % a)
        return self

    def raw(self, data):
        self.buf += data
        return self

    def put(self, fmt, value):
        """Align to the size of the struct format ``fmt`` (such as "<I"), then pack."""
        self.align(struct.calcsize(fmt))
        self.buf += struct.pack(fmt, value)
        return self

    def u8(self, v):
        return self.put("<B", v)

    def i8(self, v):
        return self.put("<b", v)

    def u16(self, v):
        return self.put("<H", v)

    def i16(self, v):
        return self.put("<h", v)

    def u32(self, v):
        return self.put("<I", v)

    def i32(self, v):
        return self.put("<i", v)

    def u64(self, v):
        return self.put("<Q", v)

    def i64(self, v):
        return self.put("<q", v)

    def f32(self, v):
        return self.put("<f", v)

    def f64(self, v):
        return self.put("<d", v)

    def count(self, n):
        return self.u32(n)

    def string(self, text, length=None, terminator=b"\x00"):
        """ROS string: u32 length (text bytes + terminator), text, terminator.

        ``text`` may be str (UTF-8 encoded) or raw bytes; ``length`` overrides
        the length field so that forged or truncated strings can be built.
        """
        data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
        payload = data + terminator
        self.u32(len(payload) if length is None else length)
        self.buf += payload
        return self

    def blob(self, data, length=None):
        """Byte string: u32 length, then the raw bytes (no terminator)."""
        self.u32(len(data) if length is None else length)
        self.buf += data
        return self

    def time(self, sec, nanosec):
        return self.i32(sec).u32(nanosec)


def narrow32(x):
    """The binary32 value nearest to x (ties to even), widened back to a double:
    what a float32 field holds once written (beyond the largest binary32 value
    it becomes an infinity of the same sign)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)
