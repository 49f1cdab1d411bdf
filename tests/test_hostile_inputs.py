"""Hostile schemas and inputs: deep type names through the whole codec on a
small thread stack, forged counts for every element type, floods of values
that occupy no bytes, user code that rearranges a message while it is being
written, and a finalizer that inspects the heap in the middle of a decode.
"""

import json
import signal
import subprocess
import sys
import time
import tracemalloc

import pytest

import _korvex_messages as km
from tests.support.cdr import HEADER, SIMPLE_TYPES, u32
from tests.support.checks import raised
from tests.support.contract import (
    DESERIALIZATION_FAILED,
    REENTRY_REFUSED,
    SERIALIZATION_FAILED,
    empty_limit_text,
    missing_field_text,
    nesting_text,
    unsupported_type_text,
)
from tests.support.contract import (
    FILL_ERROR as FILL,
)
from tests.support.contract import (
    MAX_EMPTY_VALUES as EMPTY_LIMIT,
)
from tests.support.runtime import child_environment
from tests.support.values import EvilKey as CollidingKey


def decode_error(name, data):
    return raised(TypeError, km.deserialize, name, data).args[0]


# ---------------------------------------------------------------------------
# Deep type names through grammar, encoder and decoder on a small stack

SMALL_STACK_CHILD = r"""
import json, struct, threading
import _korvex_messages as km

N = 100000
HEADER = b"\x00\x01\x00\x00"
out = []

def record(label, call, *args):
    try:
        result = call(*args)
        out.append([label, "ok", result.hex() if isinstance(result, bytes) else repr(result)])
    except BaseException as error:
        out.append([label, type(error).__name__, str(error.args[0]) if error.args else ""])

def nested(levels, inner):
    value = inner
    for _ in range(levels - 1):
        value = [value]
    return value

def body():
    deep = "array<" * N + "uint8" + ">" * N
    ghost = "array<" * N + "struct:hostile.ghost" + ">" * N
    record("register deep", km.register_schema, "hostile.deep", [("a", deep)])
    record("register ghost", km.register_schema, "hostile.ghost_deep", [("a", ghost)])
    record("listing intact", lambda: km.get_schema("hostile.deep") == [("a", deep)])
    record("empty outer list", km.serialize, "hostile.deep", {"a": []})
    record("100 levels", km.serialize, "hostile.deep", {"a": nested(100, [])})
    record("101 levels", km.serialize, "hostile.deep", {"a": nested(101, [])})
    record("decode 100 levels", km.deserialize, "hostile.deep",
           HEADER + struct.pack("<I", 1) * 99 + struct.pack("<I", 0))
    record("decode 101 levels", km.deserialize, "hostile.deep", HEADER + struct.pack("<I", 1) * 200)
    def deep_mismatch():
        try:
            km.serialize("hostile.ghost_deep", {"a": [{}]})
        except TypeError as error:
            inner = "array<" * (N - 1) + "struct:hostile.ghost" + ">" * (N - 1)
            return error.args == ("Field type mismatch on 'a': expected %s, got dict" % inner,)
    record("mismatch names the deep type", deep_mismatch)
    record("decode empty ghost array", km.deserialize, "hostile.ghost_deep", HEADER + bytes(4))
    record("unbalanced name", km.register_schema, "hostile.bad", [("a", deep[:-1])])
    record("copy of the deep schema", km.register_schema, "hostile.deep_copy",
           km.get_schema("hostile.deep"))
    for name in ("hostile.deep", "hostile.ghost_deep", "hostile.deep_copy"):
        record("unregister " + name, km.unregister_schema, name)

threading.stack_size(256 * 1024)
thread = threading.Thread(target=body)
thread.start()
thread.join(240)
print(json.dumps({"alive": thread.is_alive(), "out": out}))
"""


