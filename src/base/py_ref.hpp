// Small owning handle for Python references.
//
// Every owned PyObject* in the module lives in a PyRef so that early returns
// and C++ exceptions release it.  Borrowed references stay plain PyObject*
// and are named as borrowed where that is not obvious.
#pragma once

#include <Python.h>

#include <utility>

namespace korvex {

class [[nodiscard]] PyRef {
 public:
  PyRef() noexcept = default;
  // Takes ownership of a new reference (which may be null).
  static PyRef steal(PyObject* owned) noexcept { return PyRef(owned); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = object_;
      object_ = other.object_;
      other.object_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference over to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  PyObject* object_ = nullptr;
};

// A Python exception taken out of the interpreter's error indicator, owned
// until it is restored or dropped.
class FetchedError {
 public:
  // Moves the current error indicator into the handle (it may be empty).
  static FetchedError fetch() noexcept {
    FetchedError error;
    PyErr_Fetch(&error.type_, &error.value_, &error.traceback_);
    return error;
  }
  FetchedError() noexcept = default;
  FetchedError(const FetchedError&) = delete;
  FetchedError& operator=(const FetchedError&) = delete;
  FetchedError(FetchedError&& other) noexcept
      : type_(std::exchange(other.type_, nullptr)),
        value_(std::exchange(other.value_, nullptr)),
        traceback_(std::exchange(other.traceback_, nullptr)) {}
  FetchedError& operator=(FetchedError&& other) noexcept {
    if (this != &other) {
      clear();
      type_ = std::exchange(other.type_, nullptr);
      value_ = std::exchange(other.value_, nullptr);
      traceback_ = std::exchange(other.traceback_, nullptr);
    }
    return *this;
  }
  ~FetchedError() { clear(); }

  bool empty() const noexcept { return type_ == nullptr; }
  PyObject* type() const noexcept { return type_; }
  // Normalises the exception so that value() is an exception instance.
  void normalize() noexcept {
    if (type_ != nullptr) PyErr_NormalizeException(&type_, &value_, &traceback_);
  }
  PyObject* value() const noexcept { return value_; }
  // Puts the exception back as the current error indicator.
  void restore() noexcept {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
  }

 private:
  void clear() noexcept {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
    type_ = value_ = traceback_ = nullptr;
  }
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

}  // namespace korvex
