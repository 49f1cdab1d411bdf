"""msgspec: MessagePack from and to the very same plain dicts.

Not CDR, but the fastest general-purpose serializer of Python dicts we
know of, so the target for our own speed: `serialize` and `deserialize`
should take at most 0.8x msgspec's encode and decode time on every
workload.  An Encoder and a Decoder (untyped: dicts, lists, numbers, str
and bytes come back) are made once per workload, outside the timed calls.
"""

from __future__ import annotations

from bench.contenders import Contender, Prepared
from bench.workloads import Workload


class Msgspec(Contender):
    name = "msgspec"
    representation = (
        "the same dicts, as MessagePack (msgspec.msgpack.Encoder().encode / Decoder().decode)"
    )

    def load(self) -> None:
        import msgspec

        self.msgspec = msgspec

    def version(self) -> str:
        from importlib.metadata import version

        return version("msgspec")

    def prepare(self, workload: Workload) -> list[Prepared]:
        encoder = self.msgspec.msgpack.Encoder()
        decoder = self.msgspec.msgpack.Decoder()
        data = encoder.encode(workload.message)
        return [
            Prepared(
                label=self.name,
                encode=encoder.encode,
                encode_args=(workload.message,),
                decode=decoder.decode,
                decode_args=(data,),
                produces_cdr=False,
                notes=["MessagePack of the same dict"],
            )
        ]


CONTENDERS = [Msgspec()]
