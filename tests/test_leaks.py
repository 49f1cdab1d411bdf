"""Reference and memory leak checks.

Every exported function is called many times on its success path and on
each of its error paths (including exceptions raised by user code inside
conversions).  A call path leaks if, in every one of three rounds of calls,
one of these grows by more than a small allowance:

* memory traced by tracemalloc (Python objects and buffers),
* the number of objects tracked by the garbage collector,
* memory handed out by the C allocator (glibc's mallinfo2: catches native
  allocations that are never freed; inert under AddressSanitizer),
* the reference count of any object passed in.
"""

import ctypes
import gc
import sys
import tracemalloc

import pytest

import _korvex_messages as km
from tests.support.cdr import HEADER, u32
from tests.support.runtime import NO_TESTING_MODULE, load_testing_module, native_only
from tests.support.values import (
    ConversionError,
    DictSub,
    EvilKey,
    FloatOnly,
    IndexOnly,
    IntSub,
    RaisingFloat,
    RaisingIndex,
    UnprintableError,
)

# Whether a call path gives back what it takes is decided by the path, and
# every path (both byte orders of buffers included) runs in the native jobs
# and under the sanitizers.  Where only the machine-dependent tests run (the
# emulated jobs, at 5-10x the cost of a call) the rounds are too short to
# tell a leak from a cache warming up, so they run there not at all.
if native_only():
    pytest.skip(
        "leak accounting: decided by the call path, which the native and sanitizer jobs run",
        allow_module_level=True,
    )

kt = load_testing_module(skip=False)

CALLS = 1000
WARMUP = 200
ROUNDS = 3
# Allowances per round of CALLS calls: well below one leaked object per call.
TRACED_BYTES = 8 * 1024
GC_OBJECTS = CALLS // 10
NATIVE_BYTES = 16 * CALLS


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _native_probe():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return lambda: 0
    mallinfo2.restype = _Mallinfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


native_in_use = _native_probe()


def text(*parts):
    """A str built at run time (not a shared constant), so its reference
    count belongs to the test alone."""
    return "".join(parts)


# ---------------------------------------------------------------------------
# Schemas and values used by the cases

P = text("leak.", "point")
HDR_S = text("leak.", "header")
MSG = text("leak.", "message")
NODE = text("leak.", "node")
EMPTY = text("leak.", "empty")
HOLDS_EMPTY = text("leak.", "holds_empty")
DANGLING = text("leak.", "dangling")
SCRATCH = text("leak.", "scratch")
UNKNOWN = text("leak.", "never_registered")

SCHEMAS = {
    P: [("x", "float64"), ("y", "float32")],
    HDR_S: [("stamp", "time"), ("frame_id", "string")],
    MSG: [
        ("flag", "bool"),
        ("i8", "int8"),
        ("i16", "int16"),
        ("i32", "int32"),
        ("i64", "int64"),
        ("u8", "uint8"),
        ("u16", "uint16"),
        ("u32", "uint32"),
        ("u64", "uint64"),
        ("f32", "float32"),
        ("f64", "float64"),
        ("s", "string"),
        ("b", "bytes"),
        ("t", "time"),
        ("d", "duration"),
        ("header", "struct:" + HDR_S),
        ("points", "array<struct:" + P + ">"),
        ("grid", "array<array<int16>>"),
        ("names", "array<string>"),
    ],
    NODE: [("value", "int32"), ("next", "struct:" + NODE)],
    EMPTY: [],
    HOLDS_EMPTY: [("many", "array<struct:" + EMPTY + ">")],
    DANGLING: [("gone", "struct:" + UNKNOWN)],
}


def _register_all():
    for name, fields in SCHEMAS.items():
        if not km.schema_exists(name):
            km.register_schema(name, fields)
        if kt is not None and not kt.schema_exists(name):
            kt.register_schema(name, fields)


# Registered at import: some cases need encodings made with these schemas.
_register_all()


@pytest.fixture(scope="module", autouse=True)
def registered():
    _register_all()
    yield
    for name in SCHEMAS:
        km.unregister_schema(name)
        if kt is not None:
            kt.unregister_schema(name)


class Fresh:
    """Arguments rebuilt for every call (for values a call consumes)."""

    def __init__(self, make):
        self.make = make


