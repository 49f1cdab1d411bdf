"""The value-acceptance model: which Python values the encoder takes for a
field type, and how it names a value's kind when it refuses one.

It follows the conversions the encoder is documented to make: integers
through ``__index__`` (bool included), floats through ``__float__`` or from
an integer that a double can hold, text that encodes to UTF-8, ``bytes``
only.  The fuzz targets predict every mismatch from it, and the tests take
the kind names they expect from it.  Standard library only, and it knows
only the unusual values of `tests.support.values`.
"""

from tests.support.cdr import FLOAT_TYPES, INT_RANGES
from tests.support.values import FloatOnly, IndexOnly

_INT64 = INT_RANGES["int64"]
_UINT64 = INT_RANGES["uint64"]


def as_int(value):
    """The integer a value converts to through PyLong_AsLong/__index__, or
    None if it does not convert."""
    if isinstance(value, (bool, int)):
        return int(value)
    if isinstance(value, IndexOnly):
        return value.value
    return None


def as_float(value):
    """The double PyFloat_AsDouble yields, or None if it raises."""
    if isinstance(value, float):
        return value
    if isinstance(value, FloatOnly):
        return value.value
    number = as_int(value)
    if number is None:
        return None
    try:
        return float(number)
    except OverflowError:
        return None


def _is_utf8_text(value):
    if not isinstance(value, str):
        return False
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def kind_name(value):
    """What the encoder names a value's kind in a mismatch message."""
    if value is True or value is False:
        return "bool"
    number = as_int(value)
    if number is not None and _INT64[0] <= number <= _INT64[1]:
        return "int"
    if number is not None and _UINT64[0] <= number <= _UINT64[1]:
        return "uint"
    if as_float(value) is not None:
        return "float"
    if isinstance(value, str):
        return "string" if _is_utf8_text(value) else "unknown"
    if isinstance(value, bytes):
        return "bytes"
    if isinstance(value, (list, tuple, bytearray)):
        return "list"
    if isinstance(value, dict):
        return "dict"
    return "unknown"


def accepts(leaf, value):
    """Whether a field of the canonical scalar type `leaf` (bool, an integer
    or float type, string or bytes) takes `value`."""
    if leaf == "bool":
        return value is True or value is False
    if leaf in INT_RANGES:
        low, high = INT_RANGES[leaf]
        number = as_int(value)
        return number is not None and low <= number <= high
    if leaf in FLOAT_TYPES:
        return as_float(value) is not None
    if leaf == "string":
        return _is_utf8_text(value)
    if leaf == "bytes":
        return isinstance(value, bytes)
    raise ValueError(f"not a scalar type: {leaf!r}")
