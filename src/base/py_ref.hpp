// Handles for Python references: owned and borrowed.
//
// Every owned PyObject* in the module lives in a PyRef so that early returns
// and C++ exceptions release it.  A function that takes or gives out a
// reference it does not own says so with Borrowed.
#pragma once

#include <Python.h>

#include <utility>

namespace korvex {

// A borrowed reference: someone else (the caller's argument, a container
// holding the item, a PyRef further up) keeps the object alive while it is
// used, and nothing here releases it.  Whoever keeps it longer, or across
// code that may drop the owner's reference, takes a PyRef::borrow of it.
class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr Borrowed(PyObject* object) noexcept : object_(object) {}  // NOLINT: implicit by design
  constexpr PyObject* get() const noexcept { return object_; }
  constexpr explicit operator bool() const noexcept { return object_ != nullptr; }
  friend constexpr bool operator==(Borrowed a, Borrowed b) noexcept {
    return a.object_ == b.object_;
  }

 private:
  PyObject* object_ = nullptr;
};

class [[nodiscard]] PyRef {
 public:
  PyRef() noexcept = default;
  // Takes ownership of a new reference (which may be null).
  static PyRef steal(PyObject* owned) noexcept { return PyRef(owned); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(Borrowed borrowed) noexcept {
    Py_XINCREF(borrowed.get());
    return PyRef(borrowed.get());
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
  // The object, for a callee that does not keep it.
  Borrowed borrowed() const noexcept { return object_; }
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
