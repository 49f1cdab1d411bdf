"""The reference model of the wire format, written straight from docs/core.md.

* `parse_type` reads a type name into a `Type`; `parse_schemas` turns
  ``{name: [(field, type name), ...]}`` into the registry the model works on.
* `encode` writes the bytes of a message of valid, normalised values.
* `decode` reads a message the way `deserialize` must: the same values, or
  the `Failure` (exception type and text) it must raise, with the checks in
  the same order.
* `Cdr` builds byte strings by hand, for the decoder tests and for `encode`.

The fuzz targets use `decode` and `encode` as oracles, the tests use them
and `Cdr` for expected bytes, and the benchmark checks every contender's
bytes against `encode` (with ``origin=4`` for the peers, which count
alignment from the end of the encapsulation header).

Offsets are counted from the first byte of the encapsulation header (unless
`origin` says otherwise), so an 8-byte value right after the header is
preceded by four padding bytes.
"""

import math
import struct

from tests.support import contract

HEADER = b"\x00\x01\x00\x00"

# The type names of the grammar other than arrays and structs, canonical
# spellings only; ALIASES maps the other spellings to them.
SIMPLE_TYPES = [
    "bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
    "uint64", "float32", "float64", "string", "bytes", "time", "duration",
]  # fmt: skip
ALIASES = {"ros_string": "string", "ros_bytes": "bytes"}

# Every code point with the Unicode White_Space property: what is trimmed
# around a struct name (str.strip() trims more, such as U+001C to U+001F).
WHITE_SPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\x20", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)

# Fixed-size values: size (also their alignment) and struct format.
FIXED = {
    "bool": (1, "<?"), "int8": (1, "<b"), "uint8": (1, "<B"), "int16": (2, "<h"),
    "uint16": (2, "<H"), "int32": (4, "<i"), "uint32": (4, "<I"), "int64": (8, "<q"),
    "uint64": (8, "<Q"), "float32": (4, "<f"), "float64": (8, "<d"),
}  # fmt: skip
INT_RANGES = {
    "int8": (-(2**7), 2**7 - 1), "int16": (-(2**15), 2**15 - 1),
    "int32": (-(2**31), 2**31 - 1), "int64": (-(2**63), 2**63 - 1),
    "uint8": (0, 2**8 - 1), "uint16": (0, 2**16 - 1),
    "uint32": (0, 2**32 - 1), "uint64": (0, 2**64 - 1),
}  # fmt: skip
FLOAT_TYPES = ("float32", "float64")
# time and duration: two integer parts, in this order.
TIME_TYPES = ("time", "duration")
TIME_FIELDS = (("sec", "int32"), ("nanosec", "uint32"))


def u32(n):
    """A uint32 as its 4 little-endian bytes (no alignment)."""
    return struct.pack("<I", n)


