"""korvex_messages.ros2: the `.msg` parser and the registration bookkeeping.

Oracles: rosbags' ROS 2 Humble type store (every type, with the texts rosbags
writes for recordings) and ROS 2's own `.msg` parser, rosidl_adapter, as
mcap-ros2-support ships it.
"""

import threading

import pytest

from korvex_messages.ros2._msgdef import (
    MsgDefinitionError,
    normalize_type_name,
    parse_msg_text,
)
from korvex_messages.ros2._registry import Ros2Registry
from tests.support import ros2

pytest.importorskip("rosbags")

# The `.msg` grammar and the registration bookkeeping, both written in Python.
pytestmark = pytest.mark.pure_python

STORE = ros2.typestore()
SEPARATOR = "=" * 80


def view(field):
    return (field.name, field.base, field.string_bound, field.array, field.array_length)


# ---------------------------------------------------------------------------
# Every type of rosbags' store, from the text rosbags writes for it


@pytest.mark.parametrize("name", sorted(STORE.fielddefs))
def test_store_type_parses_as_rosbags_holds_it(name):
    text = STORE.generate_msgdef(name, ros_version=2)[0]
    definitions = parse_msg_text(name, text)
    assert definitions[0].name == name
    assert {d.name for d in definitions} == ros2.rosbags_closure(STORE, name)
    for msgdef in definitions:
        assert [view(f) for f in msgdef.fields] == ros2.rosbags_fields(STORE, msgdef.name)
        assert [(c.name, c.type, c.value) for c in msgdef.constants] == ros2.rosbags_constants(
            STORE, msgdef.name
        )


@pytest.mark.parametrize("name", sorted(STORE.fielddefs))
def test_store_type_text_as_mcap_reads_it(name):
    pytest.importorskip("mcap_ros2")
    text = STORE.generate_msgdef(name, ros_version=2)[0]
    ours = [
        (d.name.replace("/msg/", "/"), *ros2.rosidl_view(d)) for d in parse_msg_text(name, text)
    ]
    theirs = ros2.mcap_sections(name, text)
    assert ours == [(name.replace("/msg/", "/"), *theirs[0][1:]), *theirs[1:]]


# As rosbag2 stores a definition: each .msg file as it is (comments and
# all), a line break, the separator and the MSG: line naming the type as the
# field wrote it.
ROSBAG2_TEXT = (
    "# A stamped marker.\n"
    "std_msgs/Header header  # frame and time\n"
    "\n"
    "uint8 ARROW=0   # the shapes\n"
    "uint8 CUBE=1\n"
    "Pose pose\n"
    'string<=32 ns "default"\n'
    "\n"
    f"{SEPARATOR}\n"
    "MSG: std_msgs/Header\n"
    "# Standard metadata for higher-level stamped data types.\n"
    "builtin_interfaces/Time stamp\n"
    "\n"
    "# Transform frame with which this data is associated.\n"
    "string frame_id\n"
    "\n"
    f"{SEPARATOR}\n"
    "MSG: builtin_interfaces/Time\n"
    "int32 sec\n"
    "uint32 nanosec\n"
    "\n"
    f"{SEPARATOR}\n"
    "MSG: demo_msgs/Pose\n"
    "float64[3] position [0.0, 0.0, 0.0]\n"
)


@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
def test_rosbag2_text(line_end):
    text = ROSBAG2_TEXT.replace("\n", line_end)
    definitions = parse_msg_text("demo_msgs/msg/Marker", text)
    assert [d.name for d in definitions] == [
        "demo_msgs/msg/Marker",
        "std_msgs/msg/Header",
        "builtin_interfaces/msg/Time",
        "demo_msgs/msg/Pose",
    ]
    pytest.importorskip("mcap_ros2")
    theirs = ros2.mcap_sections("demo_msgs/msg/Marker", text)
    assert [ros2.rosidl_view(d) for d in definitions] == [t[1:] for t in theirs]


# ---------------------------------------------------------------------------
# The grammar, against ROS 2's parser

