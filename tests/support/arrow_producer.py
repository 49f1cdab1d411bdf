"""An Arrow C stream producer written with ctypes, for tables no Arrow library
would make: offsets out of order, missing buffers or children, arrays shorter
than their parent.  pyarrow validates what it builds, so only a producer of
our own reaches a consumer with such arrays.

A column is a `Node`; `stream_of(batch_nodes)` gives an object with
`__arrow_c_stream__` whose one batch per node is that struct node.  The
buffers are kept alive by the object; release callbacks only mark the
structure released, as the interface asks."""

from __future__ import annotations

import ctypes
import sys
from dataclasses import dataclass, field


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
GetSchema = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema)
)
GetNext = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray)
)
GetLastError = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))
StreamRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))

ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", SchemaRelease),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ArrayRelease),
    ("private_data", ctypes.c_void_p),
]
ArrowArrayStream._fields_ = [
    ("get_schema", GetSchema),
    ("get_next", GetNext),
    ("get_last_error", GetLastError),
    ("release", StreamRelease),
    ("private_data", ctypes.c_void_p),
]


@SchemaRelease
def _release_schema(schema):
    schema.contents.release = SchemaRelease()


@ArrayRelease
def _release_array(array):
    array.contents.release = ArrayRelease()


@dataclass
class Node:
    """One array and its type: `buffers` as bytes, and a format, name or
    child None for a null pointer; `array_children` when the array's
    children differ from the type's."""

    format: str | None
    length: int
    buffers: list[bytes | None]
    name: str | None = ""
    children: list[Node | None] = field(default_factory=list)
    offset: int = 0
    array_children: list[Node | None] | None = None
    null_count: int = 0


class _Keep:
    """Everything the C structures point into, alive as long as the stream."""

    def __init__(self) -> None:
        self.objects: list[object] = []

    def __call__(self, value):
        self.objects.append(value)
        return value


def _schema(node: Node, keep: _Keep) -> ArrowSchema:
    schema = ArrowSchema()
    schema.format = None if node.format is None else keep(node.format.encode())
    schema.name = None if node.name is None else keep(node.name.encode())
    schema.n_children = len(node.children)
    children = keep((ctypes.POINTER(ArrowSchema) * max(1, len(node.children)))())
    for i, child in enumerate(node.children):
        if child is not None:
            children[i] = ctypes.pointer(keep(_schema(child, keep)))
    schema.children = children
    schema.release = _release_schema
    return schema


def _array(node: Node, keep: _Keep) -> ArrowArray:
    array = ArrowArray()
    array.length, array.offset, array.null_count = node.length, node.offset, node.null_count
    array.n_buffers = len(node.buffers)
    pointers = keep((ctypes.c_void_p * max(1, len(node.buffers)))())
    for i, data in enumerate(node.buffers):
        if data is not None:
            pointers[i] = ctypes.addressof(keep(ctypes.create_string_buffer(data, len(data) + 1)))
    array.buffers = pointers
    kids = node.children if node.array_children is None else node.array_children
    array.n_children = len(kids)
    children = keep((ctypes.POINTER(ArrowArray) * max(1, len(kids)))())
    for i, child in enumerate(kids):
        if child is not None:
            children[i] = ctypes.pointer(keep(_array(child, keep)))
    array.children = children
    array.release = _release_array
    return array


class Producer:
    """An object exporting one Arrow C stream of the given struct nodes."""

    def __init__(self, batches: list[Node]) -> None:
        self.batches = batches

    def __arrow_c_stream__(self, requested_schema=None):
        keep = _Keep()
        pending = list(self.batches)

        @GetSchema
        def get_schema(stream, out):
            schema = _schema(self.batches[0], keep)
            ctypes.memmove(out, ctypes.byref(schema), ctypes.sizeof(ArrowSchema))
            return 0

        @GetNext
        def get_next(stream, out):
            if pending:
                array = _array(pending.pop(0), keep)
            else:
                array = ArrowArray()  # the end: a released array
            ctypes.memmove(out, ctypes.byref(array), ctypes.sizeof(ArrowArray))
            return 0

        @GetLastError
        def get_last_error(stream):
            return None

        @StreamRelease
        def release(stream):
            stream.contents.release = StreamRelease()

        stream = ArrowArrayStream(get_schema, get_next, get_last_error, release, None)
        keep((get_schema, get_next, get_last_error, release, stream))
        self.kept = keep  # the stream's memory lives as long as this object
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return new_capsule(ctypes.addressof(stream), b"arrow_array_stream", None)


def ints(width: int, *values: int) -> bytes:
    """Signed integers of `width` bytes as Arrow buffers hold them: in the
    machine's own byte order."""
    return b"".join(v.to_bytes(width, sys.byteorder, signed=True) for v in values)


def int32s(*values: int) -> bytes:
    return ints(4, *values)
