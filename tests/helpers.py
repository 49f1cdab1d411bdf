"""Helpers shared by the test modules: fresh schema names, the exported
functions' parameters and child interpreters."""

import importlib.util
import itertools
import operator
import os
import subprocess
import sys
import textwrap
import uuid
import warnings

# ---------------------------------------------------------------------------
# Schema names

# One counter for the whole test process, so names never repeat across tests.
_NAME_COUNTER = itertools.count()
# A per-process token keeps generated names apart from literal names that
# tests spell out themselves.
_RUN_TOKEN = uuid.uuid4().hex[:8]


def fresh_name(prefix="schema"):
    """A schema name no other test of this process uses."""
    return f"{prefix}__{_RUN_TOKEN}_{next(_NAME_COUNTER)}"


def register(fields, prefix="schema"):
    """Register `fields` in `_korvex_messages` under a fresh name (kept for the
    rest of the process) and return the name."""
    import _korvex_messages as km

    name = fresh_name(prefix)
    km.register_schema(name, [tuple(f) for f in fields])
    return name


def struct_type(fields, prefix="inner"):
    """The type name of a struct with `fields`, registered under a fresh name."""
    return "struct:" + register(fields, prefix)


# ---------------------------------------------------------------------------
# The six exported functions and their parameters, in order.

PARAMETERS = {
    "register_schema": ("name", "fields"),
    "get_schema": ("name",),
    "schema_exists": ("name",),
    "unregister_schema": ("name",),
    "serialize": ("schema_name", "values"),
    "deserialize": ("schema_name", "data"),
}


# ---------------------------------------------------------------------------
# The test-only companion module

# Set from the command line by conftest.py: with --without-testing-module,
# the tests that need _korvex_messages_testing are skipped when it cannot be
# imported (an installed wheel does not contain it); without the option they
# fail, so that a run that was meant to have it cannot pass without it.
TESTING_MODULE_OPTIONAL = False
NO_TESTING_MODULE = "_korvex_messages_testing is not importable (not built, as for an installed wheel)"


def load_testing_module_or_none():
    """`_korvex_messages_testing`, or None when it is missing and that was allowed."""
    try:
        import _korvex_messages_testing
    except ImportError:
        if TESTING_MODULE_OPTIONAL:
            return None
        raise
    return _korvex_messages_testing


def load_testing_module():
    """`_korvex_messages_testing`; skips the calling test or test module
    when it is missing and that was allowed."""
    module = load_testing_module_or_none()
    if module is None:
        import pytest

        pytest.skip(NO_TESTING_MODULE, allow_module_level=True)
    return module


# ---------------------------------------------------------------------------
# Child interpreters

def _child_path():
    """Directories a child interpreter needs: those of the extension modules
    this process imports, this directory (for these helpers), then the
    inherited PYTHONPATH."""
    dirs = []
    for mod in ("_korvex_messages", "_korvex_messages_testing"):
        found = importlib.util.find_spec(mod)
        if found is not None and found.origin:
            dirs.append(os.path.dirname(os.path.abspath(found.origin)))
    dirs.append(os.path.dirname(os.path.abspath(__file__)))
    if os.environ.get("PYTHONPATH"):
        dirs.append(os.environ["PYTHONPATH"])
    return os.pathsep.join(dict.fromkeys(dirs))


def child_environment():
    """The environment for a child interpreter that must import what this
    process imports."""
    env = dict(os.environ)
    env["PYTHONPATH"] = _child_path()
    return env


def run_python(source, *args, timeout=120):
    """Run Python source (dedented) in a fresh interpreter with `args` as its
    sys.argv[1:]; returns the `subprocess.CompletedProcess` (text mode, stdout
    and stderr captured)."""
    env = child_environment()
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


# ---------------------------------------------------------------------------
# Versions of the test dependencies

def numpy_bool_is_index(np):
    """Whether this numpy's booleans still convert through ``__index__``.

    numpy deprecated that (with a DeprecationWarning) and later releases
    refuse it. Where it still works, ``np.True_`` is an object with
    ``__index__`` like any other, which integer fields take as 1; where it
    does not, integer fields refuse it as a ``bool``.
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            operator.index(np.True_)
        except TypeError:
            return False
    return True
