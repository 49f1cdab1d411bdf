"""The type stubs: the examples pass `mypy --strict`, and the stubs say exactly
what the module accepts and returns.

When `_korvex_messages` is imported from an installed location (site-packages,
as after `pip install .`), mypy runs with no extra search path, so these tests
also prove that the installed package ships stubs mypy discovers on its own.
When it is imported from a build directory (PYTHONPATH), mypy is pointed at the
stub source in src/stubs instead.
"""

import importlib.util
import os
import re
import site
import subprocess
import sys
from pathlib import Path

import pytest

from tests.support.runtime import child_environment

pytest.importorskip("mypy")

# The stubs and mypy: static text, the same on every machine.
pytestmark = pytest.mark.pure_python

REPO = Path(__file__).resolve().parent.parent
# Examples that need a package the test extra does not bring are checked
# only where it is installed (the CI jobs that run them install it).
EXAMPLE_NEEDS = {"dask_decode.py": "distributed", "ray_decode.py": "ray"}
EXAMPLES = sorted(
    path
    for path in (REPO / "examples").glob("*.py")
    if path.name not in EXAMPLE_NEEDS or importlib.util.find_spec(EXAMPLE_NEEDS[path.name])
)
STUB_SOURCE = REPO / "src" / "stubs"
PACKAGE_SOURCE = REPO / "python"


def _module_dir():
    spec = importlib.util.find_spec("_korvex_messages")
    assert spec is not None and spec.origin, "_korvex_messages is not importable"
    return Path(spec.origin).resolve().parent


def _site_dirs():
    dirs = list(site.getsitepackages())
    user = site.getusersitepackages()
    if isinstance(user, str):
        dirs.append(user)
    return {Path(d).resolve() for d in dirs if os.path.isdir(d)}


