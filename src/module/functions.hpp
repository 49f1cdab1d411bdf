// The records of the six exported functions, in the order in which they
// are added to the module (and listed in its __all__).  The test-only
// module adds the same records.
#pragma once

#include <Python.h>

#include <cstddef>

namespace korvex {

inline constexpr std::size_t kExportedFunctionCount = 6;
extern PyMethodDef kExportedFunctions[kExportedFunctionCount];

}  // namespace korvex