def good_values():
    return DictSub(
        {
            "flag": True,
            "i8": -5,
            "i16": IndexOnly(300),
            "i32": IntSub(-70000),
            "i64": 2**40,
            "u8": 255,
            "u16": 65535,
            "u32": 2**32 - 1,
            "u64": IndexOnly(2**64 - 1),
            "f32": FloatOnly(2.5),
            "f64": 7,
            "s": text("h\u00e9llo"),
            "b": bytes(range(5)),
            "t": {"sec": -1, "nanosec": 5},
            "d": {"sec": 3, "nanosec": IndexOnly(4)},
            "header": {"stamp": {"sec": 1, "nanosec": 2}, "frame_id": text("map")},
            "points": [{"x": 1.5, "y": 2.5}, {"x": -1.0, "y": 0.25}],
            "grid": [[1, 2], [], [3]],
            "names": [text("a"), text(""), text("\u4e2d")],
            "ignored": object(),
        }
    )


def with_field(**changes):
    values = good_values()
    values.update(changes)
    return values


def without_field(name):
    values = good_values()
    del values[name]
    return values


def self_containing_node():
    node = {"value": 1}
    node["next"] = node
    return node


def p(hexdata):
    return HEADER + bytes.fromhex(hexdata)


GOOD = good_values()
GOOD_BYTES = km.serialize(MSG, GOOD)


def nested_key_error_values():
    values = good_values()
    header = {EvilKey("stamp", ConversionError): 1}
    header["frame_id"] = text("x")
    values["header"] = header
    return values


def unprintable_nested_key_values():
    values = good_values()
    values["header"] = {EvilKey("stamp", UnprintableError): 1}
    return values


def raising_time_key_values():
    values = good_values()
    values["t"] = {EvilKey("sec", ConversionError): 1}
    return values


def top_level_key_error_values():
    values = {EvilKey("flag", ConversionError): 1}
    return values


class Shrinking:
    """Empties the list it sits in while being converted."""

    def __init__(self, owner):
        self.owner = owner

    def __index__(self):
        del self.owner[:]
        return 1


def shrinking_list_values():
    grid_row = [1, 2, 3]
    grid_row[0] = Shrinking(grid_row)
    return with_field(grid=[grid_row])


