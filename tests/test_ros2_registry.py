"""korvex_messages.ros2's registry through the native codec: registration is
all or nothing, service and action types, deep chains, one reading of every
type name, removal, MCAP schemas that hold no usable text, and changes and
lookups from code that runs inside a change (finalizers).

Each test registers types of packages of its own (hard_*), so that tests
share nothing through the process-wide registry.
"""

import json

import pytest

from korvex_messages import ros2
from korvex_messages.ros2 import MsgDefinitionError

native = pytest.importorskip("korvex_messages.ros2._native")


def sections(root, *others):
    """A recording's text: the root's lines, then each (name, lines)."""
    parts = [root]
    for name, lines in others:
        parts.append(f"{'=' * 80}\nMSG: {name}\n{lines}")
    return "\n".join(parts)


# ---------------------------------------------------------------------------
# A failed registration registers nothing and says what failed.

# (root, text, error fragments, types of the text that must stay unregistered)
FAILING_TEXTS = [
    (
        "hard_atomic_a/Outer",
        sections(
            "hard_atomic_a/First f\nhard_atomic_a/Inner i",
            ("hard_atomic_a/First", "int8 x"),
            ("hard_atomic_a/Inner", "uint8[4294967296] data"),
        ),
        [
            "hard_atomic_a/msg/Inner, line 8:",
            "an array size must be at most 4294967295",
            "'uint8[4294967296] data'",
        ],
        ["hard_atomic_a/msg/First", "hard_atomic_a/msg/Inner", "hard_atomic_a/msg/Outer"],
    ),
    (
        # The codec holds another Taken than the one the text defines: the
        # types installed before it in the same call are withdrawn again.
        "hard_atomic_b/Outer",
        sections(
            "hard_atomic_b/First f\nhard_atomic_b/Taken t",
            ("hard_atomic_b/First", "int8 x"),
            ("hard_atomic_b/Taken", "int16 y"),
        ),
        ["hard_atomic_b/msg/Taken", "already registered with a different definition"],
        ["hard_atomic_b/msg/First", "hard_atomic_b/msg/Outer"],
    ),
]


@pytest.mark.parametrize(("root", "text", "fragments", "absent"), FAILING_TEXTS)
def test_failed_registration_registers_nothing(root, text, fragments, absent):
    native.register_type("hard_atomic_b/msg/Taken", [("y", "int32")])
    with pytest.raises(MsgDefinitionError) as caught:
        ros2.register_msg(root, text)
    for fragment in fragments:
        assert fragment in str(caught.value)
    for name in absent:
        assert not native.type_exists(name), name
        assert not ros2.is_registered(name), name


# (batch of (name, fields), error fragments): the last entry fails, the
# first ones must not be registered after it.
FAILING_BATCHES = [
    (
        [("hard_batch/msg/A", [("x", "int8")]), ("hard_batch/msg/B", [("y", "uint8[4294967296]")])],
        ["'hard_batch/msg/B', field 'y': Unsupported ROS 2 field type 'uint8[4294967296]'"],
    ),
    (
        [("hard_batch/msg/A", [("x", "int8")]), ("hard_batch/msg/B", [("y", "flot64")])],
        ["'hard_batch/msg/B', field 'y'", "'flot64'"],
    ),
    (
        [("hard_batch/msg/A", [("x", "int8")]), ("hard_batch/other/B", [("y", "int8")])],
        ["'hard_batch/other/B' is not a full ROS 2 type name"],
    ),
    (
        [("hard_batch/msg/A", [("x", "int8")]), ("hard_batch/msg/A", [("x", "int16")])],
        ["'hard_batch/msg/A' is already registered with a different definition"],
    ),
]


@pytest.mark.parametrize(("batch", "fragments"), FAILING_BATCHES)
def test_native_batch_is_all_or_nothing(batch, fragments):
    with pytest.raises(ValueError) as caught:
        native.register_types(batch)
    for fragment in fragments:
        assert fragment in str(caught.value)
    assert not native.type_exists("hard_batch/msg/A")


def test_native_batch_tells_which_types_are_new():
    first = [("hard_flags/msg/A", [("x", "int8")])]
    assert native.register_types(first) == [True]
    assert native.register_types([*first, ("hard_flags/msg/B", [("a", "hard_flags/msg/A")])]) == [
        False,
        True,
    ]


# ---------------------------------------------------------------------------
# Types of services and actions, as MCAP schemas name them.

SERVICE_AND_ACTION_TEXTS = [
    ("hard_srv/srv/AddTwo_Request", "int64 a\nint64 b", {"a": -3, "b": 4}),
    ("hard_srv/srv/AddTwo_Response", "int64 sum", {"sum": 1}),
    ("hard_act/action/Fib_Goal", "int32 order", {"order": 7}),
    (
        "hard_act/action/Fib_FeedbackMessage",
        sections(
            "hard_act/action/Fib_Feedback feedback\nuint8[16] goal_id",
            ("hard_act/action/Fib_Feedback", "int32[] sequence"),
        ),
        {"feedback": {"sequence": [0, 1, 1, 2]}, "goal_id": bytes(range(16))},
    ),
]


