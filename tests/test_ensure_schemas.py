"""korvex_messages.ensure_schemas: registration that is safe to repeat.

Expected outcomes are written out by hand from the documented behaviour of
register_schema and get_schema (canonical type names, exact field names);
where an invalid field list must fail "as register_schema fails", the
module's own error for the same list under a fresh name is the reference.
"""

import multiprocessing
import pickle
import types
from importlib import metadata

import pytest

import _korvex_messages as km
import korvex_messages
from korvex_messages import SchemaMismatchError, _registration, ensure_schemas

# The registration helpers of the package, written in Python.
pytestmark = pytest.mark.pure_python

# (registered first, requested, what the requested call must do): "kept"
# leaves the registered schema alone, a str is the start of the
# SchemaMismatchError text after the schema's name.
SAME_OR_DIFFERENT = [
    pytest.param([("x", "int32")], [("x", "int32")], "kept", id="identical"),
    pytest.param([], [], "kept", id="identical-empty"),
    pytest.param([("s", "ros_string")], [("s", "string")], "kept", id="alias-string"),
    pytest.param([("b", "bytes")], [("b", "ros_bytes")], "kept", id="alias-bytes"),
    pytest.param(
        [("a", "array<array<ros_string>>")],
        [("a", "array<array<string>>")],
        "kept",
        id="alias-in-array",
    ),
    pytest.param([("p", "struct: P ")], [("p", "struct:P")], "kept", id="struct-trimmed"),
    pytest.param(
        [("p", "struct:P")], [("p", "struct:\t\u00a0P\u3000")], "kept", id="struct-unicode-space"
    ),
    pytest.param(
        [("p", "array<struct: P>")], [("p", "array<struct:P >")], "kept", id="struct-in-array"
    ),
    pytest.param([("x", "int32")], [["x", "int32"]], "kept", id="list-entry"),
    pytest.param(
        [("x", "int32"), ("x", "int32")],
        [("x", "int32"), ("x", "int32")],
        "kept",
        id="repeated-field",
    ),
    pytest.param(
        [("x", "float64")],
        [("x", "float32")],
        "is already registered with different fields: "
        "field 0 is ('x', 'float64'), requested ('x', 'float32')",
        id="other-type",
    ),
    pytest.param([("x", "int32")], [("X", "int32")], "is already registered", id="field-name-case"),
    pytest.param(
        [("x", "int32")], [(" x", "int32")], "is already registered", id="field-name-not-trimmed"
    ),
    pytest.param(
        [("x", "int32"), ("y", "int32")],
        [("y", "int32"), ("x", "int32")],
        "is already registered with different fields: field 0",
        id="order",
    ),
    pytest.param(
        [("x", "int32")],
        [("x", "int32"), ("y", "int32")],
        "is already registered with different fields: 1 fields registered, 2 requested",
        id="extra-field",
    ),
    pytest.param(
        [("x", "int32")],
        [],
        "is already registered with different fields: 1 fields",
        id="no-fields",
    ),
    # U+001C is whitespace to str.strip() but not to the module.
    pytest.param(
        [("p", "struct:P")], [("p", "struct:P\x1c")], "is already registered", id="struct-x1c-kept"
    ),
    pytest.param(
        [("p", "struct:My P")],
        [("p", "struct:MyP")],
        "is already registered",
        id="struct-inner-blank",
    ),
    pytest.param(
        [("a", "array<int32>")], [("a", "int32")], "is already registered", id="array-or-not"
    ),
]


@pytest.mark.parametrize("registered, requested, outcome", SAME_OR_DIFFERENT)
def test_registered_schema_kept_or_refused(unique_name, registered, requested, outcome):
    name = unique_name("E")
    assert ensure_schemas({name: registered}) == [name]
    before = km.get_schema(name)
    if outcome == "kept":
        assert ensure_schemas({name: requested}) == []
    else:
        with pytest.raises(SchemaMismatchError) as caught:
            ensure_schemas({name: requested})
        assert str(caught.value).startswith(f"Schema {name!r} {outcome}"), str(caught.value)
        assert caught.value.name == name
        assert caught.value.registered == before
    assert km.get_schema(name) == before


@pytest.mark.parametrize(
    "fields, canonical",
    [
        ([("s", "ros_string"), ["b", "ros_bytes"]], [("s", "string"), ("b", "bytes")]),
        ([("p", "struct:\u2003P Q\u2003")], [("p", "struct:P Q")]),
        (
            [("a", "array<" * 500 + "time" + ">" * 500)],
            [("a", "array<" * 500 + "time" + ">" * 500)],
        ),
        ([("p", "struct:array<int32>")], [("p", "struct:array<int32>")]),
    ],
    ids=["aliases", "struct-inner-blank", "deep-array", "struct-named-like-array"],
)
def test_absent_schema_registered_as_get_schema_shows_it(unique_name, fields, canonical):
    name = unique_name("E")
    assert ensure_schemas({name: fields}) == [name]
    assert km.get_schema(name) == canonical
    assert ensure_schemas({name: fields}) == []


