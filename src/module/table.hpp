// Table: the Python object decode_table returns, a handle on the columns of
// one call (cdr/arrow_table.hpp) that Arrow libraries read through the Arrow
// PyCapsule protocol (__arrow_c_stream__, __arrow_c_schema__).
#pragma once

#include <Python.h>

#include "cdr/arrow_table.hpp"

namespace korvex {

// Readies the type and adds it to `module` as "Table"; -1 with the
// exception set on failure.
[[nodiscard]] int add_table_type(PyObject* module);

// A new Table taking over the caller's reference to `data` (released here
// on failure too); null with the exception set.
[[nodiscard]] PyObject* new_table(TableData* data);

}  // namespace korvex
