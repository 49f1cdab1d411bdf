"""`_korvex_messages` itself: dicts in, bytes out, and back."""

from __future__ import annotations

from bench.contenders import Contender, Prepared
from bench.workloads import TIME_TYPE, Workload, dependencies, our_fields, qualified


def register(km, top: str) -> None:
    """Register `top` and every message type it uses (idempotent).

    A schema already registered under the same name must have the same
    fields; anything else means another user of the process took the name.
    """
    for short in dependencies(top):
        if short == TIME_TYPE:
            continue  # built-in type of the module
        name = qualified(short)
        fields = our_fields(short)
        if km.schema_exists(name):
            registered = [tuple(pair) for pair in km.get_schema(name)]
            if registered != fields:
                raise RuntimeError(f"schema {name!r} is registered with other fields: {registered}")
            continue
        km.register_schema(name, fields)


class Ours(Contender):
    name = "korvex"
    kind = "ours"

    def load(self) -> None:
        import _korvex_messages

        self.km = _korvex_messages

    def version(self) -> str:
        return getattr(self.km, "__file__", "")

    def prepare(self, workload: Workload) -> list[Prepared]:
        register(self.km, workload.top)
        schema = workload.schema
        data = self.km.serialize(schema, workload.message)
        return [
            Prepared(
                label=self.name,
                encode=self.km.serialize,
                encode_args=(schema, workload.message),
                decode=self.km.deserialize,
                decode_args=(schema, data),
            )
        ]


CONTENDERS = [Ours()]
