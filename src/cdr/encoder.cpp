#include "cdr/encoder.hpp"

#include <limits>
#include <optional>

#include "base/compiler.hpp"
#include "base/memory.hpp"
#include "cdr/conversions.hpp"
#include "cdr/field_path.hpp"
#include "cdr/limits.hpp"
#include "cdr/nesting.hpp"
#include "cdr/plan.hpp"
#include "cdr/writer.hpp"
#include "module/failure.hpp"
#include "module/python_errors.hpp"

namespace korvex {
namespace {

// Names the value a type mismatch is reported against: the top-level field
// or the array element being written, whatever nested value failed inside.
struct Reporter {
  const PathNode* path;
  PyObject* value;  // kept alive by the caller for the reporter's lifetime
};

template <class T>
bool in_range(long long value) {
  return value >= static_cast<long long>(std::numeric_limits<T>::min()) &&
         value <= static_cast<long long>(std::numeric_limits<T>::max());
}

enum class Step : bool { Failed = false, Done = true };

class Encoder {
 public:
  BodyResult run(std::string_view schema_name, PyObject* values);

 private:
  Step write_value(ValueType type, PyObject* value, const PathNode& path, const Reporter& reporter);
  Step write_converted(ValueType type, PyObject* value, const PathNode& path,
                       const Reporter& reporter);
  Step write_scalar(TypeKind kind, PyObject* value, const PathNode& path,
                    const Reporter& reporter);
  Step write_array(ValueType type, PyObject* value, const PathNode& path,
                   const Reporter& reporter);
  Step write_struct(ValueType type, PyObject* value, const PathNode& path,
                    const Reporter& reporter);
  Step write_time(TypeKind kind, PyObject* value, const PathNode& path, const Reporter& reporter);
  Step write_fields(const MessagePlan& plan, PyObject* dict, const PathNode& path,
                    const Reporter& reporter);
  PyObject* nested_item(PyObject* dict, PyObject* key, const PathNode& path,
                        std::string_view name, const char* missing_prefix);
  KORVEX_COLD void nested_item_failed(const PathNode& path,
                                                       std::string_view name,
                                                       const char* missing_prefix);

  bool write_exact(TypeKind kind, PyObject* value);
  bool write_integer(TypeKind kind, long long integer);
  template <class T>
  bool write_in_range(long long integer) {
    if (!in_range<T>(integer)) return false;
    out_.write(static_cast<T>(integer));
    return true;
  }
  KORVEX_COLD Step mismatch(const Reporter& reporter, String expected);
  Step fail(MessageError error) {
    error_.emplace(std::move(error));
    return Step::Failed;
  }
  KORVEX_COLD Step too_long(const PathNode& path, std::uint64_t length,
                                             const char* unit, std::uint64_t limit);
  KORVEX_COLD Step nesting_too_deep(const PathNode& path);
  KORVEX_COLD Step changed_size(const PathNode& path);

