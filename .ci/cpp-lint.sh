#!/usr/bin/env bash
# cpp-lint.sh: clang-format (the tree must already be formatted) and
# clang-tidy (the checks of .clang-tidy, warnings as errors) over src/.
# Both tools come as pinned PyPI wheels into a virtual environment of the
# job's own, so every machine runs the same versions; clang-tidy reads the
# compile commands of a CMake configure of the module and the test-only
# module (no build needed).
#
# Environment:
#   KORVEX_CI_PYTHON  interpreter with the CPython headers (default python3)
#   KORVEX_CI_DIR     work directory (default build/ci)
set -uo pipefail
source "$(dirname "$0")/lib.sh"

name=cpp-lint
PY=$(command -v "${KORVEX_CI_PYTHON:-python3}")
dir=$CI_WORK/$name
begin=$SECONDS
CLANG_FORMAT_VERSION=23.1.3
CLANG_TIDY_VERSION=23.1.4

run() {
  rm -rf "$dir"
  mkdir -p "$dir"
  # CMake and Ninja for the compile commands; nothing from other jobs.
  command -v cmake >/dev/null && command -v ninja >/dev/null ||
    apt_ensure cmake ninja-build || { echo "could not install cmake and ninja"; return 1; }
  "$PY" -m venv "$dir/venv" || return 1
  "$dir/venv/bin/pip" install -q "clang-format==$CLANG_FORMAT_VERSION" \
    "clang-tidy==$CLANG_TIDY_VERSION" >"$dir/pip.log" 2>&1 || { tail -n 20 "$dir/pip.log"; return 1; }
  local format=$dir/venv/bin/clang-format tidy=$dir/venv/bin/clang-tidy status=0
  ci_log "$name: $("$format" --version | head -n 1); $("$tidy" --version | grep -i version | head -n 1)"

  local files
  mapfile -t files < <(cd "$CI_ROOT" && find src -type f \( -name '*.hpp' -o -name '*.cpp' \) | sort)
  if (cd "$CI_ROOT" && "$format" --dry-run --Werror "${files[@]}") >"$dir/format.log" 2>&1; then
    echo "  clang-format: ${#files[@]} files formatted"
  else
    echo "  clang-format: files not formatted (run clang-format -i on them):"
    grep -E 'error:' "$dir/format.log" | cut -d: -f1 | sort -u | sed 's/^/    /'
    status=1
  fi

  cmake -S "$CI_ROOT" -B "$dir/build" -G Ninja -DPython_EXECUTABLE="$PY" \
    -DKORVEX_TESTING_MODULE=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$dir/configure.log" 2>&1 ||
    { tail -n 40 "$dir/configure.log"; return 1; }
  local sources
  mapfile -t sources < <(cd "$CI_ROOT" && find src -type f -name '*.cpp' | sort)
  local failed=0 source
  for source in "${sources[@]}"; do
    if ! (cd "$CI_ROOT" && "$tidy" -p "$dir/build" --quiet "$source") >>"$dir/tidy.log" 2>&1; then
      failed=$((failed + 1))
    fi
  done
  if [ $failed -eq 0 ]; then
    echo "  clang-tidy: ${#sources[@]} sources clean"
  else
    echo "  clang-tidy: findings in $failed of ${#sources[@]} sources:"
    grep -E '(warning|error):' "$dir/tidy.log" | sed "s|$CI_ROOT/||" | sort -u | sed 's/^/    /'
    status=1
  fi
  return $status
}

run
rc=$?
record "$name" $rc $((SECONDS - begin))
exit $rc
