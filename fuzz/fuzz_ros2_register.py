#!/usr/bin/env python3
"""Fuzz target: korvex_messages.ros2.register_msg on hostile definition text.

Input: the `.msg` text of ROOT and of the types it uses (as a recording
stores it), decoded as UTF-8 with the undecodable bytes kept as lone
surrogates.  Oracle:

- register_msg returns the names it registered or raises
  MsgDefinitionError; any other exception (RecursionError, a bare
  ValueError, KeyError, ...) is a finding, and so is a hang (libFuzzer's
  -timeout: parsing is linear in the text);
- a refused text changes nothing: the registry lists the same types, and
  none of the types the text defines is known to the codec;
- a registered text's types are all registered, in the registry and in the
  codec, with the definitions parse_msg_text reads; ROOT's message of all
  zero bytes decodes to a dict or raises ValueError, and a dict it decodes
  to serializes back to bytes that decode to the same dict;
- removing what was registered (unregister with its dependants) restores
  the registry as it was.

    python3 -m fuzz.fuzz_ros2_register CORPUS_DIR [libFuzzer flags]

(from the checkout, or with the checkout on PYTHONPATH).
"""

import sys

import atheris  # libFuzzer's driver; also imported when replaying

ROOT = "fuzz_register_msgs/msg/Root"
# The header of a little-endian message, then zeros: every count and length
# zero, every number 0.
ZEROS = b"\x00\x01\x00\x00" + bytes(256)

_ready = None


def setup():
    """The public module and the native one (coverage bound once)."""
    global _ready
    if _ready is None:
        from fuzz.common import bind_native_coverage

        bind_native_coverage()
        from korvex_messages import ros2
        from korvex_messages.ros2 import _native as native

        _ready = ros2, native
    return _ready


def fail(what, text, detail):
    raise AssertionError("%s\n  text   %r\n  detail %r" % (what, text[:2000], detail))


def test_one_input(data):
    ros2, native = setup()
    text = data.decode("utf-8", "surrogateescape")
    before = ros2.registered()
    try:
        installed = ros2.register_msg(ROOT, text)
    except ros2.MsgDefinitionError as error:
        if ros2.registered() != before:
            fail("a refused text changed the registry", text, str(error))
        try:
            defined = [d.name for d in ros2.parse_msg_text(ROOT, text)]
        except ros2.MsgDefinitionError:
            return
        for name in defined:
            if name not in before and native.type_exists(name):
                fail("a refused text left a type in the codec", text, name)
        return
    defined = ros2.parse_msg_text(ROOT, text)
    for msgdef in defined:
        if ros2.definition(msgdef.name) != msgdef or not native.type_exists(msgdef.name):
            fail("a registered type is not as its text defines it", text, msgdef.name)
    if [n for n in ros2.registered() if n not in before] != installed:
        fail("register_msg returned other names than it registered", text, installed)
    try:
        decoded = ros2.deserialize(ROOT, ZEROS)
    except ValueError:
        decoded = None
    if decoded is not None:
        again = ros2.serialize(ROOT, decoded)
        if ros2.deserialize(ROOT, again) != decoded:
            fail("a decoded message did not round-trip", text, decoded)
    for name in reversed(installed):
        if ros2.is_registered(name):
            ros2.unregister(name, dependants=True)
    if ros2.registered() != before:
        fail("unregister did not restore the registry", text, ros2.registered())


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
