// deserialize(schema_name, data): CDR bytes -> Python dict.
#pragma once

#include <span>
#include <string_view>

#include "module/errors.hpp"

namespace korvex {

// How the ROS 2 codec returns values: numeric arrays as numpy arrays.
struct DecodeOptions {
  bool numpy = false;
};

BodyResult deserialize_body(std::string_view schema_name, std::span<const unsigned char> data,
                            DecodeOptions options = {});

}  // namespace korvex
