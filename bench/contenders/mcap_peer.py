"""mcap-ros2-support: dynamic encoder and decoder built from .msg text.

The encoder takes plain dicts (lists, bytes for uint8[]); the decoder
returns generated attribute objects, with Python lists for primitive arrays
and bytes for uint8[].
"""

from __future__ import annotations

from bench.contenders import Contender, Prepared, struct_to_logical
from bench.contenders.ros_msg import concatenated
from bench.workloads import PACKAGE, Workload, dependencies


class McapRos2(Contender):
    name = "mcap-ros2"
    representation = "takes dicts; decodes to generated attribute objects with lists and bytes"

    def load(self) -> None:
        from mcap_ros2._dynamic import generate_dynamic, serialize_dynamic

        self.generate_dynamic = generate_dynamic
        self.serialize_dynamic = serialize_dynamic

    def version(self) -> str:
        from importlib.metadata import version

        return version("mcap-ros2-support")

    def prepare(self, workload: Workload) -> list[Prepared]:
        schema_name = f"{PACKAGE}/{workload.top}"
        text = concatenated(dependencies(workload.top))
        # Its encoder takes no byte order: it always writes little-endian
        # CDR (00 01 00 00), as ours, whatever the host.
        encode = self.serialize_dynamic(schema_name, text)[schema_name]
        decode = self.generate_dynamic(schema_name, text)[schema_name]
        data = encode(workload.message)
        return [
            Prepared(
                label=self.name,
                encode=encode,
                encode_args=(workload.message,),
                decode=decode,
                decode_args=(data,),
                to_logical=lambda value, top=workload.top: struct_to_logical(top, value),
            )
        ]


CONTENDERS = [McapRos2()]
