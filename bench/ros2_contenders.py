"""Contenders of the ROS 2 benchmark (bench/ros2.py).

Each turns a workload into `Prepared` calls (bench/contenders), built and
warmed outside the timed region, with `mode` telling which of our two rows
its ratios are read against for the targets:

- "list": the peer takes and returns lists (and bytes for uint8[]), as our
  default mode;
- "numpy": the peer takes or returns arrays for primitive arrays, as our
  numpy mode (``deserialize(..., numpy=True)``, numpy arrays as input).

Each contender also knows how to turn what it decoded back into our
list-mode dict, which the check compares with the workload's message.
"""

from __future__ import annotations

import itertools
import types
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from bench.contenders import Prepared
from bench.ros2_workloads import Ros2Workload, attributes_to_dict, to_rosbags
from tests.support import ros2 as r2

OURS_LIST = "ours (list)"
OURS_NUMPY = "ours (numpy)"


@dataclass
class Ros2Prepared:
    calls: Prepared
    mode: str  # "list" or "numpy"
    # What the decode call returned, as our list-mode dict.
    to_dict: Callable[[Any], dict]
    # False for msgspec, whose bytes are MessagePack, not CDR.
    produces_cdr: bool = True


def _version(distribution: str) -> str:
    from importlib.metadata import version

    return version(distribution)


class Ours:
    name = "ours"

    def load(self) -> None:
        from korvex_messages import ros2

        self.ros2 = ros2

    def version(self) -> str:
        from korvex_messages.ros2 import _native

        return _native.__file__

    def prepare(self, w: Ros2Workload) -> list[Ros2Prepared]:
        self.ros2.register_msg(w.type_name, w.text)
        serialize, deserialize = self.ros2.serialize, self.ros2.deserialize
        data = serialize(w.type_name, w.message)
        return [
            Ros2Prepared(
                Prepared(
                    OURS_LIST,
                    serialize,
                    (w.type_name, w.message),
                    deserialize,
                    (w.type_name, data),
                ),
                "list",
                lambda value: value,
            ),
            Ros2Prepared(
                Prepared(
                    OURS_NUMPY,
                    serialize,
                    (w.type_name, w.numpy_message),
                    deserialize,
                    (w.type_name, data),
                    decode_kwargs={"numpy": True},
                ),
                "numpy",
                # Checked against rosbags' arrays in the check itself; here
                # its plain form, for the comparison with the message.
                lambda value, name=w.type_name: _numpy_to_list(name, value),
            ),
        ]


def _numpy_to_list(name: str, value: dict) -> dict:
    """Our numpy-mode dict in list mode: arrays to lists, octets to bytes."""
    import numpy as np

    def plain(v):
        if isinstance(v, np.ndarray):
            return v.tobytes() if v.dtype == np.uint8 else v.tolist()
        if isinstance(v, dict):
            return {k: plain(x) for k, x in v.items()}
        if isinstance(v, list):
            return [plain(x) for x in v]
        return v

    return plain(value)


class Rosbags:
    name = "rosbags"
    representation = (
        "typestore.serialize_cdr / deserialize_cdr (ROS2_HUMBLE store): generated dataclasses, "
        "numpy arrays for every primitive array (uint8[] too) in and out; serializes to a "
        "memoryview"
    )

    def load(self) -> None:
        import rosbags  # noqa: F401

    def version(self) -> str:
        return _version("rosbags")

    def prepare(self, w: Ros2Workload) -> list[Ros2Prepared]:
        store = r2.typestore()
        message = to_rosbags(w.type_name, w.numpy_message)
        data = bytes(store.serialize_cdr(message, w.type_name, little_endian=True))
        return [
            Ros2Prepared(
                Prepared(
                    self.name,
                    store.serialize_cdr,
                    (message, w.type_name),
                    store.deserialize_cdr,
                    (data, w.type_name),
                    # Little-endian as ours on every host (its default is the host's order).
                    encode_kwargs={"little_endian": True},
                ),
                "numpy",
                lambda value: r2.as_dict(value),
            )
        ]


class McapRos2:
    name = "mcap-ros2"
    representation = (
        "mcap_ros2._dynamic serialize_dynamic / generate_dynamic: takes the same dicts; "
        "decodes to generated attribute objects with lists, and bytes for uint8[]"
    )

    def load(self) -> None:
        from mcap_ros2._dynamic import generate_dynamic, serialize_dynamic

        self.generate_dynamic = generate_dynamic
        self.serialize_dynamic = serialize_dynamic

    def version(self) -> str:
        return _version("mcap-ros2-support")

    def prepare(self, w: Ros2Workload) -> list[Ros2Prepared]:
        encode = self.serialize_dynamic(w.type_name, w.text)[w.type_name]
        decode = self.generate_dynamic(w.type_name, w.text)[w.type_name]
        data = encode(w.message)
        return [
            Ros2Prepared(
                Prepared(self.name, encode, (w.message,), decode, (data,)),
                "list",
                lambda value, name=w.type_name: attributes_to_dict(name, value),
            )
        ]


class McapRos2Fast:
    name = "mcap-ros2-fast"
    representation = (
        "mcap_ros2_support_fast ROS2EncoderFactory / DecoderFactory (generated Python code): "
        "takes dicts, with lists or numpy arrays; serializes to a memoryview; decodes to "
        "attribute objects whose numeric arrays are memoryviews cast over the input (no "
        "copy), uint8[] slices of it"
    )

    def load(self) -> None:
        from mcap_ros2_support_fast import DecoderFactory, ROS2EncoderFactory

        self.encoders = ROS2EncoderFactory()
        self.decoders = DecoderFactory()
        # The decoder factory caches by schema id, as an MCAP file numbers them.
        self.ids = itertools.count(1)

    def version(self) -> str:
        return _version("mcap-ros2-support-fast")

    def prepare(self, w: Ros2Workload) -> list[Ros2Prepared]:
        # The factories' public entry points, as an MCAP reader or writer calls them.
        schema = types.SimpleNamespace(
            id=next(self.ids),
            name=w.type_name,
            encoding="ros2msg",
            data=w.text.encode(),
        )
        encode = self.encoders.encoder_for(schema)
        decode = self.decoders.decoder_for("cdr", schema)
        data = bytes(encode(w.message))

        def to_dict(value, name=w.type_name):
            return attributes_to_dict(name, value)

        rows = [
            Ros2Prepared(
                Prepared(self.name, encode, (w.message,), decode, (data,)), "list", to_dict
            )
        ]
        if w.has_numeric_arrays:
            # Its encoder's fast path for arrays; its decoder is the same.
            rows.append(
                Ros2Prepared(
                    Prepared(
                        f"{self.name} (numpy in)", encode, (w.numpy_message,), decode, (data,)
                    ),
                    "numpy",
                    to_dict,
                )
            )
        return rows


class Msgspec:
    name = "msgspec"
    representation = "msgspec.msgpack Encoder().encode / Decoder().decode of the same dicts"

    def load(self) -> None:
        import msgspec

        self.msgspec = msgspec

    def version(self) -> str:
        return _version("msgspec")

    def prepare(self, w: Ros2Workload) -> list[Ros2Prepared]:
        encoder = self.msgspec.msgpack.Encoder()
        decoder = self.msgspec.msgpack.Decoder()
        data = encoder.encode(w.message)
        return [
            Ros2Prepared(
                Prepared(self.name, encoder.encode, (w.message,), decoder.decode, (data,)),
                "list",
                lambda value: value,
                produces_cdr=False,
            )
        ]


PEERS = [Rosbags, McapRos2, McapRos2Fast, Msgspec]
