"""The test-only companion module, and child interpreters."""

import importlib.util
import os
import subprocess
import sys
import textwrap

# The checkout: child interpreters import this package from it.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# ---------------------------------------------------------------------------
# The test-only companion module

# Set from the command line by tests/conftest.py: with --without-testing-module,
# the tests that need _korvex_messages_testing are skipped when it cannot be
# imported (an installed wheel does not contain it); without the option they
# fail, so that a run that was meant to have it cannot pass without it.
TESTING_MODULE_OPTIONAL = False
NO_TESTING_MODULE = (
    "_korvex_messages_testing is not importable (not built, as for an installed wheel)"
)


def load_testing_module(skip=True):
    """`_korvex_messages_testing`.

    When it is missing: raises ImportError, unless the run allows that
    (--without-testing-module); then it skips the calling test or test
    module, or with ``skip=False`` returns None."""
    try:
        import _korvex_messages_testing
    except ImportError:
        if not TESTING_MODULE_OPTIONAL:
            raise
        if not skip:
            return None
        import pytest

        pytest.skip(NO_TESTING_MODULE, allow_module_level=True)
    return _korvex_messages_testing


# ---------------------------------------------------------------------------
# What a run covers

# The emulated and 32-bit CI jobs set KORVEX_NATIVE_ONLY=1: they run the tests
# of native code, whose results can depend on byte order, alignment, the
# width of `long` or the signedness of `char`, and skip the tests marked
# pure_python with this reason.
PURE_PYTHON = (
    "pure Python: its result cannot depend on the machine, so it runs in the native jobs only "
    "(KORVEX_NATIVE_ONLY=1)"
)
# The start of the reason of a test marked extra(...) whose optional package
# is missing; .ci/run fails when such a test was skipped in every job.
NEEDS_EXTRA = "needs the optional package "


def under_address_sanitizer():
    """Whether AddressSanitizer is loaded in this process (the reliability
    job preloads it): its quarantine keeps freed memory for a while, so the
    resident size tells nothing of leaks there."""
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line for line in maps)
    except OSError:
        return False


def native_only():
    return os.environ.get("KORVEX_NATIVE_ONLY") == "1"


def importable(module):
    """Whether `module` can be imported (found and loaded without error)."""
    try:
        __import__(module)
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------------------
# Child interpreters


def _child_path():
    """Directories a child interpreter needs: those of the extension modules
    this process imports, the checkout (for this package), then the
    inherited PYTHONPATH."""
    dirs = []
    for mod in ("_korvex_messages", "_korvex_messages_testing"):
        found = importlib.util.find_spec(mod)
        if found is not None and found.origin:
            dirs.append(os.path.dirname(os.path.abspath(found.origin)))
    dirs.append(ROOT)
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
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_environment(),
    )
