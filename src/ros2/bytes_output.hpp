// What the scanner's, the packers' and crc32's functions share: output
// written straight into new bytes objects, sized before anything is copied
// into them, and the checks of their arguments.
#pragma once

#include <Python.h>

#include <cstdint>

#include "base/py_ref.hpp"

namespace korvex {

// A bytes object of `size` bytes to write into; MemoryError where no bytes
// object can be that large.
[[nodiscard]] inline PyObject* new_bytes(std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
}

inline unsigned char* bytes_of(const PyRef& bytes) {
  return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
}

// The bytes objects of a packed batch: its messages' data, N+1 int64
// offsets, N int64 log times and, where asked, N uint16 channels, sized
// before anything is written into them.
struct PackedOutput {
  PyRef payload;
  PyRef offsets;
  PyRef log_times;
  PyRef channels;

  // False, with MemoryError set, at the first that cannot be made.
  // Sizes are counted in 64 bits: one bytes object listed many times can
  // add up past a 32-bit size_t, which must be refused, not wrap.
  [[nodiscard]] bool allocate(std::uint64_t payload_bytes, std::uint64_t messages,
                              bool with_channels) {
    constexpr std::uint64_t kInt64 = sizeof(std::int64_t);
    payload = PyRef::steal(new_bytes(payload_bytes));
    if (!payload) return false;
    offsets = PyRef::steal(new_bytes((messages + 1) * kInt64));
    if (!offsets) return false;
    log_times = PyRef::steal(new_bytes(messages * kInt64));
    if (!log_times || !with_channels) return static_cast<bool>(log_times);
    channels = PyRef::steal(new_bytes(messages * sizeof(std::uint16_t)));
    return static_cast<bool>(channels);
  }
};

// A list argument, or TypeError naming the function and what it takes.
[[nodiscard]] inline bool is_list_argument(PyObject* value, const char* function,
                                           const char* what) {
  if (PyList_CheckExact(value)) return true;
  PyErr_Format(PyExc_TypeError, "%s: %s must be a list, not %.200s", function, what,
               Py_TYPE(value)->tp_name);
  return false;
}

// A call of `name` with exactly one positional argument, or TypeError.
[[nodiscard]] inline bool one_argument(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
    return false;
  }
  if (PyVectorcall_NARGS(nargs) != 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", name,
                 PyVectorcall_NARGS(nargs));
    return false;
  }
  return true;
}

}  // namespace korvex
