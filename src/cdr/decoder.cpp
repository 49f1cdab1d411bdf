#include "cdr/decoder.hpp"

#include <cstdio>
#include <optional>

#include "base/compiler.hpp"
#include "base/memory.hpp"
#include "cdr/field_path.hpp"
#include "cdr/limits.hpp"
#include "cdr/nesting.hpp"
#include "cdr/plan.hpp"
#include "cdr/reader.hpp"
#include "base/utf8.hpp"
#include "module/failure.hpp"
#include "module/python_errors.hpp"

namespace korvex {
namespace {

PyObject* new_dict(std::size_t expected_size) {
#if PY_VERSION_HEX < 0x030D0000
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(expected_size));
#else
  (void)expected_size;
  return PyDict_New();
#endif
}

// A list of `count` empty slots, hidden from the garbage collector until it
// is filled: building the elements can run a collection, and finalizers
// that walk gc.get_objects() must never see a list with empty slots.
PyRef new_filling_list(std::uint32_t count) {
  PyRef list = PyRef::steal(PyList_New(count));
  if (list) PyObject_GC_UnTrack(list.get());
  return list;
}

PyObject* filled(PyRef list) {
  PyObject_GC_Track(list.get());
  return list.release();
}

// Builds the Python value of a primitive from its little-endian bytes.
PyObject* primitive_object(TypeKind kind, const unsigned char* bytes) {
  switch (kind) {
    case TypeKind::Bool:
      return PyBool_FromLong(bytes[0] != 0);
    case TypeKind::Int8:
      return PyLong_FromLong(static_cast<std::int8_t>(bytes[0]));
    case TypeKind::UInt8:
      return PyLong_FromLong(bytes[0]);
    case TypeKind::Int16:
      return PyLong_FromLong(load_le<std::int16_t>(bytes));
    case TypeKind::UInt16:
      return PyLong_FromLong(load_le<std::uint16_t>(bytes));
    case TypeKind::Int32:
      return PyLong_FromLong(load_le<std::int32_t>(bytes));
    case TypeKind::UInt32:
      return PyLong_FromUnsignedLong(load_le<std::uint32_t>(bytes));
    case TypeKind::Int64:
      return PyLong_FromLongLong(load_le<std::int64_t>(bytes));
    case TypeKind::UInt64:
      return PyLong_FromUnsignedLongLong(load_le<std::uint64_t>(bytes));
    case TypeKind::Float32:
      return PyFloat_FromDouble(static_cast<double>(load_le<float>(bytes)));
    case TypeKind::Float64:
      return PyFloat_FromDouble(load_le<double>(bytes));
    default:
      KORVEX_INTERNAL_FAILURE("primitive_object called for a composite type");
  }
}

class Decoder {
 public:
  Decoder(const unsigned char* data, std::uint64_t size)
      : in_(data, size), presize_budget_(size / 4) {}
  BodyResult run(std::string_view schema_name);

 private:
  // Each returns a new reference, or null after storing a MessageError in
  // error_ or leaving a Python exception pending.
  //
  // read_value, read_array and read_struct recurse once per nesting level;
  // everything else stays out of line so that their frames stay small and
  // the nesting bound fits comfortably on a small thread stack.
  PyObject* read_value(ValueType type, const PathNode& path);
  PyObject* read_array(ValueType type, const PathNode& path);
  PyObject* read_struct(ValueType type, const PathNode& path);
  KORVEX_NOINLINE PyObject* read_primitive(TypeKind kind);
  KORVEX_NOINLINE PyObject* read_string(const PathNode& path);
  KORVEX_NOINLINE PyObject* read_bytes();
  KORVEX_NOINLINE PyObject* read_primitive_run(TypeKind kind, std::uint32_t count);
  KORVEX_NOINLINE PyObject* read_time();
  KORVEX_NOINLINE PyObject* read_fixed_struct(const MessagePlan& plan);
  KORVEX_COLD PyObject* nesting_too_deep(const PathNode& path);
  KORVEX_COLD PyObject* too_many_empty_values(const PathNode& path);

  PyObject* fail(MessageError error) {
    error_.emplace(std::move(error));
    return nullptr;
  }
  KORVEX_COLD PyObject* fail(ReadFailure failure) {
    return fail(MessageError::deserialization_failed(
        failure == ReadFailure::TruncatedWhileAligning ? "Input truncated while aligning CDR stream"
                                                       : "failed to fill whole buffer"));
  }
  // Folds the pending exception into the error, unless it must propagate.
  KORVEX_COLD PyObject* fail_with_python_error() {
    std::optional<String> rendered = render_pending_exception();
    if (!rendered) return nullptr;
    return fail(MessageError::deserialization_failed(std::move(*rendered)));
  }

  CdrReader in_;
  std::optional<MessageError> error_;
  std::uint64_t empty_values_ = 0;
  // List slots that may still be set aside before their elements are read.
  std::uint64_t presize_budget_;
};

PyObject* Decoder::read_primitive(TypeKind kind) {
  const std::size_t size = fixed_size(kind);
  if (ReadFailure failure = in_.align(size); failure != ReadFailure::None) return fail(failure);
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(size, bytes); failure != ReadFailure::None) {
    return fail(failure);
  }
  return primitive_object(kind, bytes);
}

