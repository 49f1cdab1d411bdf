"""Shared fixtures for the _korvex_messages test suite."""

import sys

import pytest

import helpers


def pytest_addoption(parser):
    parser.addoption(
        "--without-testing-module",
        action="store_true",
        help="skip the tests that need the test-only module _korvex_messages_testing when it is "
        "not importable (as for an installed wheel); without this option they fail",
    )


def pytest_configure(config):
    helpers.TESTING_MODULE_OPTIONAL = config.getoption("--without-testing-module")


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
        name = helpers.fresh_name(prefix)
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


@pytest.fixture
def schema(unique_name):
    """Return a function registering fields in `_korvex_messages` under a
    fresh name (dropped when the test ends) and returning the name."""
    import _korvex_messages as km

    def make(fields, prefix="S"):
        name = unique_name(prefix)
        km.register_schema(name, fields)
        return name

    return make


@pytest.fixture
def run_python():
    """Return a function running Python source in a fresh interpreter:
    `run(source, *args, timeout=120)`.

    The child sees the same extension modules as this process, and the
    helper modules of this directory. The function returns the
    `subprocess.CompletedProcess` (text mode, stdout and stderr captured).
    Use it for anything that must not leak into this process, such as a
    poisoned registry or a crash.
    """
    return helpers.run_python
