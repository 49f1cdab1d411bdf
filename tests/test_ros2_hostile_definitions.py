"""korvex_messages.ros2 against `.msg` texts written to hurt: parsing costs
time linear in the text, whatever the text holds.

Each hostile text is parsed in a child interpreter under a generous timeout,
so that a parse that backtracks or copies without end fails the test instead
of hanging the run; the child also checks what the parser made of the text.
"""

import json

import pytest

# name -> (text of pkg/msg/Sample, what the parse gives: an error fragment or
# the number of elements of the first field's default).  Each text takes
# minutes or more to parse with a backtracking name pattern or a parse that
# copies the rest of a line per element; linear, each takes well under a
# second.
DIGITS = "0" * 60
ELEMENTS = 300_000
HOSTILE = {
    "constant name, digit runs then a bad character": (
        f"int32 A{DIGITS}a=1",
        "invalid constant name",
    ),
    "constant name, underscore runs": (
        "int32 A" + "_0" * 5000 + "__=1",
        "invalid constant name",
    ),
    "field name, underscore runs": ("int32 a" + "_a" * 100_000 + "_", "invalid field name"),
    "message name, CamelCase parts": (
        "pkg/A" + "_A0" * 100_000 + "_ a",
        "unknown type",
    ),
    "section header, long spacing": ("int32 a\n===\nMSG:" + " " * 200_000 + "x y", "MSG:"),
    "quoted string with escaped quotes": ('string s "' + '\\"' * 200_000 + '"', 1),
    "string array, quoted elements": (
        "string[] s [" + ",".join(["'x'"] * ELEMENTS) + "]",
        ELEMENTS,
    ),
    "string array, bare elements": (
        "string[] s [" + ", ".join(["x"] * ELEMENTS) + "]",
        ELEMENTS,
    ),
    "string array, escaped quotes in one element": (
        "string[] s ['" + "\\'," * ELEMENTS + "']",
        1,
    ),
    "integer array": ("int8[] s [" + ",".join(["1"] * ELEMENTS) + "]", ELEMENTS),
}

CHILD = """
import json, sys
from korvex_messages.ros2 import MsgDefinitionError, parse_msg_text

with open(sys.argv[1], encoding="utf-8") as file:
    text = file.read()
try:
    (msgdef,) = parse_msg_text("pkg/Sample", text)
except MsgDefinitionError as error:
    print(json.dumps(str(error)[:300]))
else:
    default = msgdef.fields[0].default
    print(json.dumps(len(default) if isinstance(default, tuple) else 1))
"""


@pytest.mark.pure_python
@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_text_parses_in_linear_time(case, run_python, tmp_path):
    text, expected = HOSTILE[case]
    path = tmp_path / "sample.msg"
    path.write_text(text, encoding="utf-8", newline="")
    proc = run_python(CHILD, str(path), timeout=120)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    if isinstance(expected, str):
        assert isinstance(got, str) and got.startswith("pkg/msg/Sample, line ")
        assert expected in got
    else:
        assert got == expected
