// Python values of the rows of Arrow arrays handed over through the Arrow C
// data interface (base/arrow_c_data.hpp): what encode_table reads from any
// library's table.
#pragma once

#include <Python.h>

#include <cstdint>

#include "base/arrow_c_data.hpp"
#include "base/memory.hpp"

namespace korvex {

// A new reference to the value at `index` of `array` (described by
// `schema`): bool, int, float, str, bytes, list (of lists and fixed-size
// lists) or dict (of structs).  Null after storing why in `problem` (a null
// value, a type this reader does not take), or with a Python exception set
// (problem left empty).  With `views` (only the ROS 2 layout's encoder
// takes them), a list of numbers without nulls is a read-only memoryview of
// its elements, valid while `array` is.
[[nodiscard]] PyObject* arrow_value(const ArrowSchema& schema, const ArrowArray& array,
                                    std::int64_t index, String& problem, bool views = false);

}  // namespace korvex
