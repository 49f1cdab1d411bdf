"""A topic of many ROS 2 recordings as one Dask DataFrame.

    from korvex_messages.ros2.dask import read_topic

    frame = read_topic(sorted(Path("runs").glob("*.mcap")), "/imu")
    frame["linear_acceleration"].struct.field("z").mean().compute()

Needs dask[dataframe] and pyarrow (pip install 'korvex-messages[dask]');
importing korvex_messages.ros2 does not import dask, and neither does this
module until read_topic is called.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from korvex_messages.ros2._scaleout import (
    Bound,
    Part,
    PathsArgument,
    Types,
    import_optional,
    make_plan,
    read_table,
)

__all__ = ["read_topic"]

_WHAT = "korvex_messages.ros2.dask.read_topic"


def _as_pickled(kind: Any, pa: Any) -> Any:
    """`kind` as it comes out of pickle: a fixed-size list's items nullable
    and named "item" (pyarrow 26 pickles only their type and the size).
    Partitions are pickled on their way between processes, so every frame
    has its columns in this form, wherever it was computed."""
    if pa.types.is_fixed_size_list(kind):
        return pa.list_(_as_pickled(kind.value_type, pa), kind.list_size)
    if pa.types.is_list(kind) or pa.types.is_large_list(kind):
        field = kind.value_field
        inner = field.with_type(_as_pickled(field.type, pa))
        return pa.large_list(inner) if pa.types.is_large_list(kind) else pa.list_(inner)
    if pa.types.is_struct(kind):
        return pa.struct([f.with_type(_as_pickled(f.type, pa)) for f in kind])
    return kind


def _frame(table: Any, pd: Any) -> Any:
    """A pyarrow Table as pandas, every column (and the log_time index)
    Arrow-backed."""
    pa = import_optional("pyarrow", "dask", _WHAT)
    schema = pa.schema([f.with_type(_as_pickled(f.type, pa)) for f in table.schema])
    if not schema.equals(table.schema):
        table = table.cast(schema)
    return table.to_pandas(types_mapper=pd.ArrowDtype).set_index("log_time")


@dataclass(frozen=True)
class _ReadPart:
    """Reads one part in a worker: a picklable callable, for dd.from_map."""

    topic: str
    flatten: bool
    types: Types
    schema: bytes  # Arrow IPC, Plan.columns

    def __call__(self, part: Part) -> Any:
        pd = import_optional("pandas", "dask", _WHAT)
        table = read_table(
            part.path, self.topic, part.start, part.end, self.flatten, self.types, self.schema
        )
        return _frame(table, pd)

    def __dask_tokenize__(self) -> Any:
        types: Any = self.types
        if isinstance(types, Mapping):
            types = sorted(types.items())
        elif types is not None:
            types = os.fspath(types)
        return (type(self).__name__, self.topic, self.flatten, types, self.schema)


def read_topic(
    paths: PathsArgument,
    topic: str,
    *,
    start: Bound = None,
    end: Bound = None,
    flatten: bool = False,
    types: Types = None,
    rows_per_partition: int | None = None,
) -> Any:
    """The topic's messages in [start, end) of every recording as one Dask
    DataFrame, indexed by `log_time`.

    `paths` is one recording or several (MCAP files, rosbag2 directories,
    `.db3` files), each a partition; with `rows_per_partition`, a file with
    more messages is cut into that many rows' worth of equal log-time
    slices.  The columns are those of `Recording.table` (nested messages as
    "outer.inner" with ``flatten=True``), as pandas ArrowDtype columns.
    `types` supplies definitions the recordings lack, as for open_recording:
    the workers open the files themselves, so the types this process has
    registered are not among their sources.

    The files are opened here once, for their inventory: each must hold the
    topic, with the same columns as the first.  When the files' log-time
    ranges do not overlap, the partitions are in time order and the
    divisions are known; otherwise the partitions follow `paths` and the
    divisions are unknown.
    """
    dd = import_optional("dask.dataframe", "dask", _WHAT)
    pd = import_optional("pandas", "dask", _WHAT)
    plan = make_plan(
        paths, topic, start=start, end=end, flatten=flatten, types=types,
        rows_per_part=rows_per_partition,
    )  # fmt: skip
    meta = _frame(plan.schema.empty_table(), pd)
    divisions = plan.divisions()
    if divisions is not None:
        divisions = [pd.Timestamp(value, unit="ns", tz="UTC") for value in divisions]
    return dd.from_map(
        _ReadPart(plan.topic, flatten, types, plan.columns),
        plan.parts,
        meta=meta,
        divisions=divisions,
        label="read-ros2-topic",
        enforce_metadata=False,
    )