PyObject* Decoder::read_string(const PathNode& path) {
  std::uint32_t length;
  if (ReadFailure failure = in_.read(length); failure != ReadFailure::None) return fail(failure);
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(length, bytes); failure != ReadFailure::None) {
    return fail(failure);
  }
  if (length == 0 || bytes[length - 1] != 0) {
    return fail(MessageError::deserialization_failed(
        "Invalid ROS string for '" + render_path(&path) + "': missing NUL terminator"));
  }
  const char* text = reinterpret_cast<const char*>(bytes);
  const std::size_t size = length - 1;
  if (is_ascii(text, size)) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (result != nullptr) std::memcpy(PyUnicode_DATA(result), text, size);
    return result;
  }
  PyObject* result = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), nullptr);
  if (result != nullptr) return result;
  Utf8Problem problem;
  if (validate_utf8(std::string_view(text, size), problem)) return nullptr;  // not a UTF-8 issue
  PyErr_Clear();
  return fail(MessageError::deserialization_failed(describe_utf8_problem(problem)));
}

PyObject* Decoder::read_bytes() {
  std::uint32_t length;
  if (ReadFailure failure = in_.read(length); failure != ReadFailure::None) return fail(failure);
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(length, bytes); failure != ReadFailure::None) {
    return fail(failure);
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), length);
}

PyObject* Decoder::read_time() {
  std::int32_t sec;
  if (ReadFailure failure = in_.read(sec); failure != ReadFailure::None) return fail(failure);
  std::uint32_t nanosec;
  if (ReadFailure failure = in_.read(nanosec); failure != ReadFailure::None) return fail(failure);
  PyRef dict = PyRef::steal(new_dict(2));
  if (!dict) return nullptr;
  PyRef sec_object = PyRef::steal(PyLong_FromLong(sec));
  if (!sec_object) return nullptr;
  if (PyDict_SetItem(dict.get(), sec_key(), sec_object.get()) < 0) return fail_with_python_error();
  PyRef nanosec_object = PyRef::steal(PyLong_FromUnsignedLong(nanosec));
  if (!nanosec_object) return nullptr;
  if (PyDict_SetItem(dict.get(), nanosec_key(), nanosec_object.get()) < 0) {
    return fail_with_python_error();
  }
  return dict.release();
}

// A run of fixed-size values: after the first element's alignment no
// further padding occurs, so the bounds are checked once for the run.
PyObject* Decoder::read_primitive_run(TypeKind kind, std::uint32_t count) {
  const std::size_t size = fixed_size(kind);
  if (ReadFailure failure = in_.align(size); failure != ReadFailure::None) return fail(failure);
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(static_cast<std::uint64_t>(count) * size, bytes);
      failure != ReadFailure::None) {
    return fail(failure);
  }
  PyRef list = new_filling_list(count);
  if (!list) return nullptr;
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  switch (kind) {
    case TypeKind::Float64:
      for (std::uint32_t i = 0; i < count; ++i) {
        items[i] = PyFloat_FromDouble(load_le<double>(bytes + 8 * i));
        if (items[i] == nullptr) return nullptr;
      }
      break;
    case TypeKind::Float32:
      for (std::uint32_t i = 0; i < count; ++i) {
        items[i] = PyFloat_FromDouble(static_cast<double>(load_le<float>(bytes + 4 * i)));
        if (items[i] == nullptr) return nullptr;
      }
      break;
    default:
      for (std::uint32_t i = 0; i < count; ++i) {
        items[i] = primitive_object(kind, bytes + size * i);
        if (items[i] == nullptr) return nullptr;
      }
      break;
  }
  return filled(std::move(list));
}

PyObject* Decoder::read_array(ValueType type, const PathNode& path) {
  const NestingLevel level;
  if (!level.entered()) return nesting_too_deep(path);
  std::uint32_t count;
  if (ReadFailure failure = in_.read(count); failure != ReadFailure::None) return fail(failure);
  const ValueType element_type = type.element();
  if (count == 0) return PyList_New(0);
  if (!element_type.is_array() && fixed_size(element_type.leaf) != 0) {
    return read_primitive_run(element_type.leaf, count);
  }
  if (count <= in_.remaining() && count <= presize_budget_) {
    // Every element that occupies bytes needs at least one, so a list no
    // longer than the remaining input can be sized up front; the budget
    // keeps nested lists sized this way below twice the input size in
    // all, however the counts are forged.
    presize_budget_ -= count;
    PyRef list = new_filling_list(count);
    if (!list) return nullptr;
    for (std::uint32_t index = 0; index < count; ++index) {
      PyObject* element = read_value(element_type, path);
      if (element == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), index, element);
    }
    return filled(std::move(list));
  }
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (std::uint32_t index = 0; index < count; ++index) {
    PyRef element = PyRef::steal(read_value(element_type, path));
    if (!element) return nullptr;
    if (PyList_Append(list.get(), element.get()) < 0) return fail_with_python_error();
  }
  return list.release();
}

