"""The contents of the wheels built from the sdist:
`check_wheels.py DEFAULT_WHEEL [TESTING_WHEEL]`.

Each holds the module, the ROS 2 codec's module, the tables' module, their stubs, the public
package (with its ros2 subpackage, its recording reader and command line, and
py.typed), the console script's entry point, the licence and METADATA with
the Python and licence lines; only a wheel built with the test-only module
holds it. Prints each wheel's files and every problem; exits 1 if there is one.
"""

import re
import sys
import zipfile

EXPECTED = [
    r"_korvex_messages\..*(so|pyd)$",
    r"_korvex_messages\.pyi$",
    r"_korvex_messages-stubs/__init__\.pyi$",
    r"korvex_messages/ros2/_native\..*(so|pyd)$",
    r"korvex_messages/ros2/_native\.pyi$",
    r"korvex_messages/_columns\..*(so|pyd)$",
    r"korvex_messages/_columns\.pyi$",
    r"korvex_messages/_tables\.py$",
    r"korvex_messages/py\.typed$",
    r"korvex_messages/ros2/__init__\.py$",
    r"korvex_messages/ros2/_msgdef\.py$",
    r"korvex_messages/ros2/_recording\.py$",
    r"korvex_messages/ros2/_mcap_file\.py$",
    r"korvex_messages/ros2/__main__\.py$",
    # The console script korvex-ros2.
    r".*\.dist-info/entry_points\.txt$",
    r".*\.dist-info/licenses/LICENSE$",
    r".*\.dist-info/METADATA$",
]
TESTING = r"_korvex_messages_testing\..*(so|pyd)$"
# Only the core's module is installed at the top level; the others live inside
# the package.
TOP_LEVEL_MODULES = (r"_korvex_messages\..*(so|pyd)$", TESTING)
METADATA_LINES = ("Requires-Python: >=3.10", "License-Expression: MIT", "License-File: LICENSE")


def problems_of(path, with_testing):
    with zipfile.ZipFile(path) as z:
        files = z.namelist()
        print("  %s: %s" % (path.rsplit("/", 1)[-1], ", ".join(sorted(files))))
        problems = [
            "%s: nothing matches %s" % (path, pattern)
            for pattern in EXPECTED
            if not any(re.fullmatch(pattern, f) for f in files)
        ]
        problems += [
            "%s: extension module %s outside the package" % (path, f)
            for f in files
            if re.fullmatch(r"[^/]+\.(so|pyd)", f)
            and not any(re.fullmatch(p, f) for p in TOP_LEVEL_MODULES)
        ]
        has_testing = any(re.fullmatch(TESTING, f) for f in files)
        if has_testing != with_testing:
            state = "missing" if with_testing else "present"
            problems.append("%s: test-only module %s" % (path, state))
        meta = z.read(next(f for f in files if f.endswith(".dist-info/METADATA"))).decode()
    for line in METADATA_LINES:
        if line not in meta.splitlines():
            problems.append("%s: METADATA lacks %r" % (path, line))
    return problems


def main(default, testing=None):
    problems = problems_of(default, False)
    if testing is not None:
        problems += problems_of(testing, True)
    for p in problems:
        print("  " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
