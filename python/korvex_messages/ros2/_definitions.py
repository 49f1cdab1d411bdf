"""The message definitions of one open recording.

A recording's types are found, in this order, in the definitions the
recording stores, in the `types` the caller passes (a mapping of type name to
`.msg` text, or a folder laid out as ``pkg/msg/Name.msg``), and among the
types this process has registered with korvex_messages.ros2.  Every type a
topic needs, with every type it nests, must be found before any message is
read; the missing ones are reported together, in one error.

The codec holds them under names private to the recording,
``pkg/msg/Name__rN`` with N the recording's serial number, so that two
recordings that define one name differently can be open at once, and types
the process registers itself are never touched.  These names are not in
`ros2.registered()`; closing the recording removes them from the codec.
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Callable, Mapping
from pathlib import Path

from korvex_messages.ros2._msgdef import MsgDef, MsgDefinitionError, normalize_type_name
from korvex_messages.ros2._msgdef import parse_msg_text as _parse
from korvex_messages.ros2._registry import _install_order

__all__ = ["MissingDefinitionsError", "RecordingTypes", "StoredDefinition", "TypeSource"]

_serials = itertools.count(1)

# A definition as a recording stores it: (encoding, text).
StoredDefinition = tuple[str, str]


class MissingDefinitionsError(MsgDefinitionError):
    """Types a recording needs and no source defines."""


class TypeSource:
    """The `types` argument of open_recording: a mapping of type name to
    `.msg` text, or a folder of ``pkg/msg/Name.msg`` files."""

    def __init__(self, types: Mapping[str, str] | str | os.PathLike[str] | None) -> None:
        self._texts: dict[str, str] = {}
        self._folder: Path | None = None
        if types is None:
            return
        if isinstance(types, (str, os.PathLike)):
            folder = Path(types)
            if not folder.is_dir():
                raise FileNotFoundError(f"types: {folder} is not a folder of pkg/msg/*.msg files")
            self._folder = folder
        elif isinstance(types, Mapping):
            for name, text in types.items():
                if not isinstance(name, str) or not isinstance(text, str):
                    raise TypeError(
                        "types: expected a mapping of type name (str) to .msg text (str)"
                    )
                self._texts[normalize_type_name(name)] = text
        else:
            raise TypeError(
                "types: expected a mapping of type name to .msg text, or a folder, not "
                + type(types).__name__
            )

    def text(self, name: str) -> str | None:
        """The `.msg` text of a full type name, or None."""
        text = self._texts.get(name)
        if text is not None or self._folder is None:
            return text
        package, kind, short = name.split("/")
        path = self._folder / package / kind / f"{short}.msg"
        try:
            return path.read_text(encoding="utf-8")
        except FileNotFoundError:
            return None


def private_name(name: str, serial: int) -> str:
    return f"{name}__r{serial}"


class RecordingTypes:
    """The definitions of one recording, installed in the codec under private
    names until `close`.

    `needed` maps each type a topic uses to the topics that use it; `stored`
    maps a type name to the definition the recording holds for it; `registered`
    looks a type up among the process's registered types (raising KeyError).
    """

    def __init__(
        self,
        needed: Mapping[str, list[str]],
        stored: Mapping[str, StoredDefinition],
        types: TypeSource,
        registered: Callable[[str], MsgDef],
        install: Callable[[list[tuple[str, list[tuple[str, str]]]]], object],
        remove: Callable[[list[str]], object],
    ) -> None:
        self.serial = next(_serials)
        self._remove = remove
        definitions, missing = _resolve(needed, stored, types, registered)
        if missing:
            raise MissingDefinitionsError(_missing_text(missing, needed))
        order = _install_order(definitions)
        self._installed = [private_name(n, self.serial) for n in order]
        install([(private_name(n, self.serial), self._fields(definitions[n])) for n in order])
        self.definitions = definitions

    def _fields(self, msgdef: MsgDef) -> list[tuple[str, str]]:
        fields = []
        for field in msgdef.fields:
            wire = field.wire_type
            if field.is_nested:
                wire = private_name(field.base, self.serial) + wire[len(field.base) :]
            fields.append((field.name, wire))
        return fields

    def codec_name(self, name: str) -> str:
        """The name the codec knows a type of this recording by."""
        return private_name(name, self.serial)

    def close(self) -> None:
        installed, self._installed = self._installed, []
        if installed:
            self._remove(installed)


def _stored_definitions(name: str, stored: StoredDefinition) -> list[MsgDef] | str:
    """The types a stored definition gives, or why it gives none."""
    encoding, text = stored
    if encoding == "ros2idl":
        return "the recording stores it as ros2idl, which is not supported"
    if encoding not in ("ros2msg", ""):
        return f"the recording stores it in the encoding {encoding!r}, which is not supported"
    if not text.strip():
        return "the recording stores no definition (an empty schema)"
    return _parse(name, text)


def _resolve(
    needed: Mapping[str, list[str]],
    stored: Mapping[str, StoredDefinition],
    types: TypeSource,
    registered: Callable[[str], MsgDef],
) -> tuple[dict[str, MsgDef], dict[str, str]]:
    """Every needed type and those it nests: (definitions, missing type -> why)."""
    found: dict[str, MsgDef] = {}
    missing: dict[str, str] = {}
    todo = [normalize_type_name(n) for n in needed]
    while todo:
        name = todo.pop(0)
        if name in found or name in missing:
            continue
        why = "the recording stores no definition"
        sections: list[MsgDef] | None = None
        if name in stored:
            given = _stored_definitions(name, stored[name])
            if isinstance(given, str):
                why = given
            else:
                sections = given
        if sections is None:
            text = types.text(name)
            if text is not None:
                sections = _parse(name, text)
        if sections is None:
            try:
                sections = [registered(name)]
            except KeyError:
                missing[name] = why
                continue
        if name not in {msgdef.name for msgdef in sections}:
            missing[name] = f"its definition names another type, {sections[0].name}"
            continue
        # Every section taken, the type's own and those of the types it
        # nests, needs what it uses in turn.
        for msgdef in sections:
            if msgdef.name not in found:
                found[msgdef.name] = msgdef
                todo.extend(d for d in msgdef.dependencies() if d not in found)
    return found, missing


def _missing_text(missing: dict[str, str], needed: Mapping[str, list[str]]) -> str:
    lines = [f"the recording needs {len(missing)} message type(s) it does not define:"]
    for name, why in missing.items():
        topics = needed.get(name)
        used = f" (topics {', '.join(topics)})" if topics else " (nested in another type)"
        lines.append(f"  {name}{used}: {why}")
    example = next(iter(missing))
    package, kind, short = example.split("/")
    lines.append(
        "pass them with open_recording(path, types={"
        f"'{example}': '<.msg text>', ...}}) or types='/opt/ros/<distro>/share' (any folder"
        f" laid out as {package}/{kind}/{short}.msg), or register them first with"
        " korvex_messages.ros2.register_msg"
    )
    return "\n".join(lines)
