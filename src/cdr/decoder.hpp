// deserialize(schema_name, data): CDR bytes -> Python dict.
#pragma once

#include <Python.h>

#include "module/arguments.hpp"
#include "module/errors.hpp"

namespace korvex {

BodyResult deserialize_body(TextView schema_name, ByteView data);

}  // namespace korvex
