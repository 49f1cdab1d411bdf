"""The command line of korvex_messages.ros2 (also installed as korvex-ros2).

    python -m korvex_messages.ros2 info PATH
    python -m korvex_messages.ros2 export PATH TOPIC OUT [--start T] [--end T] [--types DIR]

A user error (a missing file, a damaged recording, missing definitions, an
output format that cannot hold the topic) prints one line on stderr and exits
with status 1; --help explains the rest.  export shows its progress on a
terminal and is silent otherwise.
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import json
import os
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from korvex_messages.ros2._definitions import MissingDefinitionsError
from korvex_messages.ros2._mcap_file import RecordingError
from korvex_messages.ros2._msgdef import MsgDefinitionError
from korvex_messages.ros2._recording import Recording, open_recording

# The errors a user can cause: printed as one line, no traceback.
USER_ERRORS = (
    OSError,
    ValueError,
    KeyError,
    ImportError,
    NotImplementedError,
    RecordingError,
    MsgDefinitionError,
    MissingDefinitionsError,
)


def _time(ns: int | None) -> str:
    if ns is None:
        return "-"
    moment = datetime.datetime.fromtimestamp(ns // 10**9, datetime.timezone.utc)
    return f"{moment:%Y-%m-%dT%H:%M:%S}.{ns % 10**9:09d}Z"


def _duration(ns: int) -> str:
    return f"{ns / 1e9:.3f} s"


def info_text(recording: Recording) -> str:
    topics = recording.topics
    starts = [t.start for t in topics if t.start is not None]
    ends = [t.end for t in topics if t.end is not None]
    lines = [
        f"path:        {recording.path}",
        f"storage:     {recording.storage}",
        f"compression: {recording.compression}",
        f"messages:    {sum(t.message_count for t in topics)}",
    ]
    if starts:
        lines.append(f"start:       {_time(min(starts))}")
        lines.append(f"end:         {_time(max(ends))}")
        lines.append(f"duration:    {_duration(max(ends) - min(starts))}")
    else:
        lines.append("duration:    - (no messages)")
    lines.append(f"topics:      {len(topics)}")
    width = max([len(t.name) for t in topics] + [5])
    type_width = max([len(t.type) for t in topics] + [4])
    lines.append(f"  {'topic':<{width}}  {'type':<{type_width}}  {'count':>8}  start .. end")
    for t in sorted(topics, key=lambda t: t.name):
        lines.append(
            f"  {t.name:<{width}}  {t.type:<{type_width}}  {t.message_count:>8}"
            f"  {_time(t.start)} .. {_time(t.end)}"
        )
    return "\n".join(lines)


class _Parser(argparse.ArgumentParser):
    """argparse, whose errors are one line like every other user error."""

    def error(self, message: str) -> Any:
        self.exit(2, f"korvex-ros2: error: {message} (--help explains the commands)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="korvex-ros2", description="Read ROS 2 recordings (MCAP files, rosbag2 bags)."
    )
    commands = parser.add_subparsers(dest="command", required=True)
    info = commands.add_parser("info", help="storage, compression, duration and topics")
    info.add_argument("path", help="an MCAP file, a rosbag2 directory or a .db3 file")
    export = commands.add_parser(
        "export", help="one topic to .parquet, .csv (flattened) or .arrow/.feather"
    )
    export.add_argument("path", help="an MCAP file, a rosbag2 directory or a .db3 file")
    export.add_argument("topic")
    export.add_argument("out", help="the file to write: .parquet, .csv, .arrow or .feather")
    export.add_argument("--start", type=_moment, help="int ns since the epoch, or an ISO time")
    export.add_argument("--end", type=_moment, help="the same; the window is [start, end)")
    export.add_argument("--types", help="a folder of pkg/msg/*.msg for types the recording lacks")
    return parser


def _moment(text: str) -> int | datetime.datetime:
    """An --start or --end: int nanoseconds, or an ISO time with its zone."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is neither int nanoseconds nor an ISO time"
        ) from None
    if moment.tzinfo is None:
        raise argparse.ArgumentTypeError(f"{text!r} has no time zone (add Z or +00:00)")
    return moment


_FORMATS = {".parquet": "parquet", ".csv": "csv", ".arrow": "arrow", ".feather": "arrow"}


