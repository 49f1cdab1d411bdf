// serialize(schema_name, values): Python dict -> CDR bytes.
#pragma once

#include <Python.h>

#include <string_view>

#include "module/errors.hpp"

namespace korvex {

// `values` is a dict (or a subclass of it).
BodyResult serialize_body(std::string_view schema_name, PyObject* values);

}  // namespace korvex
