#!/usr/bin/env bash
# cmake-suite.sh NAME [CMAKE_ARG...]: the plain CMake build (the module and
# the test-only module) with the given arguments and the compiler that CXX
# names, then the whole pytest suite against that build directory.  The
# build treats warnings as errors (KORVEX_WERROR), so a warning fails the job.
#
# It reports whether the build checks KORVEX_ASSERTs (no -DNDEBUG in any
# compile command).
#
# Environment:
#   KORVEX_CI_PYTHON  interpreter with the test dependencies (default: a
#                     fresh test environment of python3 in the job's
#                     directory, lib.sh test_venv)
#   KORVEX_CI_EXTRAS  optional-dependencies extras installed into that fresh
#                     environment besides test (e.g. "arrow")
#   KORVEX_CI_ASSERTIONS=1  fail unless the build checks KORVEX_ASSERTs
#   KORVEX_CI_DIR     work directory (default build/ci)
#   CXX               C++ compiler, as CMake reads it
set -uo pipefail
source "$(dirname "$0")/lib.sh"

name=$1
shift
dir=$CI_WORK/$name
xml=$CI_RESULTS/$name.xml
begin=$SECONDS
rm -rf "$dir" "$xml"
mkdir -p "$dir"

run() {
  if [ -n "${KORVEX_CI_PYTHON:-}" ]; then
    PY=$(command -v "$KORVEX_CI_PYTHON")
  else
    ci_log "$name: test environment in $dir/venv"
    # shellcheck disable=SC2086  # KORVEX_CI_EXTRAS is a list of names
    test_venv "$dir/venv" ${KORVEX_CI_EXTRAS:-} || return 1
    PY=$dir/venv/bin/python
  fi
  "$PY" -c 'import pytest' || { echo "$PY has no pytest: install the test dependencies"; return 1; }
  ci_log "$name: cmake $* (CXX=${CXX:-default}, $("$PY" -c 'import platform; print(platform.python_version())'))"
  cmake -S "$CI_ROOT" -B "$dir/build" -G Ninja -DPython_EXECUTABLE="$PY" -DKORVEX_WERROR=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >"$dir/configure.log" 2>&1 ||
    { tail -n 40 "$dir/configure.log"; return 1; }
  grep -E "The CXX compiler identification" "$dir/configure.log" | sed 's/^-- /  /'
  cmake --build "$dir/build" >"$dir/build.log" 2>&1 || { tail -n 60 "$dir/build.log"; return 1; }
  grep -E 'warning:' "$dir/build.log" | sed "s|$CI_ROOT/||" | sort -u \
    >"$dir/warnings.txt"
  echo "  compiler warnings: $(wc -l <"$dir/warnings.txt")"
  sed 's/^/    /' "$dir/warnings.txt"
  ls "$dir"/build/_korvex_messages.*.so "$dir"/build/_korvex_messages_testing.*.so >/dev/null || return 1
  # KORVEX_ASSERT is compiled out where NDEBUG is defined (CMake's Release
  # and RelWithDebInfo flags define it).
  if grep -q -- '-DNDEBUG' "$dir/build/compile_commands.json"; then
    echo "  assertions: off (-DNDEBUG)"
    [ "${KORVEX_CI_ASSERTIONS:-0}" != 1 ] || { echo "  this job must build with assertions on"; return 1; }
  else
    echo "  assertions: on"
  fi
  # The suite imports both modules from the build directory.
  # --continue-on-collection-errors: a module that fails to import must not hide
  # the results of all the others.
  (cd "$CI_ROOT" && PYTHONPATH="$dir/build" "$PY" -m pytest -q -p no:cacheprovider --continue-on-collection-errors \
    --junit-xml="$xml" tests >"$dir/tests.log" 2>&1)
  local rc=$?
  tail -n 1 "$dir/tests.log"
  [ $rc -eq 0 ] || failed_tests "$xml"
  skip_reasons "$xml" | sed "s/^/  skipped /"
  return $rc
}

run "$@"
rc=$?
if [ -s "$xml" ]; then
  record "$name" $rc $((SECONDS - begin)) "$xml"
else
  record "$name" 1 $((SECONDS - begin))
fi
