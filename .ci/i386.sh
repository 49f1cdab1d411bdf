#!/usr/bin/env bash
# 32-bit Linux: the plain CMake build and the pytest suite's tests of native
# code (the tests marked pure_python skip: KORVEX_NATIVE_ONLY=1) inside an
# i386 Debian bookworm chroot (32-bit `long`, pointers and `size_t`; Debian's
# Python 3.11 and numpy; the other test dependencies from PyPI where they have
# a wheel for i386, the tests that need a missing one skip).
#
# Needs root (debootstrap, chroot, mount). The chroot is made once per work
# directory and reused while its package list is unchanged; /proc and /dev
# are mounted into it for the run and unmounted on exit.
#
# Environment:
#   KORVEX_CI_DIR       work directory (default build/ci); the chroot is
#                       $KORVEX_CI_DIR/i386-root
#   KORVEX_I386_MIRROR  Debian mirror (default: the host's, else deb.debian.org)
set -uo pipefail

if [ "${1:-}" = --inside ]; then
  # ---------------------------------------------------------- in the chroot
  set -e
  cd /src
  echo "  $(python3 -c 'import platform, struct; print("Python", platform.python_version(),
    platform.machine(), "long", struct.calcsize("l"), "pointer", struct.calcsize("P"), "bytes")')"
  [ "$(python3 -c 'import struct; print(struct.calcsize("P"))')" = 4 ] || { echo "not a 32-bit Python"; exit 1; }
  rm -rf /opt/venv
  python3 -m venv --system-site-packages /opt/venv
  # numpy stays Debian's (PyPI has no i386 wheels of current releases).
  python3 -c 'import numpy; print("numpy==" + numpy.__version__)' >/opt/constraints.txt
  echo "  numpy $(cut -d= -f3 /opt/constraints.txt) (Debian)"
  # The test extra of pyproject.toml, one requirement at a time: binary
  # wheels only, so a dependency without an i386 wheel is left out (its
  # tests skip) instead of being compiled here.
  python3 /src/.ci/pyproject_query.py /src/pyproject.toml extra test --except numpy >/opt/test-deps.txt
  missing=()
  while read -r req; do
    if /opt/venv/bin/pip install -q --only-binary=:all: -c /opt/constraints.txt "$req" >/opt/pip.log 2>&1; then
      echo "  installed $req"
    else
      echo "  not installable for i386: $req ($(grep -m1 -E '^ERROR' /opt/pip.log | cut -c1-160))"
      missing+=("$req")
    fi
  done </opt/test-deps.txt
  for required in pytest hypothesis; do
    /opt/venv/bin/python -c "import $required" || { echo "the suite cannot run without $required"; exit 1; }
  done
  # Only the tests of native code run here; the pure Python ones skip.
  exec env KORVEX_NATIVE_ONLY=1 KORVEX_CI_PYTHON=/opt/venv/bin/python KORVEX_CI_DIR=/ci \
    bash /src/.ci/cmake-suite.sh i386-suite
fi

# ------------------------------------------------------------------ on the host
source "$(dirname "$0")/lib.sh"

name=i386
ROOTFS=$CI_WORK/i386-root
PACKAGES=python3-dev,python3-venv,python3-numpy,g++,cmake,ninja-build
host_mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
MIRROR=${KORVEX_I386_MIRROR:-${host_mirror:-http://deb.debian.org/debian}}
begin=$SECONDS

mounts_inside() { awk -v r="$ROOTFS/" 'index($2, r) == 1 { print $2 }' /proc/mounts; }

unmount_all() {
  local m
  for m in "$ROOTFS/dev" "$ROOTFS/proc"; do
    if mountpoint -q "$m"; then
      umount -R "$m" 2>/dev/null || umount -R -l "$m"
    fi
  done
  if [ -n "$(mounts_inside)" ]; then
    echo "still mounted under $ROOTFS:"
    mounts_inside
    return 1
  fi
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

run() {
  # Never delete a tree that still has the host's /dev or /proc in it.
  unmount_all || return 1
  if [ "$(cat "$ROOTFS/.korvex-packages" 2>/dev/null)" != "$PACKAGES" ]; then
    apt_ensure debootstrap || { echo "could not install debootstrap"; return 1; }
    rm -rf "$ROOTFS"
    ci_log "$name: debootstrap --arch=i386 bookworm from $MIRROR"
    debootstrap --arch=i386 --variant=minbase --include="$PACKAGES" bookworm "$ROOTFS" "$MIRROR" \
      >"$CI_WORK/i386-debootstrap.log" 2>&1 || { tail -n 30 "$CI_WORK/i386-debootstrap.log"; return 1; }
    echo "$PACKAGES" >"$ROOTFS/.korvex-packages"
  else
    ci_log "$name: reusing $ROOTFS"
  fi
  # pip inside reaches PyPI through the same TLS setup as the host's: the
  # host's CA bundle replaces the chroot's, and none of the host's pip
  # settings (local find-links, extra indexes, constraints) apply there.
  mkdir -p "$ROOTFS/etc/ssl/certs"
  cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$ROOTFS/etc/ssl/certs/ca-certificates.crt"
  cp --remove-destination /etc/resolv.conf "$ROOTFS/etc/resolv.conf"
  copy_tree "$ROOTFS/src"
  rm -rf "$ROOTFS/ci"
  mount -t proc proc "$ROOTFS/proc" || return 1
  mount --rbind /dev "$ROOTFS/dev" && mount --make-rslave "$ROOTFS/dev" || return 1
  env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    PIP_CONFIG_FILE=/dev/null PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 PIP_NO_INPUT=1 \
    ${CMAKE_BUILD_PARALLEL_LEVEL:+CMAKE_BUILD_PARALLEL_LEVEL=$CMAKE_BUILD_PARALLEL_LEVEL} \
    setarch i686 chroot "$ROOTFS" /bin/bash /src/.ci/i386.sh --inside
  local rc=$?
  cp "$ROOTFS/ci/results/i386-suite.xml" "$CI_RESULTS/$name.xml" 2>/dev/null
  return $rc
}

rc=0
rm -f "$CI_RESULTS/$name.xml"
run || rc=$?
unmount_all || rc=1
if [ -s "$CI_RESULTS/$name.xml" ]; then
  record "$name" $rc $((SECONDS - begin)) "$CI_RESULTS/$name.xml"
else
  record "$name" 1 $((SECONDS - begin))
fi
