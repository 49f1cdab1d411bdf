#!/usr/bin/env bash
# cross.sh ARCH: the module and the test-only module cross-built for another
# architecture, and the pytest suite's tests of native code (the tests marked
# pure_python skip: KORVEX_NATIVE_ONLY=1) run there under user-mode QEMU:
#
#   arm64   64-bit Arm (aarch64)
#   armhf   32-bit Arm (32-bit `long` and pointers, plain `char` unsigned)
#   s390x   64-bit big-endian; this job also replays the fuzz seed corpus
#
# Nothing of the target runs natively and no system setting changes (no
# binfmt_misc): the interpreter is started through a wrapper script that runs
# QEMU, and QEMU's -0 makes that wrapper the child interpreters' sys.executable.
#
# A Debian bookworm sysroot with Python 3.11 and numpy is made by the first
# stage of debootstrap (which runs nothing of the target) and dpkg-deb, once
# per work directory and while its package list is unchanged.  The build
# uses the Debian cross compiler and CMake >= 4.1, whose FindPython runs the
# target interpreter under the emulator for its headers and SOABI (an older
# CMake on PATH is replaced by the `cmake` package from PyPI in a virtual
# environment).  The rest of the test extra comes from PyPI as wheels for the
# target: a requirement without one is left out and the tests needing it
# skip.  Needs root (apt-get).
#
# Environment:
#   KORVEX_CI_DIR           work directory (default build/ci); the sysroot is
#                           $KORVEX_CI_DIR/ARCH-root
#   KORVEX_CROSS_MIRROR     Debian mirror (default: the host's, else
#                           deb.debian.org)
set -uo pipefail
source "$(dirname "$0")/lib.sh"

name=${1:-}
case $name in
  arm64) QEMU_ARCH=aarch64 TRIPLET=aarch64-linux-gnu CMAKE_PROCESSOR=aarch64 WHEEL_ARCH=aarch64 ;;
  armhf) QEMU_ARCH=arm TRIPLET=arm-linux-gnueabihf CMAKE_PROCESSOR=armv7l WHEEL_ARCH=armv7l ;;
  s390x) QEMU_ARCH=s390x TRIPLET=s390x-linux-gnu CMAKE_PROCESSOR=s390x WHEEL_ARCH=s390x ;;
  *) echo "usage: $0 arm64|armhf|s390x"; exit 2 ;;
esac

