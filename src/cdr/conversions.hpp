// The rules by which Python values are accepted for each field type.
// Each returns false on failure, possibly with a Python exception pending
// (the caller discards it).
#pragma once

#include <Python.h>

#include "base/layout.hpp"

namespace korvex {

// Exactly True or False, or a numpy boolean scalar taken by its truth value.
[[nodiscard]] bool bool_rule(PyObject* value, bool& out);

// int (bool included) or any object with __index__, as a signed 64-bit value
// (long long: C long is only 32 bits wide on Windows and 32-bit platforms).
[[nodiscard]] inline bool integer_rule(PyObject* value, long long& out) {
  const long long result = PyLong_AsLongLong(value);
  if (result == -1 && PyErr_Occurred()) return false;
  out = result;
  return true;
}

// The value of an exact int (never a subclass: the fast paths below read
// its storage), if it fits a long long.  No user code runs.
[[nodiscard]] inline bool exact_int_value(PyObject* value, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
    out = static_cast<long long>(
        PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
    return true;
  }
#else
  // Before 3.12 ob_size holds the sign and the number of digits (of
  // PyLong_SHIFT bits, at most 30).  Ints of up to two digits (the seconds
  // and nanoseconds of time stamps among them) fit a long long.
  const Py_ssize_t digits = Py_SIZE(value);
  const digit* digit_array = reinterpret_cast<PyLongObject*>(value)->ob_digit;
  switch (digits) {
    case 0:
      out = 0;
      return true;
    case 1:
    case -1:
      out = static_cast<long long>(digit_array[0]) * digits;
      return true;
    case 2:
    case -2: {
      const auto magnitude = static_cast<long long>(
          digit_array[0] | (static_cast<unsigned long long>(digit_array[1]) << PyLong_SHIFT));
      out = digits > 0 ? magnitude : -magnitude;
      return true;
    }
    default:
      break;
  }
#endif
  // Reports a value out of range by `overflow`, without raising.
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(value, &overflow);
  return overflow == 0;
}

// The value of an exact int, if it fits 64 unsigned bits.  No user code
// runs.
inline bool exact_uint64_value(PyObject* value, unsigned long long& out) noexcept {
  long long small;
  if (exact_int_value(value, small) && small >= 0) {
    out = static_cast<unsigned long long>(small);
    return true;
  }
  out = PyLong_AsUnsignedLongLong(value);
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // negative or too large: the general path reports it
    return false;
  }
  return true;
}

// An int directly, anything else through __index__; 0 .. 2**64-1.
[[nodiscard]] bool unsigned_rule(PyObject* value, unsigned long long& out);

// Whether `value` is a complex number: a complex, or one of numpy's complex
// scalars (whose __float__ drops the imaginary part).  No Python code runs.
bool is_complex_number(PyObject* value);

// Exactly float directly; anything else through PyFloat_AsDouble
// (int, bool, __float__, __index__).  Where values must be taken without
// loss, a complex number is refused.
[[nodiscard]] inline bool float_rule(PyObject* value, double& out) {
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  if constexpr (kLayout.lossless_values) {
    if (is_complex_number(value)) return false;
  }
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) return false;
  out = result;
  return true;
}

// The kind of a value as named in type mismatch messages: "bool", "int",
// "uint", "float", "string", "bytes", "list", "dict" or "unknown" (and
// "complex" where complex numbers are no floats).  May run
// user code; ordinary exceptions raised by the probes are discarded, while
// one that must propagate (KeyboardInterrupt, ...) stops the probes: the
// result is then null with that exception pending.
const char* type_name_for_value(PyObject* value);

}  // namespace korvex
