"""The benchmark's workloads (bench/workloads.py) as the tests of the
benchmark see them, built once per process: tests/test_bench.py and
tests/test_floors.py, with the fixtures `bench_schemas` and `our_contender`
of tests/conftest.py.
"""

from bench import workloads as wl

WORKLOADS = wl.build_all()
KEYS = [w.key for w in WORKLOADS]
BY_KEY = {w.key: w for w in WORKLOADS}


def schema_names():
    """Every schema name that the workloads register (the built-in time type
    excepted)."""
    return {wl.qualified(s) for w in WORKLOADS for s in wl.dependencies(w.top) if s != wl.TIME_TYPE}