GRAMMAR = {
    "comments": "# file comment\n\nint32 a # trailing\n  # indented\nint32 b#tight\n",
    "tabs": "int32\ta\nstring\tS=x\ty\n",
    "crlf": "int32 a\r\nint32 A=1\r\n\r\nstring b\r\n",
    "integer defaults": "int32 a 5\nuint8 b 0x1F\nint8 c -128\nchar d 65\nbyte e 255\nint64 f +7\n",
    "bool and float defaults": (
        "bool a true\nbool b 0\nbool c FALSE\nfloat64 d 1.5e3\nfloat32 e -2\n"
    ),
    "string defaults": (
        "string a \"hi there\"\nstring b 'single'\nstring c plain words\n"
        'string<=3 d abc\nstring e "a#b"\nwstring f \'w\'\nstring g "say \\"x\\""\n'
    ),
    "array defaults": (
        "int32[3] a [1, 2, 3]\nfloat64[<=3] b [1.5, -2e3]\nbool[] c [true, false]\n"
        'string[] d [\'a, b\', "c", plain]\nstring<=2[2] e [ab, "c"]\nuint8[] f []\n'
    ),
    "constants": (
        "int32 A=-5\nuint64 B=18446744073709551615\nstring C=hello world\n"
        "string D = 'quoted'\nstring E=a#b\nbool F=True\nbool G=0\nfloat32 H=1.5e3\n"
        "byte I=0x10\nchar J=7\nint8 K=0b101\nwstring L=w\nint16 M_2=0o17\nstring N=\n"
    ),
    "bounded strings and arrays": (
        "string<=10 a\nint32[<=4] b\nstring<=5[<=3] c\nwstring<=7 d\nuint8[16] e\n"
        "float64[] f\nstring[2] g\n"
    ),
    "nested types": "Point a\ngeometry_msgs/Point b\nPoint[] c\nstd_msgs/Header[<=2] d\n",
}


@pytest.mark.parametrize("text", GRAMMAR.values(), ids=GRAMMAR.keys())
def test_grammar_as_rosidl_reads_it(text):
    pytest.importorskip("mcap_ros2")
    (msgdef,) = parse_msg_text("geometry_msgs/msg/Sample", text)
    assert ros2.rosidl_view(msgdef) == ros2.rosidl_parse("geometry_msgs", "Sample", text)


# What rosidl does not read as this parser does, each with the reason.
LENIENT = [
    # ROS 1's Header, as rosbags reads it (rosidl would look in the package).
    ("Header h", "std_msgs/msg/Header"),
    # The full form, which recordings' MSG: lines and rosbags use.
    ("geometry_msgs/msg/Point p", "geometry_msgs/msg/Point"),
    # rosbags' aliases of ROS 1's builtins.
    ("time t", "builtin_interfaces/msg/Time"),
    ("duration[] d", "builtin_interfaces/msg/Duration[]"),
    # rosidl fails with an IndexError on an indented line.
    ("   int32 a", "int32"),
]


@pytest.mark.parametrize(("line", "wire_type"), LENIENT)
def test_accepted_beyond_rosidl(line, wire_type):
    (msgdef,) = parse_msg_text("pkg/Sample", line)
    assert [f.wire_type for f in msgdef.fields] == [wire_type]


@pytest.mark.parametrize(
    ("name", "package", "expected"),
    [
        ("geometry_msgs/msg/Point", None, "geometry_msgs/msg/Point"),
        ("geometry_msgs/Point", None, "geometry_msgs/msg/Point"),
        ("Point", "geometry_msgs", "geometry_msgs/msg/Point"),
        ("Header", None, "std_msgs/msg/Header"),
        ("Header", "sensor_msgs", "std_msgs/msg/Header"),
        (
            "example_interfaces/srv/AddTwoInts_Request",
            None,
            "example_interfaces/srv/AddTwoInts_Request",
        ),
        ("pkg2/action/Fib_SendGoal_Response", None, "pkg2/action/Fib_SendGoal_Response"),
    ],
)
def test_normalize_type_name(name, package, expected):
    assert normalize_type_name(name, package) == expected


