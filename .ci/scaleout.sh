#!/usr/bin/env bash
# The scale-out readers, each in a virtual environment of its own with the
# package built from this checkout and its extra (and the test extra):
#
#   scaleout-dask  .[dask,test] and dask[distributed], then examples/dask_decode.py
#   scaleout-ray   .[ray,test], then examples/ray_decode.py
#
# Each job writes a small record file with examples/record_replay.py --keep;
# the recipe writes its messages as 8 ROS 2 recording files, reads them with
# its read_topic on 2 worker processes (the Dask one restarting its workers
# on the way, which must then find the definitions in the files again), and
# passes only if the recipe's totals equal a sequential read of the files
# (the recipe exits non-zero otherwise) and, for Ray, every service was on
# 127.0.0.1.  Then the job runs tests/test_ros2_scaleout.py and
# tests/test_docs.py against the installed package: the tests of its library
# run there (the other's skip), and so do the docs' blocks that use it.
#
# Environment: KORVEX_CI_DIR (work directory, default build/ci);
# KORVEX_SCALEOUT_JOBS picks the jobs (default "dask ray"); python3 is the
# interpreter used.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

FAILED=0

job() {
  local kind=$1 expect=$2
  shift 2
  local name=scaleout-$kind
  local W=$CI_WORK/$name
  local xml=$CI_RESULTS/$name.xml
  local begin=$SECONDS
  rm -rf "$W" "$xml"
  mkdir -p "$W"
  (
    set -e
    python3 -m venv "$W/venv"
    ci_log "$name: pip install \".[$kind,test]\" $*"
    "$W/venv/bin/pip" install -q "$CI_ROOT[$kind,test]" "$@" >"$W/install.log" 2>&1 ||
      { tail -n 30 "$W/install.log"; exit 1; }
    "$W/venv/bin/python" -c 'from importlib.metadata import version as v
import sys
print("  " + ", ".join(n + " " + v(n) for n in sys.argv[1:]))' korvex-messages "$kind" pyarrow
    cd "$W"
    "$W/venv/bin/python" "$CI_ROOT/examples/record_replay.py" --seconds 4 --keep "$W/run.rec" >"$W/record.log"
    tail -n 3 "$W/record.log" | head -n 1 | sed 's/^/  /'
    ci_log "$name: examples/${kind}_decode.py --file run.rec --workers 2 --rows"
    local rc=0
    timeout 300 "$W/venv/bin/python" "$CI_ROOT/examples/${kind}_decode.py" --file "$W/run.rec" \
      --workers 2 --rows >"$W/run.log" 2>&1 || rc=$?
    { grep -E 'msg/s|address|match|differ|recordings:' "$W/run.log" || true; } | sed 's/^/  /'
    [ $rc -eq 0 ] || { echo "  exit status $rc"; tail -n 30 "$W/run.log"; exit 1; }
    grep -q '^totals match a sequential read$' "$W/run.log"
    [ -z "$expect" ] || grep -qx "$expect" "$W/run.log" || { echo "  no line: $expect"; exit 1; }
    ci_log "$name: pytest tests/test_ros2_scaleout.py tests/test_docs.py"
    # The package as installed; the test-only module is not part of it.
    timeout 600 "$W/venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$CI_ROOT" \
      --without-testing-module --junit-xml="$xml" "$CI_ROOT/tests/test_ros2_scaleout.py" "$CI_ROOT/tests/test_docs.py" \
      >"$W/pytest.log" 2>&1 || { tail -n 40 "$W/pytest.log"; exit 1; }
    tail -n 1 "$W/pytest.log" | sed 's/^/  /'
  )
  local rc=$?
  if [ -f "$xml" ]; then
    record "$name" $rc $((SECONDS - begin)) "$xml" || FAILED=1
  else
    record "$name" $rc $((SECONDS - begin)) || FAILED=1
  fi
}

for kind in ${KORVEX_SCALEOUT_JOBS:-dask ray}; do
  case $kind in
    dask) job dask "" "dask[distributed]" ;;
    ray) job ray "ray node address: 127.0.0.1" ;;
    *) echo "unknown scale-out job: $kind"; FAILED=1 ;;
  esac
done
exit $FAILED
