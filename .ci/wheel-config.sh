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
  python3 "$CI_ROOT/.ci/check_wheel_config.py" "$CI_ROOT" "$W/identifiers.txt"
}

(run)
record "$name" $? $((SECONDS - begin))
