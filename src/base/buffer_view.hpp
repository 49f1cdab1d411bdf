// A buffer exported by a Python object, held for one scope.
//
// While the view is held, the exporter keeps the memory where it is (a
// bytearray cannot be resized, a memoryview not released), so the bytes stay
// valid even where user code runs in between; leaving the scope releases the
// view, on every path.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace korvex {

class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Asks `exporter` for its buffer with the PyBUF_* `flags`; false, with the
  // Python exception set, when it has none of that kind.
  [[nodiscard]] bool acquire(PyObject* exporter, int flags) noexcept {
    if (PyObject_GetBuffer(exporter, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }

  std::span<const unsigned char> bytes() const noexcept {
    return {static_cast<const unsigned char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  // Only for a view acquired with PyBUF_WRITABLE.
  std::span<unsigned char> writable_bytes() const noexcept {
    return {static_cast<unsigned char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  Py_ssize_t item_size() const noexcept { return view_.itemsize; }
  int dimensions() const noexcept { return view_.ndim; }
  // The struct-module format of the items ("B" where the exporter gives
  // none, as the buffer protocol says).
  std::string_view format() const noexcept {
    return view_.format != nullptr ? std::string_view(view_.format) : std::string_view("B");
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace korvex
