// encode_table(name, table, *, as_buffer=False): the rows of anything that
// exports an Arrow C stream, each encoded as serialize encodes a dict.
#pragma once

#include <Python.h>

#include "module/decode_table.hpp"

namespace korvex {

[[nodiscard]] PyObject* encode_table_call(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, const char* first_parameter,
                                          NameForm full_name);

}  // namespace korvex
