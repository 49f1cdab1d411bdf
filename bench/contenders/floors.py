"""Floors: the cost of the same job without any CDR at all.

marshal and pickle turn the very same dict into bytes and back; they show
what building or reading the Python objects costs in the fastest built-in
serializers.  Workloads can add their own floors (array.array for a float
array, a single copy for a byte payload).

The codec's own floor ("floor") is in bench/contenders/codec_floor.py.
"""

from __future__ import annotations

import marshal
import pickle

from bench.contenders import Contender, Prepared
from bench.workloads import Workload


class Marshal(Contender):
    name = "marshal"
    kind = "floor"

    def prepare(self, workload: Workload) -> list[Prepared]:
        data = marshal.dumps(workload.message)
        return [
            Prepared(
                self.name,
                marshal.dumps,
                (workload.message,),
                marshal.loads,
                (data,),
                produces_cdr=False,
            )
        ]


class Pickle(Contender):
    name = "pickle"
    kind = "floor"

    def prepare(self, workload: Workload) -> list[Prepared]:
        protocol = pickle.HIGHEST_PROTOCOL
        data = pickle.dumps(workload.message, protocol)
        return [
            Prepared(
                self.name,
                pickle.dumps,
                (workload.message, protocol),
                pickle.loads,
                (data,),
                produces_cdr=False,
            )
        ]


class WorkloadFloors(Contender):
    """The floors a workload brings along (see `Workload.extra_floors`)."""

    name = "workload floors"
    kind = "floor"

    def prepare(self, workload: Workload) -> list[Prepared]:
        prepared = []
        for label, encode, encode_arg, decode, decode_arg in workload.extra_floors:
            (field_name,) = workload.message  # these floors cover single-field messages
            prepared.append(
                Prepared(
                    label,
                    encode,
                    (encode_arg,),
                    decode,
                    (decode_arg,),
                    produces_cdr=False,
                    logical_part=lambda message, key=field_name: message[key],
                )
            )
        return prepared


CONTENDERS = [Marshal(), Pickle(), WorkloadFloors()]
