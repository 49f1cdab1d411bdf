# Shared by the CI job scripts (sourced, not run).
#
#   CI_ROOT      the checkout
#   CI_WORK      work directory of all jobs (KORVEX_CI_DIR, default build/ci)
#   CI_RESULTS   one file per finished job: "name status seconds passed failed skipped"

CI_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CI_WORK=${KORVEX_CI_DIR:-$CI_ROOT/build/ci}
CI_RESULTS=$CI_WORK/results
mkdir -p "$CI_WORK" "$CI_RESULTS"

ci_log() { echo "[$(date +%H:%M:%S)] $*"; }

# copy_tree DEST: the working tree as git sees it (tracked files, changes not
# yet committed included, and untracked files that are not ignored), without
# build directories or virtual environments.
copy_tree() {
  local dest=$1
  rm -rf "$dest"
  mkdir -p "$dest"
  (cd "$CI_ROOT" &&
    git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
      tar --null --no-recursion -T - -cf -) | tar -xf - -C "$dest"
}

# readme_command N: the Nth line of the first ```bash block of README.md, the
# commands that the README tells a user to run first.
readme_command() {
  awk -v n="$1" '
    /^```bash$/ && !seen { inside = 1; seen = 1; next }
    inside && /^```$/ { exit }
    inside { if (++i == n) { print; exit } }' "$CI_ROOT/README.md"
}

# junit_counts FILE...: "passed failed skipped" summed over pytest JUnit XML
# reports (errors count as failed). A missing or unreadable report counts
# as one failure.
junit_counts() { python3 "$CI_ROOT/.ci/junit.py" counts "$@"; }

# skip_reasons FILE: "count reason" for each distinct skip reason in a report.
skip_reasons() { python3 "$CI_ROOT/.ci/junit.py" skips "$1"; }

# failed_tests FILE: the test ids that failed or errored, with the first line
# of their message.
failed_tests() { python3 "$CI_ROOT/.ci/junit.py" failures "$1"; }

# test_venv DIR [EXTRA...]: a fresh virtual environment in DIR (python3's
# version) with the test extra of pyproject.toml installed, and each EXTRA
# named (the jobs that test them), and the package itself not;
# prints nothing but pip's complaints. The jobs that build the module
# themselves (CMake) each make their own, so no job relies on another's.
test_venv() {
  local dir=$1 extra
  shift
  rm -rf "$dir"
  python3 -m venv "$dir" || return 1
  python3 "$CI_ROOT/.ci/pyproject_query.py" "$CI_ROOT/pyproject.toml" extra test >"$dir/test-requirements.txt" &&
    for extra in "$@"; do
      python3 "$CI_ROOT/.ci/pyproject_query.py" "$CI_ROOT/pyproject.toml" extra "$extra" >>"$dir/test-requirements.txt" || return 1
    done &&
    "$dir/bin/pip" install -q -r "$dir/test-requirements.txt" >"$dir/pip.log" 2>&1 ||
    { tail -n 20 "$dir/pip.log"; return 1; }
}

# record NAME RC SECONDS [JUNIT...]: stores the outcome of a job and prints
# its summary line. A job that ran tests without a failure but exited
# non-zero is still recorded as failed.
record() {
  local name=$1 rc=$2 took=$3
  shift 3
  local counts="0 0 0"
  [ $# -eq 0 ] || counts=$(junit_counts "$@")
  local passed failed skipped status=ok
  read -r passed failed skipped <<<"$counts"
  [ "$rc" -eq 0 ] && [ "$failed" -eq 0 ] || status=FAILED
  echo "$name $status $took $passed $failed $skipped" >"$CI_RESULTS/$name"
  printf '== %s: %s, %s passed, %s failed, %s skipped, %ss\n' \
    "$name" "$status" "$passed" "$failed" "$skipped" "$took"
  [ $status = ok ]
}

# apt_ensure PACKAGE...: installs the Debian packages that are missing
# (apt-get update once per work directory).  Jobs running at the same time
# take turns (one lock for dpkg and apt's lists).
apt_ensure() {
  (
    flock 9 || exit 1
    local missing=() p
    for p in "$@"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && exit 0
    if [ ! -e "$CI_WORK/.apt-updated" ]; then
      DEBIAN_FRONTEND=noninteractive apt-get update -qq && touch "$CI_WORK/.apt-updated" || exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  ) 9>"${TMPDIR:-/tmp}/korvex-ci-apt.lock"
}
