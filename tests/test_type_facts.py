"""Per-type facts the Python side and the buffer paths take from the native
type table, against independent models: numpy's integer limits, the ROS 2
primitive names, the struct module's sizes and kinds, get_schema's names."""

import struct

import numpy as np
import pytest

import _korvex_messages as km
from korvex_messages import _registration
from korvex_messages import ros2 as public
from korvex_messages.ros2 import _msgdef

# The primitive types of ROS 2 interface definitions (rosidl), wstring with them.
ROS2_PRIMITIVES = {
    "bool",
    "byte",
    "char",
    "int8",
    "uint8",
    "int16",
    "uint16",
    "int32",
    "uint32",
    "int64",
    "uint64",
    "float32",
    "float64",
    "string",
    "wstring",
}
INTEGERS = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"]


def test_msgdef_knows_the_ros2_primitives():
    assert _msgdef.PRIMITIVE_TYPES == ROS2_PRIMITIVES
    assert _msgdef._FLOAT_TYPES == {"float32", "float64"}


@pytest.mark.parametrize("name", [*INTEGERS, "byte", "char"])
def test_msgdef_integer_ranges_are_numpy_limits(name):
    limits = np.iinfo(np.uint8 if name in ("byte", "char") else np.dtype(name))
    assert _msgdef._INTEGER_RANGES[name] == (int(limits.min), int(limits.max))
    # The edges are constants the parser takes; one past them it refuses.
    text = f"{name} LOW={limits.min}\n{name} HIGH={limits.max}\n"
    (definition,) = _msgdef.parse_msg_text("p/msg/T", text)
    assert [c.value for c in definition.constants] == [int(limits.min), int(limits.max)]
    for outside in (int(limits.min) - 1, int(limits.max) + 1):
        with pytest.raises(_msgdef.MsgDefinitionError, match="out of the range of"):
            _msgdef.parse_msg_text("p/msg/T", f"{name} A={outside}\n")


CANONICAL = [
    ("int8", "int8"),
    ("ros_string", "string"),
    ("ros_bytes", "bytes"),
    ("array<array<ros_bytes>>", "array<array<bytes>>"),
    ("array<time>", "array<time>"),
    ("struct: Pose\u3000", "struct:Pose"),
    ("array<struct:\u2003A\t>", "array<struct:A>"),
    ("struct:\x1cA\x1f", "struct:\x1cA\x1f"),
    ("struct:a<b>", "struct:a<b>"),
    ("struct:", None),
    ("struct: \u00a0", None),
    ("array<>", None),
    ("array<int7>", None),
    ("Int8", None),
    ("int8 ", None),
    ("int8\x00", None),
    ("array<int8", None),
    ("", None),
]


@pytest.mark.parametrize(("text", "expected"), CANONICAL)
def test_ensure_schemas_reads_names_as_get_schema_prints_them(text, expected, unique_name):
    name = unique_name("canonical")
    try:
        km.register_schema(name, [("f", text)])
    except (ValueError, TypeError):
        registered = None
    else:
        ((_, registered),) = km.get_schema(name)
    assert registered == expected
    assert _registration._canonical_fields([("f", text)]) == (
        None if expected is None else [("f", expected)]
    )


def test_a_name_without_utf8_form_is_left_to_register_schema():
    assert _registration._canonical_fields([("f", "struct:\ud800")]) is None


# The struct-module codes a buffer's items may carry, and the sort of number
# each is, from the struct module's own documentation.
SIGNED, UNSIGNED, REAL, BOOLEAN = "signed", "unsigned", "real", "bool"
CODES = {
    "b": SIGNED,
    "h": SIGNED,
    "i": SIGNED,
    "l": SIGNED,
    "q": SIGNED,
    "n": SIGNED,
    "B": UNSIGNED,
    "H": UNSIGNED,
    "I": UNSIGNED,
    "L": UNSIGNED,
    "Q": UNSIGNED,
    "N": UNSIGNED,
    "f": REAL,
    "d": REAL,
    "?": BOOLEAN,
    "c": None,
}
# uint8[] is octets, which take bytes-like buffers by rules of their own.
ELEMENTS = {
    "bool": (BOOLEAN, 1),
    **{
        name: (UNSIGNED if name.startswith("u") else SIGNED, int(name.strip("uint")) // 8)
        for name in INTEGERS
        if name != "uint8"
    },
    "float32": (REAL, 4),
    "float64": (REAL, 8),
}


@pytest.fixture(scope="module")
def array_types():
    names = {}
    for element in ELEMENTS:
        name = f"type_facts/msg/{element.capitalize()}Array"
        public.register_msg(name, f"{element}[] values")
        names[element] = name
    return names


@pytest.mark.parametrize("code", CODES)
@pytest.mark.parametrize("element", ELEMENTS)
def test_numeric_arrays_take_buffers_of_their_own_sort_and_size(array_types, element, code):
    sort, size = ELEMENTS[element]
    raw = bytes([0, 1, 1, 0] * 4)[: 2 * struct.calcsize(code)]
    view = memoryview(raw).cast(code)
    accepted = CODES[code] == sort and struct.calcsize(code) == size
    if not accepted:
        with pytest.raises(TypeError):
            public.serialize(array_types[element], {"values": view})
        return
    values = view.tolist()
    if sort == BOOLEAN:
        values = [bool(v) for v in values]
    assert public.serialize(array_types[element], {"values": view}) == public.serialize(
        array_types[element], {"values": values}
    )
