"""Values of unusual kinds given to serialize and the other functions:
subclasses of the accepted types, numbers only through __index__ or
__float__, conversions and comparisons that raise, types whose names are odd.

Shared by the tests and the fuzz targets (fuzz/common.py), so this imports
nothing but the standard library.
"""


class IntSub(int):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class IndexOnly:
    """An integer only through __index__ (converting it runs Python code)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value!r})"


class FloatOnly:
    """A number only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatOnly({self.value!r})"


class ConversionError(Exception):
    pass


class RaisingIndex:
    """__index__ raises `error` (by default a new ConversionError each time)."""

    def __init__(self, error=None):
        self.error = error

    def __index__(self):
        raise self.error if self.error is not None else ConversionError("__index__ failed")


class RaisingFloat:
    """__float__ raises `error` (by default a new ConversionError each time)."""

    def __init__(self, error=None):
        self.error = error

    def __float__(self):
        raise self.error if self.error is not None else ConversionError("__float__ failed")


class UnprintableError(Exception):
    def __str__(self):
        raise ConversionError("__str__ failed")


class EvilKey:
    """A key that collides with a field name and raises `exc` (an exception,
    or a class of which each comparison raises a new one) when compared with it."""

    def __init__(self, name, exc):
        self.name = name
        self.exc = exc

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise self.exc


class Outer:
    class Inner(Exception):
        pass


class _BrokenQualnameMeta(type):
    def __getattribute__(cls, attr):
        if attr == "__qualname__":
            raise RuntimeError("no qualname")
        return super().__getattribute__(attr)


class BrokenQualname(metaclass=_BrokenQualnameMeta):
    """A type whose name cannot be read."""


def fake_type(name, module, truth):
    """A class called `name` in module `module` whose instances' truth value is
    `truth` (or which raise it, for an exception)."""

    def as_bool(self):
        if isinstance(truth, BaseException):
            raise truth
        return truth

    return type(name, (), {"__module__": module, "__bool__": as_bool})


def named_type(name, module, truth=True):
    """Like fake_type, but the type reports `name` and `module` through its
    metaclass, so they may hold characters a class name cannot (a NUL)."""

    class Meta(type):
        def __getattribute__(cls, attr):
            if attr == "__name__":
                return name
            if attr == "__module__":
                return module
            return super().__getattribute__(attr)

    return Meta("Named", (), {"__bool__": lambda self: truth})


def numpy_bool_is_index(np):
    """Whether this numpy's booleans still convert through ``__index__``.

    numpy deprecated that (with a DeprecationWarning) and later releases
    refuse it. Where it still works, ``np.True_`` is an object with
    ``__index__`` like any other, which integer fields take as 1; where it
    does not, integer fields refuse it as a ``bool``.
    """
    import operator
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            operator.index(np.True_)
        except TypeError:
            return False
    return True
