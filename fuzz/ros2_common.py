"""Shared pieces of the ROS 2 fuzz targets (korvex_messages.ros2).

* The type set: message types of rosbags' ROS 2 Humble store, registered
  from the text a recording stores (`generate_msgdef`), chosen to cover
  fixed arrays, bounded and unbounded sequences, bounded strings, octets
  (uint8, byte, char), sequences of nested messages, empty messages and
  float64 alignment, plus one hand-written type with small bounds so that
  the fuzzer reaches every bound check.  rosbags is the oracle of both
  targets; `rosbags_read` is its reading of a payload, normalised where it
  keeps raw octets that no reader writes back.
* A value generator driven by a FuzzedDataProvider that builds a message
  dict for a type together with the rosbags object of the same message,
  mixing the accepted spellings of a value (lists, numpy arrays, array.array,
  bytes-like objects, subclasses, objects with __index__/__float__) with
  refused ones (wrong types, out-of-range integers, wrong array lengths,
  over-long bounded values, buffers of another element type) and recording
  the top-level field of the first refused one.

Everything here is plain Python; only the targets import atheris.
"""

import array
import math

import numpy as np

from tests.support import ros2 as peers
from tests.support.values import DictSub, FloatOnly, IndexOnly, IntSub, StrSub

# Small bounds, so that random bytes cross them often.
BOUNDS_TYPE = "fuzz_msgs/msg/Bounds"
BOUNDS_TEXT = """\
string<=3 word
int32[<=2] pair
uint8[<=4] octets
byte[2] two_bytes
char[3] three_chars
string<=2[<=2] names
bool[<=2] flags
float64 aligned
std_msgs/Empty[<=3] empties
uint16[2] shorts
"""

# The order of this list is part of the seed corpus format (the first input
# byte selects an entry), so only ever append to it.
TYPES = [
    "std_msgs/msg/Empty",
    "std_msgs/msg/String",
    "std_msgs/msg/Header",
    "geometry_msgs/msg/PoseWithCovarianceStamped",
    "sensor_msgs/msg/PointCloud2",
    "sensor_msgs/msg/CameraInfo",
    "sensor_msgs/msg/JointState",
    "std_msgs/msg/Float32MultiArray",
    "diagnostic_msgs/msg/DiagnosticArray",
    "rcl_interfaces/msg/ParameterDescriptor",
    "rmw_dds_common/msg/ParticipantEntitiesInfo",
    "shape_msgs/msg/SolidPrimitive",
    "nav_msgs/msg/OccupancyGrid",
    "std_msgs/msg/Char",
    "rcl_interfaces/msg/ParameterValue",
    BOUNDS_TYPE,
]

# rosbags' node kinds (rosbags.typesys.base.Nodetype) in a field descriptor.
NT_BASE, NT_NAME, NT_ARRAY, NT_SEQUENCE = 1, 2, 3, 4

_ready = None


def register_peer_types():
    """Adds the hand-written type to rosbags' store (once)."""
    from rosbags.typesys import get_types_from_msg

    store = peers.typestore()
    if BOUNDS_TYPE not in store.fielddefs:
        store.register(get_types_from_msg(BOUNDS_TEXT, BOUNDS_TYPE))


def setup():
    """Registers the type set in rosbags' store and in korvex_messages.ros2
    (once) and returns the public module."""
    global _ready
    if _ready is None:
        from fuzz.common import bind_native_coverage

        bind_native_coverage()
        from korvex_messages import ros2

        register_peer_types()
        for name in TYPES:
            ros2.register_msg(name, peers.msgdef_text(name))
        _ready = ros2
    return _ready


def split_input(data):
    """The type a fuzz input's first byte selects, and the rest of it."""
    return TYPES[data[0] % len(TYPES)], bytes(data[1:])


