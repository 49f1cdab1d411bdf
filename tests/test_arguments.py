"""Argument matching and conversion shared by the six exported functions."""

import collections
import types

import pytest

import _korvex_messages as km
from tests.support.cdr import HEADER
from tests.support.checks import raises_exact
from tests.support.contract import PARAMETERS
from tests.support.values import BrokenQualname, ListSub, Outer

# The type each parameter must be, and a valid value for it.
TARGET = {
    "name": "str",
    "schema_name": "str",
    "fields": "list",
    "values": "dict",
    "data": "bytes",
}
GOOD = {"name": "x", "schema_name": "x", "fields": [], "values": {}, "data": HEADER}
ALL = list(PARAMETERS)
ONE_PARAM = [f for f in ALL if len(PARAMETERS[f]) == 1]
TWO_PARAM = [f for f in ALL if len(PARAMETERS[f]) == 2]


def func(fname):
    return getattr(km, fname)


def good_args(fname):
    return [GOOD[p] for p in PARAMETERS[fname]]


def raises_type_error(call, message):
    return raises_exact(TypeError, message, call)


class Renamed:
    pass


Renamed.__qualname__ = "Shown.Instead"


# ---------------------------------------------------------------- matching


@pytest.mark.parametrize("extra", [1, 2])
@pytest.mark.parametrize("fname", ALL)
def test_too_many_positional(fname, extra):
    n = len(PARAMETERS[fname])
    args = good_args(fname) + [0] * extra
    raises_type_error(
        lambda: func(fname)(*args),
        f"{fname}() takes {n} positional arguments but {n + extra} were given",
    )


@pytest.mark.parametrize("fname", ALL)
def test_positional_count_beats_keywords(fname):
    n = len(PARAMETERS[fname])
    args = good_args(fname) + [None]
    message = f"{fname}() takes {n} positional arguments but {n + 1} were given"
    # An unknown keyword, and one naming an already filled parameter, are
    # not looked at.
    raises_type_error(lambda: func(fname)(*args, value=1), message)
    raises_type_error(lambda: func(fname)(*args, **{PARAMETERS[fname][0]: "y"}), message)


@pytest.mark.parametrize("fname", ALL)
@pytest.mark.parametrize(
    "keyword",
    ["value", "Name", "NAME", "name ", "name\x00", "näme", "\u540d\u524d", "\U0001f600", ""],
)
def test_unexpected_keyword(fname, keyword):
    kwargs = {keyword: 1}
    raises_type_error(
        lambda: func(fname)(*good_args(fname), **kwargs),
        f"{fname}() got an unexpected keyword argument '{keyword}'",
    )


@pytest.mark.parametrize("fname", ALL)
def test_unexpected_keyword_not_valid_text(fname):
    # A keyword that has no UTF-8 form still gives the unexpected-keyword
    # error (not an encoding error); the part that cannot be encoded is
    # either kept or shown as replacement characters.
    kwargs = {"bad\ud800z": 1}
    with pytest.raises(TypeError) as info:
        func(fname)(*good_args(fname), **kwargs)
    exc = info.value
    assert type(exc) is TypeError
    assert len(exc.args) == 1
    prefix = f"{fname}() got an unexpected keyword argument 'bad"
    text = exc.args[0]
    assert text.startswith(prefix) and text.endswith("z'")
    middle = text[len(prefix) : -2]
    assert middle == "\ud800" or (middle and set(middle) == {"\ufffd"}), ascii(text)


@pytest.mark.parametrize("fname", ALL)
def test_unexpected_keyword_beats_missing_arguments(fname):
    raises_type_error(
        lambda: func(fname)(bogus=1),
        f"{fname}() got an unexpected keyword argument 'bogus'",
    )


@pytest.mark.parametrize("fname", ALL)
def test_multiple_values(fname):
    first = PARAMETERS[fname][0]
    raises_type_error(
        lambda: func(fname)(GOOD[first], **{first: "y"}),
        f"{fname}() got multiple values for argument '{first}'",
    )