  CdrWriter out_;
  // Set when a step failed with a MessageError; otherwise a failed step
  // left a Python exception pending.
  std::optional<MessageError> error_;
};

// Writes an integer field of `kind` (a signed type or an unsigned type of up
// to 32 bits); false, writing nothing, when the value is out of range.
bool Encoder::write_integer(TypeKind kind, long long integer) {
  switch (kind) {
    case TypeKind::Int8:
      return write_in_range<std::int8_t>(integer);
    case TypeKind::Int16:
      return write_in_range<std::int16_t>(integer);
    case TypeKind::Int32:
      return write_in_range<std::int32_t>(integer);
    case TypeKind::Int64:
      return write_in_range<std::int64_t>(integer);
    case TypeKind::UInt8:
      return write_in_range<std::uint8_t>(integer);
    case TypeKind::UInt16:
      return write_in_range<std::uint16_t>(integer);
    case TypeKind::UInt32:
      return write_in_range<std::uint32_t>(integer);
    default:
      KORVEX_INTERNAL_FAILURE("write_integer called for a non-integer type");
  }
}

// Writes values of the exact built-in types without going through the
// general conversions.  Only type checks and reads of the object's own
// storage happen here (no user code can run); anything else returns false
// and takes the general path.
bool Encoder::write_exact(TypeKind kind, PyObject* value) {
  switch (kind) {
    case TypeKind::Float64:
      if (!PyFloat_CheckExact(value)) return false;
      out_.write(PyFloat_AS_DOUBLE(value));
      return true;
    case TypeKind::Float32:
      if (!PyFloat_CheckExact(value)) return false;
      out_.write(static_cast<float>(PyFloat_AS_DOUBLE(value)));
      return true;
    case TypeKind::String:
      if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
      if (static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(value)) >= kLengthLimit) return false;
      out_.write_ros_string(static_cast<const char*>(PyUnicode_DATA(value)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
      return true;
    case TypeKind::Bool:
      if (value != Py_True && value != Py_False) return false;
      out_.write<std::uint8_t>(value == Py_True ? 1 : 0);
      return true;
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32: {
      if (!PyLong_CheckExact(value)) return false;
      const long long integer = PyLong_AsLongLong(value);
      if (integer == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // out of range: the general path reports it
        return false;
      }
      return write_integer(kind, integer);
    }
    default:
      return false;
  }
}

Step Encoder::mismatch(const Reporter& reporter, String expected) {
  // The conversion's own exception is dropped, unless it must reach the
  // caller (KeyboardInterrupt, ...); so is one raised while naming the kind.
  if (PyErr_Occurred() && !discard_python_error()) return Step::Failed;
  const char* got = type_name_for_value(reporter.value);
  if (got == nullptr) return Step::Failed;
  String field = render_path(reporter.path);
  return fail(MessageError::field_type_mismatch(std::move(field), std::move(expected), got));
}

Step Encoder::too_long(const PathNode& path, std::uint64_t length, const char* unit,
                       std::uint64_t limit) {
  return fail(MessageError::serialization_failed(
      "Value of '" + render_path(&path) + "' is too long for CDR: " + decimal(length) +
      " " + unit + ", at most " + decimal(limit) + " allowed"));
}

Step Encoder::changed_size(const PathNode& path) {
  return fail(MessageError::serialization_failed(
      "Array '" + render_path(&path) + "' changed size while it was being written"));
}

Step Encoder::nesting_too_deep(const PathNode& path) {
  return fail(MessageError::serialization_failed(
      "Nesting too deep at '" + render_path(&path) + "': at most " + decimal(kMaxNesting) +
      " levels of nested structs and arrays are supported"));
}

Step Encoder::write_scalar(TypeKind kind, PyObject* value, const PathNode& path,
                           const Reporter& reporter) {
  long long integer;
  switch (kind) {
    case TypeKind::Bool: {
      bool flag;
      if (!bool_rule(value, flag)) return mismatch(reporter, "bool");
      out_.write<std::uint8_t>(flag ? 1 : 0);
      return Step::Done;
    }
    case TypeKind::Int8:
    case TypeKind::Int16:
    case TypeKind::Int32:
    case TypeKind::Int64:
    case TypeKind::UInt8:
    case TypeKind::UInt16:
    case TypeKind::UInt32:
      if (!integer_rule(value, integer) || !write_integer(kind, integer)) {
        return mismatch(reporter, String(simple_type_name(kind)));
      }
      return Step::Done;
    case TypeKind::UInt64: {
      unsigned long long unsigned_value;
      if (!unsigned_rule(value, unsigned_value)) return mismatch(reporter, "uint64");
      out_.write(static_cast<std::uint64_t>(unsigned_value));
      return Step::Done;
    }
    case TypeKind::Float32: {
      double real;
      if (!float_rule(value, real)) return mismatch(reporter, "float32");
      // Round to nearest even; magnitudes past the binary32 range become
      // infinities of the same sign.
      out_.write(static_cast<float>(real));
      return Step::Done;
    }
    case TypeKind::Float64: {
      double real;
      if (!float_rule(value, real)) return mismatch(reporter, "float64");
      out_.write(real);
      return Step::Done;
    }
    case TypeKind::String: {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
      if (text == nullptr) return mismatch(reporter, "string");
      if (static_cast<std::uint64_t>(size) >= kLengthLimit) {
        return too_long(path, static_cast<std::uint64_t>(size), "UTF-8 bytes", kLengthLimit - 1);
      }
      out_.write_ros_string(text, static_cast<std::size_t>(size));
      return Step::Done;
    }
    case TypeKind::Bytes: {
      if (!PyBytes_Check(value)) return mismatch(reporter, "bytes");
      const auto size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(value));
      if (size > kLengthLimit) return too_long(path, size, "bytes", kLengthLimit);
      out_.write_byte_string(PyBytes_AS_STRING(value), static_cast<std::size_t>(size));
      return Step::Done;
    }
    case TypeKind::Array:
    case TypeKind::Struct:
    case TypeKind::Time:
    case TypeKind::Duration:
      break;
  }
  KORVEX_INTERNAL_FAILURE("write_scalar called for a composite type");
}

Step Encoder::write_value(ValueType type, PyObject* value, const PathNode& path,
                          const Reporter& reporter) {
  if (type.is_array()) return write_array(type, value, path, reporter);
  if (write_exact(type.leaf, value)) return Step::Done;
  return write_converted(type, value, path, reporter);
}

// Writes a non-array value through the general conversion rules.
Step Encoder::write_converted(ValueType type, PyObject* value, const PathNode& path,
                              const Reporter& reporter) {
  switch (type.leaf) {
    case TypeKind::Struct:
      return write_struct(type, value, path, reporter);
    case TypeKind::Time:
    case TypeKind::Duration:
      return write_time(type.leaf, value, path, reporter);
    default:
      return write_scalar(type.leaf, value, path, reporter);
  }
}

Step Encoder::write_array(ValueType type, PyObject* value, const PathNode& path,
                          const Reporter& reporter) {
  const NestingLevel level;
  if (!level.entered()) return nesting_too_deep(path);
  out_.align(4);
  if (!PyList_Check(value)) return mismatch(reporter, type.name());
  const Py_ssize_t count = PyList_GET_SIZE(value);
  if (static_cast<std::uint64_t>(count) > kLengthLimit) {
    return too_long(path, static_cast<std::uint64_t>(count), "elements", kLengthLimit);
  }
  out_.write_count(static_cast<std::uint32_t>(count));
  const ValueType element_type = type.element();
  for (Py_ssize_t index = 0; index < count; ++index) {
    // Conversions can run user code that shrinks the list; the count is
    // already written, so a shorter list cannot be encoded faithfully.
    if (index >= PyList_GET_SIZE(value)) {
      return changed_size(path);
    }
    if (element_type.is_array()) {
      PyRef element = PyRef::borrow(PyList_GET_ITEM(value, index));
      const Reporter element_reporter{&path, element.get()};
      if (write_array(element_type, element.get(), path, element_reporter) == Step::Failed) {
        return Step::Failed;
      }
      continue;
    }
    if (write_exact(element_type.leaf, PyList_GET_ITEM(value, index))) continue;
    PyRef element = PyRef::borrow(PyList_GET_ITEM(value, index));
    const Reporter element_reporter{&path, element.get()};
    if (write_converted(element_type, element.get(), path, element_reporter) == Step::Failed) {
      return Step::Failed;
    }
  }
  return Step::Done;
}

PyObject* Encoder::nested_item(PyObject* dict, PyObject* key, const PathNode& path,
                               std::string_view name, const char* missing_prefix) {
  PyObject* item = PyDict_GetItemWithError(dict, key);  // borrowed
  if (item != nullptr) [[likely]] return item;
  nested_item_failed(path, name, missing_prefix);
  return nullptr;
}

void Encoder::nested_item_failed(const PathNode& path, std::string_view name,
                                 const char* missing_prefix) {
  if (PyErr_Occurred()) {
    // An exception that must propagate is left pending, unchanged.
    if (std::optional<String> rendered = render_pending_exception()) {
      fail(MessageError::serialization_failed(std::move(*rendered)));
    }
  } else {
    String text = missing_prefix;
    text += render_path(&path);
    text += '.';
    text += name;
    text += '\'';
    fail(MessageError::serialization_failed(std::move(text)));
  }
}

Step Encoder::write_struct(ValueType type, PyObject* value, const PathNode& path,
                           const Reporter& reporter) {
  const NestingLevel level;
  if (!level.entered()) return nesting_too_deep(path);
  if (!PyDict_Check(value)) return mismatch(reporter, type.name());
  SchemaRef schema;
  const MessagePlan* plan = resolve_link(*type.link, schema, error_);
  if (plan == nullptr) return Step::Failed;
  return write_fields(*plan, value, path, reporter);
}

Step Encoder::write_fields(const MessagePlan& plan, PyObject* dict, const PathNode& path,
                           const Reporter& reporter) {
  for (const FieldPlan& field : plan.fields) {
    PyObject* item = nested_item(dict, field.key.get(), path, field.name, "Missing nested field '");
    if (item == nullptr) return Step::Failed;
    PyRef held = PyRef::borrow(item);
    const PathNode child{&path, field.name};
    if (write_value(field.type, item, child, reporter) == Step::Failed) {
      return Step::Failed;
    }
  }
  return Step::Done;
}

Step Encoder::write_time(TypeKind kind, PyObject* value, const PathNode& path,
                         const Reporter& reporter) {
  const std::string_view type_name = simple_type_name(kind);
  if (!PyDict_Check(value)) return mismatch(reporter, String(type_name));
  out_.align(4);
  long long integer;
  PyObject* sec = nested_item(value, sec_key(), path, "sec", "Missing field '");
  if (sec == nullptr) return Step::Failed;
  {
    PyRef held = PyRef::borrow(sec);
    if (!integer_rule(sec, integer) || !in_range<std::int32_t>(integer)) {
      return mismatch(reporter, String(type_name) + " with int32 sec");
    }
  }
  out_.write(static_cast<std::int32_t>(integer));
  PyObject* nanosec = nested_item(value, nanosec_key(), path, "nanosec", "Missing field '");
  if (nanosec == nullptr) return Step::Failed;
  {
    PyRef held = PyRef::borrow(nanosec);
    if (!integer_rule(nanosec, integer) || !in_range<std::uint32_t>(integer)) {
      return mismatch(reporter, String(type_name) + " with uint32 nanosec");
    }
  }
  out_.write(static_cast<std::uint32_t>(integer));
  return Step::Done;
}

BodyResult Encoder::run(std::string_view schema_name, PyObject* values) {
  SchemaRef schema;
  const MessagePlan* plan = lookup_plan(schema_name, schema, error_);
  if (plan == nullptr) {
    if (error_) return std::move(*error_);
    return PythonErrorSet{};
  }
  for (const FieldPlan& field : plan->fields) {
    PyObject* item = PyDict_GetItemWithError(values, field.key.get());  // borrowed
    if (item == nullptr) {
      if (PyErr_Occurred()) return PythonErrorSet{};
      return MessageError::serialization_failed("Missing field '" + String(field.name) +
                                                "'");
    }
    PyRef held = PyRef::borrow(item);
    const PathNode path{nullptr, field.name};
    const Reporter reporter{&path, item};
    if (write_value(field.type, item, path, reporter) == Step::Failed) {
      if (error_) return std::move(*error_);
      return PythonErrorSet{};
    }
  }
  return out_.finish();
}

}  // namespace

BodyResult serialize_body(std::string_view schema_name, PyObject* values) {
  Encoder encoder;
  return encoder.run(schema_name, values);
}

}  // namespace korvex
