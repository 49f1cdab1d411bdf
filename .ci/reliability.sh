#!/usr/bin/env bash
# Reliability checks for _korvex_messages and korvex_messages.ros2._native:
#   1. a sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer, the
#      plain CMake build with -DKORVEX_SANITIZE=ON, and the comparison
#      tracing that the fuzzer reads), proven to report faults;
#   2. the fuzz seed corpus replayed and the whole pytest suite (leak, thread
#      stress and hostile-input tests included) run under it;
#   3. the fuzz targets (atheris + libFuzzer, comparison tracing of the C++
#      core, ASan/UBSan) for a bounded time each, memory capped: the core
#      module's deserialize and serialize, and the ROS 2 codec's
#      (korvex_messages.ros2 against rosbags), and its registration from
#      hostile definition text.
# Any failed step, test, fuzz finding or sanitizer report makes it exit 1.
#
# Environment:
#   FUZZ_SECONDS       time per fuzz target (default 15)
#   FUZZ_ONLY=1        skip the canary, seed replay and test suite
#   FUZZ_ARGS          extra libFuzzer flags, e.g. "-jobs=4 -workers=2"
#   KORVEX_RELIABILITY_DIR  build and work directory (default build/reliability);
#                      the fuzz corpora grown there are kept and reused
#   KORVEX_CI_PYTHON   interpreter with the test dependencies (default: a
#                      fresh test environment of python3 in the work
#                      directory, lib.sh test_venv); atheris is added to it
set -uo pipefail
source "$(dirname "$0")/lib.sh"

ROOT=$CI_ROOT
WORK=${KORVEX_RELIABILITY_DIR:-$ROOT/build/reliability}
FUZZ_SECONDS=${FUZZ_SECONDS:-15}
FUZZ_ONLY=${FUZZ_ONLY:-0}
FUZZ_ARGS=${FUZZ_ARGS:-}
# The fuzz targets, fuzz/fuzz_TARGET.py, each with its seeds in fuzz/corpus/TARGET.
TARGETS="deserialize serialize decode_table ros2_deserialize ros2_serialize ros2_register ros2_decode_table ros2_encode_table ros2_mcap_scan ros2_arrow_producer"
mkdir -p "$WORK"
if [ -z "${KORVEX_CI_PYTHON:-}" ]; then
  echo "==> test environment in $WORK/venv"
  # With the optional packages: the table fuzz targets read their rows with
  # pyarrow, and the suite's Arrow consumers run under the sanitizers too.
  test_venv "$WORK/venv" arrow recordings || { echo "RELIABILITY CHECKS FAILED: no test environment"; exit 1; }
  KORVEX_CI_PYTHON=$WORK/venv/bin/python
fi
# The interpreter itself, not a launcher script: LD_PRELOAD must reach it.
PY=$("$KORVEX_CI_PYTHON" -c 'import sys; print(sys.executable)')
ASAN_LIB=$(readlink -f "$(gcc -print-file-name=libasan.so)")
UBSAN_LIB=$(readlink -f "$(gcc -print-file-name=libubsan.so)")
LOGS=$WORK/sanitizer-logs
mkdir -p "$WORK"
rm -rf "$LOGS" "$WORK/fuzz-work"
mkdir -p "$LOGS" "$WORK/fuzz-work"

STARTED=$SECONDS
declare -a SUMMARY=()
FAILED=0

step() {  # step NAME COMMAND...: runs one step, logs it, records the outcome
  local name=$1
  shift
  local log="$WORK/$(echo "$name" | tr -c 'A-Za-z0-9\n' '_').log"
  local begin=$SECONDS
  echo "==> $name"
  "$@" >"$log" 2>&1
  local rc=$?
  local took=$((SECONDS - begin))
  if [ $rc -eq 0 ]; then
    SUMMARY+=("$(printf '%-34s ok      %4ss' "$name" "$took")")
  else
    FAILED=1
    SUMMARY+=("$(printf '%-34s FAILED  %4ss  (exit %s, log %s)' "$name" "$took" "$rc" "$log")")
    echo "    FAILED (exit $rc); last lines of $log:"
    tail -n 40 "$log" | sed 's/^/    | /'
  fi
  return $rc
}

