"""Internal failures never escape as anything but PanicException."""

import threading

import pytest

import _korvex_messages as km
from tests.support.cdr import HEADER
from tests.support.runtime import load_testing_module

kt = load_testing_module()


def panic_type():
    try:
        kt.panic("probe")
    except BaseException as e:  # noqa: BLE001 - the type is what we want
        return type(e)
    raise AssertionError("panic() returned")


def test_panic_exception_type():
    cls = panic_type()
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert isinstance(cls.__doc__, str) and cls.__doc__
    # Created once: every failure raises the same type.
    assert panic_type() is cls


@pytest.mark.parametrize("message", ["boom", "", "naïve \U0001f600", "line\nbreak", "x" * 10000])
def test_panic_carries_its_message(message):
    with pytest.raises(BaseException) as info:
        kt.panic(message)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    if message:
        assert exc.args == (message,)


def test_panic_writes_a_report_to_stderr(capfd):
    # PanicException is not exported, so it is caught by its base class.
    with pytest.raises(BaseException):  # noqa: B017
        kt.panic("reported-failure-text")
    err = capfd.readouterr().err
    assert "reported-failure-text" in err


def test_panic_is_not_caught_by_except_exception():
    caught_by = None
    try:
        try:
            kt.panic("escape")
        except Exception:  # noqa: BLE001 - must not catch it
            caught_by = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught_by = "BaseException"
        assert e.args == ("escape",)
    assert caught_by == "BaseException"


def test_foreign_exception_is_contained():
    cls = panic_type()
    with pytest.raises(cls) as info:
        kt.panic_foreign()
    assert type(info.value) is cls
    assert info.value.args == ("foreign failure",)


def test_interpreter_and_registry_usable_after_panics(unique_name):
    name = unique_name("after_panic")
    kt.register_schema(name, [("a", "int32")])
    cls = panic_type()
    for i in range(200):
        with pytest.raises(cls):
            kt.panic(f"failure {i}")
        with pytest.raises(cls):
            kt.panic_foreign()
    # Failures outside the registry lock leave the registry healthy.
    assert kt.schema_exists(name) is True
    assert kt.get_schema(name) == [("a", "int32")]
    assert kt.serialize(name, {"a": 1}) == HEADER + b"\x01\x00\x00\x00"
    assert kt.deserialize(name, HEADER + b"\x01\x00\x00\x00") == {"a": 1}
    kt.unregister_schema(name)
    assert kt.schema_exists(name) is False


def test_panic_in_a_thread():
    cls = panic_type()
    seen = []

    def worker():
        try:
            kt.panic("in thread")
        except cls as e:
            seen.append(e.args)

    th = threading.Thread(target=worker)
    th.start()
    th.join(30)
    assert seen == [("in thread",)]


def test_panic_argument_handling():
    with pytest.raises(TypeError) as info:
        kt.panic()
    assert info.value.args == ("panic() missing 1 required positional argument: 'message'",)
    with pytest.raises(TypeError) as info:
        kt.panic(None)
    assert info.value.args == ("argument 'message': 'None' is not an instance of 'str'",)


def test_panic_exception_raised_by_python_code_becomes_a_fresh_one():
    cls = panic_type()
    original = cls("raised from python")

    class Meta(type):
        def __getattribute__(self, attr):
            if attr == "__qualname__":
                raise original
            return super().__getattribute__(attr)

    class Odd(metaclass=Meta):
        pass

    # Reading the type's name for the argument error meets the
    # PanicException: it is not swallowed into a fallback name.
    with pytest.raises(cls) as info:
        kt.schema_exists(Odd())
    assert info.value is not original
    assert type(info.value) is cls
    assert info.value.args == ("raised from python",)


def test_testing_module_has_its_own_registry(unique_name):
    name = unique_name("separate")
    km.register_schema(name, [("a", "int8")])
    assert kt.schema_exists(name) is False
    kt.register_schema(name, [("b", "bool")])
    assert km.get_schema(name) == [("a", "int8")]
    assert kt.get_schema(name) == [("b", "bool")]
    kt.unregister_schema(name)
    assert km.schema_exists(name) is True


def test_length_limit():
    assert kt.length_limit() == 16
    assert type(kt.length_limit()) is int


# ------------------------------------------------------- poisoned registry


