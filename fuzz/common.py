"""Shared pieces of the fuzz targets.

* The schema set the targets run against: every field type, nested structs,
  arrays of structs, self-referential and mutually recursive schemas, an
  empty schema and schemas that hold empty structs, a dangling struct
  reference, duplicate and unusual field names.
* The outcome of a call, compared with what the reference model of the
  test suite (tests/support/cdr.py) expects: `deserialize` must give exactly
  what its decoder gives (the value, or the exception with its text), and
  `serialize` must give exactly its encoding.
* A value generator driven by a FuzzedDataProvider that builds a `values`
  dictionary for a schema, mixing valid values (plain and subclassed types,
  objects with __index__ / __float__) with invalid ones, and predicts the
  exception the encoder must raise for the first invalid one (with the
  value-acceptance model of tests/support/acceptance.py).

Everything here is plain Python; only the targets import atheris.  The
targets run as modules of the checkout (``python -m fuzz.fuzz_deserialize``),
or with the checkout on PYTHONPATH.
"""

import sys

from tests.support import cdr, contract
from tests.support.acceptance import accepts, as_int, kind_name
from tests.support.cdr import FLOAT_TYPES, TIME_FIELDS, TIME_TYPES, Failure, narrow32
from tests.support.checks import same
from tests.support.values import (
    BytesSub,
    DictSub,
    FloatOnly,
    IndexOnly,
    IntSub,
    ListSub,
    RaisingFloat,
    RaisingIndex,
    StrSub,
)

MAX_NESTING = contract.MAX_NESTING
PREFIX = "fz."

SIMPLE_TYPES = cdr.SIMPLE_TYPES

_DEEP = "array<" * (MAX_NESTING + 10) + "uint8" + ">" * (MAX_NESTING + 10)

# The order of this list is part of the seed corpus format (the first input
# byte selects an entry), so only ever append to it.
SCHEMAS = [
    ("fz.empty", []),
    (
        "fz.scalars",
        [("f_" + t, t) for t in SIMPLE_TYPES]
        + [("f_ros_string", "ros_string"), ("f_ros_bytes", "ros_bytes")],
    ),
    ("fz.point", [("x", "float64"), ("y", "float64"), ("z", "float32")]),
    ("fz.header", [("stamp", "time"), ("frame_id", "string"), ("seq", "uint32")]),
    (
        "fz.nested",
        [
            ("header", "struct:fz.header"),
            ("pose", "struct:fz.point"),
            ("points", "array<struct:fz.point>"),
            ("names", "array<string>"),
            ("matrix", "array<array<float64>>"),
            ("blobs", "array<bytes>"),
            ("flags", "array<bool>"),
            ("stamps", "array<time>"),
            ("spans", "array<duration>"),
            ("tail", "uint8"),
        ],
    ),
    ("fz.arrays", [("a_" + t, "array<%s>" % t) for t in SIMPLE_TYPES]),
    ("fz.node", [("value", "int16"), ("children", "array<struct:fz.node>")]),
    ("fz.loop", [("next", "struct:fz.loop")]),
    ("fz.ping", [("tag", "uint8"), ("pong", "struct:fz.pong")]),
    ("fz.pong", [("pings", "array<struct:fz.ping>")]),
    (
        "fz.holds_empty",
        [
            ("one", "struct:fz.empty"),
            ("many", "array<struct:fz.empty>"),
            ("grid", "array<array<struct:fz.empty>>"),
            ("after", "int64"),
        ],
    ),
    ("fz.deep", [("d", _DEEP)]),
    ("fz.dangling", [("ok", "int32"), ("gone", "struct:fz.unregistered")]),
    ("fz.dup", [("a", "int32"), ("b", "float64"), ("a", "int32")]),
    ("fz.names", [("\u00fc", "string"), ("", "bool"), ("a.b", "int8")]),
    (
        "fz.mixed",
        [
            ("flag", "bool"),
            ("stamp", "time"),
            ("big", "uint64"),
            ("frame", "struct:fz.header"),
            ("nodes", "array<struct:fz.node>"),
            ("tiny", "float32"),
        ],
    ),
]
SCHEMA_MAP = dict(SCHEMAS)
DANGLING = "fz.unregistered"


def install(module):
    """Registers the schema set in `module` (once)."""
    for name, fields in SCHEMAS:
        if not module.schema_exists(name):
            module.register_schema(name, list(fields))


_loaded = None


def load_module():
    """Imports _korvex_messages (once), binding native comparison tracing
    first when the fuzz bridge is preloaded."""
    global _loaded
    if _loaded is None:
        bind_native_coverage()
        import _korvex_messages

        install(_korvex_messages)
        _loaded = _korvex_messages
    return _loaded


def split_input(data):
    """The schema a fuzz input's first byte selects, and the rest of it."""
    return SCHEMAS[data[0] % len(SCHEMAS)][0], bytes(data[1:])


