"""A topic of many ROS 2 recordings as one Ray Dataset.

    from korvex_messages.ros2.ray import read_topic

    dataset = read_topic(sorted(Path("runs").glob("*.mcap")), "/imu")
    dataset.count()

Each file is one read task, which opens it in a Ray worker and yields its
messages as pyarrow Tables of a batch's size each (`Recording.batches`).
Needs ray[data] (pip install 'korvex-messages[ray]'); importing
korvex_messages.ros2 does not import ray, and neither does this module
until read_topic is called or RecordingDatasource is looked up.
"""

from __future__ import annotations

import functools
from typing import Any

from korvex_messages.ros2._scaleout import (
    Bound,
    PathsArgument,
    Plan,
    Types,
    import_optional,
    make_plan,
    read_blocks,
)

# RecordingDatasource is here too, made when first looked up (it subclasses
# ray's Datasource); `import *` takes only read_topic, so imports no ray.
__all__ = ["read_topic"]

_WHAT = "korvex_messages.ros2.ray"


def _read_tasks(plan: Plan, flatten: bool, types: Types, per_task_row_limit: int | None) -> Any:
    data = import_optional("ray.data", "ray", _WHAT)
    block = import_optional("ray.data.block", "ray", _WHAT)
    tasks = []
    schema = plan.schema
    for part in plan.parts:
        read = functools.partial(
            read_blocks, part.path, plan.topic, part.start, part.end, flatten, types, plan.columns
        )
        metadata = block.BlockMetadata(
            num_rows=part.rows, size_bytes=part.size, exec_stats=None, input_files=[part.path]
        )
        tasks.append(
            data.ReadTask(read, metadata, schema=schema, per_task_row_limit=per_task_row_limit)
        )
    return tasks


def _datasource_class() -> type:
    """RecordingDatasource, made on first use so that ray is imported then."""
    datasource: Any = import_optional("ray.data", "ray", _WHAT).Datasource

    class RecordingDatasource(datasource):  # type: ignore[misc]
        """A topic of ROS 2 recordings, one read task per file (see
        read_topic); the files are opened here for their inventory."""

        def __init__(
            self,
            paths: PathsArgument,
            topic: str,
            *,
            start: Bound = None,
            end: Bound = None,
            flatten: bool = False,
            types: Types = None,
        ) -> None:
            self._plan = make_plan(paths, topic, start=start, end=end, flatten=flatten, types=types)
            self._flatten = flatten
            self._types = types

        @property
        def schema(self) -> Any:
            """The pyarrow schema of every block."""
            return self._plan.schema

        def get_name(self) -> str:
            return "ROS2Recording"

        def estimate_inmemory_data_size(self) -> int | None:
            return sum(part.size for part in self._plan.parts)

        def get_read_tasks(
            self,
            parallelism: int,
            per_task_row_limit: int | None = None,
            data_context: Any = None,
        ) -> list[Any]:
            # One task per file, whatever the parallelism asked for: a file
            # is read from its start.
            return _read_tasks(self._plan, self._flatten, self._types, per_task_row_limit)  # type: ignore[no-any-return]

    RecordingDatasource.__module__ = __name__
    RecordingDatasource.__qualname__ = "RecordingDatasource"
    return RecordingDatasource


def __getattr__(name: str) -> Any:
    # Looked up by name, as pickle does: made once, then a module global.
    if name == "RecordingDatasource":
        made = _datasource_class()
        globals()[name] = made
        return made
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def read_topic(
    paths: PathsArgument,
    topic: str,
    *,
    start: Bound = None,
    end: Bound = None,
    flatten: bool = False,
    types: Types = None,
    **read_args: Any,
) -> Any:
    """The topic's messages in [start, end) of every recording as one Ray
    Dataset of pyarrow blocks: `log_time` (timestamp[ns, UTC]) first, then
    the columns of `Recording.table`.

    `paths` is one recording or several (MCAP files, rosbag2 directories,
    `.db3` files), each read by one task, in time order when their
    log-time ranges do not overlap and in the order given otherwise.  The
    files are opened here once, for their inventory: each must hold the
    topic, with the same columns as the first.  `types` supplies
    definitions the recordings lack, as for open_recording (the workers
    open the files themselves, so the types this process has registered are
    not among their sources).  `read_args` go to ray.data.read_datasource
    (ray_remote_args, concurrency, ...).
    """
    data = import_optional("ray.data", "ray", _WHAT)
    source = __getattr__("RecordingDatasource")(
        paths, topic, start=start, end=end, flatten=flatten, types=types
    )
    return data.read_datasource(source, **read_args)
