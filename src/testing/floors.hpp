// Benchmark floors of the test-only module: serialize and deserialize
// running their own walks with the writing and the reading left out.  See
// floors.cpp for what each one does and why it is a floor.
#pragma once

#include <Python.h>

namespace korvex::testing {

// serialize_floor(schema_name, values) -> None
PyObject* serialize_floor_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// floor_template(schema_name, message) -> opaque template object
PyObject* floor_template_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
// deserialize_floor(schema_name, template) -> dict
PyObject* deserialize_floor_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace korvex::testing