PyObject* Decoder::read_struct(ValueType type, const PathNode& path) {
  const NestingLevel level;
  if (!level.entered()) return nesting_too_deep(path);
  SchemaRef schema;
  const MessagePlan* plan = resolve_link(*type.link, schema, error_);
  if (plan == nullptr) return nullptr;
  const std::uint64_t start = in_.position();
  if (plan->all_fixed_size && !plan->fields.empty()) {
    if (PyObject* dict = read_fixed_struct(*plan)) return dict;
    if (error_ || PyErr_Occurred()) return nullptr;
    // Too short for the whole struct: the general path finds the exact
    // field and failure.
  }
  PyRef dict = PyRef::steal(new_dict(plan->fields.size()));
  if (!dict) return nullptr;
  for (const FieldPlan& field : plan->fields) {
    const PathNode child{&path, field.name};
    PyRef value = PyRef::steal(read_value(field.type, child));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), field.key.get(), value.get()) < 0) {
      return fail_with_python_error();
    }
  }
  if (in_.position() == start && ++empty_values_ > kMaxEmptyValues) {
    return too_many_empty_values(path);
  }
  return dict.release();
}

PyObject* Decoder::nesting_too_deep(const PathNode& path) {
  return fail(MessageError::deserialization_failed(
      "Nesting too deep at '" + render_path(&path) + "': at most " + decimal(kMaxNesting) +
      " levels of nested structs and arrays are supported"));
}

PyObject* Decoder::too_many_empty_values(const PathNode& path) {
  return fail(MessageError::deserialization_failed(
      "Too many empty struct values at '" + render_path(&path) + "': at most " +
      decimal(kMaxEmptyValues) + " values that occupy no bytes are decoded per message"));
}

// A struct of single primitives whose every field lies within the input:
// bounds are checked once for the whole value.  Returns null without an
// error when the input is too short.
PyObject* Decoder::read_fixed_struct(const MessagePlan& plan) {
  std::uint64_t end = in_.position();
  for (const FieldPlan& field : plan.fields) {
    end = (end + field.fixed_size - 1) & ~static_cast<std::uint64_t>(field.fixed_size - 1);
    end += field.fixed_size;
  }
  if (end > in_.size()) return nullptr;
  PyRef dict = PyRef::steal(new_dict(plan.fields.size()));
  if (!dict) return nullptr;
  std::uint64_t offset = in_.position();
  for (const FieldPlan& field : plan.fields) {
    offset = (offset + field.fixed_size - 1) & ~static_cast<std::uint64_t>(field.fixed_size - 1);
    PyRef value = PyRef::steal(primitive_object(field.type.leaf, in_.at(offset)));
    if (!value) return nullptr;
    offset += field.fixed_size;
    if (PyDict_SetItem(dict.get(), field.key.get(), value.get()) < 0) {
      return fail_with_python_error();
    }
  }
  in_.skip_to(end);
  return dict.release();
}

PyObject* Decoder::read_value(ValueType type, const PathNode& path) {
  if (type.is_array()) return read_array(type, path);
  switch (type.leaf) {
    case TypeKind::String:
      return read_string(path);
    case TypeKind::Bytes:
      return read_bytes();
    case TypeKind::Struct:
      return read_struct(type, path);
    case TypeKind::Time:
    case TypeKind::Duration:
      return read_time();
    default:
      return read_primitive(type.leaf);
  }
}

BodyResult Decoder::run(std::string_view schema_name) {
  SchemaRef schema;
  const MessagePlan* plan = lookup_plan(schema_name, schema, error_);
  if (plan == nullptr) {
    if (error_) return std::move(*error_);
    return PythonErrorSet{};
  }
  PyRef result = PyRef::steal(new_dict(plan->fields.size()));
  if (!result) return PythonErrorSet{};
  for (const FieldPlan& field : plan->fields) {
    const PathNode path{nullptr, field.name};
    PyRef value = PyRef::steal(read_value(field.type, path));
    if (!value) {
      if (error_) return std::move(*error_);
      return PythonErrorSet{};
    }
    if (PyDict_SetItem(result.get(), field.key.get(), value.get()) < 0) return PythonErrorSet{};
  }
  return result;
}

}  // namespace

BodyResult deserialize_body(std::string_view schema_name, std::span<const unsigned char> data) {
  const unsigned char* bytes = data.data();
  if (data.size() < 4) {
    PyErr_SetString(PyExc_ValueError, "CDR payload too short (missing encapsulation header)");
    return PythonErrorSet{};
  }
  if (bytes[0] != 0x00 || bytes[1] != 0x01) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "Unsupported CDR encapsulation [%02x, %02x, %02x, %02x]. Only little-endian CDR "
                  "is currently supported",
                  bytes[0], bytes[1], bytes[2], bytes[3]);
    PyErr_SetString(PyExc_ValueError, text);
    return PythonErrorSet{};
  }
  Decoder decoder(bytes, static_cast<std::uint64_t>(data.size()));
  return decoder.run(schema_name);
}

}  // namespace korvex