@pytest.mark.parametrize(
    ("name", "package"),
    [
        ("Point", None),
        ("float64", "pkg"),
        ("geometry_msgs/point", None),
        ("Geometry/Point", None),
        ("pkg__x/Point", None),
        ("pkg_/Point", None),
        ("pkg/foo/Point", None),
        ("a/b/c/D", None),
        ("pkg/", None),
        ("/Point", None),
        ("Point", "Bad"),
    ],
)
def test_normalize_type_name_refuses(name, package):
    with pytest.raises(MsgDefinitionError, match="invalid ROS 2 message type name"):
        normalize_type_name(name, package)


def test_sections_and_separators():
    text = (
        "MSG: pkg/Outer\r\n"
        "Inner a\r\n"
        "pkg/msg/Deep b\r\n"
        "===\r\n"
        "MSG: pkg/Inner\r\n"
        "int32 x\r\n"
        f"{SEPARATOR}   \n"
        "\n"
        "MSG: pkg/msg/Deep\n"
        "string<=5[<=3] s\n"
        "int32[<=4] t\n"
        f"{SEPARATOR}\n"
        "MSG: pkg/Inner\n"
        "int32 x # the same again\n"
    )
    outer, inner, deep = parse_msg_text("pkg/Outer", text)
    assert (outer.name, inner.name, deep.name) == ("pkg/msg/Outer", "pkg/msg/Inner", "pkg/msg/Deep")
    assert [f.wire_type for f in outer.fields] == ["pkg/msg/Inner", "pkg/msg/Deep"]
    assert [f.wire_type for f in deep.fields] == ["string<=5[<=3]", "int32[<=4]"]
    assert [view(f) for f in inner.fields] == [("x", "int32", None, None, None)]


# (text, line, text fragment of the error); the type is pkg/msg/Sample.
BAD = [
    ("flot64 x", 1, "pkg/msg/Sample, line 1: unknown type 'flot64' in 'flot64 x'"),
    ("int32 a\n\nint32 a", 3, "a is already declared on line 1"),
    ("int32", 1, "expected a type and a name"),
    ("int32 Bad", 1, "invalid field name 'Bad'"),
    ("int32 a__b", 1, "invalid field name 'a__b'"),
    ("int32 a_", 1, "invalid field name 'a_'"),
    ("int32 1a", 1, "invalid field name '1a'"),
    ("int8 A=128", 1, "'128' is out of the range of int8 (-128 to 127)"),
    ("uint8 A=-1", 1, "out of the range of uint8"),
    ("uint64 A=18446744073709551616", 1, "out of the range of uint64"),
    ("char A=256", 1, "out of the range of char"),
    ("bool A=yes", 1, "'yes' is not a bool value"),
    ("int32 A=1.5", 1, "'1.5' is not an integer value for int32"),
    ("float64 A=abc", 1, "not a floating point value"),
    ("int32 A=1\nint32 A=2", 2, "A is already declared on line 1"),
    ("string<=5 A=x", 1, "constants have a primitive type"),
    ("int32[2] A=1", 1, "constants have a primitive type"),
    ("int32 lower=1", 1, "invalid constant name 'lower'"),
    ('string s "a=b"', 1, "invalid constant name 's \"a'"),
    ("int32[3] a [1, 2]", 1, "must have 3 elements, not 2"),
    ("int32[<=2] a [1, 2, 3]", 1, "may have at most 2 elements, not 3"),
    ("float64[] a 1", 1, "an array default is written [a, b, ...]"),
    ("string<=3 s abcd", 1, "longer than the bound 3"),
    ("string<=2[] s [ab, abc]", 1, "longer than the bound 2"),
    ('string s "a"b"', 1, 'unescaped " inside the quoted string'),
    ("string<=0 s", 1, "a string bound must be a positive integer, not '0'"),
    ("int32[0] a", 1, "an array size must be a positive integer"),
    ("int32[<=x] a", 1, "an array bound must be a positive integer, not 'x'"),
    ("int32] a", 1, "ends with ']' but has no '['"),
    ("int32[2][2] a", 1, "type 'int32[2][2]' is an array of arrays"),
    ("geometry_msgs/Point p [1]", 1, "takes no default value"),
    ("int32 a [1]", 1, "'[1]' is not an integer value"),
    ("string[] v [, 'a']", 1, "empty element in the array value"),
    ("int32 a\r\nflot64 b\r\n", 2, "line 2: unknown type 'flot64'"),
]


