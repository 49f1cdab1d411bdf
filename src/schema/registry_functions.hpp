// Bodies of register_schema, get_schema, schema_exists and unregister_schema.
#pragma once

#include <Python.h>

#include "module/arguments.hpp"
#include "module/errors.hpp"

namespace korvex {

BodyResult register_schema_body(TextView name, PyObject* fields);
BodyResult get_schema_body(TextView name);
BodyResult schema_exists_body(TextView name);
BodyResult unregister_schema_body(TextView name);

}  // namespace korvex
