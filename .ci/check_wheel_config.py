"""The Python versions of the wheel configuration, everywhere they are stated:
`check_wheel_config.py ROOT IDENTIFIERS_FILE` (wheel-config.sh).

IDENTIFIERS_FILE holds what `cibuildwheel --print-build-identifiers` printed
for each platform; it must be exactly CPython 3.10 to 3.14 on the intended
platforms, and the classifiers, requires-python and CMakeLists.txt's
find_package(Python) must name the same versions. Prints every problem;
exits 1 if there is one.
"""

import re
import sys

import tomllib

MINORS = range(10, 15)
PLATFORMS = [
    "manylinux_x86_64",
    "manylinux_aarch64",
    "musllinux_x86_64",
    "macosx_x86_64",
    "macosx_arm64",
    "win_amd64",
]


def main(root, identifiers):
    with open(root + "/pyproject.toml", "rb") as f:
        project = tomllib.load(f)
    with open(identifiers) as f:
        got = set(f.read().split())
    expected = {f"cp3{m}-{p}" for m in MINORS for p in PLATFORMS}
    problems = []
    if got != expected:
        problems.append(
            "cibuildwheel selects %s more and %s fewer than intended"
            % (sorted(got - expected), sorted(expected - got))
        )
    meta = project["project"]
    classified = {
        int(m)
        for m in re.findall(
            r"^Programming Language :: Python :: 3\.(\d+)$", "\n".join(meta["classifiers"]), re.M
        )
    }
    if classified != set(MINORS):
        problems.append("classifiers name 3.%s" % sorted(classified))
    if meta["requires-python"] != ">=3.%d" % min(MINORS):
        problems.append("requires-python is %r" % meta["requires-python"])
    with open(root + "/CMakeLists.txt") as f:
        cmake = f.read()
    found = re.search(r"find_package\(Python (\d+)\.(\d+) ", cmake)
    if not found or (int(found[1]), int(found[2])) != (3, min(MINORS)):
        problems.append("CMakeLists.txt: find_package(Python) asks for %s" % (found and found[0]))
    print(
        "  %d wheels: CPython 3.%d-3.%d on %s"
        % (len(got), min(MINORS), max(MINORS), ", ".join(PLATFORMS))
    )
    for p in problems:
        print("  " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
