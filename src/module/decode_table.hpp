// decode_table(name, messages, *, offsets=None, flatten=False): the entry
// point both modules share, each with its own registry and layout.
#pragma once

#include <Python.h>

#include <string_view>

#include "base/memory.hpp"

namespace korvex {

// `first_parameter` is the name parameter's name ("type_name" or
// "schema_name"); `full_name` turns the name given into the registry's key
// (the ROS 2 codec's pkg/Name short form), using `storage` if it must.
using NameForm = std::string_view (*)(std::string_view name, String& storage);

[[nodiscard]] PyObject* decode_table_call(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, const char* first_parameter,
                                          NameForm full_name);

}  // namespace korvex
