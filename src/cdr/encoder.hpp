// serialize(schema_name, values): Python dict -> CDR bytes.
#pragma once

#include <Python.h>

#include "module/arguments.hpp"
#include "module/errors.hpp"

namespace korvex {

BodyResult serialize_body(TextView schema_name, PyObject* values);

}  // namespace korvex