def outcome(call, *args, **kwargs):
    """("ok", result) or (exception type, text) of a call; anything but the
    documented exceptions with one non-empty text argument is a finding."""
    try:
        return ("ok", call(*args, **kwargs))
    except (TypeError, ValueError, KeyError) as error:
        if len(error.args) != 1 or not isinstance(error.args[0], str) or not error.args[0]:
            raise AssertionError(
                "%s without a text: %r" % (type(error).__name__, error.args)
            ) from error
        return (type(error), error.args[0])
    except BaseException as error:  # PanicException derives from BaseException
        raise AssertionError(
            "undocumented outcome %s: %r" % (type(error).__name__, error)
        ) from error


def rosbags_outcome(call, *args, **kwargs):
    """rosbags' result, or None when it refuses (any exception: it raises
    struct.error, OverflowError, SerdeError, ValueError... for bad input)."""
    try:
        return call(*args, **kwargs)
    except Exception:  # noqa: BLE001 - the peer's kind of refusal is not ours to judge
        return None


def rosbags_read(payload, name):
    """rosbags' reading of a payload, or None where it refuses it.

    Its deserialize_cdr refuses more than 3 bytes after the message (a size
    check of its own); rmw, and we, ignore what follows a message.  So the
    header check and the message reader are called as deserialize_cdr calls
    them, without that size check, and what it read is then normalised
    (normalize_read).
    """
    store = peers.typestore()
    if len(payload) < 4 or payload[:2] not in (b"\x00\x00", b"\x00\x01"):
        return None
    msgdef = store.get_msgdef(name)
    read = msgdef.deserialize_cdr_le if payload[1] else msgdef.deserialize_cdr_be
    result = rosbags_outcome(read, payload[4:], 0, msgdef.cls, store)
    if result is None:
        return None
    normalize_read(result[0])
    return result[0]


def normalize_read(message):
    """What rosbags keeps of the raw octets, in the form rmw and we write it
    again: the member of a message without fields (the octet on the wire,
    whatever it was) 0, a bool array 0 or 1 (rosbags' numpy bool array
    holds the octets as they came), a float32 array without signaling NaNs
    (quiet_float32)."""
    name = message.__msgtype__
    if peers.is_empty(name):
        setattr(message, peers.EMPTY_PLACEHOLDER, 0)
        return
    for field, (kind, detail) in peers.fields_of(name):
        value = getattr(message, field)
        if kind == NT_NAME:
            normalize_read(value)
        elif kind in (NT_ARRAY, NT_SEQUENCE) and detail[0][0] == NT_NAME:
            for item in value:
                normalize_read(item)
        elif kind in (NT_ARRAY, NT_SEQUENCE) and detail[0] == (NT_BASE, ("bool", 0)):
            setattr(message, field, np.asarray(value).view(np.uint8) != 0)
        elif kind in (NT_ARRAY, NT_SEQUENCE) and detail[0] == (NT_BASE, ("float32", 0)):
            setattr(message, field, quiet_float32(value))


def quiet_float32(values):
    """float32 values with every signaling NaN made quiet, as converting it
    to a Python float (a double) does: no Python float holds a float32
    signaling NaN, so one read as a list cannot be written back bit for bit
    (numpy mode keeps it)."""
    bits = np.array(values, dtype=np.float32).view(np.uint32)
    signaling = ((bits & 0x7F800000) == 0x7F800000) & ((bits & 0x7FFFFF) != 0)
    signaling &= (bits & 0x400000) == 0
    bits[signaling] |= 0x400000
    return bits.view(np.float32)


# --------------------------------------------------------------------------
# Value generator

INT_RANGES = dict(peers.INT_RANGES)
# One octet either way for the codec; rosbags packs a single `byte` signed,
# so valid values stay where both readings agree (see tests.support.ros2).
OCTETS = peers.OCTETS
OCTET_SCALARS = ("byte", "char")
FLOAT32_MAX = 3.4028234663852886e38
ARRAY_CODES = {
    "int8": "b", "uint8": "B", "int16": "h", "uint16": "H", "int32": "i",
    "uint32": "I", "int64": "q", "uint64": "Q", "float32": "f", "float64": "d",
    "char": "B", "byte": "b",
}  # fmt: skip
# A dtype of another element type for every numeric element type.
OTHER_DTYPE = {
    "bool": np.uint8, "int8": np.uint8, "uint8": np.uint16, "int16": np.uint16,
    "uint16": np.int16, "int32": np.uint32, "uint32": np.int32, "int64": np.float64,
    "uint64": np.int64, "float32": np.float64, "float64": np.float32, "char": np.uint16,
    "byte": np.int16,
}  # fmt: skip
# Empty buffers of 8-byte elements are generated too: they once took 4
# padding bytes that an empty list does not (see
# test_empty_wide_buffer_is_written_like_an_empty_list in tests/test_ros2_wire.py).
EMPTY_WIDE_BUFFERS = True
EIGHT_BYTE_TYPES = ("int64", "uint64", "float64")
TEXT = "ab_/ÄΩ😀\x00"


