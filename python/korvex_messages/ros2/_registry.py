"""Which ROS 2 message types a process has registered, and by which definition.

`Ros2Registry.register_msg` takes a recording's `.msg` text (a type and the
types it uses), checks all of it, and only then hands the new types to the
codec through an installer, dependencies first, in one call that installs
all of them or none.  It is safe to repeat: a type already registered with
the same definition is accepted as it is, one registered with another
definition is refused, so code that runs once per recording, worker or
notebook cell can call it every time.  `unregister` removes a type again.

The lookups take no lock: the registry's table of definitions is never
changed in place, a change puts a new table in its place.  Changes are
serialised by a lock; Python code (a finalizer run by a garbage collection,
say) can run while one is held, so a lookup from there answers, and a change
from there is refused with MsgDefinitionError instead of waiting for ever.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Protocol

from korvex_messages.ros2._msgdef import (
    ConstantDef,
    FieldDef,
    MsgDef,
    MsgDefinitionError,
    normalize_type_name,
    parse_msg_text,
)

__all__ = ["Installer", "Ros2Registry", "not_registered"]


class Installer(Protocol):
    """What makes types known to the codec and forgets them again."""

    def install(self, types: list[tuple[str, list[tuple[str, str]]]]) -> list[bool]:
        """Install every (name, [(field name, `FieldDef.wire_type`)]) of
        `types`, each after the types it uses, or none of them; return, per
        type, whether it was new to the codec."""
        ...

    def remove(self, names: list[str]) -> None:
        """Remove every type of `names`, or none of them."""
        ...


def not_registered(name: str) -> KeyError:
    """The error for a lookup of a type this process has not registered."""
    return KeyError(f"ROS 2 message type '{name}' is not registered in this process")


def _describe_field(field: FieldDef) -> str:
    text = f"{field.wire_type} {field.name}"
    if field.default is not None:
        text += f" {field.default!r}"
    return text


def _describe_constant(constant: ConstantDef) -> str:
    return f"{constant.type} {constant.name}={constant.value!r}"


def _first_difference(have: MsgDef, new: MsgDef) -> str:
    """What differs between two definitions of one type, for the error."""
    for kind, old_items, new_items in (
        (
            "field",
            [_describe_field(f) for f in have.fields],
            [_describe_field(f) for f in new.fields],
        ),
        (
            "constant",
            [_describe_constant(c) for c in have.constants],
            [_describe_constant(c) for c in new.constants],
        ),
    ):
        for index, (old, now) in enumerate(zip(old_items, new_items)):
            if old != now:
                return (
                    f"{kind} {index + 1} is '{old}' in the registered definition,"
                    f" '{now}' in the new one"
                )
        if len(old_items) != len(new_items):
            return (
                f"the registered definition has {len(old_items)} {kind}s,"
                f" the new one {len(new_items)}"
            )
    return "the definitions differ"


class Ros2Registry:
    """The ROS 2 message types of one process, installed through `installer`."""

    def __init__(self, installer: Installer) -> None:
        self._installer = installer
        self._change_lock = threading.Lock()
        self._changing_thread: int | None = None
        # Replaced as a whole on every change, never changed in place.
        self._definitions: dict[str, MsgDef] = {}

    @contextmanager
    def _change(self, what: str) -> Iterator[dict[str, MsgDef]]:
        """Hold the change lock; yields the current table."""
        me = threading.get_ident()
        if self._changing_thread == me:
            raise MsgDefinitionError(
                f"{what} while this thread is changing the ROS 2 registry (from a finalizer"
                " or callback that ran inside register_msg or unregister); changes cannot"
                " nest"
            )
        with self._change_lock:
            self._changing_thread = me
            try:
                yield self._definitions
            finally:
                self._changing_thread = None

    def register_msg(self, type_name: str, text: str) -> list[str]:
        """Register every type defined in `text` (see `parse_msg_text`);
        return the full names of those newly registered, in the order they
        were installed.

        Nothing is installed unless the whole text can be: every type must be
        new or registered with the same definition, and every message type a
        field uses must be registered or defined in the text.  Raises
        `MsgDefinitionError` otherwise, and registers nothing.
        """
        definitions = parse_msg_text(type_name, text)
        with self._change(f"register_msg({type_name!r})") as current:
            new: dict[str, MsgDef] = {}
            for msgdef in definitions:
                have = current.get(msgdef.name)
                if have is None:
                    new[msgdef.name] = msgdef
                elif have != msgdef:
                    raise MsgDefinitionError(
                        f"{msgdef.name} is already registered with another definition:"
                        f" {_first_difference(have, msgdef)}"
                    )
            for msgdef in new.values():
                for field in msgdef.fields:
                    if field.base == "wstring":
                        # No peer encodes wstring (rosbags and mcap-ros2-support
                        # refuse it), so there is nothing to check bytes against.
                        raise MsgDefinitionError(
                            f"{msgdef.name}: field '{field.name}' is a wstring, which is"
                            " not supported"
                        )
                    if field.is_nested and field.base not in new and field.base not in current:
                        raise MsgDefinitionError(
                            f"{msgdef.name}: field '{field.name}' has type {field.base},"
                            " which is neither registered nor defined in the text"
                        )
            order = _install_order(new)
            if not order:
                return []
            try:
                fresh = self._installer.install(
                    [(name, [(f.name, f.wire_type) for f in new[name].fields]) for name in order]
                )
            except MsgDefinitionError:
                raise
            except ValueError as error:
                raise MsgDefinitionError(f"{order[-1]}: {error}") from None
            self._definitions = {**current, **{name: new[name] for name in order}}
            return [name for name, is_new in zip(order, fresh) if is_new]

    def unregister(self, type_name: str, *, dependants: bool = False) -> list[str]:
        """Remove a registered type; return the full names removed, the type
        first.

        A type that other registered types use is refused with
        `MsgDefinitionError` naming them, unless `dependants` is true: then
        they are removed with it, and the types that use them, and so on.
        Types it uses stay registered.  KeyError if it is not registered.
        """
        name = normalize_type_name(type_name)
        with self._change(f"unregister({type_name!r})") as current:
            if name not in current:
                raise not_registered(name)
            users = _users_of(current, name)
            if users and not dependants:
                direct = [n for n in users if name in current[n].dependencies()]
                raise MsgDefinitionError(
                    f"{name} is used by {', '.join(direct)}: unregister those first,"
                    " or pass dependants=True to remove them with it"
                )
            removed = [name, *users]
            try:
                self._installer.remove(removed)
            except ValueError as error:
                raise MsgDefinitionError(f"{name}: {error}") from None
            gone = set(removed)
            self._definitions = {n: d for n, d in current.items() if n not in gone}
            return removed

    def _lookup(self, type_name: str) -> MsgDef:
        name = normalize_type_name(type_name)
        msgdef = self._definitions.get(name)
        if msgdef is None:
            raise not_registered(name)
        return msgdef

    def definition(self, type_name: str) -> MsgDef:
        """The registered definition of a type (any accepted name form)."""
        return self._lookup(type_name)

    def constants(self, type_name: str) -> dict[str, object]:
        """The constants of a registered type, by name, in definition order."""
        return {c.name: c.value for c in self._lookup(type_name).constants}

    def registered(self) -> list[str]:
        """The full names of the registered types, in registration order."""
        return list(self._definitions)

    def is_registered(self, type_name: str) -> bool:
        """Whether a type is registered; False also for a malformed name."""
        try:
            name = normalize_type_name(type_name)
        except MsgDefinitionError:
            return False
        return name in self._definitions


def _install_order(new: dict[str, MsgDef]) -> list[str]:
    """The new types, each after the new types it uses (depth first in text
    order); a type that contains itself is refused.  Iterative, so that
    chains of any depth cost no Python recursion."""
    order: list[str] = []
    placed: set[str] = set()
    for root in new:
        if root in placed:
            continue
        # The path from the root: each type with the dependencies it has left.
        path = [root]
        on_path = {root}
        pending = [iter(new[root].dependencies())]
        while path:
            for dependency in pending[-1]:
                if dependency not in new or dependency in placed:
                    continue
                if dependency in on_path:
                    cycle = " -> ".join([*path[path.index(dependency) :], dependency])
                    raise MsgDefinitionError(f"{dependency} contains itself: {cycle}")
                path.append(dependency)
                on_path.add(dependency)
                pending.append(iter(new[dependency].dependencies()))
                break
            else:
                done = path.pop()
                on_path.discard(done)
                pending.pop()
                placed.add(done)
                order.append(done)
    return order


def _users_of(definitions: dict[str, MsgDef], name: str) -> list[str]:
    """The registered types that use `name`, directly or through others, in
    registration order."""
    used_by: dict[str, list[str]] = {}
    for user, msgdef in definitions.items():
        for dependency in msgdef.dependencies():
            used_by.setdefault(dependency, []).append(user)
    found: set[str] = set()
    todo = [name]
    while todo:
        for user in used_by.get(todo.pop(), ()):
            if user not in found and user != name:
                found.add(user)
                todo.append(user)
    return [n for n in definitions if n in found]
