#!/usr/bin/env bash
# The include rule of src/ (see src/README.md), as an allow-list: each file
# may include the headers of its own layer and of the layers below it, and
# nothing else.  A file in a folder without a rule breaks the rule too, so
# new files and folders are covered before anyone thinks of them.  Prints
# every offending line and exits 1 if any.
set -uo pipefail
cd "$(dirname "$0")/../src"
status=0

# The leaf headers of module/ (and their sources): named one by one, since
# every other file there, present or future, is the top layer.
MODULE_LEAVES="errors failure python_errors reentry"

leaf_pattern=$(echo "$MODULE_LEAVES" | tr ' ' '|')
BASE="base/"
LEAVES="$BASE|module/($leaf_pattern)\\.hpp"
SCHEMA="$LEAVES|schema/"
CDR="$SCHEMA|cdr/"
TOP="$CDR|module/"
TESTING="$TOP|testing/"
ROS2="$TOP|ros2/"

# `allowed FILE`: the pattern of the headers FILE may include, or nothing
# for a file outside every layer.
allowed() {
  local file=$1 stem
  case $file in
    base/*) echo "$BASE" ;;
    module/*)
      stem=${file#module/}
      stem=${stem%.*}
      if [[ " $MODULE_LEAVES " == *" $stem "* ]]; then echo "$LEAVES"; else echo "$TOP"; fi
      ;;
    schema/*) echo "$SCHEMA" ;;
    cdr/*) echo "$CDR" ;;
    testing/*) echo "$TESTING" ;;
    ros2/*) echo "$ROS2" ;;
    *) echo "" ;;
  esac
}

while IFS= read -r file; do
  pattern=$(allowed "$file")
  if [ -z "$pattern" ]; then
    echo "$file: in no layer (give its folder a rule in .ci/check_layers.sh and src/README.md)"
    status=1
    continue
  fi
  hits=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
    grep -vE "#[[:space:]]*include[[:space:]]*\"($pattern)")
  if [ -n "$hits" ]; then
    echo "$file includes above its layer:"
    echo "$hits" | sed 's/^/  /'
    status=1
  fi
done < <(find . -type f \( -name '*.hpp' -o -name '*.cpp' -o -name '*.h' -o -name '*.cc' \) |
  sed 's|^\./||' | sort)

# Bodies take plain views, not argument-handling types (module/arguments is
# above cdr/ and schema/, so the rule above already keeps it out; kept as
# its own line for the reason it gives).
for body in cdr/encoder.hpp cdr/decoder.hpp schema/registry_functions.hpp; do
  if grep -nE '#include "module/arguments' "$body"; then
    echo "$body: bodies take plain views, not argument-handling types"
    status=1
  fi
done

# The sets of sources that CMakeLists.txt compiles once for several modules
# (see there): a file of a set must not reach, through the project's own
# headers, what the modules compile differently.
python3 - ../CMakeLists.txt <<'PY' || status=1
import re
import sys

cmake = open(sys.argv[1]).read()
excluded = {
    "KORVEX_COMMON_SOURCES": ["base/layout.hpp", "cdr/limits.hpp", "cdr/column_decoder.hpp"],
    "KORVEX_LAYOUT_SOURCES": ["cdr/limits.hpp", "cdr/column_decoder.hpp"],
}
include = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def reached(path, seen):
    for header in include.findall(open(path).read()):
        if header not in seen:
            seen.add(header)
            reached(header, seen)
    return seen


status = 0
for name, headers in excluded.items():
    sources = re.search(r"set\(%s\s+([^)]*)\)" % name, cmake)
    if sources is None:
        print("CMakeLists.txt: no set(%s ...)" % name)
        status = 1
        continue
    for source in sources.group(1).split():
        source = source.removeprefix("src/")
        for header in sorted(reached(source, set()) & set(headers)):
            print("%s (in %s) reaches %s: move it to the next set" % (source, name, header))
            status = 1
sys.exit(status)
PY

[ $status -eq 0 ] && echo "include rule holds"
exit $status
