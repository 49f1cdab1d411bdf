"""Type names as accepted by register_schema and printed by get_schema."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _korvex_messages as km
from tests.support.cdr import ALIASES, SIMPLE_TYPES, WHITE_SPACE
from tests.support.checks import raises_exact
from tests.support.contract import NO_STRUCT_NAME, unsupported_type_text

# Every simple type name, as get_schema prints it.
SIMPLE = {**{name: name for name in SIMPLE_TYPES}, **ALIASES}

# Every code point with the Unicode White_Space property (the reference
# model trims these around struct names).
assert len(WHITE_SPACE) == 25

# Look like blanks, or count as blanks for str.isspace(), but are not
# White_Space: these stay part of a struct name.
NOT_WHITE_SPACE = [
    "\x1c",
    "\x1d",
    "\x1e",
    "\x1f",
    "\x00",
    "\u180e",
    "\u200b",
    "\u200c",
    "\u200d",
    "\u2060",
    "\ufeff",
    "\xad",
]


def printed(unique_name, type_name):
    """Register one field of the given type and return the type read back."""
    name = unique_name("grammar")
    assert km.register_schema(name, [("f", type_name)]) is None
    fields = km.get_schema(name)
    assert len(fields) == 1 and fields[0][0] == "f"
    assert type(fields[0][1]) is str
    return fields[0][1]


def refused(unique_name, type_name, exc_type, message):
    name = unique_name("grammar_bad")
    raises_exact(exc_type, message, km.register_schema, name, [("f", type_name)])
    assert km.schema_exists(name) is False


def unsupported(unique_name, type_name, quoted):
    refused(
        unique_name,
        type_name,
        TypeError,
        unsupported_type_text(quoted),
    )


def no_struct_name(unique_name, type_name):
    refused(unique_name, type_name, ValueError, NO_STRUCT_NAME)


@pytest.mark.parametrize("text,canonical", sorted(SIMPLE.items()))
def test_simple_names(unique_name, text, canonical):
    assert printed(unique_name, text) == canonical


@pytest.mark.parametrize("text,canonical", sorted(SIMPLE.items()))
def test_simple_names_as_array_elements(unique_name, text, canonical):
    assert printed(unique_name, f"array<{text}>") == f"array<{canonical}>"
    assert printed(unique_name, f"array<array<{text}>>") == f"array<array<{canonical}>>"


@pytest.mark.parametrize(
    "text",
    [
        "Int32",
        "INT32",
        " int32",
        "int32 ",
        "\tint32",
        "int32\n",
        "\xa0int32",
        "int32\x00",
        "",
        " ",
        "int",
        "uint",
        "float",
        "double",
        "float16",
        "uint128",
        "char",
        "byte",
        "boolean",
        "Bool",
        "String",
        "ros_String",
        "ROS_STRING",
        "rosstring",
        "ros_int32",
        "Time",
        "Duration",
        "time ",
        "array",
        "Array<int32>",
        "ARRAY<int32>",
        "arr<int32>",
        "array(int32)",
        "array[int32]",
        "array <int32>",
        "array<",
        "array<int32",
        "array<array<",
        "Struct:Point",
        "STRUCT:Point",
        "struct Point",
        "struct",
        "struct;Point",
        " struct:Point",
        "ïnt32",
        "int32\U0001f600",
        "<int32>",
        "int32>",
    ],
)
def test_unsupported_names_are_quoted_verbatim(unique_name, text):
    unsupported(unique_name, text, text)


@pytest.mark.parametrize(
    "text,quoted",
    [
        ("array<>", ""),
        ("array<foo>", "foo"),
        ("array< int32>", " int32"),
        ("array<int32 >", "int32 "),
        ("array<int32>>", "int32>"),
        ("array<>>", ">"),
        ("array<<int32>>", "<int32>"),
        ("array<Int32>", "Int32"),
        ("array<array<foo>>", "foo"),
        ("array<array<>>", ""),
        ("array<array<int32>", "array<int32"),
        ("array<array<array<int8>>", "array<int8"),
        ("array<array<int32>>>", "int32>"),
        ("array<struct Point>", "struct Point"),
        ("array<\xa0int32>", "\xa0int32"),
    ],
)
def test_array_element_failure_names_the_inner_text(unique_name, text, quoted):
    unsupported(unique_name, text, quoted)


@pytest.mark.parametrize(
    "text,canonical",
    [
        ("array<int32>", "array<int32>"),
        ("array<array<float64>>", "array<array<float64>>"),
        ("array<ros_string>", "array<string>"),
        ("array<array<ros_bytes>>", "array<array<bytes>>"),
        ("array<struct:Point>", "array<struct:Point>"),
        ("array<struct: Point >", "array<struct:Point>"),
        ("array<array<struct:\tPoint\n>>", "array<array<struct:Point>>"),
        # The last ">" closes the array, so this struct name ends in ">".
        ("array<struct:P>>", "array<struct:P>>"),
        ("array<struct:array<int32>>", "array<struct:array<int32>>"),
    ],
)
def test_array_names(unique_name, text, canonical):
    assert printed(unique_name, text) == canonical


@pytest.mark.parametrize(
    "text,canonical",
    [
        ("struct:Point", "struct:Point"),
        ("struct: Point", "struct:Point"),
        ("struct:Point ", "struct:Point"),
        ("struct:\tPoint\t", "struct:Point"),
        ("struct:\xa0Point\xa0", "struct:Point"),
        ("struct:   Point   ", "struct:Point"),
        ("struct:My Point", "struct:My Point"),
        ("struct: My\u3000Point ", "struct:My\u3000Point"),
        ("struct:array<int32>", "struct:array<int32>"),
        ("struct:struct:x", "struct:struct:x"),
        ("struct:<>", "struct:<>"),
        ("struct:>", "struct:>"),
        ("struct:Point>", "struct:Point>"),
        ("struct:pkg/msg/Point", "struct:pkg/msg/Point"),
        ("struct:x", "struct:x"),
        ("struct:int32", "struct:int32"),
        ("struct:Pünkt", "struct:Pünkt"),
        ("struct:\U0001f600", "struct:\U0001f600"),
        ("struct:a\x00b", "struct:a\x00b"),
    ],
)
def test_struct_names(unique_name, text, canonical):
    assert printed(unique_name, text) == canonical


@pytest.mark.parametrize("ws", WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_every_white_space_character_is_trimmed(unique_name, ws):
    assert printed(unique_name, f"struct:{ws}Point") == "struct:Point"
    assert printed(unique_name, f"struct:Point{ws}") == "struct:Point"
    assert printed(unique_name, f"struct:{ws}{ws}P{ws}t{ws}{ws}") == f"struct:P{ws}t"
    no_struct_name(unique_name, f"struct:{ws}")
    no_struct_name(unique_name, f"array<struct:{ws}{ws}>")


def test_all_white_space_together_is_no_name(unique_name):
    blanks = "".join(WHITE_SPACE)
    no_struct_name(unique_name, "struct:" + blanks)
    assert printed(unique_name, f"struct:{blanks}Point{blanks}") == "struct:Point"


@pytest.mark.parametrize("ch", NOT_WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_are_not_trimmed(unique_name, ch):
    assert printed(unique_name, f"struct:{ch}Point{ch}") == f"struct:{ch}Point{ch}"
    assert printed(unique_name, f"struct: {ch} ") == f"struct:{ch}"
    assert printed(unique_name, f"struct:{ch}") == f"struct:{ch}"


@pytest.mark.parametrize(
    "text",
    [
        "struct:",
        "struct:   ",
        "struct:\t\n",
        "array<struct: >",
        "array<struct:>",
        "array<array<struct:\u3000>>",
    ],
)
def test_struct_without_name(unique_name, text):
    no_struct_name(unique_name, text)


def test_failing_type_leaves_no_schema_and_later_entries_unread(unique_name):
    name = unique_name("grammar_order")
    with pytest.raises(TypeError) as info:
        km.register_schema(name, [("a", "int32"), ("b", "array<nope>"), ("c", "struct:")])
    assert info.value.args == ("Serialization failed: Unsupported field type 'nope'",)
    with pytest.raises(ValueError) as info:
        km.register_schema(name, [("a", "struct: "), ("b", "nope")])
    assert info.value.args == (NO_STRUCT_NAME,)
    assert km.schema_exists(name) is False


# ------------------------------------------------------------ deep nesting

DEPTH = 100_000


def test_very_deep_array_name_round_trips(run_python):
    # Run in a child: a parser that recurses this deep would take the whole
    # test process down with it.
    proc = run_python(
        f"""
        import _korvex_messages as km
        n = {DEPTH}
        deep = "array<" * n + "int32" + ">" * n
        km.register_schema("deep", [("a", deep)])
        (field, back), = km.get_schema("deep")
        assert field == "a"
        assert back == deep, len(back)

        aliased = "array<" * n + "ros_string" + ">" * n
        km.register_schema("deep_alias", [("a", aliased)])
        assert km.get_schema("deep_alias")[0][1] == "array<" * n + "string" + ">" * n

        padded = "array<" * n + "struct: P " + ">" * n
        km.register_schema("deep_struct", [("a", padded)])
        assert km.get_schema("deep_struct")[0][1] == "array<" * n + "struct:P" + ">" * n

        # A printed name registers again to the same type.
        km.register_schema("deep_again", km.get_schema("deep"))
        assert km.get_schema("deep_again") == [("a", deep)]
        print("ok")
        """,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == "ok\n"


def test_very_deep_array_name_failures(run_python):
    proc = run_python(
        f"""
        import _korvex_messages as km
        n = {DEPTH}
        cases = [
            ("array<" * n + "foo" + ">" * n, TypeError,
             "Serialization failed: Unsupported field type 'foo'"),
            ("array<" * n + "int32" + ">" * (n - 1), TypeError,
             "Serialization failed: Unsupported field type 'array<int32'"),
            ("array<" * n + "int32" + ">" * (n + 1), TypeError,
             "Serialization failed: Unsupported field type 'int32>'"),
            ("array<" * n + ">" * n, TypeError,
             "Serialization failed: Unsupported field type ''"),
            ("array<" * n + "struct:\\u3000" + ">" * n, ValueError,
             "Schema definition error: Struct type must include a schema name"),
        ]
        for i, (text, exc_type, message) in enumerate(cases):
            try:
                km.register_schema("bad", [("a", text)])
            except exc_type as e:
                assert type(e) is exc_type, (i, type(e))
                assert e.args == (message,), (i, e.args)
            else:
                raise AssertionError(i)
            assert km.schema_exists("bad") is False
        print("ok")
        """,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == "ok\n"


# ------------------------------------------------------------ round trip

SIMPLE_CANONICAL = sorted(set(SIMPLE.values()))
_ALIASES = {}
for _text, _canon in SIMPLE.items():
    _ALIASES.setdefault(_canon, []).append(_text)

# Struct names: anything that has no White_Space at either end and is
# valid UTF-8 (no lone surrogates).
_name_chars = st.characters(blacklist_categories=("Cs",))
_struct_names = st.text(_name_chars, min_size=1, max_size=12).filter(
    lambda s: s[0] not in WHITE_SPACE and s[-1] not in WHITE_SPACE
)
_padding = st.text(st.sampled_from(WHITE_SPACE), max_size=3)


@st.composite
def _type_trees(draw):
    """Draw (spelling accepted by register_schema, canonical printed name)."""
    leaf = draw(st.sampled_from(["simple", "struct"]))
    if leaf == "simple":
        canon = draw(st.sampled_from(SIMPLE_CANONICAL))
        text = draw(st.sampled_from(_ALIASES[canon]))
    else:
        struct_name = draw(_struct_names)
        canon = "struct:" + struct_name
        text = "struct:" + draw(_padding) + struct_name + draw(_padding)
    for _ in range(draw(st.integers(0, 6))):
        text = f"array<{text}>"
        canon = f"array<{canon}>"
    return text, canon


@settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.lists(st.tuples(st.text(_name_chars, max_size=8), _type_trees()), max_size=6))
def test_printed_names_parse_back_to_the_same_type(unique_name, entries):
    first = unique_name("roundtrip")
    second = unique_name("roundtrip")
    km.register_schema(first, [(field, text) for field, (text, _) in entries])
    back = km.get_schema(first)
    assert back == [(field, canon) for field, (_, canon) in entries]
    # Printing is a fixed point: the canonical names register to the same types.
    km.register_schema(second, back)
    assert km.get_schema(second) == back
    km.unregister_schema(first)
    km.unregister_schema(second)
