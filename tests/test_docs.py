"""Every ```python block of README.md, docs/*.md and CONTRIBUTING.md runs.

A page's blocks run in order in one child interpreter, in one namespace
(later blocks use the names of earlier ones), in a temporary working
directory that holds the recordings the pages read: `run.db3` (what
examples/quickstart.py writes), `run.mcap` (the same messages as MCAP) and
`runs/run_0.mcap`, `runs/run_1.mcap` (its two seconds of `/imu`).  A child per
page keeps the pages' registrations out of this process's registries.

A block that imports an optional package (or calls a method that needs one)
skips where it is missing, and so does every later block of its page, which
may use its names.  A block preceded by the line `<!-- docs: not run (WHY) -->`
is not run; there are at most NOT_RUN_LIMIT such blocks in all.
"""

from __future__ import annotations

import json
import os
import re
import select
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tests.support.runtime import child_environment

# The pages' Python is the user's view of the package; the codec under it
# is tested natively elsewhere.
pytestmark = pytest.mark.pure_python

REPO = Path(__file__).resolve().parent.parent
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md")), REPO / "CONTRIBUTING.md"]
NOT_RUN = "<!-- docs: not run"
NOT_RUN_LIMIT = 1
BLOCK_SECONDS = 300

# Packages outside the test extra, by the module a block imports.
OPTIONAL = {"pyarrow", "polars", "pandas", "duckdb", "dask", "distributed", "ray", "zstandard"}
# The package's own modules that import a library.
NEEDS_OF_MODULE = {
    "korvex_messages.ros2.dask": ("dask", "pandas", "pyarrow"),
    "korvex_messages.ros2.ray": ("ray", "pyarrow"),
}
# Methods that import a library on first use.
NEEDS_OF_CALL = {
    ".to_pandas(": ("pandas", "pyarrow"),
    ".to_polars(": ("polars",),
    ".to_pyarrow(": ("pyarrow",),
}
_FENCE = re.compile(r"^( *)```(\S*)\s*$")
_IMPORT = re.compile(r"^\s*(?:import|from)\s+([A-Za-z_][\w.]*)", re.MULTILINE)
_IMPORTS_LIST = re.compile(r"^\s*import\s+([\w., ]+)$", re.MULTILINE)


def python_blocks(path: Path) -> list[tuple[int, str, bool]]:
    """(line of the opening fence, code, whether it is run) of each ```python
    block, fences indented inside lists included."""
    blocks = []
    lines = path.read_text(encoding="utf-8").splitlines()
    index = 0
    while index < len(lines):
        fence = _FENCE.match(lines[index])
        if fence is None:
            index += 1
            continue
        indent, language = fence.groups()
        start = index
        index += 1
        body = []
        while index < len(lines) and lines[index].strip() != "```":
            body.append(lines[index])
            index += 1
        index += 1
        if language == "python":
            previous = next((line for line in reversed(lines[:start]) if line.strip()), "")
            code = textwrap.dedent("\n".join(body)) + "\n"
            blocks.append((start + 1, code, not previous.strip().startswith(NOT_RUN)))
    return blocks


def needs_of(code: str) -> set[str]:
    names = {m.split(".")[0] for m in _IMPORT.findall(code)}
    for group in _IMPORTS_LIST.findall(code):
        names |= {part.strip().split(".")[0] for part in group.split(",")}
    needs = names & OPTIONAL
    for module, modules in NEEDS_OF_MODULE.items():
        if module in code:
            needs |= set(modules)
    for call, modules in NEEDS_OF_CALL.items():
        if call in code:
            needs |= set(modules)
    return needs


def cases():
    for page in PAGES:
        if not page.exists():
            continue
        needed: set[str] = set()
        for line, code, run in python_blocks(page):
            needed |= needs_of(code)
            name = f"{page.relative_to(REPO)}:{line}"
            marks = [pytest.mark.extra(*sorted(needed))] if needed else []
            yield pytest.param(page, line, code, run, id=name, marks=marks)


# What the child runs: one block per line of JSON on stdin, one JSON answer
# per block on the answers pipe; the blocks' own output goes to stderr.
CHILD = r"""
import json, os, sys, traceback
answers = os.fdopen(int(sys.argv[1]), "w")
namespace = {"__name__": "__main__"}
sys.stdout = sys.stderr
for request in sys.stdin:
    request = json.loads(request)
    try:
        exec(compile(request["code"], request["name"], "exec"), namespace)
        answer = {"ok": True}
    except BaseException:
        answer = {"ok": False, "error": traceback.format_exc()}
    sys.stderr.flush()
    answers.write(json.dumps(answer) + "\n")
    answers.flush()
"""

SAMPLES = r"""
import sys
from pathlib import Path

sys.path.insert(0, sys.argv[1])
from mcap.writer import Writer

from examples import quickstart
from korvex_messages import ros2

folder = Path(sys.argv[2])
quickstart.write_recording(folder / "run.db3")
rows = []
for step in range(200):
    t = quickstart.START + step * 10_000_000
    rows.append(("/imu", t, ros2.serialize("sensor_msgs/msg/Imu", quickstart.imu(step, t))))
    if step % 100 == 0:
        status = ros2.serialize("std_msgs/msg/String", {"data": f"running for {step // 100} s"})
        rows.append(("/status", t, status))


def write_mcap(path, rows):
    with open(path, "wb") as stream:
        writer = Writer(stream)
        writer.start(profile="ros2")
        channels = {}
        for topic, kind, text in quickstart.TOPICS:
            schema = writer.register_schema(kind, "ros2msg", text.encode())
            channels[topic] = writer.register_channel(topic, "cdr", schema)
        for topic, t, data in rows:
            writer.add_message(channels[topic], t, data, t)
        writer.finish()


write_mcap(folder / "run.mcap", rows)
(folder / "runs").mkdir()
imu = [row for row in rows if row[0] == "/imu"]
write_mcap(folder / "runs" / "run_0.mcap", imu[:100])
write_mcap(folder / "runs" / "run_1.mcap", imu[100:])
"""


