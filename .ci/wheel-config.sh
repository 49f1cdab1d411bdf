#!/usr/bin/env bash
# The wheel configuration, checked without building: pyproject.toml is valid
# (validate-pyproject, with the schemas of scikit-build-core and
# cibuildwheel), cibuildwheel selects exactly the intended wheels on each
# platform, and the Python versions agree everywhere they are stated
# (requires-python, classifiers, the cibuildwheel selection and
# find_package(Python) in CMakeLists.txt).  No wheel is built here: that
# needs a container engine for Linux and macOS or Windows machines.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

name=wheel-config
W=$CI_WORK/$name
begin=$SECONDS
rm -rf "$W"

run() {
  set -e
  python3 -m venv "$W/tools"
  "$W/tools/bin/pip" install -q cibuildwheel scikit-build-core validate-pyproject >"$W/install.log" 2>&1 ||
    { tail -n 20 "$W/install.log"; return 1; }
  "$W/tools/bin/python" -c 'from importlib.metadata import version as v
print("  " + ", ".join(n + " " + v(n) for n in ("cibuildwheel", "scikit-build-core", "validate-pyproject")))'
  "$W/tools/bin/validate-pyproject" "$CI_ROOT/pyproject.toml" | sed 's/^/  /'
  local platform
  for platform in linux macos windows; do
    (cd "$CI_ROOT" && "$W/tools/bin/cibuildwheel" --print-build-identifiers --platform "$platform") \
      >>"$W/identifiers.txt"
  done
  python3 - "$CI_ROOT" "$W/identifiers.txt" <<'PY'
import re
import sys
import tomllib

root, identifiers = sys.argv[1], sys.argv[2]
with open(root + "/pyproject.toml", "rb") as f:
    project = tomllib.load(f)
got = set(open(identifiers).read().split())
minors = range(10, 15)
platforms = ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64",
             "macosx_x86_64", "macosx_arm64", "win_amd64"]
expected = {f"cp3{m}-{p}" for m in minors for p in platforms}
problems = []
if got != expected:
    problems.append("cibuildwheel selects %s more and %s fewer than intended"
                    % (sorted(got - expected), sorted(expected - got)))
meta = project["project"]
classified = {int(m) for m in re.findall(r"^Programming Language :: Python :: 3\.(\d+)$",
                                         "\n".join(meta["classifiers"]), re.M)}
if classified != set(minors):
    problems.append("classifiers name 3.%s" % sorted(classified))
if meta["requires-python"] != ">=3.%d" % min(minors):
    problems.append("requires-python is %r" % meta["requires-python"])
cmake = open(root + "/CMakeLists.txt").read()
found = re.search(r"find_package\(Python (\d+)\.(\d+) ", cmake)
if not found or (int(found[1]), int(found[2])) != (3, min(minors)):
    problems.append("CMakeLists.txt: find_package(Python) asks for %s" % (found and found[0]))
print("  %d wheels: CPython 3.%d-3.%d on %s" % (len(got), min(minors), max(minors), ", ".join(platforms)))
for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
PY
}

(run)
record "$name" $? $((SECONDS - begin))
