"""What the tests, the fuzz targets (fuzz/) and the benchmark (bench/) share.

- `contract`: the six functions' parameters, the bounds and the fixed texts;
- `cdr`: the reference model of the wire format (type names, encoder,
  decoder) and a builder of CDR bytes;
- `checks`: exact exceptions, and equality of types, key order and float bits;
- `values`: values of unusual kinds (subclasses, conversions that raise, ...);
- `schemas`: fresh schema names and registrations undone after a test;
- `runtime`: the test-only module and child interpreters.

Everything is imported as ``tests.support``: pytest puts the checkout on the
path (``pythonpath`` in pyproject.toml), and the fuzz and benchmark entry
points run as modules of the checkout (``python -m fuzz.replay``,
``python -m bench.run``).  Nothing here needs more than the standard library,
except the checks that raise through pytest.
"""
