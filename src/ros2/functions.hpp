// The function table of `_korvex_messages_ros2`.
#pragma once

#include <Python.h>

#include <cstddef>

namespace korvex {

inline constexpr std::size_t kRos2FunctionCount = 10;
extern PyMethodDef kRos2Functions[kRos2FunctionCount];

}  // namespace korvex
