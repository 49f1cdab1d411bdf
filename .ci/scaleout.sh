#!/usr/bin/env bash
# The scale-out recipes, each in a virtual environment of its own with the
# package built from this checkout:
#
#   scaleout-dask  dask[distributed], then examples/dask_decode.py
#   scaleout-ray   ray, then examples/ray_decode.py
#
# Each job writes a small recording with examples/record_replay.py --keep,
# decodes it with the recipe on 2 worker processes (killing or restarting
# workers on the way, so that the layouts must be registered again), and
# passes only if the recipe's totals equal a sequential read of the file
# (the recipe exits non-zero otherwise) and, for Ray, every service was on
# 127.0.0.1.
#
# Environment: KORVEX_CI_DIR (work directory, default build/ci);
# KORVEX_SCALEOUT_JOBS picks the jobs (default "dask ray"); python3 is the
# interpreter used.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

FAILED=0

job() {
  local kind=$1 requirement=$2 expect=$3
  local name=scaleout-$kind
  local W=$CI_WORK/$name
  local begin=$SECONDS
  rm -rf "$W"
  mkdir -p "$W"
  (
    set -e
    python3 -m venv "$W/venv"
    ci_log "$name: pip install . \"$requirement\""
    "$W/venv/bin/pip" install -q "$CI_ROOT" "$requirement" >"$W/install.log" 2>&1 ||
      { tail -n 30 "$W/install.log"; exit 1; }
    "$W/venv/bin/python" -c 'from importlib.metadata import version as v
import sys
print("  " + ", ".join(n + " " + v(n) for n in sys.argv[1:]))' korvex-messages "${requirement%%[*}"
    cd "$W"
    "$W/venv/bin/python" "$CI_ROOT/examples/record_replay.py" --seconds 4 --keep "$W/run.rec" >"$W/record.log"
    tail -n 3 "$W/record.log" | head -n 1 | sed 's/^/  /'
    ci_log "$name: examples/${kind}_decode.py --file run.rec --workers 2 --dicts"
    local rc=0
    timeout 300 "$W/venv/bin/python" "$CI_ROOT/examples/${kind}_decode.py" --file "$W/run.rec" \
      --workers 2 --dicts >"$W/run.log" 2>&1 || rc=$?
    { grep -E 'msg/s|address|match|differ' "$W/run.log" || true; } | sed 's/^/  /'
    [ $rc -eq 0 ] || { echo "  exit status $rc"; tail -n 30 "$W/run.log"; exit 1; }
    grep -q '^totals match a sequential read$' "$W/run.log"
    [ -z "$expect" ] || grep -qx "$expect" "$W/run.log" || { echo "  no line: $expect"; exit 1; }
  )
  record "$name" $? $((SECONDS - begin)) || FAILED=1
}

for kind in ${KORVEX_SCALEOUT_JOBS:-dask ray}; do
  case $kind in
    dask) job dask "dask[distributed]" "" ;;
    ray) job ray "ray" "ray node address: 127.0.0.1" ;;
    *) echo "unknown scale-out job: $kind"; FAILED=1 ;;
  esac
done
exit $FAILED
