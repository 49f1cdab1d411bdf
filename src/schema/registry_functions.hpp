// Bodies of register_schema, get_schema, schema_exists and unregister_schema.
#pragma once

#include <Python.h>

#include <string_view>

#include "module/errors.hpp"

namespace korvex {

// `fields` is a list (or a subclass of it).
BodyResult register_schema_body(std::string_view name, PyObject* fields);
BodyResult get_schema_body(std::string_view name);
BodyResult schema_exists_body(std::string_view name);
BodyResult unregister_schema_body(std::string_view name);

// The name get_schema gives a field of type `type_name` (a str) once
// registered, or None where register_schema refuses that type: the form in
// which korvex_messages.ensure_schemas compares field lists.
BodyResult canonical_type_name_body(PyObject* type_name);

}  // namespace korvex
