"""What the interpreter sees of the module: attributes, functions, signatures."""

import inspect
import shutil
import subprocess
import types

import pytest

import _korvex_messages as km
from tests.support.contract import PARAMETERS

EXPORTED = list(PARAMETERS)


def test_module_identity():
    assert km.__name__ == "_korvex_messages"
    assert isinstance(km, types.ModuleType)
    assert type(km) is types.ModuleType


def test_all_lists_the_six_functions_in_order():
    assert type(km.__all__) is list
    assert km.__all__ == EXPORTED


def test_doc_is_empty_string():
    assert km.__doc__ == ""
    assert type(km.__doc__) is str


def test_nothing_else_is_added():
    public = sorted(k for k in vars(km) if not k.startswith("__"))
    assert public == sorted(EXPORTED)
    dunders = {k for k in vars(km) if k.startswith("__")}
    # Only what the import machinery itself provides, plus __all__.
    assert dunders <= {
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "__all__",
    }
    assert "__all__" in dunders
    for absent in ("PanicException", "__version__", "MessageError"):
        assert not hasattr(km, absent)


@pytest.mark.parametrize("fname", EXPORTED)
def test_function_attributes(fname):
    func = getattr(km, fname)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == fname
    assert func.__qualname__ == fname
    assert func.__module__ == "_korvex_messages"
    params = PARAMETERS[fname]
    assert func.__text_signature__ == "(" + ", ".join(params) + ")"
    assert func.__doc__ is None


@pytest.mark.parametrize("fname", EXPORTED)
def test_inspect_signature(fname):
    sig = inspect.signature(getattr(km, fname))
    params = PARAMETERS[fname]
    assert tuple(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
        assert p.annotation is inspect.Parameter.empty
    assert str(sig) == "(" + ", ".join(params) + ")"


def test_functions_are_callable_by_keyword(unique_name):
    name = unique_name("kw")
    assert km.register_schema(fields=[("a", "uint8")], name=name) is None
    assert km.schema_exists(name=name) is True
    assert km.get_schema(name=name) == [("a", "uint8")]
    data = km.serialize(values={"a": 7}, schema_name=name)
    assert data == b"\x00\x01\x00\x00\x07"
    assert km.deserialize(data=data, schema_name=name) == {"a": 7}
    assert km.unregister_schema(name=name) is None
    assert km.schema_exists(name=name) is False


def test_reimport_keeps_registered_schemas(run_python):
    proc = run_python(
        """
        import sys
        import _korvex_messages as first
        first.register_schema("kept", [("x", "float64"), ("y", "ros_string")])
        del sys.modules["_korvex_messages"]
        import _korvex_messages as second
        assert second is not first
        assert sys.modules["_korvex_messages"] is second
        for name in second.__all__:
            assert getattr(second, name) is not getattr(first, name), name
        assert second.__all__ == first.__all__
        assert second.__all__ is not first.__all__
        assert second.schema_exists("kept") is True
        assert second.get_schema("kept") == [("x", "float64"), ("y", "string")]
        # Both module objects see one registry.
        second.register_schema("added_later", [])
        assert first.schema_exists("added_later") is True
        first.unregister_schema("kept")
        assert second.schema_exists("kept") is False
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


def test_module_name_comes_from_the_loader(run_python):
    # Loaded under a dotted name, the functions report that name as their
    # __module__; the registry is still the process-wide one.
    proc = run_python(
        """
        import importlib.machinery, importlib.util, sys
        import _korvex_messages as plain
        path = plain.__file__
        loader = importlib.machinery.ExtensionFileLoader("pkg._korvex_messages", path)
        found = importlib.util.spec_from_file_location(
            "pkg._korvex_messages", path, loader=loader)
        other = importlib.util.module_from_spec(found)
        found.loader.exec_module(other)
        assert other.__name__ == "pkg._korvex_messages"
        assert other.__doc__ == ""
        assert other.__all__ == plain.__all__
        for name in other.__all__:
            assert getattr(other, name).__module__ == "pkg._korvex_messages", name
        plain.register_schema("shared", [("a", "int8")])
        assert other.get_schema("shared") == [("a", "int8")]
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"


def test_subinterpreters_share_the_registry(run_python):
    # The module supports sub-interpreters that share the main interpreter's
    # GIL, not ones with a GIL of their own (which it refuses to load in), so
    # the child is made with the legacy settings: "legacy" for _interpreters
    # (3.13 and later), isolated=False for _xxsubinterpreters (3.12; 3.10 and
    # 3.11 take the keyword too and never isolate).
    proc = run_python(
        """
        import os
        try:
            import _interpreters
        except ImportError:
            _interpreters = None
            try:
                import _xxsubinterpreters
            except ImportError:
                print("skip: neither _interpreters nor _xxsubinterpreters")
                raise SystemExit(0)

        if _interpreters is not None:
            def create():
                return _interpreters.create("legacy")

            def run(interp, code):
                # run_string reports a failure by returning it.
                failure = _interpreters.run_string(interp, code)
                if failure is not None:
                    raise RuntimeError(failure.errdisplay)

            destroy = _interpreters.destroy
        else:
            def create():
                return _xxsubinterpreters.create(isolated=False)

            run = _xxsubinterpreters.run_string
            destroy = _xxsubinterpreters.destroy

        import _korvex_messages as km
        km.register_schema("from_main", [("a", "int32")])
        interp = create()
        code = (
            "import sys\\n"
            "sys.path.insert(0, %r)\\n"
            "import _korvex_messages as km\\n"
            "assert km.get_schema('from_main') == [('a', 'int32')]\\n"
            "km.register_schema('from_sub', [('b', 'bool')])\\n"
        ) % os.path.dirname(km.__file__)
        try:
            run(interp, code)
        finally:
            destroy(interp)
        assert km.get_schema("from_sub") == [("b", "bool")]
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.startswith("skip: "):
        pytest.skip(proc.stdout[len("skip: ") :].strip())
    assert proc.stdout == "ok\n"


def _is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
@pytest.mark.skipif(
    not _is_elf(km.__file__), reason="the export list is checked on ELF builds only"
)
def test_only_the_init_symbol_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", km.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    init = [s for s in symbols if s.startswith("PyInit_")]
    assert init == ["PyInit__korvex_messages"]
    # Code symbols (T) are all ours; nothing but the init function may be
    # exported as a strong text symbol.
    strong_text = [
        line.split()[-1]
        for line in out.splitlines()
        if len(line.split()) >= 3 and line.split()[-2] == "T"
    ]
    assert strong_text == ["PyInit__korvex_messages"]


def test_the_package_reexports_the_six_functions_as_they_are():
    import korvex_messages

    for name in EXPORTED:
        assert getattr(korvex_messages, name) is getattr(km, name), name
        assert name in korvex_messages.__all__
    # Everything __all__ names exists (a star import would fail otherwise).
    assert all(hasattr(korvex_messages, name) for name in korvex_messages.__all__)


def test_only_the_core_module_is_installed_beside_the_package():
    import importlib.util
    from pathlib import Path

    import korvex_messages
    import korvex_messages.ros2
    from korvex_messages import _columns
    from korvex_messages.ros2 import _native

    for module, package, name in (
        (_columns, korvex_messages, "korvex_messages._columns"),
        (_native, korvex_messages.ros2, "korvex_messages.ros2._native"),
    ):
        assert module.__name__ == name
        assert Path(module.__file__).parent == Path(package.__file__).parent, module.__file__
    # The names the native halves had as modules of their own are gone.
    for old in ("_korvex_messages_ros2", "_korvex_messages_columns"):
        assert importlib.util.find_spec(old) is None, old
