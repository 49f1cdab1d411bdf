#!/usr/bin/env bash
# The whole suite against two other builds of the same sources: Debian's
# Clang (the default build uses GCC), and GCC with -funsigned-char (plain
# `char` is unsigned on Arm and POWER Linux, signed on x86).
#
# Environment: KORVEX_CI_PYTHON (interpreter with the test dependencies,
# default: a fresh test environment of python3 that both builds share, made
# here), KORVEX_CI_DIR (work directory, default build/ci).
set -uo pipefail
source "$(dirname "$0")/lib.sh"

FAILED=0
begin=$SECONDS
if [ -z "${KORVEX_CI_PYTHON:-}" ]; then
  ci_log "toolchains: test environment in $CI_WORK/toolchains-venv"
  if test_venv "$CI_WORK/toolchains-venv"; then
    export KORVEX_CI_PYTHON=$CI_WORK/toolchains-venv/bin/python
  else
    echo "could not make the test environment"
    record clang 1 $((SECONDS - begin))
    record unsigned-char 1 $((SECONDS - begin))
    exit 1
  fi
fi
if apt_ensure clang; then
  CXX=clang++ bash "$CI_ROOT/.ci/cmake-suite.sh" clang || FAILED=1
else
  echo "could not install clang"
  record clang 1 $((SECONDS - begin))
  FAILED=1
fi
CXX=g++ bash "$CI_ROOT/.ci/cmake-suite.sh" unsigned-char -DCMAKE_CXX_FLAGS=-funsigned-char || FAILED=1
exit $FAILED