@pytest.mark.parametrize("fname", TWO_PARAM)
def test_multiple_values_for_second_parameter(fname):
    p0, p1 = PARAMETERS[fname]
    raises_type_error(
        lambda: func(fname)(GOOD[p0], GOOD[p1], **{p1: GOOD[p1]}),
        f"{fname}() got multiple values for argument '{p1}'",
    )


def test_keywords_are_checked_in_the_order_given():
    raises_type_error(
        lambda: km.serialize("x", schema_name="y", bogus=1),
        "serialize() got multiple values for argument 'schema_name'",
    )
    raises_type_error(
        lambda: km.serialize("x", bogus=1, schema_name="y"),
        "serialize() got an unexpected keyword argument 'bogus'",
    )
    raises_type_error(
        lambda: km.deserialize(**{"zz": 1, "yy": 2}),
        "deserialize() got an unexpected keyword argument 'zz'",
    )


@pytest.mark.parametrize("fname", ONE_PARAM)
def test_missing_one_of_one(fname):
    raises_type_error(
        lambda: func(fname)(),
        f"{fname}() missing 1 required positional argument: 'name'",
    )


@pytest.mark.parametrize("fname", TWO_PARAM)
def test_missing_arguments_of_two_parameter_functions(fname):
    p0, p1 = PARAMETERS[fname]
    raises_type_error(
        lambda: func(fname)(),
        f"{fname}() missing 2 required positional arguments: '{p0}' and '{p1}'",
    )
    raises_type_error(
        lambda: func(fname)(GOOD[p0]),
        f"{fname}() missing 1 required positional argument: '{p1}'",
    )
    raises_type_error(
        lambda: func(fname)(**{p0: GOOD[p0]}),
        f"{fname}() missing 1 required positional argument: '{p1}'",
    )
    raises_type_error(
        lambda: func(fname)(**{p1: GOOD[p1]}),
        f"{fname}() missing 1 required positional argument: '{p0}'",
    )


def test_listed_examples():
    raises_type_error(
        lambda: km.serialize("pose"),
        "serialize() missing 1 required positional argument: 'values'",
    )
    raises_type_error(
        lambda: km.deserialize(),
        "deserialize() missing 2 required positional arguments: 'schema_name' and 'data'",
    )
    raises_type_error(
        lambda: km.get_schema("a", "b"),
        "get_schema() takes 1 positional arguments but 2 were given",
    )
    raises_type_error(
        lambda: km.serialize("pose", schema_name="x"),
        "serialize() got multiple values for argument 'schema_name'",
    )
    raises_type_error(
        lambda: km.serialize("pose", {}, value=1),
        "serialize() got an unexpected keyword argument 'value'",
    )


def test_matching_happens_before_conversion():
    # A missing argument is reported even when the given one has a bad type.
    raises_type_error(
        lambda: km.serialize(None),
        "serialize() missing 1 required positional argument: 'values'",
    )
    raises_type_error(
        lambda: km.get_schema(1, 2),
        "get_schema() takes 1 positional arguments but 2 were given",
    )


# -------------------------------------------------------------- conversion

WRONG_VALUES = [
    (0, "int"),
    (True, "bool"),
    (1.5, "float"),
    (b"x", "bytes"),
    (bytearray(b"x"), "bytearray"),
    (memoryview(b"x"), "memoryview"),
    (("a", "int32"), "tuple"),
    ([], "list"),
    ({}, "dict"),
    ("s", "str"),
    (collections.UserDict(), "UserDict"),
    (collections.UserList(), "UserList"),
    (collections.UserString("s"), "UserString"),
    (types.MappingProxyType({}), "mappingproxy"),
    (frozenset(), "frozenset"),
    (Outer(), "Outer"),
    (Outer.Inner(), "Outer.Inner"),
    (Renamed(), "Shown.Instead"),
    (BrokenQualname(), "<failed to extract type name>"),
    (object(), "object"),
    (int, "type"),
]