@pytest.mark.parametrize(
    "fields",
    [
        [("x", "Int32")],
        [("x", "array< int32>")],
        [("x", "array<int32")],
        [("x", "struct: ")],
        [("x",)],
        ["xy"],
        [("x", 3)],
        [(None, "int32")],
        [("\ud800", "int32")],
    ],
    ids=[
        "type-case",
        "array-blank",
        "array-open",
        "struct-empty",
        "one-item",
        "str-entry",
        "int-type",
        "none-name",
        "lone-surrogate",
    ],
)
@pytest.mark.parametrize("already_registered", [False, True], ids=["absent", "registered"])
def test_invalid_fields_fail_as_register_schema_does(unique_name, fields, already_registered):
    reference_name = unique_name("ref")
    with pytest.raises((TypeError, ValueError, UnicodeEncodeError)) as expected:
        km.register_schema(reference_name, fields)
    name, valid = unique_name("E"), unique_name("valid")
    if already_registered:
        km.register_schema(name, [("x", "int32")])
    # The valid schema comes first and must not be registered by a failing call.
    with pytest.raises(type(expected.value)) as caught:
        ensure_schemas({valid: [("y", "int8")], name: fields})
    assert str(caught.value) == str(expected.value).replace(reference_name, name)
    assert not km.schema_exists(valid)
    assert km.schema_exists(name) == already_registered


def test_a_mismatch_anywhere_registers_nothing(unique_name):
    taken, first, last = unique_name("taken"), unique_name("first"), unique_name("last")
    km.register_schema(taken, [("x", "int32")])
    with pytest.raises(SchemaMismatchError, match="field 0"):
        ensure_schemas({first: [], taken: [("x", "int64")], last: []})
    assert not km.schema_exists(first) and not km.schema_exists(last)


def test_struct_references_in_any_order(unique_name):
    outer, inner = unique_name("outer"), unique_name("inner")
    registered = ensure_schemas(
        {outer: [("p", f"struct:{inner}"), ("n", "uint8")], inner: [("x", "int16")]}
    )
    assert registered == [outer, inner]
    message = {"p": {"x": -2}, "n": 7}
    assert km.deserialize(outer, km.serialize(outer, message)) == message


def test_mismatch_error_is_a_value_error_that_pickles():
    error = SchemaMismatchError("S", [("x", "int32")], [("x", "int8")])
    copy = pickle.loads(pickle.dumps(error))
    assert isinstance(copy, ValueError)
    assert (type(copy), str(copy), copy.name, copy.registered, copy.requested) == (
        SchemaMismatchError,
        str(error),
        "S",
        [("x", "int32")],
        [("x", "int8")],
    )


def _racing_module(function, action):
    """A stand-in for _korvex_messages whose `function` first runs `action`
    on the schema's name, once, as another thread could just before it."""
    pending = [action]

    def wrap(real):
        def call(name, *args):
            if pending:
                pending.pop()(name)
            return real(name, *args)

        return call

    functions = ("register_schema", "schema_exists", "get_schema")
    return types.SimpleNamespace(
        **{f: wrap(getattr(km, f)) if f == function else getattr(km, f) for f in functions}
    )


RACES = [
    # Registered by someone else between our look and our registration.
    pytest.param("register_schema", [("x", "int32")], [("x", "int32")], [], id="registered-same"),
    pytest.param(
        "register_schema",
        [("x", "uint32")],
        [("x", "uint32")],
        SchemaMismatchError,
        id="registered-other",
    ),
    # Removed between schema_exists and get_schema: registered by us after all.
    pytest.param("get_schema", [("x", "uint32")], [("x", "int32")], "ours", id="removed"),
]


@pytest.mark.parametrize("function, before, after, outcome", RACES)
def test_registry_changed_by_another_thread_in_between(
    monkeypatch, unique_name, function, before, after, outcome
):
    name = unique_name("race")
    if function == "get_schema":
        km.register_schema(name, before)
        action = km.unregister_schema
    else:
        action = lambda n: km.register_schema(n, before)  # noqa: E731
    monkeypatch.setattr(_registration, "km", _racing_module(function, action))
    if outcome is SchemaMismatchError:
        with pytest.raises(SchemaMismatchError, match="requested \\('x', 'int32'\\)"):
            ensure_schemas({name: [("x", "int32")]})
    else:
        assert ensure_schemas({name: [("x", "int32")]}) == (
            [name] if outcome == "ours" else outcome
        )
    assert km.get_schema(name) == after


def _registered_in_worker(layouts):
    # Runs in a fresh worker each time: the initializer registered the layouts.
    import os

    return os.getpid(), [km.get_schema(name) for name in layouts]


def _ensure_twice(layouts):
    ensure_schemas(layouts)
    ensure_schemas(layouts)  # a set-up hook run again in the same process


def test_every_restarted_worker_registers(unique_name):
    layouts = {unique_name("worker"): [("x", "ros_string")], unique_name("worker"): []}
    context = multiprocessing.get_context("spawn")
    # One task per worker process: every task runs in a newly started worker.
    with context.Pool(
        1, initializer=_ensure_twice, initargs=(layouts,), maxtasksperchild=1
    ) as pool:
        results = pool.map(_registered_in_worker, [layouts] * 3, chunksize=1)
    assert len({pid for pid, _ in results}) == 3
    assert all(schemas == [[("x", "string")], []] for _, schemas in results)


def test_version_is_the_distribution_version():
    try:
        installed = metadata.version("korvex-messages")
    except metadata.PackageNotFoundError:
        pytest.skip("korvex-messages is not installed (a build directory on PYTHONPATH)")
    assert korvex_messages.__version__ == installed
