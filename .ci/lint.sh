#!/usr/bin/env bash
# Lint and format check of every Python file of the tree (tests, fuzz,
# bench, examples, src/stubs, the CI's own helpers in .ci/), with the
# settings of [tool.ruff] in pyproject.toml: `ruff format --check` and
# `ruff check`. ruff (pinned below) is installed into a throwaway virtual
# environment under the work directory. Exits non-zero on any finding; fix
# with `ruff format` and `ruff check --fix` at the same version.
#
# Environment: KORVEX_CI_DIR (work directory, default build/ci); python3 is
# the interpreter used for the environment.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

RUFF_VERSION=0.17.5
name=lint
W=$CI_WORK/$name
begin=$SECONDS
rm -rf "$W"
mkdir -p "$W"

run() {
  python3 -m venv "$W/venv" || return 1
  "$W/venv/bin/pip" install -q "ruff==$RUFF_VERSION" >"$W/install.log" 2>&1 ||
    { tail -n 20 "$W/install.log"; return 1; }
  ci_log "$name: $("$W/venv/bin/ruff" --version)"
  local rc=0
  (cd "$CI_ROOT" && "$W/venv/bin/ruff" format --check .) || rc=1
  (cd "$CI_ROOT" && "$W/venv/bin/ruff" check .) || rc=1
  return $rc
}

run
rc=$?
record "$name" $rc $((SECONDS - begin))