# Each case: (id, module, function name, positional args, keyword args,
# expected exception type or None, the start of its message or None).
def cases():
    m = km
    out = [
        # --- registry: success paths
        (
            "register+unregister",
            m,
            "register_schema",
            (SCRATCH, [("a", "int32"), ["b", "array<struct:x>"]]),
            {},
            None,
            None,
        ),
        ("get_schema", m, "get_schema", (MSG,), {}, None, None),
        ("schema_exists/yes", m, "schema_exists", (MSG,), {}, None, None),
        ("schema_exists/no", m, "schema_exists", (UNKNOWN,), {}, None, None),
        # --- registry: failures
        (
            "register/duplicate",
            m,
            "register_schema",
            (MSG, [("a", "int32")]),
            {},
            ValueError,
            "Schema already registered",
        ),
        (
            "register/entry not a pair",
            m,
            "register_schema",
            (SCRATCH, [text("ab")]),
            {},
            ValueError,
            "Schema definition error: Fields must be",
        ),
        (
            "register/entry of 3",
            m,
            "register_schema",
            (SCRATCH, [("a", "int8", "x")]),
            {},
            ValueError,
            "Schema definition error: Each field entry",
        ),
        (
            "register/item not str",
            m,
            "register_schema",
            (SCRATCH, [("a", 3)]),
            {},
            ValueError,
            "Schema definition error: TypeError",
        ),
        (
            "register/item None",
            m,
            "register_schema",
            (SCRATCH, [(None, "int8")]),
            {},
            ValueError,
            "Schema definition error: TypeError",
        ),
        (
            "register/item surrogate",
            m,
            "register_schema",
            (SCRATCH, [("\ud800", "int8")]),
            {},
            ValueError,
            "Schema definition error: UnicodeEncodeError",
        ),
        (
            "register/unsupported type",
            m,
            "register_schema",
            (SCRATCH, [("a", text("int33"))]),
            {},
            TypeError,
            "Serialization failed: Unsupported field type",
        ),
        (
            "register/struct without name",
            m,
            "register_schema",
            (SCRATCH, [("a", "struct: ")]),
            {},
            ValueError,
            "Schema definition error: Struct type",
        ),
        (
            "register/fields not a list",
            m,
            "register_schema",
            (SCRATCH, (("a", "int8"),)),
            {},
            TypeError,
            "argument 'fields'",
        ),
        (
            "register/name not str",
            m,
            "register_schema",
            (b"x", []),
            {},
            TypeError,
            "argument 'name'",
        ),
        (
            "register/name surrogate",
            m,
            "register_schema",
            ("\udc00", []),
            {},
            UnicodeEncodeError,
            None,
        ),
        (
            "register/too many args",
            m,
            "register_schema",
            (SCRATCH, [], 1),
            {},
            TypeError,
            "register_schema() takes",
        ),
        (
            "register/missing args",
            m,
            "register_schema",
            (),
            {},
            TypeError,
            "register_schema() missing 2",
        ),
        (
            "register/unknown keyword",
            m,
            "register_schema",
            (SCRATCH, []),
            {"other": 1},
            TypeError,
            "register_schema() got an unexpected",
        ),
        (
            "register/keyword twice",
            m,
            "register_schema",
            (SCRATCH, []),
            {"name": SCRATCH},
            TypeError,
            "register_schema() got multiple",
        ),
        ("get_schema/unknown", m, "get_schema", (UNKNOWN,), {}, KeyError, None),
        ("unregister/unknown", m, "unregister_schema", (UNKNOWN,), {}, KeyError, None),
        ("schema_exists/not str", m, "schema_exists", (None,), {}, TypeError, "argument 'name'"),
        # --- serialize: success
        ("serialize", m, "serialize", (MSG, GOOD), {}, None, None),
        (
            "serialize/keywords",
            m,
            "serialize",
            (),
            {"values": GOOD, "schema_name": MSG},
            None,
            None,
        ),
        ("serialize/empty", m, "serialize", (EMPTY, {}), {}, None, None),
        # --- serialize: failures
        ("serialize/unknown schema", m, "serialize", (UNKNOWN, {}), {}, KeyError, None),
        (
            "serialize/values not dict",
            m,
            "serialize",
            (MSG, [1]),
            {},
            TypeError,
            "argument 'values'",
        ),
        (
            "serialize/missing field",
            m,
            "serialize",
            (MSG, without_field("u64")),
            {},
            TypeError,
            "Serialization failed: Missing field 'u64'",
        ),
        (
            "serialize/missing nested",
            m,
            "serialize",
            (MSG, with_field(header={"stamp": {"sec": 1, "nanosec": 1}})),
            {},
            TypeError,
            "Serialization failed: Missing nested field",
        ),
        (
            "serialize/missing nanosec",
            m,
            "serialize",
            (MSG, with_field(t={"sec": 1})),
            {},
            TypeError,
            "Serialization failed: Missing field 't.nanosec'",
        ),
        (
            "serialize/int for bool",
            m,
            "serialize",
            (MSG, with_field(flag=1)),
            {},
            TypeError,
            "Field type mismatch on 'flag'",
        ),
        (
            "serialize/out of range",
            m,
            "serialize",
            (MSG, with_field(i8=128)),
            {},
            TypeError,
            "Field type mismatch on 'i8'",
        ),
        (
            "serialize/huge int",
            m,
            "serialize",
            (MSG, with_field(i64=10**400)),
            {},
            TypeError,
            "Field type mismatch on 'i64'",
        ),
        (
            "serialize/negative uint64",
            m,
            "serialize",
            (MSG, with_field(u64=-1)),
            {},
            TypeError,
            "Field type mismatch on 'u64'",
        ),
        (
            "serialize/float for int",
            m,
            "serialize",
            (MSG, with_field(i32=1.5)),
            {},
            TypeError,
            "Field type mismatch on 'i32'",
        ),
        (
            "serialize/str for float",
            m,
            "serialize",
            (MSG, with_field(f64=text("1"))),
            {},
            TypeError,
            "Field type mismatch on 'f64'",
        ),
        (
            "serialize/surrogate string",
            m,
            "serialize",
            (MSG, with_field(s="\ud800")),
            {},
            TypeError,
            "Field type mismatch on 's'",
        ),
        (
            "serialize/bytearray",
            m,
            "serialize",
            (MSG, with_field(b=bytearray(b"ab"))),
            {},
            TypeError,
            "Field type mismatch on 'b'",
        ),
        (
            "serialize/tuple for array",
            m,
            "serialize",
            (MSG, with_field(grid=((1,),))),
            {},
            TypeError,
            "Field type mismatch on 'grid'",
        ),
        (
            "serialize/element mismatch",
            m,
            "serialize",
            (MSG, with_field(names=["a", 5])),
            {},
            TypeError,
            "Field type mismatch on 'names'",
        ),
        (
            "serialize/nested mismatch",
            m,
            "serialize",
            (MSG, with_field(points=[{"x": None, "y": 1}])),
            {},
            TypeError,
            "Field type mismatch on 'points'",
        ),
        (
            "serialize/sec out of range",
            m,
            "serialize",
            (MSG, with_field(d={"sec": 2**31, "nanosec": 0})),
            {},
            TypeError,
            "Field type mismatch on 'd'",
        ),
        (
            "serialize/__index__ raises",
            m,
            "serialize",
            (MSG, with_field(u16=RaisingIndex())),
            {},
            TypeError,
            "Field type mismatch on 'u16': expected uint16, got unknown",
        ),
        (
            "serialize/__index__ raises in uint64",
            m,
            "serialize",
            (MSG, with_field(u64=RaisingIndex())),
            {},
            TypeError,
            "Field type mismatch on 'u64'",
        ),
        (
            "serialize/__index__ raises in time",
            m,
            "serialize",
            (MSG, with_field(t={"sec": RaisingIndex(), "nanosec": 0})),
            {},
            TypeError,
            "Field type mismatch on 't'",
        ),
        (
            "serialize/__float__ raises",
            m,
            "serialize",
            (MSG, with_field(f32=RaisingFloat())),
            {},
            TypeError,
            "Field type mismatch on 'f32'",
        ),
        (
            "serialize/key __eq__ raises at top level",
            m,
            "serialize",
            (MSG, top_level_key_error_values()),
            {},
            ConversionError,
            None,
        ),
        (
            "serialize/key __eq__ raises in struct",
            m,
            "serialize",
            (MSG, nested_key_error_values()),
            {},
            TypeError,
            "Serialization failed: ",
        ),
        (
            "serialize/key __eq__ raises in time",
            m,
            "serialize",
            (MSG, raising_time_key_values()),
            {},
            TypeError,
            "Serialization failed: ",
        ),
        (
            "serialize/unprintable exception",
            m,
            "serialize",
            (MSG, unprintable_nested_key_values()),
            {},
            TypeError,
            "Serialization failed: ",
        ),
        (
            "serialize/unknown nested schema",
            m,
            "serialize",
            (DANGLING, {"gone": {}}),
            {},
            KeyError,
            None,
        ),
        (
            "serialize/nesting too deep",
            m,
            "serialize",
            (NODE, self_containing_node()),
            {},
            TypeError,
            "Serialization failed: Nesting too deep",
        ),
        (
            "serialize/list shrinks",
            m,
            "serialize",
            Fresh(lambda: (MSG, shrinking_list_values())),
            {},
            TypeError,
            "Serialization failed: ",
        ),
        # --- deserialize: success
        ("deserialize", m, "deserialize", (MSG, GOOD_BYTES), {}, None, None),
        (
            "deserialize/trailing bytes",
            m,
            "deserialize",
            (MSG, GOOD_BYTES + b"\x01\x02"),
            {},
            None,
            None,
        ),
        (
            "deserialize/empty structs",
            m,
            "deserialize",
            (HOLDS_EMPTY, p("05000000")),
            {},
            None,
            None,
        ),
        # --- deserialize: failures
        (
            "deserialize/short",
            m,
            "deserialize",
            (MSG, b"\x00\x01"),
            {},
            ValueError,
            "CDR payload too short",
        ),
        (
            "deserialize/bad header",
            m,
            "deserialize",
            (MSG, b"\x00\x00\x00\x00"),
            {},
            ValueError,
            "Unsupported CDR encapsulation",
        ),
        (
            "deserialize/data not bytes",
            m,
            "deserialize",
            (MSG, bytearray(4)),
            {},
            TypeError,
            "argument 'data'",
        ),
        ("deserialize/unknown schema", m, "deserialize", (UNKNOWN, HEADER), {}, KeyError, None),
        (
            "deserialize/truncated",
            m,
            "deserialize",
            (MSG, GOOD_BYTES[:60]),
            {},
            TypeError,
            "Deserialization failed: ",
        ),
        (
            "deserialize/align past end",
            m,
            "deserialize",
            (P, p("0000")),
            {},
            TypeError,
            "Deserialization failed: Input truncated while aligning",
        ),
        (
            "deserialize/forged length",
            m,
            "deserialize",
            (HDR_S, p("0100000002000000ffffffff6100")),
            {},
            TypeError,
            "Deserialization failed: failed to fill whole buffer",
        ),
        (
            "deserialize/no NUL",
            m,
            "deserialize",
            (HDR_S, p("01000000020000000200000061 62")),
            {},
            TypeError,
            "Deserialization failed: Invalid ROS string",
        ),
        (
            "deserialize/bad utf-8",
            m,
            "deserialize",
            (HDR_S, p("010000000200000003000000ff6100")),
            {},
            TypeError,
            "Deserialization failed: invalid utf-8",
        ),
        (
            "deserialize/cut utf-8",
            m,
            "deserialize",
            (HDR_S, p("010000000200000003000000e4b800")),
            {},
            TypeError,
            "Deserialization failed: incomplete utf-8",
        ),
        (
            "deserialize/unknown nested schema",
            m,
            "deserialize",
            (DANGLING, HEADER),
            {},
            KeyError,
            None,
        ),
        (
            "deserialize/nesting too deep",
            m,
            "deserialize",
            (NODE, p("01000000") * 120),
            {},
            TypeError,
            "Deserialization failed: Nesting too deep",
        ),
    ]
    testing = [
        (
            "testing/too long string",
            kt,
            "serialize",
            (MSG, with_field(s=text("x" * 16))),
            {},
            TypeError,
            "Serialization failed: Value of 's' is too long",
        ),
        (
            "testing/too long bytes",
            kt,
            "serialize",
            (MSG, with_field(b=bytes(17))),
            {},
            TypeError,
            "Serialization failed: Value of 'b' is too long",
        ),
        (
            "testing/too long list",
            kt,
            "serialize",
            (MSG, with_field(names=[text("")] * 17)),
            {},
            TypeError,
            "Serialization failed: Value of 'names' is too long",
        ),
        ("testing/panic", kt, "panic", (text("leak check"),), {}, BaseException, None),
        ("testing/foreign panic", kt, "panic_foreign", (), {}, BaseException, None),
    ]
    marks = [pytest.mark.skip(reason=NO_TESTING_MODULE)] if kt is None else []
    return [pytest.param(case, id=case[0]) for case in out] + [
        pytest.param(case, id=case[0], marks=marks) for case in testing
    ]


