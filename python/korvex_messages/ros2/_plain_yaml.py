"""The block YAML that rosbag2 writes its metadata.yaml in, read without
PyYAML (whose import alone costs more than reading a topic of a small bag).

Only a strict subset is read: block mappings with plain keys, block
sequences, and scalars whose meaning is beyond doubt (decimal integers,
true/false, null, plain names and paths, quoted text, [] and {}).  Anything
else (flow collections, anchors, tags, block scalars, comments, tabs,
numbers in other forms, YAML 1.1's yes/no/on/off) raises `Unsupported`, and
the caller reads the document with PyYAML instead, so a document is never
read differently from PyYAML's `safe_load`.
"""

from __future__ import annotations

import re
from typing import Any

__all__ = ["Unsupported", "load"]


class Unsupported(Exception):
    """The document uses YAML beyond the subset read here."""


_KEY = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_INTEGER = re.compile(r"-?(?:0|[1-9][0-9]*)\Z")
_NAME = re.compile(r"[A-Za-z_/][A-Za-z0-9_./-]*\Z")
_NULLS = {"", "~", "null", "Null", "NULL"}
_BOOLS = {"true": True, "True": True, "TRUE": True, "false": False, "False": False, "FALSE": False}
# Words YAML 1.1 reads as booleans, which a plain name must not be.
_OTHER_BOOLS = {"yes", "Yes", "YES", "no", "No", "NO", "on", "On", "ON", "off", "Off", "OFF"}
_ESCAPES = {"\\": "\\", '"': '"', "/": "/", "n": "\n", "t": "\t", "r": "\r", "0": "\0"}


def _double_quoted(text: str) -> str:
    out: list[str] = []
    at = 1
    while True:
        end = text.find("\\", at)
        close = text.find('"', at)
        if close < 0:
            raise Unsupported("a quoted scalar that goes on past its line")
        if end < 0 or close < end:
            out.append(text[at:close])
            if text[close + 1 :].strip():
                raise Unsupported("text after a quoted scalar")
            return "".join(out)
        out.append(text[at:end])
        code = text[end + 1 : end + 2]
        if code in _ESCAPES:
            out.append(_ESCAPES[code])
            at = end + 2
        elif code in ("x", "u"):
            digits = text[end + 2 : end + (4 if code == "x" else 6)]
            if not re.fullmatch(r"[0-9A-Fa-f]{2}" if code == "x" else r"[0-9A-Fa-f]{4}", digits):
                raise Unsupported("an escape of another form")
            value = int(digits, 16)
            if 0xD800 <= value <= 0xDFFF:
                raise Unsupported("a surrogate escape")
            out.append(chr(value))
            at = end + 2 + len(digits)
        else:
            raise Unsupported("an escape of another form")


def _single_quoted(text: str) -> str:
    body = text[1:]
    out: list[str] = []
    at = 0
    while True:
        close = body.find("'", at)
        if close < 0:
            raise Unsupported("a quoted scalar that goes on past its line")
        if body[close + 1 : close + 2] == "'":
            out.append(body[at : close + 1])
            at = close + 2
            continue
        out.append(body[at:close])
        if body[close + 1 :].strip():
            raise Unsupported("text after a quoted scalar")
        return "".join(out)


def _scalar(text: str) -> Any:
    text = text.strip()
    if text.startswith('"'):
        return _double_quoted(text)
    if text.startswith("'"):
        return _single_quoted(text)
    if text == "[]":
        return []
    if text == "{}":
        return {}
    if text in _NULLS:
        return None
    if text in _BOOLS:
        return _BOOLS[text]
    if _INTEGER.match(text):
        return int(text)
    if _NAME.match(text) and text not in _OTHER_BOOLS:
        return text
    raise Unsupported(f"the scalar {text[:40]!r}")