ROOTFS=$CI_WORK/$name-root
W=$CI_WORK/$name-work
TOOLS=$CI_WORK/cross-tools
PACKAGES=python3.11,libpython3.11-dev,libc6-dev,python3-numpy
QEMU=/usr/bin/qemu-$QEMU_ARCH-static
PY_TARGET=$ROOTFS/usr/bin/python3.11
WRAPPER=$ROOTFS/usr/bin/python3-qemu
SITE=$ROOTFS/usr/local/lib/python3.11/dist-packages
host_mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
MIRROR=${KORVEX_CROSS_MIRROR:-${host_mirror:-http://deb.debian.org/debian}}
begin=$SECONDS

# Every manylinux tag that bookworm's glibc (2.36) can load, for pip's
# --platform: pip does not widen a given tag to the older ones.
platforms() {
  local m
  echo "--platform manylinux2014_$WHEEL_ARCH"
  for m in $(seq 17 36); do echo "--platform manylinux_2_${m}_$WHEEL_ARCH"; done
}

make_sysroot() {
  local stamp="$name $PACKAGES"
  if [ "$(cat "$ROOTFS/.korvex-packages" 2>/dev/null)" = "$stamp" ]; then
    ci_log "$name: reusing $ROOTFS"
    return 0
  fi
  rm -rf "$ROOTFS"
  ci_log "$name: debootstrap --foreign --arch=$name bookworm from $MIRROR"
  debootstrap --foreign --arch="$name" --variant=minbase --include="$PACKAGES" bookworm "$ROOTFS" "$MIRROR" \
    >"$CI_WORK/$name-debootstrap.log" 2>&1 || { tail -n 30 "$CI_WORK/$name-debootstrap.log"; return 1; }
  # The first stage unpacks only the essential packages; the others are
  # unpacked here.  Their maintainer scripts never run (they are target
  # code), so what they would do is done by hand below.
  local deb
  for deb in "$ROOTFS"/var/cache/apt/archives/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$ROOTFS" ||
      { echo "could not unpack $deb"; return 1; }
  done
  ci_log "$name: unpacked $(ls "$ROOTFS"/var/cache/apt/archives/*.deb | wc -l) packages"
  # numpy loads libblas.so.3 and liblapack.so.3, links that update-alternatives
  # would make in the packages' postinst.
  local lib lib_dir=$ROOTFS/usr/lib/$TRIPLET
  for lib in blas/libblas.so.3 lapack/liblapack.so.3; do
    [ -e "$lib_dir/$lib" ] || { echo "no $lib in the sysroot"; return 1; }
    ln -sfn "$lib" "$lib_dir/${lib#*/}"
  done
  rm -rf "$ROOTFS/var/cache/apt/archives"/*.deb
  echo "$stamp" >"$ROOTFS/.korvex-packages"
}

# A virtual environment with the pip that downloads the target's wheels and,
# when the CMake on PATH is older than 4.1, CMake from PyPI.
make_tools() {
  if [ ! -x "$TOOLS/venv/bin/pip" ]; then
    python3 -m venv "$TOOLS/venv" || return 1
  fi
  if ! cmake -P /dev/stdin <<<'if(CMAKE_VERSION VERSION_LESS 4.1)
  message(FATAL_ERROR "CMake ${CMAKE_VERSION}")
endif()' >/dev/null 2>&1; then
    if [ ! -x "$TOOLS/venv/bin/cmake" ]; then
      ci_log "$name: CMake on PATH is older than 4.1; installing cmake from PyPI"
      "$TOOLS/venv/bin/pip" install -q "cmake>=4.1" >"$W/cmake-install.log" 2>&1 ||
        { tail -n 20 "$W/cmake-install.log"; return 1; }
    fi
    export PATH=$TOOLS/venv/bin:$PATH
  fi
  ci_log "$name: $(cmake --version | head -n 1)"
}

# The wrapper that the host's kernel runs as a script: with -0 "$0" the
# interpreter's sys.executable is the wrapper itself, so the interpreters
# that the suite starts come back through QEMU.
make_wrapper() {
  cat >"$WRAPPER" <<EOF
#!/bin/sh
exec $QEMU -L $ROOTFS -0 "\$0" $PY_TARGET "\$@"
EOF
  chmod +x "$WRAPPER"
}

make_toolchain() {
  cat >"$W/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $CMAKE_PROCESSOR)
set(CMAKE_SYSROOT $ROOTFS)
set(CMAKE_CXX_COMPILER $TRIPLET-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR $QEMU;-L;$ROOTFS)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

# The test extra of pyproject.toml (numpy excepted: Debian's is in the
# sysroot) and what it depends on, as wheels for the target, one
# distribution at a time so that one without a wheel for this architecture
# is left out (reported) instead of failing the rest.  The wheels are kept
# while the extra is unchanged; they are installed afresh on every run.
fetch_wheels() {
  local wheels=$W/wheels
  local extra
  # The wheels are chosen by the test extra and by this script.
  extra=$(sha256sum <"${BASH_SOURCE[0]}" | cut -c1-16)\ $(python3 -c 'import tomllib; print(tomllib.load(open("'"$CI_ROOT"'/pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"])')
  if [ "$(cat "$wheels/.korvex-extra" 2>/dev/null)" != "$extra" ]; then
    rm -rf "$wheels"
    mkdir -p "$wheels"
    # shellcheck disable=SC2046  # one --platform flag per tag
    "$TOOLS/venv/bin/python" - "$CI_ROOT/pyproject.toml" "$wheels" "$WHEEL_ARCH" $(platforms) <<'EOF' ||
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import tomllib
import zipfile
from email.parser import Parser

from pip._vendor.packaging.requirements import Requirement
from pip._vendor.packaging.utils import canonicalize_name

pyproject, wheels, machine = sys.argv[1:4]
platforms = sys.argv[4:]
with open(pyproject, "rb") as f:
    wanted = tomllib.load(f)["project"]["optional-dependencies"]["test"]
target = {
    "python_version": "3.11",
    "python_full_version": "3.11.2",
    "implementation_name": "cpython",
    "platform_python_implementation": "CPython",
    "platform_machine": machine,
    "platform_system": "Linux",
    "sys_platform": "linux",
    "os_name": "posix",
    "extra": "",
}
provided = {"numpy"}  # Debian's, in the sysroot
seen = set()
queue = [Requirement(r) for r in wanted]
while queue:
    req = queue.pop(0)
    key = canonicalize_name(req.name)
    if key in seen or key in provided or (req.marker and not req.marker.evaluate(target)):
        continue
    seen.add(key)
    # First with its dependencies, so that pip may pick an older release
    # whose dependencies all have wheels here (mypy 2 needs librt, which has
    # no wheel for every architecture); if that fails (a dependency is
    # Debian's numpy, or has no wheel), on its own, walking its dependencies.
    for deps in ([], ["--no-deps"]):
        with tempfile.TemporaryDirectory() as into:
            done = subprocess.run(
                [sys.executable, "-m", "pip", "download", "-q", *deps, "--only-binary=:all:",
                 "--python-version", "3.11", "--implementation", "cp", "--abi", "cp311",
                 *platforms, "-d", into, str(req)],
                capture_output=True, text=True)
            new = sorted(os.listdir(into))
            if done.returncode == 0:
                for w in new:
                    shutil.move(os.path.join(into, w), os.path.join(wheels, w))
                break
    if done.returncode != 0:
        print("  no wheel for %s: %s" % (machine, req))
        continue
    print("  " + " ".join(new))
    if not deps:
        seen.update(canonicalize_name(w.split("-")[0]) for w in new)
        continue
    with zipfile.ZipFile(os.path.join(wheels, new[0])) as whl:
        meta = next(n for n in whl.namelist() if n.endswith(".dist-info/METADATA"))
        deps = Parser().parsestr(whl.read(meta).decode()).get_all("Requires-Dist") or []
    queue.extend(Requirement(d) for d in deps)
EOF
      return 1
    echo "$extra" >"$wheels/.korvex-extra"
  else
    ci_log "$name: reusing the wheels in $wheels"
  fi
  rm -rf "$SITE"
  # shellcheck disable=SC2046
  "$TOOLS/venv/bin/pip" install -q --no-deps --only-binary=:all: --target "$SITE" \
    --python-version 3.11 --implementation cp --abi cp311 $(platforms) "$wheels"/*.whl \
    >"$W/install.log" 2>&1 || { tail -n 20 "$W/install.log"; return 1; }
}

# The fuzz seed corpus of the deserialize target, replayed as the reliability
# job does (without the sanitizers).  The serialize target's inputs are read
# by atheris' FuzzedDataProvider, and atheris has no wheel for this
# architecture.
replay_seeds() {
  ci_log "$name: fuzz seed replay (deserialize)"
  (cd "$CI_ROOT" && PYTHONPATH="$W/ci/$name-suite/build:$CI_ROOT" "$WRAPPER" -m fuzz.replay deserialize \
    "$CI_ROOT/fuzz/corpus/deserialize")
}

run() {
  mkdir -p "$W"
  apt_ensure qemu-user-static "g++-$TRIPLET" debootstrap ninja-build python3-venv ||
    { echo "could not install the cross toolchain"; return 1; }
  make_sysroot || return 1
  # The tools are shared by the three architectures' jobs, which may run at
  # the same time: one makes them while the others wait.
  exec 8>"$CI_WORK/cross-tools.lock"
  flock 8 || return 1
  make_tools || return 1
  flock -u 8
  make_wrapper
  make_toolchain
  fetch_wheels || return 1
  echo "  $("$WRAPPER" -c 'import platform, struct, sys; print("Python", platform.python_version(),
    platform.machine(), sys.byteorder + "-endian, long", struct.calcsize("l"), "pointer",
    struct.calcsize("P"), "bytes, numpy", __import__("numpy").__version__)')" || return 1
  # The suite's interpreter is the wrapper; CMake gets the target interpreter
  # itself (this later -DPython_EXECUTABLE wins over cmake-suite.sh's), which
  # it runs under the emulator.
  rm -rf "$W/ci"
  # Only the tests of native code run here (KORVEX_NATIVE_ONLY): the pure
  # Python ones cannot differ from the native jobs' and cost 5-10x here.
  KORVEX_NATIVE_ONLY=1 KORVEX_CI_DIR=$W/ci KORVEX_CI_PYTHON=$WRAPPER bash "$CI_ROOT/.ci/cmake-suite.sh" "$name-suite" \
    -DCMAKE_TOOLCHAIN_FILE="$W/toolchain.cmake" -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
    -DPython_EXECUTABLE="$PY_TARGET"
  local rc=$?
  cp "$W/ci/results/$name-suite.xml" "$CI_RESULTS/$name.xml" 2>/dev/null
  if [ "$name" = s390x ] && compgen -G "$W/ci/$name-suite/build/_korvex_messages.*.so" >/dev/null; then
    replay_seeds || rc=1
  fi
  return $rc
}

rc=0
rm -f "$CI_RESULTS/$name.xml"
run || rc=$?
if [ -s "$CI_RESULTS/$name.xml" ]; then
  record "$name" $rc $((SECONDS - begin)) "$CI_RESULTS/$name.xml"
else
  record "$name" 1 $((SECONDS - begin))
fi