# Environment of every run under the sanitizers.  Reports go to files as
# well as failing the process, so one raised in a child process that a test
# expects to die is still seen.  (The UBSan runtime only honours its
# log_path when it is loaded ahead of the ASan runtime.)
san_env() {
  env PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:strict_string_checks=1:log_path=$LOGS/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan" \
    LD_PRELOAD="$WORK/sancov_bridge.so $UBSAN_LIB $ASAN_LIB" "$@"
}

ensure_atheris() {
  "$PY" -c 'import atheris' 2>/dev/null || "$PY" -m pip install -q atheris
  "$PY" -c 'import atheris'
}

build_asan() {
  # One build for the suite and the fuzzer: the sanitizers plus gcc's
  # comparison tracing, whose hooks sancov_bridge.c provides (preloaded
  # everywhere the modules run): no-ops for the suite, forwarded to
  # libFuzzer as coverage feedback once a fuzz target binds them.
  cmake -S "$ROOT" -B "$WORK/build-asan" -G Ninja -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_WERROR=ON \
    -DKORVEX_SANITIZE=ON "-DCMAKE_CXX_FLAGS=-fsanitize-coverage=trace-cmp" &&
    cmake --build "$WORK/build-asan" &&
    nm -D "$WORK"/build-asan/_korvex_messages.*.so | grep __asan_report >/dev/null &&
    nm -D "$WORK"/build-asan/korvex_messages/ros2/_native.*.so | grep __asan_report >/dev/null &&
    gcc -shared -fPIC -O2 -fno-stack-protector -fvisibility=hidden -Wall \
      -o "$WORK/sancov_bridge.so" "$ROOT/fuzz/sancov_bridge.c" -ldl
}