@pytest.mark.parametrize(("text", "line", "fragment"), BAD)
def test_bad_lines(text, line, fragment):
    with pytest.raises(MsgDefinitionError) as caught:
        parse_msg_text("pkg/Sample", text)
    message = str(caught.value)
    assert message.startswith(f"pkg/msg/Sample, line {line}: ")
    assert fragment in message
    # ROS 2 refuses these too (rosidl prints what it refuses to stderr).
    pytest.importorskip("mcap_ros2")
    with pytest.raises(Exception):  # noqa: B017 - rosidl raises several kinds
        ros2.rosidl_parse("pkg", "Sample", text)


# Refused here, where rosidl fails internally or reads a different format.
BAD_BEYOND_ROSIDL = [
    ("string[] v ['a', ]", "pkg/msg/Sample, line 1: empty element"),
    ("@optional int32 a", "pkg/msg/Sample, line 1: annotations"),
    ("int32 a\n===\nMSG: pkg/B\nint32 b\nflot c", "pkg/msg/B, line 5: unknown type 'flot'"),
    ("int32 a\n===\nfoo", "pkg/msg/Sample, line 3: expected a 'MSG: pkg/Name' line"),
    ("int32 a\n===\n===\nMSG: pkg/B", "pkg/msg/Sample, line 3: expected a 'MSG: pkg/Name'"),
    ("int32 a\n===\nIDL: pkg/msg/B", "pkg/msg/Sample, line 3: an IDL section"),
    ("int32 a\n====\n\n", "ends with a separator and no 'MSG: pkg/Name' line"),
    ("MSG: pkg/Other\nint32 a", "line 1: the text is of pkg/msg/Sample, not of pkg/msg/Other"),
    ("int32 a\n===\nMSG: pkg/bad\n", "line 3: invalid ROS 2 message type name 'pkg/bad'"),
    # Counts the wire cannot hold, also ones too long for int() to read.
    ("uint8[4294967296] a", "line 1: an array size must be at most 4294967295, not 4294967296"),
    ("int32[<=" + "9" * 5000 + "] a", "line 1: an array bound must be at most 4294967295"),
    ("string<=04294967296 s", "line 1: a string bound must be at most 4294967295"),
    (
        "pkg/B b\n===\nMSG: pkg/B\nint32 x\n===\nMSG: pkg/B\nint64 x",
        "line 6: a second, different definition of pkg/msg/B",
    ),
]


@pytest.mark.parametrize(("text", "fragment"), BAD_BEYOND_ROSIDL)
def test_bad_texts(text, fragment):
    with pytest.raises(MsgDefinitionError, match="^pkg/msg/") as caught:
        parse_msg_text("pkg/Sample", text)
    assert fragment in str(caught.value)


def test_equal_definitions():
    first, second = (parse_msg_text("p/A", "float64 x nan\nfloat64 Y=-0.0") for _ in range(2))
    assert first == second
    (zero,) = parse_msg_text("p/A", "float64 x nan\nfloat64 Y=0.0")
    assert zero != first[0]


# ---------------------------------------------------------------------------
# Registration


def imu_text():
    return STORE.generate_msgdef("sensor_msgs/msg/Imu", ros_version=2)[0]


def test_register_installs_dependencies_first():
    installer = ros2.RecordingInstaller()
    registry = Ros2Registry(installer)
    names = registry.register_msg("sensor_msgs/Imu", imu_text())
    assert names == installer.names()
    assert set(names) == ros2.rosbags_closure(STORE, "sensor_msgs/msg/Imu")
    for position, (name, fields) in enumerate(installer.calls):
        expected = ros2.rosbags_fields(STORE, name)
        assert [f[0] for f in fields] == [f[0] for f in expected]
        for dependency in {f[1] for f in expected if "/" in f[1]}:
            assert dependency in names[:position]
    assert registry.registered() == names


