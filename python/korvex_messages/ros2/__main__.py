"""The command line of korvex_messages.ros2 (also installed as korvex-ros2).

    python -m korvex_messages.ros2 info PATH

A user error (a missing file, a damaged recording)
prints one line on stderr and exits with status 1; --help explains the rest.
"""

from __future__ import annotations

import argparse
import datetime
import sys
import warnings
from collections.abc import Sequence

from korvex_messages.ros2._definitions import MissingDefinitionsError
from korvex_messages.ros2._mcap_file import RecordingError
from korvex_messages.ros2._msgdef import MsgDefinitionError
from korvex_messages.ros2._recording import Recording

# The errors a user can cause: printed as one line, no traceback.
USER_ERRORS = (OSError, RecordingError, MsgDefinitionError, MissingDefinitionsError, KeyError)


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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="korvex-ros2", description="Read ROS 2 recordings (MCAP files, rosbag2 bags)."
    )
    commands = parser.add_subparsers(dest="command", required=True)
    info = commands.add_parser("info", help="storage, compression, duration and topics")
    info.add_argument("path", help="an MCAP file, a rosbag2 directory or a .db3 file")
    return parser


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
            # The inventory needs no definitions: info reads Humble bags too.
            with Recording(arguments.path, inventory_only=True) as recording:
                print(info_text(recording))
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