@pytest.fixture(scope="session")
def samples(tmp_path_factory):
    """The recordings the pages read, written once by a child interpreter."""
    folder = tmp_path_factory.mktemp("docs-samples")
    completed = subprocess.run(
        [sys.executable, "-c", SAMPLES, str(REPO), str(folder)],
        capture_output=True,
        text=True,
        env=child_environment(),
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    return folder


class Page:
    """One child interpreter running a page's blocks in order."""

    def __init__(self, folder: Path, log: Path):
        read, write = os.pipe()
        self._answers = os.fdopen(read, "r")
        self.log = log
        with open(log, "w") as stderr:
            self.process = subprocess.Popen(
                [sys.executable, "-c", CHILD, str(write)],
                stdin=subprocess.PIPE,
                stderr=stderr,
                stdout=subprocess.DEVNULL,
                cwd=folder,
                env=child_environment(),
                text=True,
                pass_fds=(write,),
            )
        os.close(write)
        self.failed: str | None = None

    def run(self, name: str, code: str) -> dict:
        assert self.process.stdin is not None
        self.process.stdin.write(json.dumps({"name": name, "code": code}) + "\n")
        self.process.stdin.flush()
        ready, _, _ = select.select([self._answers], [], [], BLOCK_SECONDS)
        if not ready:
            return {"ok": False, "error": f"no answer within {BLOCK_SECONDS} s"}
        line = self._answers.readline()
        if not line:
            return {"ok": False, "error": f"the child ended (status {self.process.wait()})"}
        return json.loads(line)

    def output(self) -> str:
        return self.log.read_text(errors="replace")[-4000:]

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._answers.close()


@pytest.fixture(scope="module")
def pages(samples, tmp_path_factory):
    opened: dict[Path, Page] = {}

    def page(path: Path) -> Page:
        if path not in opened:
            folder = tmp_path_factory.mktemp("docs-" + path.stem)
            shutil.copytree(samples, folder, dirs_exist_ok=True)
            opened[path] = Page(folder, folder / "output.log")
        return opened[path]

    yield page
    for each in opened.values():
        each.close()


@pytest.mark.parametrize("page_path, line, code, run", list(cases()))
def test_block_runs(pages, page_path, line, code, run):
    if not run:
        pytest.skip("marked as not run on its page")
    page = pages(page_path)
    if page.failed is not None:
        pytest.fail(f"an earlier block of the page failed: {page.failed}")
    name = f"{page_path.relative_to(REPO)}:{line}"
    answer = page.run(name, code)
    if not answer["ok"]:
        page.failed = name
        pytest.fail(f"{name}\n{answer['error']}\noutput:\n{page.output()}", pytrace=False)


def test_every_block_is_found_and_few_are_not_run():
    not_run = []
    for page in PAGES:
        if not page.exists():
            continue
        blocks = python_blocks(page)
        # A fence the parser missed (or a block it ran into the next) shows here.
        assert len(blocks) == page.read_text(encoding="utf-8").count("```python"), page.name
        not_run += [f"{page.name}:{line}" for line, _, run in blocks if not run]
    assert len(not_run) <= NOT_RUN_LIMIT, not_run


BLOCK_CASES = [
    ("```python\nx = 1\n```\n", [(1, "x = 1\n", True)]),
    ("- item\n\n  ```python\n  if x:\n      y = 2\n  ```\n", [(3, "if x:\n    y = 2\n", True)]),
    ("<!-- docs: not run (a cluster) -->\n\n```python\nz\n```\n", [(3, "z\n", False)]),
    ("```bash\nls\n```\n```\nplain\n```\n", []),
    ("```python\n```\n", [(1, "\n", True)]),
]


@pytest.mark.parametrize("text, expected", BLOCK_CASES)
def test_python_blocks_are_found(tmp_path, text, expected):
    page = tmp_path / "page.md"
    page.write_text(text)
    assert python_blocks(page) == expected


NEEDS_CASES = [
    ("import pyarrow.parquet\n", {"pyarrow"}),
    ("import pyarrow, polars, duckdb\n", {"pyarrow", "polars", "duckdb"}),
    ("from distributed import WorkerPlugin\n", {"distributed"}),
    ("from korvex_messages.ros2.dask import read_topic\n", {"dask", "pandas", "pyarrow"}),
    ("frame = table.to_pandas()\n", {"pandas", "pyarrow"}),
    ("import json\nfrom korvex_messages import ros2\n", set()),
]


@pytest.mark.parametrize("code, expected", NEEDS_CASES)
def test_needs_of_a_block(code, expected):
    assert needs_of(code) == expected


def test_the_child_runs_blocks_in_one_namespace(tmp_path):
    page = Page(tmp_path, tmp_path / "output.log")
    try:
        assert page.run("a", "x = 41\nprint('printed', x)\n") == {"ok": True}
        assert page.run("b", "assert x == 41\nx += 1\n") == {"ok": True}
        failed = page.run("c", "assert x == 41, 'x is %d' % x\n")
        assert not failed["ok"] and "AssertionError: x is 42" in failed["error"]
        assert page.run("d", "open('made', 'w').close()\n") == {"ok": True}
    finally:
        page.close()
    assert "printed 41" in page.output()
    assert (tmp_path / "made").exists()
