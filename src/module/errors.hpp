// The core's one error type and the result type that call bodies return.
//
// Bodies never raise Python exceptions for their own failures: they return a
// MessageError and the call wrapper converts it.  A body that saw an
// interpreter call fail returns PythonErrorSet instead, leaving the
// interpreter's error indicator as the failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>
#include <variant>

#include "base/memory.hpp"
#include "base/py_ref.hpp"

namespace korvex {

class MessageError {
 public:
  enum class Kind : std::uint8_t {
    UnknownSchema,
    FieldTypeMismatch,
    SerializationFailed,
    DeserializationFailed,
    SchemaAlreadyRegistered,
    SchemaDefinition,
  };

  static MessageError unknown_schema(String name) {
    return MessageError(Kind::UnknownSchema, std::move(name));
  }
  static MessageError field_type_mismatch(String field, String expected, String got) {
    return MessageError(Kind::FieldTypeMismatch, std::move(field), std::move(expected),
                        std::move(got));
  }
  static MessageError serialization_failed(String detail) {
    return MessageError(Kind::SerializationFailed, std::move(detail));
  }
  static MessageError deserialization_failed(String detail) {
    return MessageError(Kind::DeserializationFailed, std::move(detail));
  }
  static MessageError schema_already_registered(String name) {
    return MessageError(Kind::SchemaAlreadyRegistered, std::move(name));
  }
  static MessageError schema_definition(String detail) {
    return MessageError(Kind::SchemaDefinition, std::move(detail));
  }

  Kind kind() const noexcept { return kind_; }
  // The display form, e.g. "Serialization failed: Missing field 'x'".
  String text() const;
  // Sets the Python exception this error maps to, consuming the error.
  void raise() &&;

 private:
  MessageError(Kind kind, String first, String second = {}, String third = {})
      : kind_(kind),
        first_(std::move(first)),
        second_(std::move(second)),
        third_(std::move(third)) {}

  Kind kind_;
  String first_;
  String second_;
  String third_;
};

// Marks a failure whose Python exception is already set.
struct PythonErrorSet {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}             // NOLINT: implicit by design
  Result(MessageError error) : state_(std::move(error)) {}  // NOLINT
  Result(PythonErrorSet marker) : state_(marker) {}         // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }
  bool is_message_error() const noexcept { return state_.index() == 1; }
  T& value() { return std::get<0>(state_); }
  MessageError& error() { return std::get<1>(state_); }

  // Hands a failed result's failure on as a result of another type.
  template <class U>
  Result<U> pass_on() && {
    if (is_message_error()) return Result<U>(std::move(error()));
    return Result<U>(PythonErrorSet{});
  }

 private:
  std::variant<T, MessageError, PythonErrorSet> state_;
};

// What a call body hands back to the wrapper.
using BodyResult = Result<PyRef>;

}  // namespace korvex
