"""Contenders of the benchmark.

A contender turns a workload into a `Prepared`: the two calls to time (each
a function and its positional arguments, called exactly as written, with no
wrapper around them), plus what it takes to check that the result is the
same logical message.  Conversion from the workload's dict into the
contender's native representation happens in `prepare`, outside the timed
region.

Contenders whose package is not installed are reported and left out; only
`_korvex_messages` itself is required.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from bench.workloads import Workload, element_type, fields_of, struct_name

# Modules defining a contender each, in table order (ours first, then the
# peers, then the floors).
MODULES = [
    "bench.contenders.ours",
    "bench.contenders.rosbags_peer",
    "bench.contenders.mcap_peer",
    "bench.contenders.pycdr2_peer",
    "bench.contenders.msgspec_peer",
    "bench.contenders.floors",
    "bench.contenders.codec_floor",
]


@dataclass
class Prepared:
    label: str
    encode: Callable
    encode_args: tuple
    decode: Callable
    decode_args: tuple
    # Maps a decoded value to the logical dict; identity for dict producers.
    to_logical: Callable[[Any], Any] = lambda value: value
    # CDR contenders: their bytes are checked against the reference layout.
    # Floors produce some other format and are only checked to round-trip.
    produces_cdr: bool = True
    # False where the encode call produces nothing to decode (the codec
    # floors of the test-only module return None).
    round_trips: bool = True
    # Where a floor does not handle the whole message (array.array works on
    # the list alone), the part of the message it round-trips.
    logical_part: Callable[[dict], Any] | None = None
    notes: list[str] = field(default_factory=list)
    # Keyword arguments of the timed calls, written into the call itself.
    encode_kwargs: dict[str, Any] = field(default_factory=dict)
    decode_kwargs: dict[str, Any] = field(default_factory=dict)


class Contender:
    """Base class: one library (or floor) able to take part in some workloads."""

    name = "?"
    kind = "peer"  # "ours", "peer" or "floor"
    # What the contender works on, when it is not plain dicts, lists and bytes.
    representation = ""

    def load(self) -> None:
        """Import the library; raise ImportError when it is not installed."""

    def version(self) -> str:
        return ""

    def prepare(self, workload: Workload) -> list[Prepared]:
        raise NotImplementedError


def load_contenders(only: set[str] | None = None) -> tuple[list[Contender], list[str]]:
    """Instantiate every contender whose library imports.

    Returns the contenders and a list of "name: reason" for those left out.
    """
    loaded: list[Contender] = []
    missing: list[str] = []
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for contender in module.CONTENDERS:
            if only is not None and contender.kind != "ours" and contender.name not in only:
                continue
            try:
                contender.load()
            except ImportError as error:
                if contender.kind == "ours":
                    raise
                missing.append(f"{contender.name}: not installed ({error})")
                continue
            loaded.append(contender)
    return loaded, missing


# ---------------------------------------------------------------------------
# Walking a native object back to the logical dict (used only to check
# results, never timed).
# ---------------------------------------------------------------------------


def _plain(value: Any) -> Any:
    """numpy scalars and arrays to Python values; other values unchanged."""
    tolist = getattr(value, "tolist", None)
    if tolist is not None and not isinstance(value, (bytes, bytearray, list)):
        return tolist()
    return value


def _get(obj: Any, name: str) -> Any:
    if isinstance(obj, dict):
        return obj[name]
    return getattr(obj, name)


def native_to_logical(type_name: str, value: Any) -> Any:
    """Logical value of a field of the given type from a peer's object."""
    if type_name == "bytes":
        if hasattr(value, "tobytes"):
            return value.tobytes()
        return bytes(value)
    if type_name == "time":
        return {"sec": _plain(_get(value, "sec")), "nanosec": _plain(_get(value, "nanosec"))}
    inner = element_type(type_name)
    if inner is not None:
        return [native_to_logical(inner, item) for item in value]
    nested = struct_name(type_name)
    if nested is not None:
        return struct_to_logical(nested, value)
    return _plain(value)


def struct_to_logical(short: str, value: Any) -> dict:
    return {name: native_to_logical(t, _get(value, name)) for name, t in fields_of(short)}
