// A new dict with room for the entries it is about to receive.
#pragma once

#include <Python.h>

#include <cstddef>

namespace korvex {

// Null with an exception set on failure.
inline PyObject* new_dict(std::size_t expected_size) {
#if PY_VERSION_HEX < 0x030D0000
  // Gone from the headers in 3.13, where PyDict_New sizes as it fills.
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(expected_size));
#else
  (void)expected_size;
  return PyDict_New();
#endif
}

}  // namespace korvex
