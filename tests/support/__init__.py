"""What the tests, the fuzz targets (fuzz/) and the benchmark (bench/) share.

- `contract`: the six functions' parameters, the bounds and the fixed texts;
- `cdr`: the reference model of the wire format (type names, integer
  ranges, encoder, decoder) and a builder of CDR bytes;
- `acceptance`: the values the encoder takes for a field type, and the kind
  names of its mismatch messages;
- `layouts`: the standard ROS 2 message layouts;
- `bench`: the benchmark's workloads, built once, for the benchmark's tests;
- `checks`: exact exceptions, and equality of types, key order and float bits;
- `values`: values of unusual kinds (subclasses, conversions that raise, ...);
- `schemas`: fresh schema names and registrations undone after a test;
- `runtime`: the test-only module and child interpreters.

Everything is imported as ``tests.support``: pytest puts the checkout on the
path (``pythonpath`` in pyproject.toml), and the fuzz and benchmark entry
points run as modules of the checkout (``python -m fuzz.replay``,
``python -m bench.run``).  Nothing here needs more than the standard library,
except the checks that raise through pytest (and `bench`, which is the
benchmark's own code).
"""