class Generator:
    """Builds (our dict, rosbags object) for a type from fuzzer bytes.

    `refused` is the top-level field of the first value the codec must
    refuse, in writing order (None when the whole message is valid); the
    rosbags object means nothing then.
    """

    BUDGET = 200

    def __init__(self, fdp):
        self.fdp = fdp
        self.refused = None
        self.budget = self.BUDGET
        self.top = None

    def choice(self, top):
        return self.fdp.ConsumeIntInRange(0, top)

    def refuse(self):
        if self.refused is None:
            self.refused = self.top

    def message(self, name, depth=0):
        fields = peers.fields_of(name)
        ours = DictSub() if self.choice(15) == 15 else {}
        theirs = {}
        for field, node in fields:
            if depth == 0:
                self.top = field
            if peers.is_empty(name):
                break
            if self.choice(63) == 63:
                self.refuse()  # missing field
                continue
            ours[field], theirs[field] = self.value(node, depth)
        if peers.is_empty(name):
            theirs = {peers.EMPTY_PLACEHOLDER: 0}
        if depth == 0 and self.choice(15) == 15:
            ours["not_a_field"] = self.choice(3)  # other keys are ignored
        if self.refused is not None:
            return ours, None
        return ours, peers.typestore().types[name](**theirs)

    def value(self, node, depth):
        self.budget -= 1
        kind, detail = node
        if kind == NT_BASE:
            return self.primitive(detail[0], detail[1])
        if kind == NT_NAME:
            pick = self.choice(31)
            if pick == 31:
                self.refuse()
                return [None, [], "x"][self.choice(2)], None
            return self.message(detail, depth + 1)
        element, length = detail
        if kind == NT_ARRAY:
            count, fixed = length, True
        else:
            top = min(length or 4, 4) if self.budget > 0 else 0
            count, fixed = self.choice(top), False
        pick = self.choice(63)
        if pick == 63:
            # One element beyond the bound, or one too few for a fixed array.
            if fixed:
                count = count + 1 if self.choice(1) else count - 1
                self.refuse()
            elif length:
                count = length + 1
                self.refuse()
        if element[0] == NT_BASE and element[1][0] != "string":
            return self.primitive_array(element[1][0], count)
        ours, theirs = [], []
        for _ in range(count):
            item, item_theirs = self.value(element, depth + 1)
            ours.append(item)
            theirs.append(item_theirs)
        if pick == 62:
            self.refuse()
            return tuple(ours), None  # only a list is a list
        if pick == 61:
            self.refuse()
            return None, None
        return ours, theirs

    def primitive(self, base, bound):
        fdp = self.fdp
        pick = self.choice(31)
        if base == "bool":
            if pick >= 29:
                self.refuse()
                return [0, 1, None][pick - 29], None
            flag = fdp.ConsumeBool()
            return flag, flag
        if base in INT_RANGES:
            low, high = INT_RANGES[base]
            if pick == 31:
                self.refuse()
                # byte and char are octets to the codec (0 to 255), whatever
                # narrower range the values are drawn from to agree with the peers.
                wide = 255 if base in OCTET_SCALARS else high
                return [low - 1, wide + 1, 2**64, -(2**63) - 1][self.choice(3)], None
            if pick == 30:
                self.refuse()
                return [1.5, "7", b"7", None, [1]][self.choice(4)], None
            number = fdp.ConsumeIntInRange(low, high)
            if pick == 29:
                return IndexOnly(number), number
            if pick == 28:
                return IntSub(number), number
            if pick == 27 and number <= 2**63 - 1:
                return np.int64(number), number
            if pick == 26:
                flag = fdp.ConsumeBool()
                return flag, int(flag)
            return number, number
        if base in ("float32", "float64"):
            if pick == 31:
                self.refuse()
                return [None, "1.0", 10**400, [1.0]][self.choice(3)], None
            if base == "float32" and pick < 24:
                x = float(np.float32(math.fmod(fdp.ConsumeRegularFloat(), FLOAT32_MAX)))
            else:
                x = fdp.ConsumeFloat()
            if pick == 30:
                number = fdp.ConsumeIntInRange(-(2**40), 2**40)
                return number, float(number)
            if pick == 29:
                return FloatOnly(x), x
            if pick == 28:
                return True, 1.0
            if pick == 27:
                return np.float64(x), x
            return x, x
        if base == "string":
            if pick == 31:
                self.refuse()
                return [None, b"text", 5, ["a"]][self.choice(3)], None
            size = self.choice(6)
            if pick == 30:
                text = fdp.ConsumeUnicode(size)
            else:
                text = "".join(TEXT[self.choice(len(TEXT) - 1)] for _ in range(size))
            try:
                encoded = len(text.encode("utf-8"))
            except UnicodeEncodeError:
                self.refuse()
                return text, None
            if bound and encoded > bound:
                self.refuse()
            if pick == 29:
                return StrSub(text), text
            return text, text
        raise AssertionError("no generator for %s" % base)

    def primitive_array(self, base, count):
        fdp = self.fdp
        values = []
        for _ in range(count):
            if base == "bool":
                values.append(fdp.ConsumeBool())
            elif base in INT_RANGES:
                values.append(fdp.ConsumeIntInRange(*INT_RANGES[base]))
            elif base == "float32":
                values.append(float(np.float32(math.fmod(fdp.ConsumeRegularFloat(), FLOAT32_MAX))))
            else:
                values.append(fdp.ConsumeFloat())
        dtype = peers.NUMPY_TYPES[base]
        theirs = np.array(values, dtype=dtype)
        pick = self.choice(15)
        if base in OCTETS:
            raw = theirs.astype(np.uint8).tobytes()
            if pick == 15:
                self.refuse()
                return [list(raw), raw.decode("latin-1"), None][self.choice(2)], None
            if pick == 14:
                self.refuse()
                return np.frombuffer(raw, np.uint8).astype(np.uint16), None
            spelling = [
                lambda: raw,
                lambda: bytearray(raw),
                lambda: memoryview(raw),
                lambda: np.frombuffer(raw, np.uint8).copy(),
                lambda: np.frombuffer(raw, np.int8).copy(),
                lambda: array.array("B", raw),
                lambda: array.array("b", raw),
            ][pick % 7]
            if pick % 7 in (4, 6) and any(octet > 0x7F for octet in raw):
                # Signed bytes are octets only where none is negative.
                self.refuse()
                return spelling(), None
            return spelling(), theirs
        if pick == 15:
            self.refuse()
            return [tuple(values), None, np.zeros(count, OTHER_DTYPE[base])][self.choice(2)], None
        if pick == 14 and count:
            self.refuse()
            wrong = list(values)
            wrong[self.choice(count - 1)] = [None, "1", [1]][self.choice(2)]
            return wrong, None
        if pick == 13 and count >= 2:
            self.refuse()
            return np.zeros(count * 2, dtype)[::2], None  # not contiguous
        if count == 0 and base in EIGHT_BYTE_TYPES and not EMPTY_WIDE_BUFFERS:
            return values, theirs
        if pick in (10, 11):
            return theirs.copy(), theirs
        if pick == 9 and base != "bool":
            return theirs.astype(np.dtype(dtype).newbyteorder(">")), theirs
        if pick == 8 and base != "bool":
            return array.array(ARRAY_CODES[base], values), theirs
        return values, theirs