canary() {
  # The sanitizer runtime, preload and options must turn a fault into a
  # failing run with a report.
  local lib=$WORK/sanitizer_canary.so
  gcc -shared -fPIC -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -o "$lib" "$ROOT/fuzz/sanitizer_canary.c" || return 1
  local ok=0
  local call function kind
  for call in "korvex_canary_heap_overflow(16):heap-buffer-overflow" \
    "korvex_canary_signed_overflow(2147483647):signed integer overflow"; do
    function=${call%%:*}
    kind=${call#*:}
    rm -rf "$WORK/canary-logs" && mkdir -p "$WORK/canary-logs"
    if (LOGS=$WORK/canary-logs && san_env "$PY" -c \
      "import ctypes; ctypes.CDLL('$lib').$function"); then
      echo "canary $function: the fault went unreported (exit 0)"
      ok=1
    elif ! cat "$WORK"/canary-logs/* 2>/dev/null | grep "$kind" >/dev/null; then
      echo "canary $function: no '$kind' report written"
      ok=1
    else
      echo "canary $function: reported '$kind' as expected"
    fi
  done
  return $ok
}

# The fuzz scripts are modules of the checkout (fuzz.*, importing
# tests.support), so the checkout goes on PYTHONPATH after the build.
replay_seeds() {
  local target
  for target in $TARGETS; do
    PYTHONPATH="$WORK/build-asan:$ROOT" san_env "$PY" -m fuzz.replay "$target" \
      "$ROOT/fuzz/corpus/$target" || return 1
  done
}

test_suite() {
  (cd "$ROOT" &&
    PYTHONPATH="$WORK/build-asan" san_env "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests")
}

fuzz() {  # fuzz TARGET
  local target=$1
  local corpus=$WORK/fuzz-corpus/$target
  local log=$WORK/fuzz-work/$target.log
  mkdir -p "$corpus" "$WORK/fuzz-work/artifacts"
  # sancov_bridge.so comes first so that the module's tracing calls reach
  # libFuzzer rather than the sanitizer runtimes' no-op versions.
  # shellcheck disable=SC2086  # FUZZ_ARGS is a list of flags
  (cd "$WORK/fuzz-work" && timeout --kill-after=30 $((FUZZ_SECONDS + 180)) \
    env PYTHONPATH="$WORK/build-asan:$ROOT" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:quarantine_size_mb=64" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    LD_PRELOAD="$WORK/sancov_bridge.so $UBSAN_LIB $ASAN_LIB" \
    "$PY" -m "fuzz.fuzz_$target" "$corpus" "$ROOT/fuzz/corpus/$target" \
    -use_value_profile=1 -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=25 \
    -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$WORK/fuzz-work/artifacts/$target-" $FUZZ_ARGS >"$log" 2>&1)
  local rc=$?
  grep -v -E '^#[0-9]+.*(NEW|REDUCE|pulse) ' "$log" | tail -n 60
  [ $rc -eq 0 ] || return $rc
  # The run only means something if the C++ core fed coverage back.
  grep -qs "native comparison tracing forwarded" "$log" "$WORK"/fuzz-work/fuzz-*.log ||
    { echo "no coverage feedback from the module"; return 1; }
}

sanitizer_reports() {
  if compgen -G "$LOGS/*" >/dev/null; then
    for f in "$LOGS"/*; do
      echo "--- $f"
      cat "$f"
    done
    return 1
  fi
  echo "no sanitizer reports"
}

step "atheris available" ensure_atheris
step "build (asan+ubsan+trace-cmp)" build_asan
if [ "$FUZZ_ONLY" != 1 ]; then
  step "sanitizer canary" canary
  step "seed replay under asan" replay_seeds
  step "pytest suite under asan" test_suite
fi
step "fuzz deserialize ${FUZZ_SECONDS}s" fuzz deserialize
step "fuzz serialize ${FUZZ_SECONDS}s" fuzz serialize
step "fuzz decode_table ${FUZZ_SECONDS}s" fuzz decode_table
step "fuzz ros2_deserialize ${FUZZ_SECONDS}s" fuzz ros2_deserialize
step "fuzz ros2_serialize ${FUZZ_SECONDS}s" fuzz ros2_serialize
step "fuzz ros2_register ${FUZZ_SECONDS}s" fuzz ros2_register
step "fuzz ros2_decode_table ${FUZZ_SECONDS}s" fuzz ros2_decode_table
step "fuzz ros2_encode_table ${FUZZ_SECONDS}s" fuzz ros2_encode_table
step "fuzz ros2_mcap_scan ${FUZZ_SECONDS}s" fuzz ros2_mcap_scan
step "fuzz ros2_arrow_producer ${FUZZ_SECONDS}s" fuzz ros2_arrow_producer
step "sanitizer reports" sanitizer_reports

echo
echo "== reliability summary =="
for line in "${SUMMARY[@]}"; do echo "  $line"; done
for target in $TARGETS; do
  log=$WORK/fuzz-work/$target.log
  [ -f "$log" ] || continue
  stats=$(grep -E '^stat::number_of_executed_units|^stat::new_units_added|^stat::peak_rss_mb' "$log" |
    sed 's/^stat:://' | tr '\n' ' ')
  done_line=$(grep -E '#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | sed 's/^#//')
  echo "  fuzz $target: $stats"
  [ -z "$done_line" ] || echo "    $done_line"
done
if compgen -G "$WORK/fuzz-work/artifacts/*" >/dev/null; then
  echo "  fuzz findings; reproduce one with"
  echo "    (cd $ROOT && PYTHONPATH=$WORK/build-asan python3 -m fuzz.replay TARGET FILE)"
  echo "  (under the sanitizers: prefix PYTHONMALLOC=malloc LD_PRELOAD=\"$UBSAN_LIB $ASAN_LIB\""
  echo "   ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0)"
  ls -1 "$WORK"/fuzz-work/artifacts/* | sed 's/^/    /'
fi
echo "  total $((SECONDS - STARTED))s"
if [ $FAILED -ne 0 ]; then
  echo "RELIABILITY CHECKS FAILED"
  exit 1
fi
echo "all reliability checks passed"