def wrong_cases():
    for fname in ALL:
        for index, param in enumerate(PARAMETERS[fname]):
            for value, qualname in WRONG_VALUES:
                if qualname == TARGET[param]:
                    continue
                yield pytest.param(fname, index, value, qualname, id=f"{fname}-{param}-{qualname}")


@pytest.mark.parametrize("fname,index,value,qualname", list(wrong_cases()))
def test_wrong_type(fname, index, value, qualname):
    param = PARAMETERS[fname][index]
    args = good_args(fname)
    args[index] = value
    message = f"argument '{param}': '{qualname}' object is not an instance of '{TARGET[param]}'"
    raises_type_error(lambda: func(fname)(*args), message)
    # Same result when passed by keyword.
    kwargs = dict(zip(PARAMETERS[fname], args))
    raises_type_error(lambda: func(fname)(**kwargs), message)


def test_local_class_qualname():
    class Local:
        pass

    raises_type_error(
        lambda: km.schema_exists(Local()),
        "argument 'name': "
        "'test_local_class_qualname.<locals>.Local' object is not an instance of 'str'",
    )


@pytest.mark.parametrize("fname,index", [(f, i) for f in ALL for i in range(len(PARAMETERS[f]))])
def test_none(fname, index):
    param = PARAMETERS[fname][index]
    args = good_args(fname)
    args[index] = None
    raises_type_error(
        lambda: func(fname)(*args),
        f"argument '{param}': 'None' is not an instance of '{TARGET[param]}'",
    )


def test_first_parameter_is_converted_first():
    raises_type_error(
        lambda: km.serialize(1, []),
        "argument 'schema_name': 'int' object is not an instance of 'str'",
    )
    raises_type_error(
        lambda: km.register_schema(None, None),
        "argument 'name': 'None' is not an instance of 'str'",
    )
    # Keyword order does not change the conversion order.
    raises_type_error(
        lambda: km.deserialize(data=bytearray(), schema_name=b"x"),
        "argument 'schema_name': 'bytes' object is not an instance of 'str'",
    )


def test_listed_conversion_examples():
    raises_type_error(
        lambda: km.serialize("pose", []),
        "argument 'values': 'list' object is not an instance of 'dict'",
    )
    raises_type_error(
        lambda: km.serialize(None, {}),
        "argument 'schema_name': 'None' is not an instance of 'str'",
    )
    raises_type_error(
        lambda: km.register_schema("p", ("a", "int32")),
        "argument 'fields': 'tuple' object is not an instance of 'list'",
    )
    raises_type_error(
        lambda: km.deserialize("pose", bytearray(b"\x00\x01\x00\x00")),
        "argument 'data': 'bytearray' object is not an instance of 'bytes'",
    )


def test_argument_error_runs_no_body(unique_name):
    name = unique_name("argerr")
    with pytest.raises(TypeError):
        km.register_schema(name, [("a", "int32")], None)
    with pytest.raises(TypeError):
        km.register_schema(name, (("a", "int32"),))
    with pytest.raises(TypeError):
        km.register_schema(name, fields=[("a", "int32")], bogus=1)
    assert km.schema_exists(name) is False
    km.register_schema(name, [])
    with pytest.raises(TypeError):
        km.unregister_schema(name, name)
    with pytest.raises(TypeError):
        km.unregister_schema(name=name, other=1)
    assert km.schema_exists(name) is True


# ------------------------------------------------------ lone surrogates


SURROGATE_NAMES = ["\ud800", "abc\udfff", "\udc80x"]