@pytest.mark.parametrize(("name", "text", "values"), SERVICE_AND_ACTION_TEXTS)
def test_service_and_action_types_register_and_round_trip(name, text, values):
    assert name in ros2.register_msg(name, text)
    assert native.type_exists(name) and ros2.is_registered(name)
    data = ros2.serialize(name, values)
    assert ros2.deserialize(name, data) == values


@pytest.mark.extra("mcap")
def test_decoder_factory_takes_a_service_channel():
    from mcap.records import Schema

    schema = Schema(id=3, name="hard_mcap_srv/srv/Ping_Request", encoding="ros2msg", data=b"int8 n")
    decode = ros2.DecoderFactory().decoder_for("cdr", schema)
    assert decode(b"\x00\x01\x00\x00\x05") == {"n": 5}


# ---------------------------------------------------------------------------
# Chains of a thousand types, each holding the next.

DEPTH = 1000


def chain_text(package, array):
    def line(index):
        return f"{package}/T{index}{'[<=1]' if array else ''} next"

    return sections(
        line(1),
        *[(f"{package}/T{i}", line(i + 1)) for i in range(1, DEPTH)],
        (f"{package}/T{DEPTH}", "int8 x"),
    )


@pytest.mark.parametrize("array", [False, True], ids=["struct fields", "bounded arrays"])
def test_deep_chain_registers(array):
    package = f"hard_deep_{'array' if array else 'struct'}"
    installed = ros2.register_msg(f"{package}/T0", chain_text(package, array))
    assert len(installed) == DEPTH + 1 and installed[-1] == f"{package}/msg/T0"
    assert installed[0] == f"{package}/msg/T{DEPTH}"
    if array:
        # An empty array ends the chain at once; a full one meets the codec's
        # nesting bound, which is an error, not a crash.
        data = ros2.serialize(f"{package}/T0", {"next": []})
        assert ros2.deserialize(f"{package}/T0", data) == {"next": []}
        value = {"x": 1}
        for _ in range(DEPTH):
            value = {"next": [value]}
        with pytest.raises(TypeError, match="Nesting too deep"):
            ros2.serialize(f"{package}/T0", value)
    removed = ros2.unregister(f"{package}/T{DEPTH}", dependants=True)
    assert len(removed) == DEPTH + 1


def test_deep_cycle_is_refused_without_recursion():
    package = "hard_deep_cycle"
    text = chain_text(package, False).replace(f"MSG: {package}/T{DEPTH}\nint8 x", "")
    text = text.rstrip("=\n") + f"\n{'=' * 80}\nMSG: {package}/T{DEPTH}\n{package}/T1 next"
    with pytest.raises(MsgDefinitionError, match=f"{package}/msg/T1 contains itself"):
        ros2.register_msg(f"{package}/T0", text)


# ---------------------------------------------------------------------------
# Header alone names std_msgs/msg/Header in every function.


def test_header_names_one_type_everywhere():
    ros2.register_msg(
        "std_msgs/msg/Header",
        sections(
            "builtin_interfaces/Time stamp\nstring frame_id",
            ("builtin_interfaces/Time", "int32 sec\nuint32 nanosec"),
        ),
    )
    values = {"stamp": {"sec": 1, "nanosec": 2}, "frame_id": "map"}
    full = ros2.serialize("std_msgs/msg/Header", values)
    for name in ["Header", "std_msgs/Header", "std_msgs/msg/Header"]:
        assert ros2.is_registered(name) and native.type_exists(name)
        assert ros2.definition(name).name == "std_msgs/msg/Header"
        assert ros2.constants(name) == {}
        assert ros2.serialize(name, values) == full
        assert ros2.deserialize(name, full) == values


# ---------------------------------------------------------------------------
# Removing types.


def test_unregister_refuses_a_used_type_and_removes_dependants_when_asked():
    text = sections(
        "hard_rm/Middle m\nhard_rm/Base b",
        ("hard_rm/Middle", "hard_rm/Base b"),
        ("hard_rm/Base", "int8 x"),
    )
    ros2.register_msg("hard_rm/Top", text)
    ros2.register_msg("hard_rm/Other", "int8 y")
    with pytest.raises(MsgDefinitionError) as caught:
        ros2.unregister("hard_rm/Base")
    assert "hard_rm/msg/Base is used by hard_rm/msg/Middle, hard_rm/msg/Top:" in str(caught.value)
    assert ros2.is_registered("hard_rm/Base") and native.type_exists("hard_rm/msg/Base")
    assert ros2.unregister("hard_rm/Top") == ["hard_rm/msg/Top"]
    assert ros2.unregister("hard_rm/Base", dependants=True) == [
        "hard_rm/msg/Base",
        "hard_rm/msg/Middle",
    ]
    for name in ["hard_rm/msg/Top", "hard_rm/msg/Middle", "hard_rm/msg/Base"]:
        assert not ros2.is_registered(name) and not native.type_exists(name)
        with pytest.raises(KeyError):
            ros2.serialize(name, {})
    assert ros2.is_registered("hard_rm/Other")
    with pytest.raises(KeyError, match="'hard_rm/msg/Base' is not registered"):
        ros2.unregister("hard_rm/Base")
    # The name is free again, for another definition.
    assert ros2.register_msg("hard_rm/Base", "int64 x") == ["hard_rm/msg/Base"]
    data = ros2.serialize("hard_rm/Base", {"x": -2})
    assert data == b"\x00\x01\x00\x00" + (-2).to_bytes(8, "little", signed=True)


