// deserialize(schema_name, data): CDR bytes -> Python dict.
#pragma once

#include <span>
#include <string_view>

#include "module/errors.hpp"

namespace korvex {

BodyResult deserialize_body(std::string_view schema_name, std::span<const unsigned char> data);

}  // namespace korvex