def _encode_error(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        return e
    raise AssertionError("expected an encode error")


@pytest.mark.parametrize("text", SURROGATE_NAMES)
@pytest.mark.parametrize("fname", ALL)
def test_lone_surrogate_name(fname, text):
    expected = _encode_error(text)
    args = good_args(fname)
    args[0] = text
    with pytest.raises(UnicodeEncodeError) as info:
        func(fname)(*args)
    exc = info.value
    assert type(exc) is UnicodeEncodeError
    assert exc.args == expected.args
    assert str(exc) == str(expected)
    assert not str(exc).startswith("argument")


def test_lone_surrogate_checked_before_second_parameter():
    with pytest.raises(UnicodeEncodeError):
        km.serialize("\ud800", [])
    with pytest.raises(UnicodeEncodeError):
        km.register_schema("\ud800", None)


# ---------------------------------------------------------- subclasses


# Subclasses whose overridden methods lie or raise: the functions must read
# the underlying str, dict or bytes, never call these (the plain subclasses
# are in tests/support/values.py).


class MisleadingStr(str):
    def __str__(self):
        return "not-this"

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 0

    def encode(self, *args, **kwargs):
        return b"not-this"


class UnreadableDict(dict):
    def __getitem__(self, key):
        raise AssertionError("must not be used")


class MisleadingBytes(bytes):
    def __bytes__(self):
        return b"not-this"


def test_str_subclass_accepted_everywhere(unique_name):
    name = unique_name("strsub")
    sub = MisleadingStr(name)
    assert km.register_schema(sub, []) is None
    assert km.schema_exists(name) is True
    assert km.schema_exists(sub) is True
    assert km.get_schema(sub) == []
    assert km.serialize(sub, {}) == HEADER
    assert km.deserialize(sub, HEADER) == {}
    assert km.unregister_schema(sub) is None
    assert km.schema_exists(name) is False
    # The KeyError carries a plain str made from the text.
    with pytest.raises(KeyError) as info:
        km.get_schema(sub)
    assert info.value.args == (name,)
    assert type(info.value.args[0]) is str


@pytest.mark.parametrize(
    "values",
    [
        collections.OrderedDict(),
        UnreadableDict(),
        collections.defaultdict(int),
        collections.Counter(),
    ],
    ids=["OrderedDict", "UnreadableDict", "defaultdict", "Counter"],
)
def test_dict_subclass_accepted(unique_name, values):
    name = unique_name("dictsub")
    km.register_schema(name, [])
    assert km.serialize(name, values) == HEADER
    assert km.serialize(values=values, schema_name=name) == HEADER


def test_list_subclass_accepted(unique_name):
    name = unique_name("listsub")
    assert km.register_schema(name, ListSub([("a", "int16")])) is None
    assert km.get_schema(name) == [("a", "int16")]


def test_bytes_subclass_accepted(unique_name):
    name = unique_name("bytessub")
    km.register_schema(name, [])
    assert km.deserialize(name, MisleadingBytes(HEADER)) == {}
    assert km.deserialize(data=MisleadingBytes(HEADER), schema_name=name) == {}


@pytest.mark.parametrize(
    "data",
    [bytearray(HEADER), memoryview(HEADER), memoryview(bytearray(HEADER))],
    ids=["bytearray", "memoryview-bytes", "memoryview-bytearray"],
)
def test_buffer_objects_refused(unique_name, data):
    name = unique_name("buffer")
    km.register_schema(name, [])
    raises_type_error(
        lambda: km.deserialize(name, data),
        f"argument 'data': '{type(data).__qualname__}' object is not an instance of 'bytes'",
    )


# -------------------------------------------------------- keyword use


def test_keyword_and_mixed_calls(unique_name):
    name = unique_name("mixed")
    assert km.register_schema(name, fields=[("v", "uint16")]) is None
    assert km.schema_exists(name=name) is True
    assert km.get_schema(name=name) == [("v", "uint16")]
    assert km.serialize(name, values={"v": 258}) == HEADER + b"\x02\x01"
    assert km.serialize(values={"v": 258}, schema_name=name) == HEADER + b"\x02\x01"
    assert km.deserialize(name, data=HEADER + b"\x02\x01") == {"v": 258}
    assert km.deserialize(data=HEADER + b"\x02\x01", schema_name=name) == {"v": 258}
    assert km.unregister_schema(name=name) is None