def export(arguments: argparse.Namespace) -> None:
    """Writes one topic batch by batch, so that memory stays at one batch."""
    out = Path(arguments.out)
    kind = _FORMATS.get(out.suffix.lower())
    if kind is None:
        raise ValueError(f"{out}: the output must end in .parquet, .csv, .arrow or .feather")
    with open_recording(arguments.path, types=arguments.types) as recording:
        info = next((t for t in recording.topics if t.name == arguments.topic), None)
        if info is None:
            names = ", ".join(t.name for t in recording.topics)
            raise ValueError(f"{arguments.path}: no topic {arguments.topic}; it has {names}")
        batches = recording.batches(
            arguments.topic, start=arguments.start, end=arguments.end, flatten=kind == "csv"
        )
        progress = sys.stderr.isatty()
        pa = importlib.import_module("pyarrow")
        writer = None
        done = 0
        try:
            for batch in batches:
                table = pa.table(batch)
                if kind == "csv":
                    table = _csv_cells(table)
                if writer is None:
                    writer = _writer(kind, out, table.schema)
                writer.write_table(table)
                done += table.num_rows
                if progress:
                    print(f"\r{arguments.topic}: {done}/{info.message_count}", end="",
                          file=sys.stderr)  # fmt: skip
            if writer is None:
                # No message in the window: the file still gets the columns.
                window = dict(start=arguments.start, end=arguments.end)
                empty = pa.table(recording.table(arguments.topic, flatten=kind == "csv", **window))
                writer = _writer(kind, out, (_csv_cells(empty) if kind == "csv" else empty).schema)
        except BaseException:
            # A file cut short by an error is no export: it goes.
            if writer is not None:
                writer.close()
                writer = None
                out.unlink(missing_ok=True)
            raise
        finally:
            if writer is not None:
                writer.close()
            if progress:
                print(file=sys.stderr)


def _csv_cells(table: Any) -> Any:
    """The table as CSV can hold it: a column of lists (or structs inside
    them) becomes text, each cell the JSON of its value, and a column of
    bytes becomes their hex digits."""
    pa = importlib.import_module("pyarrow")
    kinds = pa.types
    for index, field in enumerate(table.schema):
        kind = field.type
        if kinds.is_list(kind) or kinds.is_large_list(kind) or kinds.is_fixed_size_list(kind):
            cells = [
                json.dumps(v, default=bytes.hex, ensure_ascii=False)
                for v in table.column(index).to_pylist()
            ]
        elif (
            kinds.is_binary(kind) or kinds.is_large_binary(kind) or kinds.is_fixed_size_binary(kind)
        ):
            cells = [v.hex() for v in table.column(index).to_pylist()]
        else:
            continue
        column = pa.array(cells, pa.string())
        table = table.set_column(index, pa.field(field.name, pa.string(), nullable=False), column)
    return table


def _writer(kind: str, out: Path, schema: Any) -> Any:
    if kind == "parquet":
        return importlib.import_module("pyarrow.parquet").ParquetWriter(out, schema)
    if kind == "csv":
        return importlib.import_module("pyarrow.csv").CSVWriter(out, schema)
    return importlib.import_module("pyarrow.ipc").new_file(out, schema)


def _one_line(error: BaseException) -> str:
    text = error.args[0] if isinstance(error, KeyError) and error.args else str(error)
    return "; ".join(line.strip() for line in str(text).splitlines() if line.strip())


def main(argv: Sequence[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    caught: list[warnings.WarningMessage] = []
    try:
        with warnings.catch_warnings(record=True) as recorded:
            warnings.simplefilter("always")
            caught = recorded
            if arguments.command == "export":
                export(arguments)
            else:
                # The inventory needs no definitions: info reads Humble bags too.
                with Recording(arguments.path, inventory_only=True) as recording:
                    print(info_text(recording))
    except BrokenPipeError:
        # The reader went away (`korvex-ros2 info x | head`): nothing more to
        # say, and nothing more may reach the closed pipe at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except USER_ERRORS as error:
        print(f"korvex-ros2: error: {_one_line(error)}", file=sys.stderr)
        return 1
    finally:
        for warning in caught:
            print(
                f"korvex-ros2: warning: {_one_line(Warning(str(warning.message)))}", file=sys.stderr
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
