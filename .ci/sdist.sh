#!/usr/bin/env bash
# The source distribution: `python -m build --sdist` on a copy of the tree;
# the sdist must hold every file of the tree; the wheel is built from the
# unpacked sdist and its contents checked; the suite runs once, from the
# unpacked sdist against the installed wheel, with the wheel configuration's
# own test command from pyproject.toml ([tool.cibuildwheel] test-command).
# (The test-only module is built and tested by the other jobs.)
#
# Environment: KORVEX_CI_DIR (work directory, default build/ci); python3 is
# the interpreter used.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

name=sdist
W=$CI_WORK/$name
begin=$SECONDS
rm -rf "$W"
mkdir -p "$W"

run() {
  set -e
  copy_tree "$W/tree"
  python3 -m venv "$W/tools"
  "$W/tools/bin/pip" install -q build
  ci_log "$name: python -m build --sdist"
  "$W/tools/bin/python" -m build --sdist --outdir "$W/dist" "$W/tree" >"$W/build-sdist.log" 2>&1 ||
    { tail -n 30 "$W/build-sdist.log"; return 1; }
  local sdist
  sdist=$(ls "$W"/dist/*.tar.gz)
  echo "  $(basename "$sdist"): $(tar -tzf "$sdist" | grep -vc '/$') files"

  # Every file of the tree is in the sdist, and nothing else but PKG-INFO.
  (cd "$W/tree" && find . -type f | sed 's|^\./||' | sort) >"$W/tree-files.txt"
  tar -tzf "$sdist" | grep -v '/$' | cut -d/ -f2- | sort >"$W/sdist-files.txt"
  local missing extra
  missing=$(comm -23 "$W/tree-files.txt" "$W/sdist-files.txt")
  extra=$(comm -13 "$W/tree-files.txt" "$W/sdist-files.txt" | grep -vx PKG-INFO || true)
  [ -z "$missing" ] || { echo "  missing from the sdist:"; echo "$missing" | sed 's/^/    /'; return 1; }
  [ -z "$extra" ] || { echo "  in the sdist but not in the tree:"; echo "$extra" | sed 's/^/    /'; return 1; }
  tar -xzf "$sdist" -C "$W"
  local src
  src=$(echo "$W"/korvex_messages-*/)
  src=${src%/}

  ci_log "$name: the wheel from the unpacked sdist"
  "$W/tools/bin/pip" wheel -q --no-deps -w "$W/wheel" "$src" >"$W/wheel.log" 2>&1 ||
    { tail -n 30 "$W/wheel.log"; return 1; }
  local wheel
  wheel=$(ls "$W"/wheel/*.whl)
  python3 "$CI_ROOT/.ci/check_wheels.py" "$wheel"

  # The wheel installed with its test extra, tested by the wheel
  # configuration's own command, from a folder outside the tree so that the
  # installed package is the one imported.
  python3 -m venv "$W/venv"
  "$W/venv/bin/pip" install -q "$wheel[test]" >"$W/install.log" 2>&1 || { tail -n 30 "$W/install.log"; return 1; }
  ! "$W/venv/bin/python" -c 'import _korvex_messages_testing' 2>/dev/null ||
    { echo "  _korvex_messages_testing importable from the default wheel"; return 1; }
  local command rc=0
  command=$(python3 "$CI_ROOT/.ci/pyproject_query.py" "$src/pyproject.toml" value tool.cibuildwheel.test-command)
  command=${command//\{project\}/$src}
  echo "  \$ $command"
  mkdir -p "$W/test-cwd"
  (cd "$W/test-cwd" && "$W/venv/bin/python" -c '
import sysconfig, _korvex_messages, korvex_messages
for m in (_korvex_messages, korvex_messages):
    assert m.__file__.startswith(sysconfig.get_paths()["purelib"]) or m.__file__.startswith(
        sysconfig.get_paths()["platlib"]), m.__file__
') || return 1
  (cd "$W/test-cwd" && PATH="$W/venv/bin:$PATH" PYTEST_ADDOPTS="--junit-xml=$CI_RESULTS/$name.xml" \
    sh -c "$command" >"$W/tests.log" 2>&1) || rc=$?
  echo "  wheel test command: $(tail -n 1 "$W/tests.log")"
  [ $rc -eq 0 ] || failed_tests "$CI_RESULTS/$name.xml"
  skip_reasons "$CI_RESULTS/$name.xml" | sed "s/^/  skipped /"
  return $rc
}

rm -f "$CI_RESULTS/$name.xml"
(run)
rc=$?
if [ -s "$CI_RESULTS/$name.xml" ]; then
  record "$name" $rc $((SECONDS - begin)) "$CI_RESULTS/$name.xml"
else
  record "$name" 1 $((SECONDS - begin))
fi
