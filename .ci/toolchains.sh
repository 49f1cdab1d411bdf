#!/usr/bin/env bash
# The whole suite against two other builds of the same sources: Debian's
# Clang (the default build uses GCC), and GCC with -funsigned-char (plain
# `char` is unsigned on Arm and POWER Linux, signed on x86).
#
# Environment: KORVEX_CI_PYTHON (interpreter with the test dependencies,
# default python3), KORVEX_CI_DIR (work directory, default build/ci).
set -uo pipefail
source "$(dirname "$0")/lib.sh"

FAILED=0
begin=$SECONDS
if apt_ensure clang; then
  CXX=clang++ bash "$CI_ROOT/.ci/cmake-suite.sh" clang || FAILED=1
else
  echo "could not install clang"
  record clang 1 $((SECONDS - begin))
  FAILED=1
fi
CXX=g++ bash "$CI_ROOT/.ci/cmake-suite.sh" unsigned-char -DCMAKE_CXX_FLAGS=-funsigned-char || FAILED=1
exit $FAILED
