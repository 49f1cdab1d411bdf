"""Shared fixtures for the _korvex_messages test suite (built on tests/support)."""

import gc
import sys

import pytest

from tests.support import runtime
from tests.support.schemas import Schemas


def pytest_addoption(parser):
    parser.addoption(
        "--without-testing-module",
        action="store_true",
        help="skip the tests that need the test-only module _korvex_messages_testing when it is "
        "not importable (as for an installed wheel); without this option they fail",
    )


def pytest_configure(config):
    runtime.TESTING_MODULE_OPTIONAL = config.getoption("--without-testing-module")
    config.addinivalue_line(
        "markers",
        "pure_python: the test exercises only Python code, whose result cannot depend on the "
        "machine; skipped where KORVEX_NATIVE_ONLY=1 (the emulated and 32-bit CI jobs)",
    )
    config.addinivalue_line(
        "markers",
        "extra(*modules): the test needs these optional packages (an extra of pyproject.toml); "
        "it skips with the reason runtime.NEEDS_EXTRA names where one is not importable",
    )


def pytest_collection_modifyitems(config, items):
    native_only = runtime.native_only()
    for item in items:
        if native_only and item.get_closest_marker("pure_python") is not None:
            item.add_marker(pytest.mark.skip(reason=runtime.PURE_PYTHON))


def pytest_collection_finish(session):
    # Collection imported hypothesis, numpy, pyarrow, polars...: hundreds of
    # thousands of objects that live to the end.  Frozen out of the cyclic
    # collector, they no longer make every full collection (and every test
    # that collects to count what it leaves) walk them again.
    gc.collect()
    gc.freeze()


def pytest_runtest_setup(item):
    for mark in item.iter_markers("extra"):
        missing = [m for m in mark.args if not runtime.importable(m)]
        if missing:
            pytest.skip(runtime.NEEDS_EXTRA + ", ".join(missing))


@pytest.fixture
def schemas():
    """A `Schemas` for this test: every name it hands out is unregistered
    again, from both modules' registries, when the test ends."""
    made = Schemas()
    yield made
    made.close()


@pytest.fixture(scope="module")
def module_schemas():
    """Like `schemas`, for registrations a whole test module shares."""
    made = Schemas()
    yield made
    made.close()


@pytest.fixture
def unique_name(schemas):
    """Return a function making a fresh schema name from a prefix.

    The schema registry is shared by the whole process, so every test that
    registers schemas should take its names from here. Names handed out are
    unregistered again when the test ends, if they are still registered.
    """
    return schemas.name


@pytest.fixture
def schema(schemas):
    """Return a function registering fields in `_korvex_messages` under a
    fresh name (dropped when the test ends) and returning the name:
    `schema(fields, prefix="S")`."""
    return schemas.register


@pytest.fixture
def struct_type(schemas):
    """Return a function registering fields under a fresh name (dropped when
    the test ends) and returning the struct type naming it:
    `struct_type(fields, prefix="inner")`."""
    return schemas.struct_type


@pytest.fixture(scope="module")
def kt():
    """The test-only module `_korvex_messages_testing` (skipped with a reason
    when it is missing and the run allows that, see --without-testing-module)."""
    return runtime.load_testing_module()


@pytest.fixture
def testing_schema(kt, schemas):
    """Like `schema`, registering in the test-only module's own registry."""

    def make(fields, prefix="T"):
        return schemas.register(fields, prefix, module=kt)

    return make


@pytest.fixture(scope="module")
def bench_schemas():
    """Drop again, when the test module ends, the benchmark's schemas that it
    registered (the codec floors register them in the test-only module too).
    The benchmark's test modules use it for all their tests."""
    from tests.support import bench

    names = bench.schema_names()
    # The test-only module counts only once something has imported it.
    modules = ("_korvex_messages", "_korvex_messages_testing")
    already = {
        m: {n for n in names if sys.modules[m].schema_exists(n)}
        for m in modules
        if m in sys.modules
    }
    yield
    for m in modules:
        if m in sys.modules:
            module = sys.modules[m]
            for name in names - already.get(m, set()):
                if module.schema_exists(name):
                    module.unregister_schema(name)


@pytest.fixture(scope="module")
def our_contender(bench_schemas):
    """The benchmark's contender for `_korvex_messages`, loaded."""
    from bench.contenders import ours

    contender = ours.Ours()
    contender.load()
    return contender


@pytest.fixture
def run_python():
    """Return a function running Python source in a fresh interpreter:
    `run(source, *args, timeout=120)`.

    The child sees the same extension modules as this process, and this
    package (tests.support). The function returns the
    `subprocess.CompletedProcess` (text mode, stdout and stderr captured).
    Use it for anything that must not leak into this process, such as a
    poisoned registry or a crash.
    """
    return runtime.run_python
