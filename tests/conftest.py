"""Shared fixtures for the _korvex_messages test suite."""

import importlib.util
import itertools
import os
import subprocess
import sys
import textwrap
import uuid

import pytest

# One counter for the whole test process, so names never repeat across tests.
_NAME_COUNTER = itertools.count()
# A per-process token keeps generated names apart from literal names that
# tests spell out themselves.
_RUN_TOKEN = uuid.uuid4().hex[:8]


@pytest.fixture
def unique_name():
    """Return a function making a fresh schema name from a prefix.

    The schema registry is shared by the whole process, so every test that
    registers schemas should take its names from here. Names handed out are
    unregistered from `_korvex_messages` again when the test ends, if they
    are still registered there.
    """
    made = []

    def make(prefix="schema"):
        name = f"{prefix}__{_RUN_TOKEN}_{next(_NAME_COUNTER)}"
        made.append(name)
        return name

    yield make

    if made and "_korvex_messages" in sys.modules:
        module = sys.modules["_korvex_messages"]
        for name in made:
            try:
                if module.schema_exists(name):
                    module.unregister_schema(name)
            except Exception:
                pass


def _module_dirs():
    dirs = []
    for mod in ("_korvex_messages", "_korvex_messages_testing"):
        found = importlib.util.find_spec(mod)
        if found is not None and found.origin:
            d = os.path.dirname(os.path.abspath(found.origin))
            if d not in dirs:
                dirs.append(d)
    return dirs


@pytest.fixture
def run_python():
    """Return a function running Python source in a fresh interpreter.

    The child sees the same extension modules as this process. The function
    returns the `subprocess.CompletedProcess` (text mode, stdout and stderr
    captured). Use it for anything that must not leak into this process,
    such as a poisoned registry or a crash.
    """

    def run(source, timeout=120):
        env = dict(os.environ)
        paths = _module_dirs()
        if env.get("PYTHONPATH"):
            paths.append(env["PYTHONPATH"])
        env["PYTHONPATH"] = os.pathsep.join(paths)
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
        )

    return run