def test_native_unregister_is_all_or_nothing():
    native.register_types(
        [("hard_rmn/msg/A", [("x", "int8")]), ("hard_rmn/msg/B", [("a", "hard_rmn/msg/A")])]
    )
    with pytest.raises(ValueError, match="'hard_rmn/msg/A' is used by 'hard_rmn/msg/B'"):
        native.unregister_types(["hard_rmn/msg/A"])
    with pytest.raises(KeyError):
        native.unregister_types(["hard_rmn/msg/B", "hard_rmn/msg/Missing"])
    assert native.type_exists("hard_rmn/msg/A") and native.type_exists("hard_rmn/msg/B")
    native.unregister_types(["hard_rmn/msg/A", "hard_rmn/msg/B"])
    assert not native.type_exists("hard_rmn/msg/A") and not native.type_exists("hard_rmn/msg/B")


# ---------------------------------------------------------------------------
# MCAP schemas the DecoderFactory cannot use.


@pytest.mark.extra("mcap")
@pytest.mark.parametrize(
    ("name", "data", "fragments"),
    [
        ("hard_mcap/Empty", b"", ["MCAP schema 'hard_mcap/Empty' (id 7)", "holds no definition"]),
        ("hard_mcap/Blank", b" \n\n", ["holds no definition of hard_mcap/msg/Blank"]),
        (
            "hard_mcap/Latin",
            "string s 'caf\xe9'".encode("latin-1"),
            ["MCAP schema 'hard_mcap/Latin' (id 7)", "not UTF-8 text", "at byte 13"],
        ),
    ],
)
def test_decoder_factory_refuses_unusable_schema_text(name, data, fragments):
    from mcap.records import Schema

    schema = Schema(id=7, name=name, encoding="ros2msg", data=data)
    with pytest.raises(MsgDefinitionError) as caught:
        ros2.DecoderFactory().decoder_for("cdr", schema)
    for fragment in fragments:
        assert fragment in str(caught.value)
    assert not ros2.is_registered(name)


@pytest.mark.extra("mcap")
def test_decoder_factory_takes_an_empty_schema_of_a_registered_type():
    from mcap.records import Schema

    ros2.register_msg("hard_mcap/Known", "int8 n")
    schema = Schema(id=8, name="hard_mcap/Known", encoding="ros2msg", data=b"")
    decode = ros2.DecoderFactory().decoder_for("cdr", schema)
    assert decode(b"\x00\x01\x00\x00\x05") == {"n": 5}


# ---------------------------------------------------------------------------
# Finalizers that use the registry while a change holds its lock.

# Garbage cycles whose finalizers look types up, try a change of their own
# and leave a new cycle behind, with the collector run at every allocation:
# finalizers run all through register_msg and unregister, also while the
# change lock is held.  A lookup that waited for the lock would hang.
FINALIZERS = """
import gc, json
from korvex_messages import ros2
from korvex_messages.ros2 import MsgDefinitionError

seen = {"lookups": 0, "during_change": 0, "nested_change": []}
budget = [20000]

class Ghost:
    def __init__(self):
        self.me = self

    def __del__(self):
        budget[0] -= 1
        if budget[0] > 0:
            Ghost()
        seen["lookups"] += ros2.is_registered("hard_gc/Top") + 1
        ros2.registered()
        if ros2._registry._change_lock.locked():
            seen["during_change"] += 1
            try:
                ros2.register_msg("hard_gc/Nested", "int8 n")
            except MsgDefinitionError as error:
                seen["nested_change"].append(str(error).split(" while ")[0])

Ghost()
gc.set_threshold(1, 1, 1)
text = "hard_gc/Inner i\\n" + "=" * 80 + "\\nMSG: hard_gc/Inner\\nint8 x"
for _ in range(20):
    ros2.register_msg("hard_gc/Top", text)
    ros2.unregister("hard_gc/Inner", dependants=True)
gc.set_threshold(700, 10, 10)
seen["nested_change"] = sorted(set(seen["nested_change"]))
print(json.dumps(seen))
"""


def test_finalizers_use_the_registry_during_a_change(run_python):
    proc = run_python(FINALIZERS, timeout=300)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout)
    assert seen["lookups"] > 0 and seen["during_change"] > 0
    # A change from inside a change is refused, naming itself; none hangs.
    assert seen["nested_change"] == ["register_msg('hard_gc/Nested')"]


@pytest.mark.pure_python
@pytest.mark.parametrize("numpy", [1, 0, "yes", None])
def test_decoder_factory_checks_numpy_when_made(numpy):
    with pytest.raises(TypeError, match=f"numpy must be a bool, not {type(numpy).__name__}"):
        ros2.DecoderFactory(numpy=numpy)
