"""pycdr2: IDL dataclasses (the CycloneDDS Python type support, standalone).

Messages are IdlStruct dataclasses; arrays are Python lists and byte
payloads are `bytes`.  Types are declared as XCDR1 (plain CDR) structs so
the bytes follow the same layout as ROS 2 CDR.
"""

from __future__ import annotations

from bench.contenders import Contender, Prepared, struct_to_logical
from bench.workloads import TIME_TYPE, Workload, dependencies, element_type, fields_of, struct_name
from tests.support.cdr import FIXED


class Pycdr2(Contender):
    name = "pycdr2"
    representation = "IdlStruct dataclasses with lists and bytes"

    def load(self) -> None:
        import pycdr2
        from pycdr2 import Endianness, types

        self.pycdr2 = pycdr2
        self.little_endian = Endianness.Little
        self.types = types
        self.classes: dict[str, type] = {}

    def version(self) -> str:
        from importlib.metadata import version

        return version("pycdr2")

    def _type(self, type_name: str):
        t = self.types
        # pycdr2 names its sized types as we do; bool, string and bytes are
        # Python's own types.
        scalars = {name: getattr(t, name) for name in FIXED if name != "bool"}
        scalars.update(bool=bool, string=str, bytes=bytes)
        if type_name in scalars:
            return scalars[type_name]
        if type_name == "time":
            return self._class(TIME_TYPE)
        inner = element_type(type_name)
        if inner is not None:
            return t.sequence[self._type(inner)]
        return self._class(struct_name(type_name))

    def _class(self, short: str):
        if short not in self.classes:
            fields = {name: self._type(t) for name, t in fields_of(short)}
            self.classes[short] = self.pycdr2.make_idl_struct(short, f"bench_msgs::{short}", fields)
        return self.classes[short]

    def native(self, type_name: str, value):
        if type_name == "time":
            return self._class(TIME_TYPE)(**value)
        inner = element_type(type_name)
        if inner is not None:
            if struct_name(inner) is None and inner != "time":
                return list(value)
            return [self.native(inner, item) for item in value]
        nested = struct_name(type_name)
        if nested is not None:
            return self.native_struct(nested, value)
        return value

    def native_struct(self, short: str, value: dict):
        return self._class(short)(
            **{name: self.native(t, value[name]) for name, t in fields_of(short)}
        )

    def prepare(self, workload: Workload) -> list[Prepared]:
        for short in dependencies(workload.top):
            self._class(short)
        cls = self._class(workload.top)
        message = self.native_struct(workload.top, workload.message)
        # serialize(buffer, endianness): little-endian on every host, as
        # ours; pycdr2's default is the host's byte order.
        encode_args = (None, self.little_endian)
        data = message.serialize(*encode_args)
        return [
            Prepared(
                label=self.name,
                encode=message.serialize,
                encode_args=encode_args,
                decode=cls.deserialize,
                decode_args=(data,),
                to_logical=lambda value, top=workload.top: struct_to_logical(top, value),
            )
        ]


CONTENDERS = [Pycdr2()]
