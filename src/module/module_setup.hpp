// The exec step shared by the module and its test-only twin: adding
// function records to a module object and their names to its __all__.
#pragma once

#include <Python.h>

#include <cstddef>

namespace korvex {

// Adds `count` records to the module and their names to its __all__.
// Returns 0, or -1 with an exception set.
int add_functions(PyObject* module, PyMethodDef* functions, std::size_t count);

}  // namespace korvex
