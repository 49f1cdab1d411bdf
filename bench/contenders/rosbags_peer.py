"""rosbags: its typestore built from .msg text, and its CDR (de)serializer.

rosbags works on generated dataclasses; primitive arrays (and uint8[] for
byte payloads) are numpy arrays, which it requires on input and returns on
output.  `serialize_cdr` returns a memoryview (over a bytearray).
"""

from __future__ import annotations

import functools

from bench.contenders import Contender, Prepared, struct_to_logical
from bench.contenders.ros_msg import msg_text
from bench.workloads import (
    PACKAGE,
    TIME_TYPE,
    Workload,
    dependencies,
    element_type,
    fields_of,
    struct_name,
)
from tests.support.cdr import FIXED

# numpy's dtype names of the fixed-size types are our type names.
_NUMPY = {name: name for name in FIXED}


def typename(short: str) -> str:
    return f"{PACKAGE}/msg/{short}"


class Rosbags(Contender):
    name = "rosbags"
    representation = (
        "generated dataclasses with numpy arrays for primitive arrays and uint8[]; "
        "serializes to a memoryview"
    )

    def load(self) -> None:
        import numpy
        import rosbags
        from rosbags.typesys import Stores, get_types_from_msg, get_typestore

        self.np = numpy
        self.module = rosbags
        self.typestore = get_typestore(Stores.EMPTY)
        self.get_types_from_msg = get_types_from_msg
        self.registered: set[str] = set()

    def version(self) -> str:
        from importlib.metadata import version

        return version("rosbags")

    def _register(self, top: str) -> None:
        types = {}
        for short in dependencies(top):
            if short not in self.registered:
                types.update(self.get_types_from_msg(msg_text(short), typename(short)))
                self.registered.add(short)
        if types:
            self.typestore.register(types)

    def native(self, type_name: str, value):
        """rosbags' own representation of a logical value."""
        if type_name == "bytes":
            return self.np.frombuffer(value, dtype=self.np.uint8)
        if type_name == "time":
            return self.typestore.types[typename(TIME_TYPE)](
                sec=value["sec"], nanosec=value["nanosec"]
            )
        inner = element_type(type_name)
        if inner is not None:
            if inner in _NUMPY:
                return self.np.array(value, dtype=_NUMPY[inner])
            return [self.native(inner, item) for item in value]
        nested = struct_name(type_name)
        if nested is not None:
            return self.native_struct(nested, value)
        return value

    def native_struct(self, short: str, value: dict):
        cls = self.typestore.types[typename(short)]
        return cls(**{name: self.native(t, value[name]) for name, t in fields_of(short)})

    def prepare(self, workload: Workload) -> list[Prepared]:
        self._register(workload.top)
        name = typename(workload.top)
        message = self.native_struct(workload.top, workload.message)
        # Little-endian on every host, as ours; rosbags' default is the
        # host's byte order.
        encode = functools.partial(self.typestore.serialize_cdr, little_endian=True)
        data = bytes(encode(message, name))
        return [
            Prepared(
                label=self.name,
                encode=encode,
                encode_args=(message, name),
                decode=self.typestore.deserialize_cdr,
                decode_args=(data, name),
                to_logical=lambda value, top=workload.top: struct_to_logical(top, value),
            )
        ]


CONTENDERS = [Rosbags()]