CASES = cases()


# Objects private to the cases: containers built at run time and instances of
# the helper classes.  Strings, numbers, bytes and tuples may be shared
# constants or interned, so other code changes their reference counts.
_PRIVATE_TYPES = (
    dict,
    list,
    bytearray,
    IndexOnly,
    FloatOnly,
    RaisingIndex,
    RaisingFloat,
    EvilKey,
    IntSub,
    Shrinking,
)


def _tracked_objects(args, kwargs):
    """Objects passed in whose reference counts must not change."""
    seen = {}
    stack = list(args) + list(kwargs.values())
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        if isinstance(obj, (dict, list, tuple)):
            stack.extend(obj.keys() if isinstance(obj, dict) else obj)
            if isinstance(obj, dict):
                stack.extend(obj.values())
        if isinstance(obj, _PRIVATE_TYPES):
            seen[id(obj)] = obj
    return list(seen.values())


@pytest.fixture(scope="module")
def traced():
    # What existed before the first round (the suite's imports: hypothesis,
    # numpy, pyarrow...) is frozen out of the collector, so each round's
    # collections and object counts see only what its calls made.
    gc.collect()
    gc.freeze()
    tracemalloc.start(1)
    yield
    tracemalloc.stop()
    gc.unfreeze()


@pytest.mark.parametrize("case", CASES)
def test_call_path_does_not_leak(case, traced):
    case_id, module, function_name, args, kwargs, expected, prefix = case
    function = getattr(module, function_name)
    unregister_after = case_id == "register+unregister"
    fresh = args.make if isinstance(args, Fresh) else None

    def call():
        try:
            function(*(fresh() if fresh else args), **kwargs)
        except BaseException as error:
            if expected is None or not isinstance(error, expected):
                raise
        else:
            if expected is not None:
                raise AssertionError("%s did not raise %s" % (case_id, expected.__name__))
        if unregister_after:
            km.unregister_schema(SCRATCH)

    # The call takes the intended path.
    if expected is not None:
        with pytest.raises(expected) as info:
            function(*(fresh() if fresh else args), **kwargs)
        if prefix is not None:
            assert str(info.value.args[0]).startswith(prefix), info.value.args
        del info
    else:
        call()

    calls = CALLS // 5 if module is kt and "panic" in function_name else CALLS
    for _ in range(WARMUP):
        call()
    tracked = _tracked_objects(() if fresh else args, kwargs)
    refcounts = [sys.getrefcount(obj) for obj in tracked]

    rounds = []
    for _ in range(ROUNDS):
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        objects_before = len(gc.get_objects())
        native_before = native_in_use()
        for _ in range(calls):
            call()
        gc.collect()
        rounds.append(
            (
                tracemalloc.get_traced_memory()[0] - traced_before,
                len(gc.get_objects()) - objects_before,
                native_in_use() - native_before,
            )
        )

    grew = [r for r in rounds if r[0] > TRACED_BYTES or r[1] > GC_OBJECTS or r[2] > NATIVE_BYTES]
    assert len(grew) < ROUNDS, (
        "%s grows in every round of %d calls (traced bytes, gc objects, native bytes): %r"
        % (case_id, calls, rounds)
    )
    after = [sys.getrefcount(obj) for obj in tracked]
    changed = [(repr(obj)[:60], a - b) for obj, a, b in zip(tracked, after, refcounts) if a != b]
    assert not changed, "%s changed reference counts of arguments: %r" % (case_id, changed)


