"""Checks shared by the tests, the fuzz targets and the benchmark: exact
exceptions, and equality that also compares types, key order and float bits.

Imports pytest only where a check needs it, so the fuzz targets and the
benchmark can use `same` without it.
"""

import struct


def raised(exc_type, call, *args, **kwargs):
    """Call ``call(*args, **kwargs)``: it must raise exactly `exc_type` (not a
    subclass) with one str argument, whose str() is that argument (its repr
    for a KeyError). Returns the exception."""
    import pytest

    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    exc = info.value
    assert type(exc) is exc_type, (type(exc), exc)
    assert len(exc.args) == 1 and type(exc.args[0]) is str, exc.args
    shown = repr(exc.args[0]) if exc_type is KeyError else exc.args[0]
    assert str(exc) == shown, (str(exc), shown)
    return exc


def raises_exact(exc_type, text, call, *args, **kwargs):
    """Call ``call(*args, **kwargs)``: it must raise exactly `exc_type` whose
    only argument is `text`, chained to no other exception. Returns it."""
    exc = raised(exc_type, call, *args, **kwargs)
    assert exc.args == (text,), exc.args
    assert exc.__cause__ is None, exc.__cause__
    assert exc.__context__ is None, exc.__context__
    return exc


def _float_bits(x):
    return struct.pack("<d", x)


def difference(got, expected, path="value", fresh=False):
    """Where `got` differs from `expected`, as a text, or None when they are
    the same: the same types (bool, int and float apart, subclasses apart),
    dict keys of the same types in the same order, floats of the same bits
    (so a NaN equals a NaN of the same bits, and -0.0 is not 0.0).

    With `fresh`, `got` must also share no container, and no str or bytes
    longer than one item, with `expected` (for results that must be built
    anew)."""
    if type(got) is not type(expected):
        return f"{path}: {type(got).__name__} {got!r} is not {type(expected).__name__} {expected!r}"
    if isinstance(expected, dict):
        got_keys, expected_keys = list(got), list(expected)
        if len(got_keys) != len(expected_keys) or any(
            type(a) is not type(b) or a != b for a, b in zip(got_keys, expected_keys)
        ):
            return f"{path}: keys {got_keys!r} are not {expected_keys!r}"
        for key in expected_keys:
            found = difference(got[key], expected[key], f"{path}[{key!r}]", fresh)
            if found:
                return found
    elif isinstance(expected, (list, tuple)):
        if len(got) != len(expected):
            return f"{path}: {len(got)} items, not {len(expected)}"
        for i, (a, b) in enumerate(zip(got, expected)):
            found = difference(a, b, f"{path}[{i}]", fresh)
            if found:
                return found
    elif isinstance(expected, float):
        if _float_bits(got) != _float_bits(expected):
            return f"{path}: {got!r} is not {expected!r} (bits {got.hex()} / {expected.hex()})"
    elif got != expected:
        return f"{path}: {got!r} != {expected!r}"
    if (
        fresh
        and got is expected
        and (
            isinstance(expected, (dict, list))
            or (isinstance(expected, (str, bytes)) and len(expected) > 1)
        )
    ):
        return f"{path} is the expected value's own object"
    return None


def same(got, expected):
    """True when `difference` finds none."""
    return difference(got, expected) is None


def assert_same(got, expected, fresh=False):
    """Assert that `difference` finds none."""
    found = difference(got, expected, fresh=fresh)
    assert found is None, found


def decode_failure(name, data):
    """The detail of the TypeError that ``_korvex_messages.deserialize(name,
    data)`` must raise (after its "Deserialization failed: " prefix, checked)."""
    import _korvex_messages as km
    from tests.support.contract import DESERIALIZATION_FAILED

    text = raised(TypeError, km.deserialize, name, data).args[0]
    assert text.startswith(DESERIALIZATION_FAILED), text
    return text[len(DESERIALIZATION_FAILED) :]