def test_register_again_is_a_no_op_and_adds_only_new_types():
    installer = ros2.RecordingInstaller()
    registry = Ros2Registry(installer)
    header = STORE.generate_msgdef("std_msgs/msg/Header", ros_version=2)[0]
    assert registry.register_msg("std_msgs/msg/Header", header) == [
        "builtin_interfaces/msg/Time",
        "std_msgs/msg/Header",
    ]
    assert registry.register_msg("std_msgs/Header", header) == []
    added = registry.register_msg("sensor_msgs/msg/Imu", imu_text())
    assert added == [
        "geometry_msgs/msg/Quaternion",
        "geometry_msgs/msg/Vector3",
        "sensor_msgs/msg/Imu",
    ]
    assert installer.names() == registry.registered()


@pytest.mark.parametrize(
    ("text", "fragment"),
    [
        ("int32 a\nint64 b", "field 2 is 'int32 b' in the registered definition, 'int64 b'"),
        ("int32 a\nint32 b 3", "field 2 is 'int32 b'"),
        ("int32 a", "the registered definition has 2 fields, the new one 1"),
        ("int32 a\nint32 b\nint32 C=1", "the registered definition has 0 constants, the new one 1"),
    ],
)
def test_register_different_definition_refused(text, fragment):
    installer = ros2.RecordingInstaller()
    registry = Ros2Registry(installer)
    registry.register_msg("pkg/Thing", "int32 a\nint32 b")
    with pytest.raises(MsgDefinitionError) as caught:
        registry.register_msg("pkg/Other", f"pkg/Thing t\n===\nMSG: pkg/Thing\n{text}")
    assert str(caught.value).startswith("pkg/msg/Thing is already registered with another")
    assert fragment in str(caught.value)
    assert installer.names() == ["pkg/msg/Thing"]


def test_register_missing_dependency_registers_nothing():
    installer = ros2.RecordingInstaller()
    registry = Ros2Registry(installer)
    text = "pkg/Inner a\n===\nMSG: pkg/Inner\ngeometry_msgs/Point p\n"
    with pytest.raises(MsgDefinitionError) as caught:
        registry.register_msg("pkg/Outer", text)
    assert str(caught.value) == (
        "pkg/msg/Inner: field 'p' has type geometry_msgs/msg/Point,"
        " which is neither registered nor defined in the text"
    )
    assert installer.calls == [] and registry.registered() == []
    registry.register_msg("geometry_msgs/Point", "float64 x\nfloat64 y\nfloat64 z")
    assert registry.register_msg("pkg/Outer", text) == ["pkg/msg/Inner", "pkg/msg/Outer"]


def test_register_refuses_a_type_containing_itself():
    registry = Ros2Registry(ros2.RecordingInstaller())
    with pytest.raises(MsgDefinitionError, match="pkg/msg/A contains itself"):
        registry.register_msg("pkg/A", "B b\n===\nMSG: pkg/B\nA[] a")


def test_failed_install_leaves_registry_matching_the_codec():
    installer = ros2.RecordingInstaller(fail_on="std_msgs/msg/Header")
    registry = Ros2Registry(installer)
    with pytest.raises(RuntimeError):
        registry.register_msg("sensor_msgs/msg/Imu", imu_text())
    # The codec installs a text's types together or not at all.
    assert registry.registered() == installer.names() == []


