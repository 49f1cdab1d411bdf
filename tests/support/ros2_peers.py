"""rosbags as the oracle of the ROS 2 codec: its type store, random messages
built from the store's field definitions, and conversions between rosbags'
message objects and the dicts the codec takes and returns.

Arrays of uint8 and byte are bytes on our side; rosbags holds them (and every
other primitive array) as numpy arrays.  rosbags packs a single `byte` as a
signed octet, so random bytes stay below 128, where both readings agree.
"""

from __future__ import annotations

import functools
import math
import random
import struct

import numpy as np

INT_RANGES = {
    "int8": (-(2**7), 2**7 - 1),
    "int16": (-(2**15), 2**15 - 1),
    "int32": (-(2**31), 2**31 - 1),
    "int64": (-(2**63), 2**63 - 1),
    "uint8": (0, 2**8 - 1),
    "uint16": (0, 2**16 - 1),
    "uint32": (0, 2**32 - 1),
    "uint64": (0, 2**64 - 1),
    "char": (0, 2**8 - 1),
    "byte": (0, 2**7 - 1),
}
NUMPY_TYPES = {
    "bool": np.bool_, "int8": np.int8, "int16": np.int16, "int32": np.int32,
    "int64": np.int64, "uint8": np.uint8, "uint16": np.uint16, "uint32": np.uint32,
    "uint64": np.uint64, "char": np.uint8, "byte": np.int8, "float32": np.float32,
    "float64": np.float64,
}  # fmt: skip
OCTETS = ("uint8", "byte")
TEXT = "abcxyz019 _/-ÄéΩ≈😀"


@functools.cache
def typestore():
    from rosbags.typesys import Stores, get_typestore

    return get_typestore(Stores.ROS2_HUMBLE)


def nodetype():
    from rosbags.typesys.base import Nodetype

    return Nodetype


def message_names():
    return sorted(typestore().fielddefs)


def fields_of(name):
    return typestore().fielddefs[name][1]


def wire_type(node):
    """The field type in the native registration's syntax, read from rosbags."""
    nt = nodetype()
    kind, detail = node
    if kind == nt.BASE:
        base, bound = detail
        return f"{base}<={bound}" if bound else base
    if kind == nt.NAME:
        return detail
    element, length = detail
    inner = wire_type(element)
    if kind == nt.ARRAY:
        return f"{inner}[{length}]"
    return f"{inner}[<={length}]" if length else f"{inner}[]"


def dependencies_first(name, seen=None):
    """`name` and every type it nests, each after the types it nests."""
    nt = nodetype()
    seen = [] if seen is None else seen
    if name in seen:
        return seen
    for _, (kind, detail) in fields_of(name):
        if kind == nt.NAME:
            dependencies_first(detail, seen)
        elif kind in (nt.ARRAY, nt.SEQUENCE) and detail[0][0] == nt.NAME:
            dependencies_first(detail[0][1], seen)
    seen.append(name)
    return seen


def _float32(rng):
    return struct.unpack("<f", struct.pack("<f", rng.uniform(-1e6, 1e6)))[0]


def _primitive(base, bound, rng):
    if base == "bool":
        return rng.random() < 0.5
    if base in INT_RANGES:
        low, high = INT_RANGES[base]
        return rng.choice([low, high, 0, rng.randint(low, high)])
    if base == "float32":
        return rng.choice([0.0, -0.0, math.inf, _float32(rng)])
    if base == "float64":
        return rng.choice([0.0, 5e-324, -math.inf, rng.uniform(-1e300, 1e300)])
    if base == "string":
        length = rng.randint(0, bound or 12)
        text = "".join(rng.choice(TEXT) for _ in range(length))
        # A bound counts UTF-8 bytes: trim until it holds.
        while bound and len(text.encode()) > bound:
            text = text[:-1]
        return text
    raise AssertionError(f"no generator for {base}")


def random_value(node, rng, depth=0):
    """A random (ours, rosbags') value pair for a field of type `node`."""
    nt = nodetype()
    kind, detail = node
    if kind == nt.BASE:
        value = _primitive(detail[0], detail[1], rng)
        return value, value
    if kind == nt.NAME:
        return random_message(detail, rng, depth + 1)
    element, length = detail
    if kind == nt.ARRAY:
        count = length
    else:
        count = rng.randint(0, min(length or 4, 4) if depth < 3 else 0)
    if element[0] == nt.BASE and element[1][0] != "string":
        base = element[1][0]
        values = [_primitive(base, 0, rng) for _ in range(count)]
        array = np.array(values, dtype=NUMPY_TYPES[base])
        if base in OCTETS:
            return array.astype(np.uint8).tobytes(), array
        return values, array
    pairs = [random_value(element, rng, depth) for _ in range(count)]
    return [ours for ours, _ in pairs], [theirs for _, theirs in pairs]


def random_message(name, rng, depth=0):
    """A random message of type `name` as (dict, rosbags object)."""
    ours, theirs = {}, {}
    for field, node in fields_of(name):
        ours[field], theirs[field] = random_value(node, rng, depth)
    return ours, typestore().types[name](**theirs)


def as_dict(message, numpy=False):
    """A rosbags message object as the dict our decoder returns (in numpy
    mode with ``numpy=True``: every primitive array a numpy array, octets as
    uint8)."""
    result = {}
    for field, node in fields_of(message.__msgtype__):
        result[field] = _plain(getattr(message, field), node, numpy)
    return result


def _plain(value, node, numpy):
    nt = nodetype()
    kind, detail = node
    if kind == nt.NAME:
        return as_dict(value, numpy)
    if kind == nt.BASE:
        return value
    element = detail[0]
    if element[0] == nt.BASE and element[1][0] != "string":
        array = np.asarray(value, dtype=NUMPY_TYPES[element[1][0]])
        if element[1][0] in OCTETS:
            array = array.view(np.uint8)
            return array if numpy else array.tobytes()
        return array if numpy else array.tolist()
    return [_plain(item, element, numpy) for item in value]


def serialize(message, little_endian=True):
    return bytes(
        typestore().serialize_cdr(message, message.__msgtype__, little_endian=little_endian)
    )


def deserialize(data, name):
    return typestore().deserialize_cdr(data, name)


def same(a, b):
    """Equality that takes NaN as equal to itself and tells -0.0 from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b