def narrow32(x):
    """The binary32 value nearest to x (ties to even), widened back to a double:
    what a float32 field holds once written (beyond the largest binary32 value
    it becomes an infinity of the same sign)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


# ---------------------------------------------------------------------------
# Type names


class Type:
    """A field type: `depth` levels of array around a `leaf`, which is a
    canonical simple type name or "struct" (then `struct` is the schema name)."""

    __slots__ = ("leaf", "depth", "struct")

    def __init__(self, leaf, depth=0, struct=None):
        self.leaf = leaf
        self.depth = depth
        self.struct = struct

    def element(self):
        """The element type of an array type."""
        return Type(self.leaf, self.depth - 1, self.struct)

    def name(self):
        """The canonical type name, as get_schema prints it."""
        inner = "struct:" + self.struct if self.leaf == "struct" else self.leaf
        return "array<" * self.depth + inner + ">" * self.depth

    def __repr__(self):
        return f"Type({self.name()!r})"


def parse_type(text):
    """The `Type` of a type name that register_schema accepts."""
    depth = 0
    while len(text) > 6 and text.startswith("array<") and text.endswith(">"):
        text = text[6:-1]
        depth += 1
    if text.startswith("struct:"):
        return Type("struct", depth, text[7:].strip("".join(WHITE_SPACE)))
    return Type(ALIASES.get(text, text), depth)


def parse_fields(fields):
    return [(name, parse_type(type_name)) for name, type_name in fields]


def parse_schemas(schemas):
    """The registry of the model: schema name -> [(field, Type), ...]."""
    return {name: parse_fields(fields) for name, fields in schemas.items()}


# ---------------------------------------------------------------------------
# Byte builder


class Cdr:
    """Little-endian CDR bytes, built by hand.

    Padding is filled with ``pad_byte`` (0x00 by default; the decoder must
    skip it whatever it holds) and counted from byte ``origin``.
    """

    def __init__(self, header=HEADER, pad_byte=0x00, origin=0):
        self.buf = bytearray(header)
        self.pad_byte = pad_byte
        self.origin = origin

    def __len__(self):
        return len(self.buf)

    def done(self):
        return bytes(self.buf)

    def align(self, a):
        self.buf += bytes([self.pad_byte]) * (-(len(self.buf) - self.origin) % a)
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


# ---------------------------------------------------------------------------
# Encoder (of already normalised, valid values)


def write_value(w, t, value, registry):
    """Write one value of type `t` to the `Cdr` builder `w`."""
    if t.depth:
        w.count(len(value))
        for item in value:
            write_value(w, t.element(), item, registry)
        return
    leaf = t.leaf
    if leaf in FIXED:
        w.put(FIXED[leaf][1], value)
    elif leaf == "string":
        w.string(value)
    elif leaf == "bytes":
        w.blob(value)
    elif leaf in TIME_TYPES:
        w.time(value["sec"], value["nanosec"])
    else:
        for fname, ftype in registry[t.struct]:
            write_value(w, ftype, value[fname], registry)


def encode(schema_name, values, registry, origin=0):
    """The bytes of a message of schema `schema_name` in `registry`."""
    w = Cdr(origin=origin)
    for fname, ftype in registry[schema_name]:
        write_value(w, ftype, values[fname], registry)
    return w.done()


# ---------------------------------------------------------------------------
# Decoder


class Failure(Exception):
    """An expected failure: the exception type and its single argument."""

    def __init__(self, kind, argument):
        super().__init__(kind, argument)
        self.kind = kind
        self.argument = argument


def _deser(text):
    return Failure(TypeError, contract.DESERIALIZATION_FAILED + text)


class TooCostly(Exception):
    """The input makes more empty struct values than the caller allows."""


class _Reader:
    def __init__(self, data, empty_cap):
        self.data = data
        self.pos = 4
        self.empties = 0
        self.empty_cap = empty_cap

    def add_empties(self, count):
        self.empties += count
        if self.empty_cap is not None and self.empties > self.empty_cap:
            raise TooCostly()

    def align(self, a):
        if self.pos % a:
            target = self.pos + a - self.pos % a
            if target > len(self.data):
                raise _deser(contract.ALIGN)
            self.pos = target

    def take(self, n):
        if len(self.data) - self.pos < n:
            self.pos = len(self.data)
            raise _deser(contract.FILL)
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def unpack(self, fmt, size):
        self.align(size)
        return struct.unpack(fmt, self.take(size))[0]


def utf8_failure(raw):
    """(text, None) for valid UTF-8, else (None, the detail deserialize reports)."""
    try:
        return raw.decode("utf-8"), None
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return None, f"incomplete utf-8 byte sequence from index {error.start}"
        width = error.end - error.start
        return None, f"invalid utf-8 sequence of {width} bytes from index {error.start}"


def _read(r, t, path, depth, registry):
    if t.depth:
        if depth >= contract.MAX_NESTING:
            raise _deser(contract.nesting_text(path))
        count = r.unpack("<I", 4)
        element = t.element()
        if (
            count
            and element.leaf == "struct"
            and element.depth == 0
            and registry.get(element.struct) == []
        ):
            if depth + 1 >= contract.MAX_NESTING:
                raise _deser(contract.nesting_text(path))
            if r.empty_cap is not None and r.empties + count > r.empty_cap:
                raise TooCostly()
            if r.empties + count > contract.MAX_EMPTY_VALUES:
                raise _deser(contract.empty_limit_text(path))
            r.add_empties(count)
            return [{} for _ in range(count)]
        return [_read(r, element, path, depth + 1, registry) for _ in range(count)]
    leaf = t.leaf
    if leaf in FIXED:
        size, fmt = FIXED[leaf]
        if leaf == "bool":
            r.align(1)
            return r.take(1) != b"\x00"
        return r.unpack(fmt, size)
    if leaf == "string":
        n = r.unpack("<I", 4)
        raw = r.take(n)
        if n == 0 or raw[-1] != 0:
            raise _deser(contract.nul_text(path))
        text, problem = utf8_failure(raw[:-1])
        if problem:
            raise _deser(problem)
        return text
    if leaf == "bytes":
        n = r.unpack("<I", 4)
        return r.take(n)
    if leaf in TIME_TYPES:
        sec = r.unpack("<i", 4)
        nanosec = r.unpack("<I", 4)
        return {"sec": sec, "nanosec": nanosec}
    assert leaf == "struct", leaf
    if depth >= contract.MAX_NESTING:
        raise _deser(contract.nesting_text(path))
    if t.struct not in registry:
        raise Failure(KeyError, t.struct)
    start = r.pos
    out = {}
    for fname, ftype in registry[t.struct]:
        out[fname] = _read(r, ftype, path + "." + fname, depth + 1, registry)
    if r.pos == start:
        r.add_empties(1)
        if r.empties > contract.MAX_EMPTY_VALUES:
            raise _deser(contract.empty_limit_text(path))
    return out


def decode(schema_name, data, registry, empty_cap=None):
    """The expected result of deserialize: a dict, or raises Failure.

    With `empty_cap`, raises TooCostly as soon as the input decodes more
    than that many empty struct values (the fuzz loop skips such inputs:
    up to a million empty dicts per input would eat its time budget; the
    bound itself is checked by the seeds and the tests)."""
    if len(data) < 4:
        raise Failure(ValueError, contract.TOO_SHORT)
    if data[0] != 0 or data[1] != 1:
        raise Failure(ValueError, contract.encapsulation_text(data))
    if schema_name not in registry:
        raise Failure(KeyError, schema_name)
    r = _Reader(data, empty_cap)
    out = {}
    for fname, ftype in registry[schema_name]:
        out[fname] = _read(r, ftype, fname, 0, registry)
    return out