INSTALLED = _module_dir() in _site_dirs()


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Return a function running `mypy --strict` on files; gives (exit code, output)."""
    cache = tmp_path_factory.mktemp("mypy-cache")
    workdir = tmp_path_factory.mktemp("mypy-run")
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if not INSTALLED:
        env["MYPYPATH"] = os.pathsep.join([str(STUB_SOURCE), str(PACKAGE_SOURCE)])

    def run(*files):
        completed = subprocess.run(
            # --strict-bytes: bytearray and memoryview are not bytes (the
            # default from mypy 2.0 on; mypy 1.15 to 1.x need the flag).
            [
                sys.executable,
                "-m",
                "mypy",
                "--strict",
                "--strict-bytes",
                "--no-color-output",
                "--no-error-summary",
                "--show-error-codes",
                "--cache-dir",
                str(cache),
                *map(str, files),
            ],
            capture_output=True,
            text=True,
            cwd=workdir,
            env=env,
            timeout=600,
        )
        # Older mypy versions qualify builtin names ("builtins.str").
        output = (completed.stdout + completed.stderr).replace("builtins.", "")
        return completed.returncode, output

    return run


@pytest.mark.skipif(not INSTALLED, reason="module not imported from site-packages")
def test_installed_stubs_match_the_source():
    # mypy finds stubs for a single-module distribution only in a PEP 561
    # stub package; pyright also reads the .pyi next to the module.
    site_dir = _module_dir()
    package_stub = site_dir / "_korvex_messages-stubs" / "__init__.pyi"
    assert package_stub.is_file(), f"no stub package installed in {site_dir}"
    source = (STUB_SOURCE / "_korvex_messages.pyi").read_text()
    for path in (package_stub, site_dir / "_korvex_messages.pyi"):
        if path.is_file():
            assert path.read_text() == source, f"{path} differs from the stub source"


def test_examples_pass_mypy_strict(mypy):
    assert EXAMPLES, "no examples found"
    code, output = mypy(*EXAMPLES)
    assert code == 0, output


# Each snippet is checked on its own: (source, text that must appear in
# mypy's output, whether mypy must report an error).
STUB_CASES = [
    pytest.param(
        "reveal_type(km.register_schema)",
        re.compile(
            r'Revealed type is "def \(name: str, fields: '
            r"(list\[tuple\[str, str\]\] \| list\[list\[str\]\]|"
            r'Union\[list\[tuple\[str, str\]\], list\[list\[str\]\]\])\)"'
        ),
        False,
        id="register_schema-signature",
    ),
    pytest.param(
        "km.register_schema('p', [['x', 'int32']])", "", False, id="register_schema-list-entries"
    ),
    pytest.param(
        "km.register_schema(name='p', fields=[('x', 'int32')])",
        "",
        False,
        id="register_schema-keywords",
    ),
    pytest.param(
        "km.register_schema('p', (('x', 'int32'),))",
        '"register_schema"',
        True,
        id="register_schema-refuses-tuple",
    ),
    pytest.param(
        "reveal_type(km.get_schema('p'))",
        'Revealed type is "list[tuple[str, str]]"',
        False,
        id="get_schema-list-of-pairs",
    ),
    pytest.param(
        "reveal_type(km.schema_exists(name='p'))",
        'Revealed type is "bool"',
        False,
        id="schema_exists-bool",
    ),
    pytest.param(
        "reveal_type(km.unregister_schema)",
        'Revealed type is "def (name: str)"',
        False,
        id="unregister_schema-signature",
    ),
    pytest.param(
        "reveal_type(km.serialize)",
        'Revealed type is "def (schema_name: str, values: dict[str, Any]) -> bytes"',
        False,
        id="serialize-signature",
    ),
    pytest.param(
        "reveal_type(km.deserialize)",
        'Revealed type is "def (schema_name: str, data: bytes) -> dict[str, Any]"',
        False,
        id="deserialize-signature",
    ),
    pytest.param(
        "reveal_type(km.serialize('p', {'x': 1}))",
        'Revealed type is "bytes"',
        False,
        id="serialize-bytes",
    ),
    pytest.param(
        "km.serialize(values={'x': [1, 2]}, schema_name='p')", "", False, id="serialize-keywords"
    ),
    pytest.param("km.serialize('p', [('x', 1)])", '"serialize"', True, id="serialize-refuses-list"),
    pytest.param("km.serialize(b'p', {})", '"serialize"', True, id="serialize-refuses-bytes-name"),
    pytest.param(
        "reveal_type(km.deserialize('p', b'\\x00\\x01\\x00\\x00'))",
        'Revealed type is "dict[str, Any]"',
        False,
        id="deserialize-dict",
    ),
    pytest.param(
        "km.deserialize('p', bytearray(4))",
        '"deserialize"',
        True,
        id="deserialize-refuses-bytearray",
    ),
    pytest.param(
        "km.deserialize('p', memoryview(b''))",
        '"deserialize"',
        True,
        id="deserialize-refuses-memoryview",
    ),
    pytest.param(
        "km.deserialize('p')", "Missing positional argument", True, id="deserialize-needs-data"
    ),
    pytest.param(
        "km.serialize('p', {}, extra=1)",
        "Unexpected keyword argument",
        True,
        id="serialize-no-extra-keywords",
    ),
    pytest.param("print(km.__all__)", "", False, id="all-declared"),
    pytest.param("km.PanicException", "has no attribute", True, id="no-undeclared-attributes"),
]


@pytest.mark.parametrize("snippet, expected, is_error", STUB_CASES)
def test_stub_signatures(mypy, tmp_path, snippet, expected, is_error):
    source = tmp_path / "probe.py"
    source.write_text("import _korvex_messages as km\n\n" + snippet + "\n")
    code, output = mypy(source)
    assert "import-not-found" not in output and "import-untyped" not in output, output
    if isinstance(expected, str):
        assert expected in output, output
    else:
        assert expected.search(output), output
    assert (code != 0) == is_error, output


# The public package, typed inline: (source, text that must appear in mypy's
# output, whether mypy must report an error).
PACKAGE_CASES = [
    pytest.param(
        "layouts: dict[str, list[tuple[str, str]]] = {'P': [('x', 'int32')]}\n"
        "names: list[str] = ensure_schemas(layouts)\n"
        "ensure_schemas({'Q': [['x', 'int32']], 'R': ()})\n"
        "version: str = korvex_messages.__version__",
        "",
        False,
        id="typed-use",
    ),
    pytest.param(
        "reveal_type(ensure_schemas)",
        re.compile(
            r'Revealed type is "def \(schemas: .*Mapping\[str, .*Sequence\[.*\]\]\) -> '
            r'.*list\[str\]"'
        ),
        False,
        id="ensure_schemas-signature",
    ),
    pytest.param(
        "ensure_schemas({'P': [('x', 1)]})",
        'incompatible type "tuple[str, int]"',
        True,
        id="refuses-int-type-name",
    ),
    pytest.param("ensure_schemas([('P', [])])", '"ensure_schemas"', True, id="refuses-list"),
    pytest.param(
        "error = SchemaMismatchError('P', [], [])\nreveal_type(error.registered)",
        'Revealed type is "list[tuple[str, str]]"',
        False,
        id="mismatch-error-fields",
    ),
    pytest.param("korvex_messages.km", "has no attribute", True, id="no-reexported-module"),
    pytest.param(
        "korvex_messages.register_schema('P', [('x', 'int32')])\n"
        "data: bytes = korvex_messages.serialize('P', {'x': 1})\n"
        "back: dict[str, object] = korvex_messages.deserialize('P', data)\n"
        "fields: list[tuple[str, str]] = korvex_messages.get_schema('P')\n"
        "known: bool = korvex_messages.schema_exists('P')\n"
        "korvex_messages.unregister_schema('P')",
        "",
        False,
        id="core-functions-typed-use",
    ),
    pytest.param(
        "korvex_messages.serialize('P', [1])",
        'incompatible type "list[int]"',
        True,
        id="core-values-are-a-dict",
    ),
    pytest.param(
        "from korvex_messages import ros2\n"
        "names: list[str] = ros2.register_msg('p/msg/T', 'int32 x')\n"
        "data: bytes = ros2.serialize('p/T', {'x': 1})\n"
        "message: dict[str, object] = ros2.deserialize('p/T', bytearray(data), numpy=True)\n"
        "factory = ros2.DecoderFactory(numpy=True)",
        "",
        False,
        id="ros2-typed-use",
    ),
    pytest.param(
        "from korvex_messages import ros2\nros2.deserialize('p/T', b'', True)",
        "Too many positional arguments",
        True,
        id="ros2-numpy-is-keyword-only",
    ),
    pytest.param(
        "from korvex_messages import ros2\nros2.serialize('p/T', [1])",
        'incompatible type "list[int]"',
        True,
        id="ros2-values-are-a-dict",
    ),
]


@pytest.mark.parametrize("snippet, expected, is_error", PACKAGE_CASES)
def test_package_types(mypy, tmp_path, snippet, expected, is_error):
    source = tmp_path / "probe.py"
    source.write_text(
        "import korvex_messages\n"
        "from korvex_messages import SchemaMismatchError, ensure_schemas\n\n" + snippet + "\n"
    )
    code, output = mypy(source)
    assert "import-not-found" not in output and "import-untyped" not in output, output
    if isinstance(expected, str):
        assert expected in output, output
    else:
        assert expected.search(output), output
    assert (code != 0) == is_error, output


@pytest.mark.parametrize(
    "example, arguments",
    [("core_roundtrip.py", []), ("record_replay.py", ["--seconds", "0.1"])],
)
def test_examples_run(tmp_path, example, arguments):
    env = child_environment()
    completed = subprocess.run(
        [sys.executable, str(REPO / "examples" / example), *arguments],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    expected = {"core_roundtrip.py": "round trip ok", "record_replay.py": "replay matches"}[example]
    assert expected in completed.stdout, completed.stdout


def test_stub_lists_exactly_the_module_functions():
    import _korvex_messages as km

    stub = (STUB_SOURCE / "_korvex_messages.pyi").read_text()
    namespace = {}
    # Stubs are never executed; postponed annotations keep them inert here.
    exec(compile("from __future__ import annotations\n" + stub, "stub", "exec"), namespace)
    assert namespace["__all__"] == km.__all__
    import inspect

    for name in km.__all__:
        runtime = inspect.signature(getattr(km, name))
        declared = inspect.signature(namespace[name])
        assert list(declared.parameters) == list(runtime.parameters), name
        for parameter in declared.parameters.values():
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, (name, parameter)


def test_ros2_stub_lists_exactly_the_module_functions():
    import inspect

    native = pytest.importorskip("korvex_messages.ros2._native")
    stub = (PACKAGE_SOURCE / "korvex_messages" / "ros2" / "_native.pyi").read_text()
    namespace = {}
    exec(compile("from __future__ import annotations\n" + stub, "stub", "exec"), namespace)
    assert namespace["__all__"] == native.__all__
    for name in native.__all__:
        runtime = inspect.signature(getattr(native, name))
        declared = inspect.signature(namespace[name])
        assert [(p.name, p.kind) for p in declared.parameters.values()] == [
            (p.name, p.kind) for p in runtime.parameters.values()
        ], name