def test_registry_churn_does_not_leak(traced):
    """Registering and dropping many distinct schemas that other schemas
    still name gives every byte back."""
    names = [text("leak.churn.", str(i)) for i in range(50)]
    fields = [("a", "array<array<struct:" + MSG + ">>"), ("b", "string")]

    def churn():
        for name in names:
            km.register_schema(name, fields)
            km.serialize(name, {"a": [[]], "b": "x"})
            km.deserialize(name, HEADER + u32(0) + u32(1) + b"\x00")
        for name in names:
            km.unregister_schema(name)

    for _ in range(5):
        churn()
    rounds = []
    for _ in range(ROUNDS):
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        native_before = native_in_use()
        for _ in range(20):
            churn()
        gc.collect()
        rounds.append(
            (tracemalloc.get_traced_memory()[0] - traced_before, native_in_use() - native_before)
        )
    assert any(t <= TRACED_BYTES and n <= NATIVE_BYTES for t, n in rounds), rounds


def test_distinct_field_names_are_released_with_their_schema(traced):
    """Every field name ever planned must go when its schema goes, on every
    CPython version (where interned strings are immortal, a planned key that
    was interned would stay for the life of the process)."""
    counter = iter(range(10**9))

    def churn(count):
        for _ in range(count):
            i = next(counter)
            name = text("leak.names.", str(i))
            field = text("field_", str(i))
            km.register_schema(name, [(field, "int32")])
            km.serialize(name, {field: 1})
            km.deserialize(name, HEADER + u32(1))
            km.unregister_schema(name)

    churn(2000)
    rounds = []
    for _ in range(ROUNDS):
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        churn(CALLS)
        gc.collect()
        rounds.append(tracemalloc.get_traced_memory()[0] - traced_before)
    assert any(t <= TRACED_BYTES for t in rounds), rounds


