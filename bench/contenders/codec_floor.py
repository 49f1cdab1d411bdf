"""The codec's own floor: what any dict-based serialize and deserialize must do.

"floor" times two hooks of the test-only module `_korvex_messages_testing`
(src/testing/floors.cpp, where both are described in full):

- serialize_floor(schema, values): the encoder's own walk, which looks up
  every field and checks and converts every value, with a writer that
  writes nothing;
- deserialize_floor(schema, template): the decoder's own walk building the
  very dicts, numbers and strings that deserialize returns, from values
  that the template (made once per workload outside the timed calls, by the
  encoder's walk) recorded packed, reading and checking nothing.

Both are called like the real functions and do strictly less than them, so
ours / floor is what the codec spends beyond what any implementation with
dicts in and out must spend.  The test-only module has a registry of its
own, so the schemas are registered there as well.  It is built by plain
CMake, or by pip with -Ccmake.define.KORVEX_TESTING_MODULE=ON; without it
the floor is left out.
"""

from __future__ import annotations

from bench.contenders import Contender, Prepared
from bench.contenders.ours import register
from bench.workloads import Workload


class CodecFloor(Contender):
    """serialize_floor and deserialize_floor of the test-only module."""

    name = "floor"
    kind = "floor"

    def load(self) -> None:
        try:
            import _korvex_messages_testing
        except ImportError as error:
            raise ImportError(
                f"{error}; build it with -Ccmake.define.KORVEX_TESTING_MODULE=ON (or plain CMake)"
            ) from error
        for hook in ("serialize_floor", "floor_template", "deserialize_floor"):
            if not hasattr(_korvex_messages_testing, hook):
                raise ImportError(f"_korvex_messages_testing has no {hook}(): rebuild it")
        self.kt = _korvex_messages_testing

    def prepare(self, workload: Workload) -> list[Prepared]:
        kt = self.kt
        register(kt, workload.top)
        schema = workload.schema
        # Made after every schema is registered: a template is refused once
        # the test-only module's registry has changed.
        template = kt.floor_template(schema, workload.message)
        if kt.serialize_floor(schema, workload.message) is not None:
            raise RuntimeError("serialize_floor returned something")
        return [
            Prepared(
                label=self.name,
                encode=kt.serialize_floor,
                encode_args=(schema, workload.message),
                decode=kt.deserialize_floor,
                decode_args=(schema, template),
                produces_cdr=False,
                round_trips=False,
                notes=["serialize: the walk without writing; deserialize: the walk building only"],
            )
        ]


CONTENDERS = [CodecFloor()]
