// numpy arrays of decoded numbers, for the ROS 2 codec's numpy mode.
//
// numpy is found at run time, on first use, and never needed to build: an
// array is made by numpy.empty and the elements copied into its buffer, so
// it is writable and owns its memory, independent of the input.
#pragma once

#include <Python.h>

#include <cstddef>

#include "schema/type_table.hpp"

namespace korvex {

// A new numpy array of `count` elements of `kind` (a fixed-size primitive),
// in the machine's byte order, copied from little-endian `bytes` (or
// big-endian ones when `swap`); booleans as 0 and 1.  Null with an
// exception set on failure (ModuleNotFoundError without numpy).
[[nodiscard]] PyObject* numpy_array(TypeKind kind, const unsigned char* bytes, std::size_t count,
                                    bool swap);

}  // namespace korvex
