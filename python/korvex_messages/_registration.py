"""Registration that is safe to repeat: `ensure_schemas`.

The registry of `_korvex_messages` belongs to the process and refuses a
name that is taken, so code that runs more than once per process (a worker
set-up hook, a notebook cell, an actor restarted in a reused process) cannot
simply call `register_schema`.  `ensure_schemas` registers what is missing,
accepts what is already there with the same fields, and refuses what is
there with other fields.

"The same fields" means what `get_schema` returns: the registered list
holds canonical type names (`ros_string` as `string`, `ros_bytes` as
`bytes`, `struct: Name ` as `struct:Name`), so the requested fields are put
in that form, by the native module's own type grammar, before they are
compared.  Field names are compared exactly.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import cast

import _korvex_messages_columns as _columns

import _korvex_messages as km

# One field as register_schema takes it: (field name, type name).
Field = tuple[str, str] | list[str]

# How often one name may be found changed by other threads (registered
# between our look and our registration, or removed between them) before
# giving up.  Each retry needs another thread to change that very name.
_ATTEMPTS = 100


class SchemaMismatchError(ValueError):
    """A schema is registered under the name, with other fields.

    `name` is the schema's name, `registered` the fields the registry holds
    (as `get_schema` returns them) and `requested` the fields asked for, in
    canonical form.
    """

    def __init__(
        self,
        name: str,
        registered: list[tuple[str, str]],
        requested: list[tuple[str, str]],
    ) -> None:
        self.name = name
        self.registered = registered
        self.requested = requested
        super().__init__(_mismatch_text(name, registered, requested))

    def __reduce__(self) -> tuple[type[SchemaMismatchError], tuple[object, ...]]:
        # Workers of Dask and Ray send exceptions back pickled; the default
        # would call __init__ with the message alone.
        return (type(self), (self.name, self.registered, self.requested))


def _mismatch_text(
    name: str, registered: list[tuple[str, str]], requested: list[tuple[str, str]]
) -> str:
    head = f"Schema {name!r} is already registered with different fields"
    for index, (old, new) in enumerate(zip(registered, requested)):
        if old != new:
            return f"{head}: field {index} is {old!r}, requested {new!r}"
    return (
        f"{head}: {len(registered)} fields registered, {len(requested)} requested "
        f"(unregister_schema({name!r}) first to replace it)"
    )


def _canonical_fields(fields: Sequence[Field]) -> list[tuple[str, str]] | None:
    """The fields as get_schema would return them once registered, or None
    if register_schema would refuse them (it then reports why itself)."""
    canonical = []
    for entry in fields:
        if not isinstance(entry, (tuple, list)) or len(entry) != 2:
            return None
        field_name, type_name = entry
        if not isinstance(field_name, str) or not isinstance(type_name, str):
            return None
        try:
            field_name.encode("utf-8")
        except UnicodeEncodeError:
            return None
        # The type as get_schema prints it, or None if the module would refuse it.
        canonical_type = _columns._canonical_type_name(type_name)
        if canonical_type is None:
            return None
        # str.__str__ gives a plain str of a subclass's text, as the module reads it.
        canonical.append((str.__str__(field_name), canonical_type))
    return canonical


def _registered_fields(name: str) -> list[tuple[str, str]] | None:
    """The registered fields of `name`, or None if it is not registered."""
    if not km.schema_exists(name):
        return None
    try:
        return km.get_schema(name)
    except KeyError:
        return None  # removed by another thread since schema_exists


def _check(name: str, registered: list[tuple[str, str]], requested: list[tuple[str, str]]) -> None:
    if registered != requested:
        raise SchemaMismatchError(name, registered, requested)


def _settle(name: str, requested: list[tuple[str, str]]) -> bool:
    """Registers `name` unless it is there with the requested fields;
    True if this call registered it.  The canonical names register the same
    types as the names they came from."""
    taken = f"Schema already registered: {name}"
    for _ in range(_ATTEMPTS):
        registered = _registered_fields(name)
        if registered is not None:
            _check(name, registered, requested)
            return False
        try:
            km.register_schema(name, requested)
            return True
        except ValueError as error:
            # Another thread registered it since we looked: look again.
            if str(error) != taken:
                raise
    raise RuntimeError(
        f"Schema {name!r} was registered and unregistered by other threads "
        f"{_ATTEMPTS} times while it was being ensured"
    )


def ensure_schemas(schemas: Mapping[str, Sequence[Field]]) -> list[str]:
    """Registers every schema of `schemas` (name -> fields, as
    register_schema takes them) that is not registered yet, in the
    mapping's order, and returns the names it registered.

    A schema already registered with the same fields is left alone, so
    calling this again, in the same process or in any other, is harmless.
    A schema registered with different fields raises SchemaMismatchError
    (a ValueError) naming it; an invalid field list raises what
    register_schema raises.  Both are checked for every schema before any
    is registered, so such a call registers nothing, unless other threads
    change the registry while it runs.

    `struct:` fields may name schemas registered later or not at all: the
    module resolves them only when a message is encoded or decoded, so the
    order of the mapping does not matter.
    """
    registered_here: list[str] = []
    pending: list[tuple[str, list[tuple[str, str]]]] = []
    for name, fields in schemas.items():
        entries = list(fields)
        requested = _canonical_fields(entries)
        if requested is None:
            # register_schema checks the whole field list before it looks
            # at the registry, so it raises the exact error for this list.
            km.register_schema(name, cast("list[tuple[str, str]]", entries))
            registered_here.append(name)  # only if the module accepts what we would not
            continue
        registered = _registered_fields(name)
        if registered is not None:
            _check(name, registered, requested)
        pending.append((name, requested))
    registered_here += [name for name, requested in pending if _settle(name, requested)]
    return registered_here