def test_register_from_many_threads_installs_each_type_once():
    installer = ros2.RecordingInstaller(delay=0.002)
    registry = Ros2Registry(installer)
    text, barrier, results = imu_text(), threading.Barrier(8), []

    def run():
        barrier.wait()
        results.append(registry.register_msg("sensor_msgs/msg/Imu", text))

    threads = [threading.Thread(target=run) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    expected = ros2.rosbags_closure(STORE, "sensor_msgs/msg/Imu")
    assert sorted(installer.names()) == sorted(expected)
    assert sorted(len(r) for r in results) == [0] * 7 + [len(expected)]


def test_lookups():
    registry = Ros2Registry(ros2.RecordingInstaller())
    text = STORE.generate_msgdef("visualization_msgs/msg/Marker", ros_version=2)[0]
    registry.register_msg("visualization_msgs/Marker", text)
    expected = {
        name: value for name, _, value in STORE.fielddefs["visualization_msgs/msg/Marker"][0]
    }
    constants = registry.constants("visualization_msgs/Marker")
    assert list(constants.items()) == list(expected.items())
    assert registry.definition("std_msgs/Header").name == "std_msgs/msg/Header"
    assert registry.is_registered("visualization_msgs/msg/Marker")
    assert not registry.is_registered("visualization_msgs/Other")
    assert not registry.is_registered("not a name")
    for lookup in (registry.constants, registry.definition):
        with pytest.raises(KeyError) as caught:
            lookup("pkg/Missing")
        assert caught.value.args == (
            "ROS 2 message type 'pkg/msg/Missing' is not registered in this process",
        )


@pytest.mark.pure_python
def test_unregister_refuses_while_used_and_takes_dependants_when_asked():
    installer = ros2.RecordingInstaller()
    registry = Ros2Registry(installer)
    registry.register_msg("sensor_msgs/msg/Imu", imu_text())
    with pytest.raises(MsgDefinitionError) as caught:
        registry.unregister("geometry_msgs/Vector3")
    assert str(caught.value).startswith("geometry_msgs/msg/Vector3 is used by sensor_msgs/msg/Imu:")
    assert installer.removed == []
    removed = registry.unregister("geometry_msgs/Vector3", dependants=True)
    assert removed == ["geometry_msgs/msg/Vector3", "sensor_msgs/msg/Imu"]
    assert installer.removed == [removed]
    assert registry.registered() == [
        "builtin_interfaces/msg/Time",
        "std_msgs/msg/Header",
        "geometry_msgs/msg/Quaternion",
    ]
    with pytest.raises(KeyError):
        registry.unregister("sensor_msgs/Imu")
    # Registered again, the codec gets only what it no longer has.
    assert registry.register_msg("sensor_msgs/msg/Imu", imu_text()) == [
        "geometry_msgs/msg/Vector3",
        "sensor_msgs/msg/Imu",
    ]


class ReenteringInstaller(ros2.RecordingInstaller):
    """Calls the registry from inside install and remove, as a finalizer run
    by a garbage collection there would."""

    def __init__(self):
        super().__init__()
        self.registry = None
        self.seen = []

    def _call_back(self):
        self.seen.append(self.registry.is_registered("pkg/Base"))
        self.seen.append(self.registry.registered())
        for change in (
            lambda: self.registry.register_msg("pkg/Nested", "int8 n"),
            lambda: self.registry.unregister("pkg/Base"),
        ):
            try:
                change()
            except MsgDefinitionError as error:
                self.seen.append(str(error).split(" while ")[0])

    def install(self, types):
        self._call_back()
        return super().install(types)

    def remove(self, names):
        self._call_back()
        super().remove(names)


@pytest.mark.pure_python
def test_registry_used_from_inside_a_change():
    installer = ReenteringInstaller()
    registry = installer.registry = Ros2Registry(installer)
    registry.register_msg("pkg/Base", "int8 x")
    registry.unregister("pkg/Base")
    nested = ["register_msg('pkg/Nested')", "unregister('pkg/Base')"]
    assert installer.seen == [False, [], *nested, True, ["pkg/msg/Base"], *nested]
    assert registry.registered() == [] and installer.names() == ["pkg/msg/Base"]


@pytest.mark.pure_python
def test_deep_chain_installs_without_recursion():
    depth = 5000
    text = "\n".join(
        ["pkg/T1 next"]
        + [f"{SEPARATOR}\nMSG: pkg/T{i}\npkg/T{i + 1} next" for i in range(1, depth)]
        + [f"{SEPARATOR}\nMSG: pkg/T{depth}\nint8 x"]
    )
    installer = ros2.RecordingInstaller()
    names = Ros2Registry(installer).register_msg("pkg/T0", text)
    assert names == [f"pkg/msg/T{i}" for i in range(depth, -1, -1)]