def bind_native_coverage():
    """Forwards the module's comparison hooks to atheris' libFuzzer, if the
    bridge library is preloaded (see sancov_bridge.c).  Must run after
    atheris.Fuzz() has loaded its libFuzzer core."""
    import ctypes

    try:
        bind = ctypes.CDLL(None).korvex_sancov_bind
    except AttributeError:
        return False
    cores = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "core_with_libfuzzer" in path and path not in cores:
                cores.append(path)
    if not cores or bind(cores[0].encode()) != 0:
        # Replaying inputs without libFuzzer: the hooks stay no-ops.
        return False
    sys.stderr.write("INFO: native comparison tracing forwarded to %s\n" % cores[0])
    return True


# --------------------------------------------------------------------------
# The schema set in the reference model

PARSED = cdr.parse_schemas(SCHEMA_MAP)
RANGES = cdr.INT_RANGES
I64 = RANGES["int64"]
U64 = RANGES["uint64"]


# --------------------------------------------------------------------------
# Comparing results


def outcome(call, *args):
    """("ok", result) or (exception type, its single argument) of a call;
    anything but the documented exceptions with one argument is a finding."""
    try:
        return ("ok", call(*args))
    except (TypeError, ValueError, KeyError) as error:
        if len(error.args) != 1:
            raise AssertionError(
                "%s with %d arguments: %r" % (type(error).__name__, len(error.args), error)
            ) from error
        return (type(error), error.args[0])
    except BaseException as error:  # PanicException derives from BaseException
        raise AssertionError(
            "undocumented outcome %s: %r" % (type(error).__name__, error)
        ) from error


def same_outcome(got, expected):
    if got[0] == "ok" or expected[0] == "ok":
        return got[0] == expected[0] and same(got[1], expected[1])
    return got[0] is expected[0] and type(got[1]) is str and got[1] == expected[1]


# --------------------------------------------------------------------------
# Value generator


