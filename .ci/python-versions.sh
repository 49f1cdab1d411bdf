#!/usr/bin/env bash
# The README's two commands, exactly as written there, on every CPython the
# package claims, each in its own copy of the tree with that version first on
# PATH as `python3`: the first builds, installs and runs the quick start, the
# second installs the test dependencies and the test-only module and runs the
# test suite.
#
# Environment:
#   KORVEX_PYTHONS   versions under $(pyenv root)/versions (default
#                    "3.10.13 3.11.7 3.12.1 3.13.0")
#   KORVEX_README_TESTED  a version whose test command another job runs
#                    already (.ci/run's readme-python3: python3 on PATH); for
#                    it only the quick start runs here
#   KORVEX_CI_DIR    work directory (default build/ci)
set -uo pipefail
source "$(dirname "$0")/lib.sh"

VERSIONS=${KORVEX_PYTHONS:-3.10.13 3.11.7 3.12.1 3.13.0}
PYENV_ROOT=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
QUICKSTART=$(readme_command 1)
TESTS=$(readme_command 2)
[ -n "$QUICKSTART" ] && [ -n "$TESTS" ] || { echo "README.md: no commands at the top"; exit 1; }

# Each version's two commands build the same objects twice (pip builds each
# in a fresh temporary directory); ccache, where it can be had, compiles
# them once.  Its hits need the same source path, so they stay within a job.
if apt_ensure ccache && command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=$CI_WORK/ccache
fi

FAILED=0
for version in $VERSIONS; do
  bin=$PYENV_ROOT/versions/$version/bin
  name=python-$version
  dir=$CI_WORK/$name
  begin=$SECONDS
  ci_log "$name: README commands with $bin/python3"
  rm -f "$CI_RESULTS/$name.xml"
  (
    set -e
    copy_tree "$dir"
    cd "$dir"
    export PATH="$bin:$PATH"
    unset VIRTUAL_ENV PYTHONPATH
    got=$(python3 -c 'import platform; print(platform.python_version())')
    [ "$got" = "$version" ] || { echo "python3 is $got, not $version"; exit 1; }
    echo "\$ $QUICKSTART"
    bash -c "$QUICKSTART" >"$CI_WORK/$name.quickstart.log" 2>&1 ||
      { tail -n 40 "$CI_WORK/$name.quickstart.log"; exit 1; }
    if [ "$version" = "${KORVEX_README_TESTED:-}" ]; then
      echo "  the test command with $version: see readme-python3"
      exit 0
    fi
    # Each command as on a fresh checkout.
    rm -rf .venv
    echo "\$ $TESTS"
    rc=0
    PYTEST_ADDOPTS="--junit-xml=$CI_RESULTS/$name.xml -p no:cacheprovider" bash -c "$TESTS" \
      >"$CI_WORK/$name.tests.log" 2>&1 || rc=$?
    echo "  pip $(.venv/bin/python -m pip --version | cut -d' ' -f2)," \
      "$(.venv/bin/python -c 'import numpy; print("numpy", numpy.__version__)' 2>&1 | tail -n 1)"
    tail -n 1 "$CI_WORK/$name.tests.log"
    exit $rc
  )
  rc=$?
  if [ $rc -ne 0 ]; then
    failed_tests "$CI_RESULTS/$name.xml"
    [ -s "$CI_RESULTS/$name.xml" ] || tail -n 40 "$CI_WORK/$name.tests.log" 2>/dev/null
  fi
  skip_reasons "$CI_RESULTS/$name.xml" | sed "s/^/  skipped /"
  if [ $rc -eq 0 ] && [ "$version" = "${KORVEX_README_TESTED:-}" ]; then
    record "$name" 0 $((SECONDS - begin)) || FAILED=1
  elif [ -s "$CI_RESULTS/$name.xml" ]; then
    record "$name" $rc $((SECONDS - begin)) "$CI_RESULTS/$name.xml" || FAILED=1
  else
    record "$name" 1 $((SECONDS - begin)) || FAILED=1
  fi
done
[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] || ccache --show-stats 2>/dev/null | grep -iE '^ *(hits|misses)' | sed 's/^ */  ccache /'
exit $FAILED