def test_poisoned_registry(run_python):
    proc = run_python(
        r"""
        import _korvex_messages as km
        import _korvex_messages_testing as kt

        HEADER = b"\x00\x01\x00\x00"
        kt.register_schema("kept", [("a", "int32")])
        km.register_schema("kept", [("a", "int32")])

        try:
            kt.poison_registry()
        except Exception:
            raise AssertionError("caught by except Exception")
        except BaseException as e:
            assert type(e).__name__ == "PanicException", type(e)
            assert type(e).__module__ == "pyo3_runtime"
        else:
            raise AssertionError("poison_registry() returned")

        def check(exc_type, message, call, *args):
            try:
                call(*args)
            except BaseException as e:
                assert type(e) is exc_type, (call.__name__, args, type(e), e)
                assert e.args == (message,), (call.__name__, args, e.args)
            else:
                raise AssertionError((call.__name__, args, "no exception"))

        ser = "Serialization failed: Schema registry lock poisoned"
        de = "Deserialization failed: Schema registry lock poisoned"
        check(TypeError, ser, kt.register_schema, "new", [])
        check(TypeError, ser, kt.register_schema, "kept", [("b", "bool")])
        check(TypeError, de, kt.get_schema, "kept")
        check(TypeError, de, kt.get_schema, "never")
        check(TypeError, de, kt.serialize, "kept", {"a": 1})
        check(TypeError, de, kt.serialize, "never", {})
        check(TypeError, de, kt.deserialize, "kept", HEADER + b"\x01\x00\x00\x00")
        check(ValueError, "Schema registry lock poisoned", kt.unregister_schema, "kept")
        check(ValueError, "Schema registry lock poisoned", kt.unregister_schema, "never")
        assert kt.schema_exists("kept") is False
        assert kt.schema_exists("never") is False

        # The field list is still checked before the registry is touched.
        check(ValueError,
              "Schema definition error: Each field entry must contain exactly 2 items",
              kt.register_schema, "new", [("a",)])
        check(TypeError, "Serialization failed: Unsupported field type 'nope'",
              kt.register_schema, "new", [("a", "nope")])
        # Argument errors come first as always.
        check(TypeError, "get_schema() missing 1 required positional argument: 'name'",
              kt.get_schema)
        check(TypeError, "argument 'name': 'None' is not an instance of 'str'",
              kt.schema_exists, None)

        # Still poisoned on later calls.
        check(TypeError, de, kt.get_schema, "kept")
        check(TypeError, ser, kt.register_schema, "new", [])

        # The other module's registry is untouched.
        assert km.schema_exists("kept") is True
        assert km.get_schema("kept") == [("a", "int32")]
        assert km.serialize("kept", {"a": 1}) == HEADER + b"\x01\x00\x00\x00"
        km.register_schema("new", [])
        km.unregister_schema("new")
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout == "ok\n"


# ------------------------------------------------- containment runs no user code


@pytest.mark.parametrize("attribute", ["__init__", "__new__", "__str__", "extra"])
def test_panic_exception_type_cannot_be_changed(attribute):
    cls = panic_type()

    def replacement(*args, **kwargs):
        km.schema_exists("called back")
        return None

    with pytest.raises(TypeError):
        setattr(cls, attribute, replacement)
    with pytest.raises(cls) as info:
        kt.panic("still plain")
    assert type(info.value) is cls
    assert info.value.args == ("still plain",)


FINALIZER_DURING_CONTAINMENT = r"""
import gc, sys
import _korvex_messages as km
import _korvex_messages_testing as kt

calls = [0]

class CallsBack:
    # Garbage whose finalizer fails inside the module the same way.
    def __del__(self):
        calls[0] += 1
        try:
            kt.panic("from a finalizer")
        except BaseException:
            pass

gc.set_threshold(1, 1, 1)
for i in range(300):
    garbage = CallsBack()
    garbage.cycle = garbage
    del garbage
    try:
        kt.panic("outer %d" % i)
    except BaseException as error:
        assert type(error).__name__ == "PanicException"
        assert error.args == ("outer %d" % i,)
gc.collect()
print("ok", calls[0] > 0)
"""


def test_finalizers_do_not_run_while_a_failure_is_contained(run_python):
    proc = run_python(FINALIZER_DURING_CONTAINMENT, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout == "ok True\n"
    assert "while containing another one" not in proc.stderr
