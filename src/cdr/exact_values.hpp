// The exact-value step of each fixed-size kind: the wire value of a value of
// the exact built-in type (True/False, int, float) taken from the object's
// own storage, without the general conversions.  Single values and runs of
// list items share it; they differ only in how a value is put (`put`
// reserves room first, or writes into room reserved for a whole run).
//
// Only type checks and reads of the object's own storage happen here: no
// user code can run, so the value needs no reference of its own.  A false
// return puts nothing, and the value takes the general path.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "base/compiler.hpp"
#include "cdr/conversions.hpp"
#include "schema/type_table.hpp"

namespace korvex {

// False for every kind: a static_assert on it fires only where it is
// instantiated, naming the kind and conversion that has no step yet.
template <TypeKind Kind>
inline constexpr bool kNoExactStep = false;

// Puts an integer of an Integer kind; false, putting nothing, when it is out
// of the kind's range.
template <TypeKind Kind, class Put>
[[nodiscard]] KORVEX_ALWAYS_INLINE bool put_integer(long long integer, Put&& put) {
  constexpr TypeDescriptor type = describe(Kind);
  static_assert(type.conversion == Conversion::Integer);
  if (integer < type.min || integer > type.max) return false;
  // The integer's low bytes (two's complement) are its wire value.
  put(static_cast<UnsignedOfSize<type.size>>(integer));
  return true;
}

template <TypeKind Kind, class Put>
[[nodiscard]] KORVEX_ALWAYS_INLINE bool put_exact(PyObject* value, Put&& put) {
  constexpr TypeDescriptor type = describe(Kind);
  static_assert(type.size > 0, "only fixed-size kinds have an exact-value step");
  if constexpr (type.conversion == Conversion::Bool) {
    if (value != Py_True && value != Py_False) return false;
    put(static_cast<std::uint8_t>(value == Py_True ? 1 : 0));
    return true;
  } else if constexpr (type.conversion == Conversion::Integer) {
    long long integer;
    return PyLong_CheckExact(value) && exact_int_value(value, integer) &&
           put_integer<Kind>(integer, put);
  } else if constexpr (type.conversion == Conversion::Unsigned64) {
    unsigned long long integer;
    if (!PyLong_CheckExact(value) || !exact_uint64_value(value, integer)) return false;
    put(static_cast<std::uint64_t>(integer));
    return true;
  } else if constexpr (type.conversion == Conversion::Float32) {
    if (!PyFloat_CheckExact(value)) return false;
    put(static_cast<float>(PyFloat_AS_DOUBLE(value)));
    return true;
  } else if constexpr (type.conversion == Conversion::Float64) {
    if (!PyFloat_CheckExact(value)) return false;
    put(PyFloat_AS_DOUBLE(value));
    return true;
  } else {
    static_assert(kNoExactStep<Kind>, "a fixed-size conversion without an exact-value step");
    return false;
  }
}

}  // namespace korvex