@pytest.mark.skipif(native_in_use() == 0, reason="needs glibc's mallinfo2 (and no sanitizer)")
def test_lookup_caches_keep_no_names():
    """Schema names can be large; nothing may keep a copy of one that is not
    registered, or of one after it is unregistered."""
    size = 4 << 20
    names = [text(str(i), "n" * size) for i in range(16)]
    gc.collect()
    before = native_in_use()
    for name in names:
        with pytest.raises(KeyError):
            km.deserialize(name, HEADER)
        with pytest.raises(KeyError):
            km.serialize(name, {})
    assert native_in_use() - before < size, "failed lookups kept their names"
    for name in names:
        km.register_schema(name, [("a", "int32")])
        assert km.deserialize(name, HEADER + u32(1)) == {"a": 1}
        assert km.serialize(name, {"a": 1}) == HEADER + u32(1)
    assert native_in_use() - before > len(names) * size  # the registry holds them now
    for name in names:
        km.unregister_schema(name)
    gc.collect()
    assert native_in_use() - before < size, "unregistered names were kept"


def test_leak_probes_detect_a_leak(traced):
    """The allowances are tight enough to see one small object kept per call."""
    kept = []

    def leaky():
        kept.append(["x" * 8])

    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    objects_before = len(gc.get_objects())
    for _ in range(CALLS):
        leaky()
    gc.collect()
    assert tracemalloc.get_traced_memory()[0] - traced_before > TRACED_BYTES
    assert len(gc.get_objects()) - objects_before > GC_OBJECTS