class _Lines:
    """The document's lines as (indent, text), blank ones left out."""

    def __init__(self, text: str) -> None:
        self.items: list[tuple[int, str]] = []
        for line in text.splitlines():
            if "\t" in line or "#" in line and not _quoted_hash_only(line):
                raise Unsupported("a tab or a comment")
            stripped = line.strip()
            if not stripped:
                continue
            if stripped in ("---", "...") or stripped[0] in "%&*!|>?{[@`,":
                if stripped not in ("[]", "{}"):
                    raise Unsupported("a directive, marker or indicator")
            self.items.append((len(line) - len(line.lstrip(" ")), stripped))
        self.at = 0

    def peek(self) -> tuple[int, str] | None:
        return self.items[self.at] if self.at < len(self.items) else None


def _quoted_hash_only(line: str) -> bool:
    """Whether every # of the line lies inside a double-quoted scalar that
    ends it (as in an escaped QoS text)."""
    value = line.partition(": ")[2].strip()
    return value.startswith('"') and "#" not in line.partition(": ")[0]


def _is_item(text: str) -> bool:
    return text == "-" or text.startswith("- ")


def _split_key(text: str) -> tuple[str, str] | None:
    """(key, rest) of a `key: rest` or `key:` line, None for anything else."""
    if text.endswith(":"):
        key, rest = text[:-1], ""
    else:
        key, colon, rest = text.partition(": ")
        if not colon:
            return None
    if not _KEY.match(key):
        raise Unsupported(f"the key {key[:40]!r}")
    return key, rest


def _block(lines: _Lines, indent: int) -> Any:
    first = lines.peek()
    assert first is not None
    if _is_item(first[1]):
        return _sequence(lines, indent)
    if _split_key(first[1]) is not None:
        return _mapping(lines, indent)
    # Plain scalar lines: one scalar, its lines folded by spaces.
    parts = []
    while (line := lines.peek()) is not None and line[0] >= indent:
        if _is_item(line[1]) or _split_key(line[1]) is not None:
            raise Unsupported("a scalar followed by a collection")
        parts.append(line[1])
        lines.at += 1
    if len(parts) > 1 and any(p[0] in "\"'" for p in parts):
        raise Unsupported("a quoted scalar over several lines")
    return _scalar(" ".join(parts))


def _value_after(lines: _Lines, indent: int, rest: str, is_item: bool = False) -> Any:
    """The value of a key (or item) whose line ends in `rest`."""
    if rest.strip():
        return _scalar(rest)
    following = lines.peek()
    if following is None:
        return None
    if following[0] > indent:
        return _block(lines, following[0])
    if not is_item and following[0] == indent and _is_item(following[1]):
        return _sequence(lines, indent)  # a sequence as deep as its key
    return None


def _mapping(lines: _Lines, indent: int) -> dict[str, Any]:
    result: dict[str, Any] = {}
    while (line := lines.peek()) is not None and line[0] == indent and not _is_item(line[1]):
        pair = _split_key(line[1])
        if pair is None:
            raise Unsupported("a line that is neither a key nor an item")
        key, rest = pair
        if key in result:
            raise Unsupported(f"the key {key!r} twice")
        lines.at += 1
        result[key] = _value_after(lines, indent, rest)
    if line is not None and line[0] > indent:
        raise Unsupported("a line indented more than its mapping")
    return result


def _sequence(lines: _Lines, indent: int) -> list[Any]:
    result: list[Any] = []
    while (line := lines.peek()) is not None and line[0] == indent and _is_item(line[1]):
        body = line[1][1:]
        content = body.lstrip(" ")
        if not content:
            lines.at += 1
            result.append(_value_after(lines, indent, "", is_item=True))
            continue
        # The item's content stands where it starts, as if on its own line.
        column = indent + 1 + len(body) - len(content)
        lines.items[lines.at] = (column, content)
        if _is_item(content) or _split_key(content) is not None:
            result.append(_block(lines, column))
        else:
            lines.at += 1
            result.append(_scalar(content))
    if line is not None and line[0] > indent:
        raise Unsupported("a line indented more than its sequence")
    return result


def load(text: str) -> Any:
    """The document `text`, as PyYAML's safe_load reads it; Unsupported where
    it goes beyond the subset read here."""
    lines = _Lines(text)
    first = lines.peek()
    if first is None:
        return None
    value = _block(lines, first[0])
    if lines.peek() is not None:
        raise Unsupported("lines after the document's top level")
    return value
