"""Which value serialize takes for a field, whatever objects the dict's keys are.

The encoder walks a dict's entries by key identity and falls back to the
dict's own lookup; where it cannot intern its keys it may take over an
interned key equal to its own.  Either way the value taken must be the one a
plain lookup by the field's name gives, call after call, for every key that
keeps the dict's contract, and the one a lookup by the codec's own key object
gives even for a key whose __eq__ singles out one str object.
"""

import sys

import pytest

import _korvex_messages as km
from tests.support.cdr import HEADER, u32

FIELDS = [("alpha", "int32"), ("beta", "int32"), ("gamma", "int32")]
VALUES = {"alpha": 1, "beta": 2, "gamma": 3}
EXPECTED = HEADER + u32(1) + u32(2) + u32(3)


class StrSubclassKey(str):
    """An equal str of another type: found by lookup, never by identity."""


def fresh(text):
    """An equal str that is not the interned one."""
    return "".join(list(text))


def literal_keys(decoded):
    return {"alpha": 1, "beta": 2, "gamma": 3}


def interned_keys(decoded):
    return {sys.intern(fresh(k)): v for k, v in VALUES.items()}


def fresh_keys(decoded):
    return {fresh(k): v for k, v in VALUES.items()}


def subclass_keys(decoded):
    return {StrSubclassKey(k): v for k, v in VALUES.items()}


def decoded_keys(decoded):
    return {k: VALUES[k] for k in decoded}


def reversed_literal_keys(decoded):
    return dict(reversed(list(literal_keys(decoded).items())))


def mixed_keys(decoded):
    return {"alpha": 1, fresh("beta"): 2, StrSubclassKey("gamma"): 3}


def with_deleted_entry(decoded):
    d = {"zeta": 0, "alpha": 1, "beta": 2}
    del d["zeta"]
    d["gamma"] = 3
    return d


def extra_keys_between(decoded):
    return {"alpha": 1, "x": 9, "beta": 2, "y": 9, "gamma": 3}


BUILDERS = [
    literal_keys,
    interned_keys,
    fresh_keys,
    subclass_keys,
    decoded_keys,
    reversed_literal_keys,
    mixed_keys,
    with_deleted_entry,
    extra_keys_between,
]


@pytest.mark.parametrize("nested", [False, True], ids=["top", "nested"])
def test_every_kind_of_key_gives_the_value_a_lookup_gives(schema, nested):
    inner = schema(FIELDS, prefix="inner")
    outer = schema([("s", "struct:" + inner)], prefix="outer") if nested else inner
    wrap = (lambda d: {"s": d}) if nested else (lambda d: d)
    # The same builders in turn, twice over, so that each meets the codec
    # both before and after whatever keys it may have taken over.
    for _round in range(2):
        for build in BUILDERS:
            decoded = km.deserialize(inner, EXPECTED)
            assert decoded == VALUES
            for _ in range(3):
                assert km.serialize(outer, wrap(build(decoded))) == EXPECTED, build.__name__
            assert km.deserialize(outer, km.serialize(outer, wrap(build(decoded)))) == wrap(VALUES)


class SinglesOut:
    """Equal, with the same hash, to one particular object only: equality
    that is not transitive, so a dict can hold it beside an equal str."""

    def __init__(self, target):
        self.target = target

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        return other is self.target


def codec_key(name):
    """The key object the codec stores the field under now."""
    (key,) = km.deserialize(name, HEADER + u32(0))
    return key


def dicts_with_trap(target, literal):
    """Dicts holding both `literal` and a key that singles out `target`,
    built in the orders that put either first by position or in the
    lookup's probe sequence."""
    trap_first = {SinglesOut(target): 20, literal: 10}
    literal_first = {literal: 10, SinglesOut(target): 20}
    reused_slot = {"placeholder": 0}
    del reused_slot["placeholder"]
    reused_slot[literal] = 10
    reused_slot[SinglesOut(target)] = 20
    # A colliding entry removed before the trap goes in, so the trap can take
    # a probe slot ahead of the literal while it follows it by position.
    probe_first = {}
    probe_first[CollidingPlaceholder(literal)] = 0
    probe_first[literal] = 10
    del probe_first[next(iter(probe_first))]
    probe_first[SinglesOut(target)] = 20
    return [trap_first, literal_first, reused_slot, probe_first]


class CollidingPlaceholder:
    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("which", ["codec key", "literal"])
def test_a_key_singling_out_one_str_gets_the_lookup_by_the_codecs_own_key(schema, which):
    name = schema([("alpha", "int32")])
    literal = "alpha"
    for _ in range(3):
        target = codec_key(name) if which == "codec key" else literal
        for d in dicts_with_trap(target, literal):
            try:
                got = km.deserialize(name, km.serialize(name, d))["alpha"]
            except TypeError as e:
                got = str(e)
            # The codec's key after the call is the one it looked up by.
            try:
                expected = dict.__getitem__(d, codec_key(name))
            except KeyError:
                expected = "Serialization failed: Missing field 'alpha'"
            assert got == expected


def test_decoded_dicts_round_trip_after_literal_dicts(schema):
    name = schema(FIELDS)
    before = km.deserialize(name, EXPECTED)
    for _ in range(3):
        assert km.serialize(name, dict(VALUES)) == EXPECTED
    after = km.deserialize(name, EXPECTED)
    for decoded in (before, after):
        assert km.serialize(name, decoded) == EXPECTED
        assert km.serialize(name, {**decoded}) == EXPECTED
