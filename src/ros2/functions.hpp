// The function table of `korvex_messages.ros2._native`.
#pragma once

#include <Python.h>

#include <cstddef>

namespace korvex {

inline constexpr std::size_t kRos2FunctionCount = 15;
extern PyMethodDef kRos2Functions[kRos2FunctionCount];

}  // namespace korvex
