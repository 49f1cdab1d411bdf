#!/usr/bin/env bash
# The source distribution: `python -m build --sdist` on a copy of the tree;
# the sdist must hold every file of the tree; two wheels are built from the
# unpacked sdist (the default one, and one with the test-only module); their
# contents are checked; the suite runs from the unpacked sdist against each
# installed wheel: with the test-only module as the README's test command
# does, then against the default wheel with the wheel configuration's own
# test command from pyproject.toml ([tool.cibuildwheel] test-command).
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

  ci_log "$name: wheels from the unpacked sdist"
  "$W/tools/bin/pip" wheel -q --no-deps -w "$W/wheel-default" "$src" >"$W/wheel-default.log" 2>&1 ||
    { tail -n 30 "$W/wheel-default.log"; return 1; }
  "$W/tools/bin/pip" wheel -q --no-deps --config-settings=cmake.define.KORVEX_TESTING_MODULE=ON \
    -w "$W/wheel-testing" "$src" >"$W/wheel-testing.log" 2>&1 || { tail -n 30 "$W/wheel-testing.log"; return 1; }
  local default testing
  default=$(ls "$W"/wheel-default/*.whl)
  testing=$(ls "$W"/wheel-testing/*.whl)
  python3 "$CI_ROOT/.ci/check_wheels.py" "$default" "$testing"

  ci_log "$name: the suite from the unpacked sdist against the installed wheels"
  python3 -m venv "$W/venv"
  "$W/venv/bin/pip" install -q "$testing[test]" >"$W/install.log" 2>&1 || { tail -n 30 "$W/install.log"; return 1; }
  (cd "$W" && "$W/venv/bin/python" -c '
import sys, sysconfig, _korvex_messages, _korvex_messages_testing
for m in (_korvex_messages, _korvex_messages_testing):
    assert m.__file__.startswith(sysconfig.get_paths()["platlib"]), m.__file__
')
  local rc=0
  (cd "$src" && "$W/venv/bin/python" -m pytest -q -p no:cacheprovider --continue-on-collection-errors \
    --junit-xml="$CI_RESULTS/$name.xml" >"$W/tests.log" 2>&1) || rc=$?
  echo "  with the test-only module: $(tail -n 1 "$W/tests.log")"
  [ $rc -eq 0 ] || failed_tests "$CI_RESULTS/$name.xml"

  # The default wheel, tested as the wheel configuration tests it.
  "$W/venv/bin/pip" install -q --force-reinstall --no-deps "$default" >>"$W/install.log" 2>&1
  ! "$W/venv/bin/python" -c 'import _korvex_messages_testing' 2>/dev/null ||
    { echo "  _korvex_messages_testing still importable after installing the default wheel"; return 1; }
  local command
  command=$(python3 "$CI_ROOT/.ci/pyproject_query.py" "$src/pyproject.toml" value tool.cibuildwheel.test-command)
  command=${command//\{project\}/$src}
  echo "  \$ $command"
  mkdir -p "$W/test-cwd"
  (cd "$W/test-cwd" && PATH="$W/venv/bin:$PATH" PYTEST_ADDOPTS="--junit-xml=$CI_RESULTS/$name-wheel.xml" \
    sh -c "$command" >"$W/tests-wheel.log" 2>&1) || rc=$?
  echo "  wheel test command: $(tail -n 1 "$W/tests-wheel.log")"
  [ $rc -eq 0 ] || failed_tests "$CI_RESULTS/$name-wheel.xml"
  skip_reasons "$CI_RESULTS/$name-wheel.xml" | sed "s/^/  skipped /"
  return $rc
}

rm -f "$CI_RESULTS/$name.xml" "$CI_RESULTS/$name-wheel.xml"
(run)
rc=$?
results=()
for f in "$CI_RESULTS/$name.xml" "$CI_RESULTS/$name-wheel.xml"; do [ -s "$f" ] && results+=("$f"); done
[ ${#results[@]} -eq 2 ] || rc=1
record "$name" $rc $((SECONDS - begin)) "${results[@]}"
