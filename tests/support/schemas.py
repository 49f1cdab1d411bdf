"""Schema names and registrations that a test leaves behind as it found them.

The schema registry is shared by the whole process (and the test-only module
has one of its own), so every test takes its names from `fresh_name` and
registers through a `Schemas`, which unregisters, when it is closed, every
name it handed out from every registry that still holds it.
"""

import itertools
import sys
import uuid

# One counter for the whole test process, so names never repeat across tests.
_NAME_COUNTER = itertools.count()
# A per-process token keeps generated names apart from literal names that
# tests spell out themselves.
_RUN_TOKEN = uuid.uuid4().hex[:8]

# The registries a name may have been registered in.
_MODULES = ("_korvex_messages", "_korvex_messages_testing")


def fresh_name(prefix="schema"):
    """A schema name no other test of this process uses."""
    return f"{prefix}__{_RUN_TOKEN}_{next(_NAME_COUNTER)}"


class Schemas:
    """Fresh names and registrations, all undone by `close`."""

    def __init__(self):
        self.made = []

    def name(self, prefix="schema"):
        """A fresh name, unregistered again on `close` wherever it is registered."""
        name = fresh_name(prefix)
        self.made.append(name)
        return name

    def register(self, fields, prefix="S", module=None):
        """Register `fields` under a fresh name in `module` (by default
        `_korvex_messages`) and return the name."""
        if module is None:
            import _korvex_messages as module
        name = self.name(prefix)
        module.register_schema(name, [tuple(f) for f in fields])
        return name

    def struct_type(self, fields, prefix="inner", module=None):
        """The type name of a struct with `fields`, registered under a fresh name."""
        return "struct:" + self.register(fields, prefix, module)

    def close(self):
        modules = [sys.modules[m] for m in _MODULES if m in sys.modules]
        for name in self.made:
            for module in modules:
                try:
                    if module.schema_exists(name):
                        module.unregister_schema(name)
                except Exception:
                    pass
        self.made.clear()
