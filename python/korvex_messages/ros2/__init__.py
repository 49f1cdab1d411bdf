"""Standard ROS 2 CDR for message dicts, registered from `.msg` definitions.

    from korvex_messages import ros2

    ros2.register_msg("geometry_msgs/msg/PoseStamped", text)  # text as MCAP/rosbag2 store it
    data = ros2.serialize("geometry_msgs/msg/PoseStamped", message)
    message = ros2.deserialize("geometry_msgs/msg/PoseStamped", data)

The codec is `_korvex_messages` compiled for ROS 2's plain CDR as rmw writes
it (alignment counted after the 4-byte header, one zero octet for a message
without fields), with a registry of its own: types registered here are not
schemas of `_korvex_messages`, and the other way round.

- `serialize(type_name, values)` takes a dict in field order; arrays of uint8
  and byte as any bytes-like object, other numeric arrays as lists or as a
  buffer of exactly their element type (numpy arrays, array.array).
- `deserialize(type_name, data, *, numpy=False)` takes any contiguous buffer
  (bytes, bytearray, memoryview, mmap), little- or big-endian.  Arrays of
  uint8 and byte come back as bytes, other numeric arrays as lists; with
  ``numpy=True`` every numeric array (octets as uint8) is a numpy array that
  owns a writable copy of its elements.
- Malformed input raises ValueError naming the field and the offset; a value
  that does not fit its field raises TypeError naming its path; an
  unregistered type a KeyError.  A field missing from the dict is an error even where the `.msg`
  declares a default.
- `open_recording(path, *, types=None)` reads an MCAP file, a rosbag2
  directory or a `.db3` file topic by topic (`Recording.topics`,
  `.messages()`, `.table()`, `.batches()`); the definitions it registers are
  the recording's own, under private names, removed again on close.
- `korvex_messages.ros2.dask.read_topic` and `korvex_messages.ros2.ray.read_topic`
  read a topic of many recordings as one Dask DataFrame or Ray Dataset, each
  worker opening its files itself (dask and ray are imported on first use).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from korvex_messages.ros2._msgdef import (
    ConstantDef,
    FieldDef,
    MsgDef,
    MsgDefinitionError,
    normalize_type_name,
    parse_msg_text,
)
from korvex_messages.ros2._registry import Ros2Registry

from . import _native


class _NativeInstaller:
    """Hands parsed types to the native registry, which takes or removes a
    whole list at once."""

    def install(self, types: list[tuple[str, list[tuple[str, str]]]]) -> list[bool]:
        return _native.register_types(types)

    def remove(self, names: list[str]) -> None:
        _native.unregister_types(names)


_registry = Ros2Registry(_NativeInstaller())

register_msg = _registry.register_msg
unregister = _registry.unregister
constants = _registry.constants
definition = _registry.definition
registered = _registry.registered
is_registered = _registry.is_registered

# The native functions themselves: nothing in Python between the caller and
# the codec.
serialize = _native.serialize
deserialize = _native.deserialize
decode_table = _native.decode_table
encode_table = _native.encode_table
Table = _native.Table


# mcap is optional: with it installed, DecoderFactory is one of mcap's
# decoder factories (and typed as one); without it, the same class stands
# alone, for readers that only call decoder_for.
if TYPE_CHECKING:
    from mcap.decoder import DecoderFactory as _McapDecoderFactory
else:
    try:
        from mcap.decoder import DecoderFactory as _McapDecoderFactory
    except ImportError:
        _McapDecoderFactory = object


class DecoderFactory(_McapDecoderFactory):
    """Decodes the `cdr` messages of `ros2msg` schemas in MCAP files to dicts.

        from mcap.reader import make_reader
        reader = make_reader(stream, decoder_factories=[ros2.DecoderFactory()])
        for schema, channel, message, decoded in reader.iter_decoded_messages():
            ...

    Each schema's text (the type and its dependencies, as MCAP stores them) is
    registered on first sight; a schema whose definition differs from a type
    already registered under its name raises MsgDefinitionError, and so does
    one whose data is not UTF-8 text, or is empty while the type is not
    registered (a recording written without definitions).  For any
    other encoding `decoder_for` returns None, so that other factories can
    take the channel.
    """

    def __init__(self, numpy: bool = False) -> None:
        if not isinstance(numpy, bool):
            raise TypeError(f"DecoderFactory: numpy must be a bool, not {type(numpy).__name__}")
        self._numpy = numpy

    def decoder_for(
        self, message_encoding: str, schema: Any | None
    ) -> Callable[[bytes], Any] | None:
        if message_encoding != "cdr" or schema is None or schema.encoding != "ros2msg":
            return None
        name = normalize_type_name(schema.name)
        schema_id = getattr(schema, "id", None)
        what = f"MCAP schema {schema.name!r}" + ("" if schema_id is None else f" (id {schema_id})")
        try:
            text = bytes(schema.data).decode("utf-8")
        except UnicodeDecodeError as error:
            raise MsgDefinitionError(
                f"{what}: the definition is not UTF-8 text ({error.reason} at byte {error.start})"
            ) from None
        if not text.strip():
            # A recording without the definition: a type it names is usable
            # only if this process knows it already.
            if not is_registered(name):
                raise MsgDefinitionError(
                    f"{what}: the recording holds no definition of {name}, and it is not"
                    " registered in this process"
                )
        else:
            register_msg(name, text)
        numpy = self._numpy

        def decode(data: bytes) -> dict[str, Any]:
            return deserialize(name, data, numpy=numpy)

        return decode


# Recordings import the registry's functions above lazily, so they come last.
from korvex_messages.ros2._definitions import MissingDefinitionsError  # noqa: E402
from korvex_messages.ros2._mcap_file import RecordingCutShort, RecordingError  # noqa: E402
from korvex_messages.ros2._recording import Recording, TopicInfo, open_recording  # noqa: E402


def __getattr__(name: str) -> Any:
    # The scale-out readers, korvex_messages.ros2.dask and .ray, are imported
    # on first use only: neither dask nor ray is imported with this package.
    if name in ("dask", "ray"):
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "ConstantDef",
    "Table",
    "DecoderFactory",
    "FieldDef",
    "MsgDef",
    "MissingDefinitionsError",
    "MsgDefinitionError",
    "Recording",
    "RecordingCutShort",
    "RecordingError",
    "TopicInfo",
    "constants",
    "decode_table",
    "definition",
    "encode_table",
    "deserialize",
    "is_registered",
    "normalize_type_name",
    "open_recording",
    "parse_msg_text",
    "register_msg",
    "registered",
    "serialize",
    "unregister",
]
