#!/usr/bin/env bash
# toolchains.sh clang|unsigned-char: the whole suite against another build of
# the same sources, each in a job of its own:
#
#   clang          Debian's Clang (the default build uses GCC)
#   unsigned-char  GCC with -funsigned-char (plain `char` is unsigned on Arm
#                  and POWER Linux, signed on x86)
#
# Environment: KORVEX_CI_PYTHON (interpreter with the test dependencies,
# default: a fresh test environment of python3 in the job's directory,
# cmake-suite.sh), KORVEX_CI_DIR (work directory, default build/ci).
set -uo pipefail
source "$(dirname "$0")/lib.sh"

begin=$SECONDS
case ${1:-} in
  clang)
    if apt_ensure clang; then
      CXX=clang++ exec bash "$CI_ROOT/.ci/cmake-suite.sh" clang
    fi
    echo "could not install clang"
    record clang 1 $((SECONDS - begin))
    exit 1
    ;;
  unsigned-char)
    CXX=g++ exec bash "$CI_ROOT/.ci/cmake-suite.sh" unsigned-char -DCMAKE_CXX_FLAGS=-funsigned-char
    ;;
  *) echo "usage: $0 clang|unsigned-char"; exit 2 ;;
esac