class Generator:
    """Builds a values dictionary for a schema from fuzzer bytes.

    Walks the schema in the order the encoder does and records, in
    `failure`, the Failure the encoder must raise for the first invalid
    value it meets (None when the whole message is valid).  `expected` is
    what deserialize must return for a valid message.
    """

    BUDGET = 300

    def __init__(self, fdp):
        self.fdp = fdp
        self.failure = None
        self.budget = self.BUDGET

    def fail(self, kind, text):
        if self.failure is None:
            self.failure = Failure(kind, text)

    def mismatch(self, reporter, expected_text):
        path, value = reporter
        self.fail(
            TypeError,
            "Field type mismatch on '%s': expected %s, got %s"
            % (path, expected_text, kind_name(value)),
        )

    def choice(self, top):
        return self.fdp.ConsumeIntInRange(0, top)

    def message(self, schema_name):
        values = DictSub() if self.choice(7) == 7 else {}
        expected = {}
        seen = set()
        for fname, ftype in PARSED[schema_name]:
            if fname in seen:
                # A repeated field name writes the same value again: it
                # passed (or already failed) the first time.
                continue
            seen.add(fname)
            if self.choice(63) == 63:
                self.fail(TypeError, "Serialization failed: Missing field '%s'" % fname)
                continue
            value, normal = self.make(ftype, fname, 0, None)
            values[fname] = value
            expected[fname] = normal
        if self.choice(3) == 3:
            for _ in range(self.choice(3)):
                values["extra%d" % self.choice(9)] = self.fdp.ConsumeIntInRange(-5, 5)
        return values, expected

    def make(self, t, path, depth, reporter):
        """Returns (value, normalised expected value) and records failures.

        `reporter` is (name, value) of the nearest top-level field or array
        element; None means "this value itself" (filled in below).
        """
        self.budget -= 1
        if t.depth:
            return self.make_array(t, path, depth, reporter)
        if t.leaf == "struct":
            return self.make_struct(t, path, depth, reporter)
        value, normal = self.make_leaf(t)
        if reporter is None:
            reporter = (path, value)
        self.check_leaf(t, value, reporter, path)
        return value, normal

    def make_array(self, t, path, depth, reporter):
        if depth >= MAX_NESTING + 1:
            return [], []  # never reached by the encoder: it stops at the bound
        pick = self.choice(31)
        if pick == 31:
            value = tuple()
        elif pick == 30:
            value = None
        else:
            value = ListSub() if pick == 29 else []
        if reporter is None:
            reporter = (path, value)
        if depth >= MAX_NESTING:
            self.fail(TypeError, "Serialization failed: " + contract.nesting_text(path))
        elif not isinstance(value, list):
            self.mismatch(reporter, t.name())
        if not isinstance(value, list):
            return value, None
        count = self.choice(3) if self.budget > 0 else 0
        if (
            t.element().leaf == "struct"
            and t.element().depth == 0
            and PARSED.get(t.element().struct) == []
            and self.choice(15) == 15
        ):
            count = self.choice(2000)
        normal = []
        for _ in range(count):
            # Each element is named by the array's path and reported as itself.
            item, item_normal = self.make(t.element(), path, depth + 1, None)
            value.append(item)
            normal.append(item_normal)
        return value, normal

    def make_struct(self, t, path, depth, reporter):
        if depth >= MAX_NESTING + 1:
            return {}, {}
        pick = self.choice(31)
        value = None if pick == 31 else (DictSub() if pick == 30 else {})
        if reporter is None:
            reporter = (path, value)
        if depth >= MAX_NESTING:
            self.fail(TypeError, "Serialization failed: " + contract.nesting_text(path))
        elif value is None:
            self.mismatch(reporter, t.name())
        elif t.struct not in PARSED:
            self.fail(KeyError, t.struct)
        if value is None or t.struct not in PARSED:
            return value, None
        normal = {}
        for fname, ftype in PARSED[t.struct]:
            child = path + "." + fname
            if fname in value:
                continue  # repeated field name
            if self.choice(63) == 63:
                self.fail(TypeError, "Serialization failed: Missing nested field '%s'" % child)
                continue
            item, item_normal = self.make(ftype, child, depth + 1, reporter)
            value[fname] = item
            normal[fname] = item_normal
        return value, normal

    def make_leaf(self, t):
        leaf = t.leaf
        pick = self.choice(31)
        fdp = self.fdp
        if leaf == "bool":
            if pick >= 29:
                return [0, 1, None][pick - 29], None
            flag = fdp.ConsumeBool()
            return flag, flag
        if leaf in RANGES:
            low, high = RANGES[leaf]
            if pick == 31:
                return 1.5, None
            if pick == 30:
                return [low - 1, high + 1, U64[1] + 1, I64[0] - 1, 10**30, -(10**400)][
                    self.choice(5)
                ], None
            if pick == 29:
                return [None, "7", b"7", RaisingIndex(), [1], {}][self.choice(5)], None
            number = fdp.ConsumeIntInRange(low, high)
            if pick == 28:
                return IndexOnly(number), number
            if pick == 27:
                return IntSub(number), number
            if pick == 26 and high >= 1:
                flag = fdp.ConsumeBool()
                return flag, int(flag)
            return number, number
        if leaf in FLOAT_TYPES:
            narrow = narrow32 if leaf == "float32" else float
            if pick == 31:
                return [None, "1.0", RaisingFloat(), 10**400, [1.0]][self.choice(4)], None
            if pick == 30:
                number = fdp.ConsumeIntInRange(-(2**70), 2**70)
                return number, narrow(float(number))
            if pick == 29:
                x = fdp.ConsumeFloat()
                return FloatOnly(x), narrow(x)
            if pick == 28:
                return IndexOnly(7), narrow(7.0)
            if pick == 27:
                return True, narrow(1.0)
            x = fdp.ConsumeFloat() if pick >= 20 else fdp.ConsumeRegularFloat()
            return x, narrow(x)
        if leaf == "string":
            if pick == 31:
                return [None, b"text", 5, ["a"]][self.choice(3)], None
            size = self.choice(12)
            text = fdp.ConsumeUnicode(size) if pick >= 26 else fdp.ConsumeUnicodeNoSurrogates(size)
            try:
                text.encode("utf-8")
            except UnicodeEncodeError:
                return text, None
            if pick == 25:
                return StrSub(text), text
            return text, text
        if leaf == "bytes":
            if pick == 31:
                return [None, bytearray(b"ab"), "ab", [1]][self.choice(3)], None
            raw = fdp.ConsumeBytes(self.choice(12))
            if pick == 30:
                return BytesSub(raw), raw
            return raw, raw
        if leaf in TIME_TYPES:
            if pick == 31:
                return [None, [1, 2], (1, 2)][self.choice(2)], None
            value = DictSub() if pick == 30 else {}
            (sec_low, sec_high), (nanosec_low, nanosec_high) = (
                RANGES[part_type] for _, part_type in TIME_FIELDS
            )
            sec = fdp.ConsumeIntInRange(sec_low, sec_high)
            nanosec = fdp.ConsumeIntInRange(nanosec_low, nanosec_high)
            if pick != 29:
                value["sec"] = (
                    sec if pick != 27 else [sec_high + 1, sec_low - 1, 1.0, None][self.choice(3)]
                )
            if pick != 28:
                value["nanosec"] = (
                    nanosec
                    if pick != 26
                    else [nanosec_low - 1, nanosec_high + 1, "0"][self.choice(2)]
                )
            if pick == 25:
                value["other"] = None
            normal = {"sec": sec, "nanosec": nanosec} if pick < 26 or pick == 30 else None
            return value, normal
        raise AssertionError(leaf)

    def check_leaf(self, t, value, reporter, path):
        leaf = t.leaf
        if leaf not in TIME_TYPES:
            if not accepts(leaf, value):
                self.mismatch(reporter, leaf)
            return
        if not isinstance(value, dict):
            self.mismatch(reporter, leaf)
            return
        for key, wanted in TIME_FIELDS:
            if key not in value:
                self.fail(TypeError, "Serialization failed: Missing field '%s.%s'" % (path, key))
                return
            low, high = RANGES[wanted]
            number = as_int(value[key])
            if number is None or not low <= number <= high:
                self.mismatch(reporter, "%s with %s %s" % (leaf, wanted, key))
                return
