"""Which ROS 2 message types a process has registered, and by which definition.

`Ros2Registry.register_msg` takes a recording's `.msg` text (a type and the
types it uses), checks all of it, and only then hands the new types to the
codec through an installer, dependencies first.  It is safe to repeat: a
type already registered with the same definition is accepted as it is, one
registered with another definition is refused, so code that runs once per
recording, worker or notebook cell can call it every time.
"""

from __future__ import annotations

import threading
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
    """What makes a type known to the codec: the field names and their
    `FieldDef.wire_type`s, called for a type only once the types it uses
    are installed."""

    def install(self, name: str, fields: list[tuple[str, str]]) -> None: ...


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
        # One lock for checking and installing, so that threads registering
        # the same text install each type once.
        self._lock = threading.Lock()
        self._definitions: dict[str, MsgDef] = {}

    def register_msg(self, type_name: str, text: str) -> list[str]:
        """Register every type defined in `text` (see `parse_msg_text`);
        return the full names of those newly registered, in the order they
        were installed.

        Nothing is installed unless the whole text can be: every type must be
        new or registered with the same definition, and every message type a
        field uses must be registered or defined in the text.  Raises
        `MsgDefinitionError` otherwise.
        """
        definitions = parse_msg_text(type_name, text)
        with self._lock:
            new: dict[str, MsgDef] = {}
            for msgdef in definitions:
                have = self._definitions.get(msgdef.name)
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
                    if (
                        field.is_nested
                        and field.base not in new
                        and field.base not in self._definitions
                    ):
                        raise MsgDefinitionError(
                            f"{msgdef.name}: field '{field.name}' has type {field.base},"
                            " which is neither registered nor defined in the text"
                        )
            order = self._install_order(new)
            installed: list[str] = []
            for name in order:
                msgdef = new[name]
                self._installer.install(name, [(f.name, f.wire_type) for f in msgdef.fields])
                # Recorded as soon as the codec has it, so that a failure of a
                # later install leaves this registry matching the codec.
                self._definitions[name] = msgdef
                installed.append(name)
            return installed

    def _install_order(self, new: dict[str, MsgDef]) -> list[str]:
        """The new types, each after the new types it uses (depth first in
        text order); a type that contains itself is refused."""
        order: list[str] = []
        state: dict[str, bool] = {}  # False while visiting, True when placed

        def visit(name: str, path: list[str]) -> None:
            if state.get(name) is True:
                return
            if name in state:
                cycle = " -> ".join([*path[path.index(name) :], name])
                raise MsgDefinitionError(f"{name} contains itself: {cycle}")
            state[name] = False
            for dependency in new[name].dependencies():
                if dependency in new:
                    visit(dependency, [*path, name])
            state[name] = True
            order.append(name)

        for name in new:
            visit(name, [])
        return order

    def _lookup(self, type_name: str) -> MsgDef:
        name = normalize_type_name(type_name)
        with self._lock:
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
        with self._lock:
            return list(self._definitions)

    def is_registered(self, type_name: str) -> bool:
        """Whether a type is registered; False also for a malformed name."""
        try:
            name = normalize_type_name(type_name)
        except MsgDefinitionError:
            return False
        with self._lock:
            return name in self._definitions
