#!/usr/bin/env bash
# The include rule of src/ (see src/README.md): each folder includes only
# the folders below it.  Prints every offending line and exits 1 if any.
set -uo pipefail
cd "$(dirname "$0")/../src"
status=0

# `forbid DIR PATTERN WHY`: no file in DIR may include a header matching PATTERN.
forbid() {
  local hits
  hits=$(grep -nE "#include \"($2)" $1 2>/dev/null)
  if [ -n "$hits" ]; then
    echo "$3:"
    echo "$hits" | sed 's/^/  /'
    status=1
  fi
}

forbid "base/*" "module/|schema/|cdr/|testing/" "base/ includes no layer"
forbid "module/errors.hpp module/failure.hpp module/failure.cpp module/python_errors.hpp module/python_errors.cpp module/reentry.hpp" \
  "schema/|cdr/|testing/|module/(arguments|call|functions|module_setup)" \
  "the error and failure headers of module/ are leaves above base/"
forbid "schema/*" "cdr/|testing/|module/(arguments|call|functions|module_setup|reentry)" \
  "schema/ includes only base/, the leaf headers of module/ and schema/"
forbid "cdr/*" "testing/|module/(arguments|call|functions|module_setup|reentry)" \
  "cdr/ includes only base/, the leaf headers of module/, schema/ and cdr/"
forbid "module/*" "testing/" "module/ does not include the test-only module"
forbid "cdr/encoder.hpp cdr/decoder.hpp schema/registry_functions.hpp" "module/arguments" \
  "bodies take plain views, not argument-handling types"

[ $status -eq 0 ] && echo "include rule holds"
exit $status