def test_deep_type_names_on_a_small_stack(run_python):
    proc = run_python(SMALL_STACK_CHILD, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    assert report["alive"] is False
    got = {label: (kind, detail) for label, kind, detail in report["out"]}
    nesting = nesting_text("a")
    assert got == {
        "register deep": ("ok", "None"),
        "register ghost": ("ok", "None"),
        "listing intact": ("ok", "True"),
        "empty outer list": ("ok", (HEADER + u32(0)).hex()),
        "100 levels": ("ok", (HEADER + u32(1) * 99 + u32(0)).hex()),
        "101 levels": ("TypeError", SERIALIZATION_FAILED + nesting),
        "decode 100 levels": ("ok", repr({"a": _nested(100, [])})),
        "decode 101 levels": ("TypeError", DESERIALIZATION_FAILED + nesting),
        "mismatch names the deep type": ("ok", "True"),
        "decode empty ghost array": ("ok", repr({"a": []})),
        "unbalanced name": ("TypeError", unsupported_type_text("array<uint8")),
        "copy of the deep schema": ("ok", "None"),
        "unregister hostile.deep": ("ok", "None"),
        "unregister hostile.ghost_deep": ("ok", "None"),
        "unregister hostile.deep_copy": ("ok", "None"),
    }


def _nested(levels, inner):
    value = inner
    for _ in range(levels - 1):
        value = [value]
    return value


# ---------------------------------------------------------------------------
# Forged counts: every element type, nothing reserved for the claimed count


def _element_types():
    return SIMPLE_TYPES + ["array<int32>", "array<array<uint8>>", "struct", "self"]


@pytest.mark.parametrize("element", _element_types())
@pytest.mark.parametrize("count", [0xFFFFFFFF, 0x80000000, 0x10000001])
def test_forged_count_fails_at_the_end_of_the_input(schema, unique_name, element, count):
    if element == "struct":
        element = "struct:" + schema([("v", "uint32"), ("w", "uint8")], prefix="point")
    elif element == "self":
        # An element type whose values hold arrays of themselves.
        node = unique_name("node")
        km.register_schema(node, [("a", "uint8"), ("kids", "array<struct:%s>" % node)])
        element = "struct:" + node
    name = schema([("items", "array<%s>" % element)])
    # Filler that never spells a count or length short enough to end the
    # message: every element runs out of input or claims more than is left.
    data = HEADER + u32(count) + b"\x02" * 12
    tracemalloc.start()
    started = time.monotonic()
    try:
        error = decode_error(name, data)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    elapsed = time.monotonic() - started
    assert error == FILL
    assert peak < 1024 * 1024, peak
    assert elapsed < 5.0


@pytest.mark.parametrize(
    "element,size",
    [("bool", 1), ("uint8", 1), ("int16", 2), ("float32", 4), ("int64", 8), ("time", 8)],
)
def test_count_exactly_filling_the_input_decodes(schema, element, size):
    name = schema([("items", "array<%s>" % element)])
    n = 64 // size
    result = km.deserialize(name, HEADER + u32(n) + b"\x01" * 64)["items"]
    assert len(result) == n
    assert decode_error(name, HEADER + u32(n + 1) + b"\x01" * 64) == FILL


# ---------------------------------------------------------------------------
# Values that occupy no bytes


def _limit_text(path):
    return DESERIALIZATION_FAILED + empty_limit_text(path)


@pytest.fixture
def empty(schema):
    return schema([], prefix="empty")


def test_flood_of_empty_structs_is_bounded_in_time_and_memory(schema, empty):
    name = schema([("many", "array<struct:%s>" % empty)])
    tracemalloc.start()
    started = time.monotonic()
    try:
        error = decode_error(name, HEADER + u32(0xFFFFFFFF))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert error == _limit_text("many")
    assert time.monotonic() - started < 30
    # about a million empty dicts and the list holding them, nothing sized
    # by the forged count
    assert peak < 256 * 1024 * 1024, peak


def test_empty_structs_in_nested_arrays_share_one_budget(schema, empty):
    name = schema([("grid", "array<array<struct:%s>>" % empty)])
    rows = HEADER + u32(3) + u32(EMPTY_LIMIT // 2) + u32(EMPTY_LIMIT // 2)
    assert decode_error(name, rows + u32(1)) == _limit_text("grid")
    grid = km.deserialize(name, rows + u32(0))["grid"]
    assert [len(row) for row in grid] == [EMPTY_LIMIT // 2, EMPTY_LIMIT // 2, 0]


def test_zero_size_cycle_as_array_element_stops_at_the_first_element(schema, unique_name):
    loop = unique_name("loop")
    km.register_schema(loop, [("next", "struct:" + loop)])
    name = schema([("items", "array<struct:%s>" % loop)])
    path = ".".join(["items"] + ["next"] * 99)
    started = time.monotonic()
    assert decode_error(name, HEADER + u32(0xFFFFFFFF)) == (
        DESERIALIZATION_FAILED + nesting_text(path)
    )
    assert time.monotonic() - started < 5


def test_encoder_writes_more_empty_values_than_the_decoder_reads(schema, empty):
    # The encoder has no such bound: a message it writes can be refused by
    # the decoder, which must fail cleanly rather than build it.
    name = schema([("many", "array<struct:%s>" % empty)])
    data = km.serialize(name, {"many": [{}] * (EMPTY_LIMIT + 1)})
    assert data == HEADER + u32(EMPTY_LIMIT + 1)
    assert decode_error(name, data) == _limit_text("many")


# ---------------------------------------------------------------------------
# User code that rearranges the message while it is written


class Index:
    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


def test_list_growing_during_its_own_write_keeps_the_first_count(schema):
    name = schema([("a", "array<int32>")])
    items = []
    items.extend([Index(1, lambda: items.extend([9] * 100)), 2])
    assert km.serialize(name, {"a": items}) == HEADER + u32(2) + u32(1) + u32(2)
    assert len(items) == 102


def test_list_shrinking_during_its_own_write_fails(schema):
    name = schema([("a", "array<int32>")])
    items = []
    items.extend([Index(1, lambda: items.clear()), 2, 3])
    with pytest.raises(TypeError) as info:
        km.serialize(name, {"a": items})
    assert info.value.args[0].startswith("Serialization failed: ")


def test_values_removed_from_their_containers_while_converted(schema):
    name = schema([("a", "int32"), ("b", "array<int32>"), ("c", "int32")])
    values = {}
    # The value being converted drops every reference the message held to
    # it and to its list; the encoder keeps what it is working on alive.
    values["b"] = [Index(5, lambda: values.clear())]
    values["a"] = Index(4, None)
    values["c"] = 6
    with pytest.raises(TypeError) as info:
        km.serialize(name, values)
    assert info.value.args == (missing_field_text("c"),)
    values = {"a": Index(4, lambda: values.pop("a")), "b": [], "c": 6}
    assert km.serialize(name, values) == HEADER + u32(4) + u32(0) + u32(6)


class Resizer:
    """A key that collides with a field name and, when compared, grows the
    dictionary it sits in until it is resized."""

    def __init__(self, target, name):
        self.target = target
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        for i in range(64):
            self.target["filler%d" % i] = i
        return False


@pytest.mark.parametrize("nested", [False, True])
def test_dictionary_resized_by_a_key_comparison(schema, nested):
    inner = schema([("x", "int32")], prefix="inner")
    name = schema([("s", "struct:" + inner)] if nested else [("x", "int32")])
    target = {}
    target[Resizer(target, "x")] = 0
    target["x"] = 7
    values = {"s": target} if nested else target
    assert km.serialize(name, values) == HEADER + u32(7)


def test_reentrant_calls_from_a_conversion(schema):
    point = schema([("v", "int32")], prefix="point")
    name = schema([("p", "struct:" + point), ("q", "array<struct:%s>" % point)])

    def inner_round_trip():
        data = km.serialize(name, {"p": {"v": 1}, "q": [{"v": 2}]})
        assert km.deserialize(name, data) == {"p": {"v": 1}, "q": [{"v": 2}]}

    values = {
        "p": {"v": Index(3, inner_round_trip)},
        "q": [{"v": Index(4, inner_round_trip)}, {"v": 5}],
    }
    data = km.serialize(name, values)
    assert data == HEADER + u32(3) + u32(2) + u32(4) + u32(5)
    assert km.deserialize(name, data) == {"p": {"v": 3}, "q": [{"v": 4}, {"v": 5}]}


# ---------------------------------------------------------------------------
# A finalizer that walks the heap while a message is being decoded

FINALIZER_CHILD = r'''
import gc, json, struct
import _korvex_messages as km

km.register_schema("point", [("x", "int32")])
km.register_schema("points", [("items", "array<struct:point>")])
km.register_schema("stamps", [("items", "array<time>")])
km.register_schema("rows", [("items", "array<array<int32>>")])
N = 64
HEADER = b"\x00\x01\x00\x00"
payloads = {
    "points": HEADER + struct.pack("<I", N) + b"".join(struct.pack("<i", i) for i in range(N)),
    "stamps": HEADER + struct.pack("<I", N) + b"".join(struct.pack("<iI", i, 1) for i in range(N)),
    "rows": HEADER + struct.pack("<I", N) + struct.pack("<I", 0) * N,
}
walked = []

class Inspector:
    """Garbage whose finalizer looks at every list the collector tracks,
    as heap profilers and debuggers do."""

    def __del__(self):
        total = 0
        for obj in gc.get_objects():
            if type(obj) is list:
                for item in obj:
                    total += 1
        walked.append(total)

results = {}
gc.set_threshold(1)
for name, data in payloads.items():
    for _ in range(20):
        garbage = Inspector()
        garbage.cycle = garbage
        del garbage
    results[name] = len(km.deserialize(name, data)["items"])
gc.set_threshold(700)
print(json.dumps({"results": results, "finalizers_ran": len(walked)}))
'''


def test_decoding_survives_a_finalizer_walking_the_heap(run_python):
    proc = run_python(FINALIZER_CHILD, timeout=120)
    assert proc.returncode == 0, (
        "decode crashed while a finalizer walked gc.get_objects() (exit %d): %s"
        % (proc.returncode, proc.stderr[-2000:])
    )
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    assert report["results"] == {"points": 64, "stamps": 64, "rows": 64}
    assert report["finalizers_ran"] > 0


REENTRANT_CHILD = r"""
import _korvex_messages as km
DEPTH = 99
km.register_schema("reent.L0", [("v", "int32")])
for i in range(1, DEPTH + 1):
    km.register_schema("reent.L%d" % i, [("c", "struct:reent.L%d" % (i - 1))])
calls = [0]

class Reenter:
    # Every conversion starts another message as deep as the one it is in.
    def __index__(self):
        calls[0] += 1
        return len(km.serialize("reent.L%d" % DEPTH, message()))

def message():
    value = {"v": Reenter()}
    for _ in range(DEPTH):
        value = {"c": value}
    return value

try:
    km.serialize("reent.L%d" % DEPTH, message())
except TypeError as error:
    print(calls[0], error)
"""


def test_reentrant_calls_share_the_nesting_bound(run_python):
    # A conversion that calls serialize again while 99 levels are in use
    # gets only the one level left: the inner call fails with the bound's
    # text, and the outer one reports its own value as unconvertible,
    # instead of the C stack growing by 99 levels per call.
    proc = run_python(REENTRANT_CHILD, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "1 Field type mismatch on 'c': expected int32, got dict"


@pytest.mark.skipif(
    not sys.platform.startswith("linux"),
    reason="the address-space limit needs an enforced RLIMIT_AS (Linux)",
)
def test_forged_counts_of_nested_arrays_do_not_reserve_address_space(run_python):
    # 100 nested arrays, each announcing ten million elements in a 10 MB
    # input: lists sized up front stay within twice the input size in all,
    # so even a 1 GiB address-space limit leaves room for the decoding error.
    source = r"""
import os, resource, struct, _korvex_messages as km
km.register_schema("forged", [("a", "array<" * 100 + "string" + ">" * 100)])
count = 10_000_000
data = b"\x00\x01\x00\x00" + struct.pack("<I", count) * 100 + b"\xff" * count
# AddressSanitizer maps terabytes of shadow memory up front, so the limit
# only applies to an ordinary interpreter.
if "asan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
try:
    km.deserialize("forged", data)
except TypeError as error:
    print(error)
"""
    proc = run_python(source, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == FILL


# ---------------------------------------------------------------------------
# User code that fails to name itself: texts get fallbacks, never a panic


class _NamelessMeta(type):
    """A metaclass whose instances refuse to give their __qualname__ (or
    give something that is not a str)."""

    def __getattribute__(cls, attr):
        if attr == "__qualname__":
            behaviour = type.__getattribute__(cls, "qualname_behaviour")
            if isinstance(behaviour, BaseException):
                raise behaviour
            return behaviour
        return super().__getattribute__(attr)


def _nameless_error(behaviour, message="collided"):
    cls = _NamelessMeta("NamelessError", (Exception,), {"qualname_behaviour": behaviour})
    return cls(message)


class _OddStrError(Exception):
    def __str__(self):
        return _StrSubclass("odd text")


class _StrSubclass(str):
    def __str__(self):
        raise RuntimeError("never called")

    def encode(self, *args, **kwargs):
        raise RuntimeError("never called")


@pytest.mark.parametrize(
    "error, rendered",
    [
        (_nameless_error(RuntimeError("no name")), "<failed to extract type name>: collided"),
        (_nameless_error(42), "<failed to extract type name>: collided"),
        (_nameless_error(_StrSubclass("Odd.Name")), "Odd.Name: collided"),
        (
            _nameless_error(RuntimeError("no name"), message=_StrSubclass("sub")),
            "<failed to extract type name>: <exception str() failed>",
        ),
        (_OddStrError(), "_OddStrError: odd text"),
    ],
    ids=[
        "qualname-raises",
        "qualname-not-str",
        "qualname-str-subclass",
        "message-str-raises",
        "str-returns-subclass",
    ],
)
def test_unnameable_exception_in_a_nested_lookup_is_rendered(schema, error, rendered):
    inner = schema([("x", "int32")], prefix="inner")
    name = schema([("s", "struct:" + inner)])
    with pytest.raises(TypeError) as info:
        km.serialize(name, {"s": {CollidingKey("x", error): 0}})
    assert info.value.args == ("Serialization failed: " + rendered,)


def test_unnameable_exception_whose_str_fails_is_rendered(schema):
    inner = schema([("x", "int32")], prefix="inner")
    name = schema([("t", "time"), ("s", "struct:" + inner)])

    class Unprintable(Exception):
        def __str__(self):
            raise ValueError("no str")

    error = _NamelessMeta("E", (Unprintable,), {"qualname_behaviour": RuntimeError("no")})()
    with pytest.raises(TypeError) as info:
        km.serialize(name, {"t": {CollidingKey("sec", error): 0}, "s": {}})
    assert info.value.args == (
        "Serialization failed: <failed to extract type name>: <exception str() failed>",
    )


def test_numpy_bool_check_survives_type_attributes_that_raise(schema):
    class Meta(type):
        def __getattribute__(cls, attr):
            if attr in ("__module__", "__name__"):
                raise RuntimeError(attr)
            return super().__getattribute__(attr)

    value = Meta("Weird", (), {})()
    name = schema([("b", "bool")])
    with pytest.raises(TypeError) as info:
        km.serialize(name, {"b": value})
    assert info.value.args == ("Field type mismatch on 'b': expected bool, got unknown",)


# ---------------------------------------------------------------------------
# Exceptions that do not derive from Exception pass through unchanged


class RaisesFrom:
    """A value every conversion of which raises `error`."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error

    def __iter__(self):
        raise self.error


class _TypeAttrMeta(type):
    def __getattribute__(cls, attr):
        if attr == "__module__":
            raise type.__getattribute__(cls, "error")
        return super().__getattribute__(attr)


class _Iterating:
    """A sequence (for the kind probe) whose iteration raises `error`."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error


def _propagating_cases(error):
    return [
        ("int32", RaisesFrom(error)),  # the conversion itself
        ("uint64", RaisesFrom(error)),
        ("float64", RaisesFrom(error)),
        ("bool", _TypeAttrMeta("T", (), {"error": error})()),  # the numpy-bool check
        ("string", _Iterating(error)),  # the kind probe iterating a sequence
    ]


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_pass_through_conversions_and_probes(schema, error_type):
    for field_type, value in _propagating_cases(error_type("stop")):
        name = schema([("f", field_type)])
        with pytest.raises(error_type) as info:
            km.serialize(name, {"f": value})
        assert info.value.args == ("stop",), field_type
        # Inside an array the element's own conversion meets it the same way.
        name = schema([("f", "array<%s>" % field_type)])
        with pytest.raises(error_type):
            km.serialize(name, {"f": [value]})


@pytest.mark.parametrize("where", ["top", "struct", "time"])
def test_keyboard_interrupt_in_a_dict_lookup_passes_through(schema, where):
    inner = schema([("x", "int32")], prefix="inner")
    name = schema([("x", "int32"), ("s", "struct:" + inner), ("t", "time")])
    error = KeyboardInterrupt("lookup")
    # The colliding key stands in for the real one, which the lookup of
    # that field then compares it with.
    values = {
        "top": {CollidingKey("x", error): 0, "s": {"x": 2}, "t": {"sec": 1, "nanosec": 2}},
        "struct": {"x": 1, "s": {CollidingKey("x", error): 0}, "t": {"sec": 1, "nanosec": 2}},
        "time": {"x": 1, "s": {"x": 2}, "t": {CollidingKey("sec", error): 0, "nanosec": 2}},
    }[where]
    with pytest.raises(KeyboardInterrupt) as info:
        km.serialize(name, values)
    assert info.value is error


def test_keyboard_interrupt_while_rendering_passes_through(schema):
    inner = schema([("x", "int32")], prefix="inner")
    name = schema([("s", "struct:" + inner)])

    class StrInterrupts(Exception):
        def __str__(self):
            raise KeyboardInterrupt("str")

    for error in (StrInterrupts(), _nameless_error(KeyboardInterrupt("qualname"))):
        with pytest.raises(KeyboardInterrupt):
            km.serialize(name, {"s": {CollidingKey("x", error): 0}})


def test_keyboard_interrupt_while_naming_a_refused_argument_passes_through():
    value = _NamelessMeta("Arg", (), {"qualname_behaviour": KeyboardInterrupt("arg")})()
    for call in (
        lambda: km.schema_exists(value),
        lambda: km.serialize("x", value),
        lambda: km.register_schema("x", [(value, "int32")]),
    ):
        with pytest.raises(KeyboardInterrupt) as info:
            call()
        assert info.value.args == ("arg",)


INTERRUPT_CHILD = r"""
import signal, sys, time
import _korvex_messages as km
# A shell that starts the suite in the background hands SIGINT on ignored,
# and Python then leaves it so: take Ctrl-C as an interactive session does.
signal.signal(signal.SIGINT, signal.default_int_handler)
km.register_schema("s", [("f", "string")])
print("ready", flush=True)
started = time.monotonic()
try:
    km.serialize("s", {"f": range(10**12)})
except KeyboardInterrupt:
    print("interrupted after %.1f s" % (time.monotonic() - started), flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT cannot be sent to a child on Windows")
def test_naming_a_long_sequence_can_be_interrupted():
    # Naming the kind of a mismatched value iterates it to its end; Ctrl-C
    # stops that iteration.
    proc = subprocess.Popen(
        [sys.executable, "-c", INTERRUPT_CHILD],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_environment(),
    )
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0, err[-2000:]
    assert out.startswith("interrupted after "), out


# ---------------------------------------------------------------------------
# Re-entrant calls: a bounded chain on a small thread stack

REENTRY_CHILD = r"""
import json, sys, threading
import _korvex_messages as km

km.register_schema("flat", [("v", "int32")])
km.register_schema("deep", [("c", "struct:deep"), ("v", "int32")])
levels = []
seen = []

class Reenter:
    # Converting the value starts the same message again, without end.
    def __init__(self, deep):
        self.deep = deep

    def __index__(self):
        levels.append(1)
        try:
            if self.deep:
                value = {"v": Reenter(True)}
                for _ in range(120):
                    value = {"c": value, "v": 0}
                return len(km.serialize("deep", value))
            return len(km.serialize("flat", {"v": Reenter(False)}))
        except BaseException as error:
            seen.append(type(error).__name__ + ": " + str(error))
            raise

out = {}

def run(kind):
    del levels[:], seen[:]
    try:
        km.serialize("flat", {"v": Reenter(kind == "deep")})
        out[kind] = ["returned"]
    except BaseException as error:
        out[kind] = [type(error).__name__, str(error), len(levels), seen[0] if seen else None]

threading.stack_size(256 * 1024)
for kind in ("flat", "deep"):
    thread = threading.Thread(target=run, args=(kind,))
    thread.start()
    thread.join()
print(json.dumps(out))
"""


def test_reentrant_calls_end_before_a_small_stack_overflows(run_python):
    proc = run_python(REENTRY_CHILD, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    out = json.loads(proc.stdout)
    refused = "RecursionError: " + REENTRY_REFUSED
    kind, text, conversions, first_seen = out["flat"]
    assert (kind, text) == ("TypeError", "Field type mismatch on 'v': expected int32, got unknown")
    # Eight calls ran; the conversion in the eighth met the refusal.  After
    # that every call the chain led to was refused at once, so the error
    # paths did not start the chain again at every level.
    assert first_seen == refused
    assert conversions < 100, conversions
    kind, text, _, _ = out["deep"]
    assert kind == "TypeError", out["deep"]
