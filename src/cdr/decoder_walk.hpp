// The decoder's walk: the values of a message along its compiled plan,
// built into the dicts, lists, numbers and strings that deserialize returns.
//
// The walk is a template over its input so that one walk builds the result
// for every call that must build exactly what deserialize builds:
// deserialize itself reads CDR (CdrReader, cdr/reader.hpp), checking every
// alignment, length and terminator and scanning every text for ASCII, and
// the deserialize floor of the test-only module (testing/) replays values
// that the encoder recorded, packed and with each text's ASCII-ness noted,
// checking nothing.  The building is the same code in both, so the floor
// builds the same objects in the same way and differs only in what reading
// and checking it leaves out; a second walk would drift from this one as
// field types are added.
//
// What an input `In` provides (CdrReader is the model):
//   static constexpr bool kChecked: whether the input comes from outside and
//     so may be forged (counts that would presize lists far beyond the
//     input, floods of empty struct values, structs cut short);
//   static place(offset, alignment): where a value of that alignment starts
//     at or after `offset`;
//   position(), size(), remaining(), at(offset), skip_to(offset),
//   align(alignment), take(count, bytes), read(value), read_text(text).
// The input is a template argument, not a virtual interface: every read is
// inlined into the walk as CdrReader's always were.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/compiler.hpp"
#include "base/dicts.hpp"
#include "base/layout.hpp"
#include "base/memory.hpp"
#include "base/py_ref.hpp"
#include "base/utf8.hpp"
#include "cdr/decoder.hpp"
#include "cdr/field_path.hpp"
#include "cdr/limits.hpp"
#include "cdr/nesting.hpp"
#include "cdr/numpy_arrays.hpp"
#include "cdr/plan.hpp"
#include "cdr/reader.hpp"
#include "cdr/short_strings.hpp"
#include "cdr/time_keys.hpp"
#include "module/errors.hpp"
#include "module/failure.hpp"
#include "module/python_errors.hpp"

namespace korvex {
// Internal linkage, in each file that instantiates the walk, as when it was
// that file's own code: GCC inlines a function called from one place only
// when no other file can call it, and splits hot and cold code only outside
// COMDAT groups, where template instantiations with external linkage go.
// Each walk is instantiated in one file per writer or reader anyway.
namespace {

// A list of `count` empty slots, hidden from the garbage collector until it
// is filled: building the elements can run a collection, and finalizers
// that walk gc.get_objects() must never see a list with empty slots.
inline PyRef new_filling_list(std::uint32_t count) {
  PyRef list = PyRef::steal(PyList_New(count));
  if (list) PyObject_GC_UnTrack(list.get());
  return list;
}

[[nodiscard]] inline PyObject* filled(PyRef list) {
  PyObject_GC_Track(list.get());
  return list.release();
}

template <class In>
class Decoder {
 public:
  Decoder(const unsigned char* data, std::uint64_t size, DecodeOptions options = {})
      : in_(data, size),
        levels_(t_nesting_levels),
        presize_budget_(size / 4),
        numpy_(kLayout.shaped_types && options.numpy) {
    if constexpr (kLayout.big_endian_input) {
      if (data[1] == 0x00) in_.set_big_endian();
    }
  }
  BodyResult run(std::string_view schema_name);
  // The message of a plan that the caller has looked up.
  BodyResult run(const MessagePlan& plan);

 private:
  // Each returns a new reference, or null after storing a MessageError in
  // error_ or leaving a Python exception pending.
  //
  // read_value, read_array and read_struct recurse once per nesting level;
  // everything else stays out of line so that their frames stay small and
  // the nesting bound fits comfortably on a small thread stack.
  [[nodiscard]] PyObject* read_value(ValueType type, const PathNode& path);
  [[nodiscard]] PyObject* read_array(ValueType type, const PathNode& path);
  [[nodiscard]] PyObject* read_struct(ValueType type, const PathNode& path);
  // An element of an array at `path`: named by its index in the ROS 2
  // layout, by the array in the core's.
  [[nodiscard]] KORVEX_ALWAYS_INLINE PyObject* read_element(ValueType type, const PathNode& path,
                                                            std::uint32_t index) {
    if constexpr (kLayout.shaped_types) {
      const PathNode element{&path, {}, {index}};
      return read_value(type, element);
    } else {
      return read_value(type, path);
    }
  }
  // The dict of a top-level message (`parent` null) or of a nested struct.
  [[nodiscard]] PyObject* read_fields(const MessagePlan& plan, const PathNode* parent);
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_primitive(TypeKind kind, const PathNode& path);
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_string(const PathNode& path);
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_bytes(const PathNode& path);
  // The ROS 2 layout's octet arrays and sequences and bounded strings.
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_octets(ValueType type, const PathNode& path);
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_bounded_string(ValueType type, const PathNode& path);
  // The element count of an array: its length when fixed, else the count
  // read, checked against a bound.  False after storing the failure.
  [[nodiscard]] bool read_shaped_count(ValueType type, const PathNode& path, std::uint32_t& count);
  [[nodiscard]] KORVEX_COLD PyObject* beyond_bound(ValueType type, std::uint64_t count,
                                                   const char* unit, const PathNode& path);
  // Whether numeric arrays become numpy arrays (never in the core layout).
  bool numpy() const noexcept { return kLayout.shaped_types && numpy_; }
  // Whether the input is big-endian (only the ROS 2 layout reads such).
  bool big_endian() const noexcept {
    if constexpr (kLayout.big_endian_input) {
      return in_.big_endian();
    } else {
      return false;
    }
  }
  // " (at offset N)" in the ROS 2 layout, whose errors say where the input
  // went wrong; nothing in the core's.  `offset` is a generic lambda that
  // reaches the input through the decoder it is given, so that it is only
  // compiled where it is called, and inputs without the ROS 2 layout's
  // queries (the floors') need none.
  template <class Offset>
  String offset_note(Offset&& offset) const {
    if constexpr (kLayout.ros2_errors) {
      return concat({" (at offset ", decimal(offset(this)), ")"});
    } else {
      return String();
    }
  }
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_primitive_run(TypeKind kind, std::uint32_t count,
                                                             const PathNode& path);
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_time(const PathNode& path);
  [[nodiscard]] KORVEX_NOINLINE PyObject* read_fixed_struct(const MessagePlan& plan,
                                                            const PathNode* parent);
  // Stores a field's value in its dict.  A failure at the top level passes
  // the exception on unchanged; inside a struct it is folded into the error.
  [[nodiscard]] bool store(PyObject* dict, const FieldPlan& field, PyObject* value,
                           const PathNode* parent);
  [[nodiscard]] KORVEX_COLD PyObject* nesting_too_deep(const PathNode& path);
  [[nodiscard]] KORVEX_COLD PyObject* too_many_empty_values(const PathNode& path);

  [[nodiscard]] PyObject* fail(MessageError error) {
    error_.emplace(std::move(error));
    return nullptr;
  }
  // A fault of the input at the value of `path` (null: the message itself).
  // The ROS 2 layout names the place as decode_table does, "field 'a.b':
  // reason (at offset N)"; the core's gives the reason alone.
  template <class Offset>
  [[nodiscard]] KORVEX_COLD PyObject* fail_at(const PathNode* path, String reason,
                                              Offset&& offset) {
    if constexpr (kLayout.ros2_errors) {
      if (path != nullptr) reason.insert(0, concat({"field '", render_path(path), "': "}));
      reason += offset_note(offset);
    }
    return fail(MessageError::deserialization_failed(std::move(reason)));
  }
  // A read that ran out of input, at the offset where it began.
  [[nodiscard]] KORVEX_COLD PyObject* fail(ReadFailure failure, const PathNode* path) {
    return fail_at(path,
                   failure == ReadFailure::TruncatedWhileAligning
                       ? "Input truncated while aligning CDR stream"
                       : "failed to fill whole buffer",
                   [](auto* self) { return self->in_.failed_at(); });
  }
  [[nodiscard]] KORVEX_COLD PyObject* fail(ReadFailure failure, const PathNode& path) {
    return fail(failure, &path);
  }
  [[nodiscard]] KORVEX_COLD PyObject* missing_terminator(const PathNode& path) {
    if constexpr (kLayout.ros2_errors) {
      return fail_at(&path, "missing NUL terminator",
                     [](auto* self) { return self->in_.failed_at(); });
    } else {
      return fail(MessageError::deserialization_failed(
          "Invalid ROS string for '" + render_path(&path) + "': missing NUL terminator"));
    }
  }
  // Folds the pending exception into the error, unless it must propagate.
  [[nodiscard]] KORVEX_COLD PyObject* fail_with_python_error() {
    std::optional<String> rendered = render_pending_exception();
    if (!rendered) return nullptr;
    return fail(MessageError::deserialization_failed(std::move(*rendered)));
  }

  In in_;
  ShortStrings short_strings_;
  // The thread's nesting levels, shared with re-entrant calls.
  unsigned& levels_;
  std::optional<MessageError> error_;
  std::uint64_t empty_values_ = 0;
  // List slots that may still be set aside before their elements are read.
  std::uint64_t presize_budget_;
  // Numeric arrays and octets become numpy arrays (the ROS 2 codec's mode).
  bool numpy_;
};

// The Python value of a single primitive at `bytes`, in the input's byte
// order.
[[nodiscard]] KORVEX_ALWAYS_INLINE PyObject* read_number(const TypeDescriptor& type,
                                                         const unsigned char* bytes,
                                                         bool big_endian) {
  if constexpr (kLayout.big_endian_input) {
    if (big_endian) [[unlikely]] {
      unsigned char reversed[8];
      copy_reversed(reversed, bytes, 1, type.size);
      return type.read(reversed);
    }
  }
  return type.read(bytes);
}

template <class In>
PyObject* Decoder<In>::read_primitive(TypeKind kind, const PathNode& path) {
  const std::size_t size = describe(kind).size;
  if (ReadFailure failure = in_.align(size); failure != ReadFailure::None) {
    return fail(failure, path);
  }
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(size, bytes); failure != ReadFailure::None) {
    return fail(failure, path);
  }
  return read_number(describe(kind), bytes, big_endian());
}

template <class In>
PyObject* Decoder<In>::read_string(const PathNode& path) {
  TextRead text;
  if (ReadFailure failure = in_.read_text(text); failure != ReadFailure::None) {
    if (failure == ReadFailure::MissingTerminator) return missing_terminator(path);
    return fail(failure, path);
  }
  if (text.ascii) {
    if (text.size <= ShortStrings::kMaxLength) return short_strings_.get(text.data, text.size);
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(text.size), 127);
    if (result != nullptr) std::memcpy(PyUnicode_DATA(result), text.data, text.size);
    return result;
  }
  PyObject* result = PyUnicode_DecodeUTF8(text.data, static_cast<Py_ssize_t>(text.size), nullptr);
  if (result != nullptr) return result;
  Utf8Problem problem;
  if (validate_utf8(std::string_view(text.data, text.size), problem)) {
    return nullptr;  // not a UTF-8 issue
  }
  PyErr_Clear();
  // At the string's length, where its value starts.  The text's start is
  // captured by value: a reference would keep `text` in memory on the hot
  // path.
  const auto* start = reinterpret_cast<const unsigned char*>(text.data);
  return fail_at(&path, describe_utf8_problem(problem),
                 [start](auto* self) { return self->in_.offset_of(start) - 4; });
}

template <class In>
PyObject* Decoder<In>::read_bytes(const PathNode& path) {
  std::uint32_t length;
  if (ReadFailure failure = in_.read(length); failure != ReadFailure::None) {
    return fail(failure, path);
  }
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(length, bytes); failure != ReadFailure::None) {
    return fail(failure, path);
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), length);
}

template <class In>
PyObject* Decoder<In>::beyond_bound(ValueType type, std::uint64_t count, const char* unit,
                                    const PathNode& path) {
  return fail(MessageError::deserialization_failed(
      concat({"Value of '", render_path(&path), "' has ", decimal(count), " ", unit, ", but ",
              type.name(), " holds at most ", decimal(type.limit()),
              offset_note([](auto* self) { return self->in_.position(); })})));
}

template <class In>
bool Decoder<In>::read_shaped_count(ValueType type, const PathNode& path, std::uint32_t& count) {
  if (type.shape == ArrayShape::Fixed) {
    count = type.length;
    return true;
  }
  // Each failure is recorded; false reports it.
  if (ReadFailure failure = in_.read(count); failure != ReadFailure::None) {
    static_cast<void>(fail(failure, path));
    return false;
  }
  if (type.shape == ArrayShape::Bounded && count > type.length) {
    static_cast<void>(beyond_bound(type, count, type.is_array() ? "elements" : "bytes", path));
    return false;
  }
  return true;
}

template <class In>
PyObject* Decoder<In>::read_octets(ValueType type, const PathNode& path) {
  std::uint32_t length;
  if (!read_shaped_count(type, path, length)) return nullptr;
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(length, bytes); failure != ReadFailure::None) {
    return fail(failure, path);
  }
  if (numpy()) return numpy_array(TypeKind::UInt8, bytes, length, false);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), length);
}

template <class In>
PyObject* Decoder<In>::read_bounded_string(ValueType type, const PathNode& path) {
  PyRef text = PyRef::steal(read_string(path));
  if (!text) return nullptr;
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(text.get(), &size) == nullptr) return nullptr;
  if (static_cast<std::uint64_t>(size) > type.string_bound) {
    return beyond_bound(type, static_cast<std::uint64_t>(size), "UTF-8 bytes", path);
  }
  return text.release();
}

template <class In>
PyObject* Decoder<In>::read_time(const PathNode& path) {
  std::int32_t sec;
  if (ReadFailure failure = in_.read(sec); failure != ReadFailure::None) {
    return fail(failure, path);
  }
  std::uint32_t nanosec;
  if (ReadFailure failure = in_.read(nanosec); failure != ReadFailure::None) {
    return fail(failure, path);
  }
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
template <class In>
PyObject* Decoder<In>::read_primitive_run(TypeKind kind, std::uint32_t count,
                                          const PathNode& path) {
  const std::size_t size = describe(kind).size;
  // No elements, no padding before them.
  if (count == 0) return numpy() ? numpy_array(kind, nullptr, 0, false) : PyList_New(0);
  if (ReadFailure failure = in_.align(size); failure != ReadFailure::None) {
    return fail(failure, path);
  }
  const unsigned char* bytes;
  if (ReadFailure failure = in_.take(static_cast<std::uint64_t>(count) * size, bytes);
      failure != ReadFailure::None) {
    return fail(failure, path);
  }
  if (numpy()) return numpy_array(kind, bytes, count, big_endian());
  PyRef list = new_filling_list(count);
  if (!list) return nullptr;
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  // The kind's reader as a constant, inlined into a loop of its own.
  const bool built = with_fixed_size_kind(
      kind,
      [&]<TypeKind Kind>() {
        constexpr TypeDescriptor type = describe(Kind);
        if constexpr (kLayout.big_endian_input) {
          if (big_endian()) {
            for (std::uint32_t i = 0; i < count; ++i) {
              items[i] = read_number(type, bytes + std::size_t{type.size} * i, true);
              if (items[i] == nullptr) return false;
            }
            return true;
          }
        }
        for (std::uint32_t i = 0; i < count; ++i) {
          items[i] = type.read(bytes + std::size_t{type.size} * i);
          if (items[i] == nullptr) return false;
        }
        return true;
      },
      []() -> bool { KORVEX_INTERNAL_FAILURE("read_primitive_run called for a composite type"); });
  if (!built) return nullptr;
  return filled(std::move(list));
}

template <class In>
PyObject* Decoder<In>::read_array(ValueType type, const PathNode& path) {
  const NestingLevel level(levels_);
  if (!level.entered()) return nesting_too_deep(path);
  std::uint32_t count;
  if constexpr (kLayout.shaped_types) {
    if (!read_shaped_count(type, path, count)) return nullptr;
  } else {
    if (ReadFailure failure = in_.read(count); failure != ReadFailure::None) {
      return fail(failure, path);
    }
  }
  const ValueType element_type = type.element();
  if (count == 0 && !numpy()) return PyList_New(0);
  if (!element_type.is_array() && describe(element_type.leaf).size != 0) {
    return read_primitive_run(element_type.leaf, count, path);
  }
  if (count == 0) return PyList_New(0);
  if (!In::kChecked || (count <= in_.remaining() && count <= presize_budget_)) {
    // Every element that occupies bytes needs at least one, so a list no
    // longer than the remaining input can be sized up front; the budget
    // keeps nested lists sized this way below twice the input size in
    // all, however the counts are forged.
    if constexpr (In::kChecked) presize_budget_ -= count;
    PyRef list = new_filling_list(count);
    if (!list) return nullptr;
    for (std::uint32_t index = 0; index < count; ++index) {
      PyObject* element = read_element(element_type, path, index);
      if (element == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), index, element);
    }
    return filled(std::move(list));
  }
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (std::uint32_t index = 0; index < count; ++index) {
    PyRef element = PyRef::steal(read_element(element_type, path, index));
    if (!element) return nullptr;
    if (PyList_Append(list.get(), element.get()) < 0) return fail_with_python_error();
  }
  return list.release();
}

template <class In>
PyObject* Decoder<In>::read_struct(ValueType type, const PathNode& path) {
  const NestingLevel level(levels_);
  if (!level.entered()) return nesting_too_deep(path);
  SchemaRef schema;
  const MessagePlan* plan = resolve_link(*type.link, schema, error_);
  if (plan == nullptr) return nullptr;
  const std::uint64_t start = in_.position();
  PyRef dict = PyRef::steal(read_fields(*plan, &path));
  if (!dict) return nullptr;
  if constexpr (In::kChecked) {
    if (in_.position() == start && ++empty_values_ > kMaxEmptyValues) {
      return too_many_empty_values(path);
    }
  }
  return dict.release();
}

template <class In>
bool Decoder<In>::store(PyObject* dict, const FieldPlan& field, PyObject* value,
                        const PathNode* parent) {
  if (PyDict_SetItem(dict, field.key.get(), value) == 0) [[likely]]
    return true;
  // Inside a struct the exception becomes the recorded error.
  if (parent != nullptr) static_cast<void>(fail_with_python_error());
  return false;
}

template <class In>
PyObject* Decoder<In>::read_fields(const MessagePlan& plan, const PathNode* parent) {
  if constexpr (kLayout.empty_struct_byte) {
    if (plan.fields.empty()) {
      const unsigned char* dummy;
      if (ReadFailure failure = in_.take(1, dummy); failure != ReadFailure::None) {
        return fail(failure, parent);
      }
      return new_dict(0);
    }
  }
  if (plan.all_fixed_size && !plan.fields.empty()) {
    if (PyObject* dict = read_fixed_struct(plan, parent)) return dict;
    if (error_ || PyErr_Occurred()) return nullptr;
    // Too short for the whole struct: the general path finds the exact
    // field and failure.
  }
  PyRef dict = PyRef::steal(new_dict(plan.fields.size()));
  if (!dict) return nullptr;
  for (const FieldPlan& field : plan.fields) {
    const PathNode child{parent, field.name};
    PyRef value = PyRef::steal(read_value(field.type, child));
    if (!value || !store(dict.get(), field, value.get(), parent)) return nullptr;
  }
  return dict.release();
}

template <class In>
PyObject* Decoder<In>::nesting_too_deep(const PathNode& path) {
  return fail(MessageError::deserialization_failed(
      nesting_too_deep_text(path) + offset_note([](auto* self) { return self->in_.position(); })));
}

template <class In>
PyObject* Decoder<In>::too_many_empty_values(const PathNode& path) {
  return fail(MessageError::deserialization_failed(
      "Too many empty struct values at '" + render_path(&path) + "': at most " +
      decimal(kMaxEmptyValues) + " values that occupy no bytes are decoded per message" +
      offset_note([](auto* self) { return self->in_.position(); })));
}

// A struct of single primitives whose every field lies within the input:
// bounds are checked once for the whole value.  Returns null without an
// error when the input is too short.
template <class In>
PyObject* Decoder<In>::read_fixed_struct(const MessagePlan& plan, const PathNode* parent) {
  std::uint64_t end = in_.position();
  for (const FieldPlan& field : plan.fields) {
    end = In::place(end, field.fixed_size) + field.fixed_size;
  }
  if (In::kChecked && end > in_.size()) return nullptr;
  PyRef dict = PyRef::steal(new_dict(plan.fields.size()));
  if (!dict) return nullptr;
  std::uint64_t offset = in_.position();
  for (const FieldPlan& field : plan.fields) {
    offset = In::place(offset, field.fixed_size);
    PyRef value =
        PyRef::steal(read_number(describe(field.type.leaf), in_.at(offset), big_endian()));
    if (!value) return nullptr;
    offset += field.fixed_size;
    if (!store(dict.get(), field, value.get(), parent)) return nullptr;
  }
  in_.skip_to(end);
  return dict.release();
}

template <class In>
PyObject* Decoder<In>::read_value(ValueType type, const PathNode& path) {
  if (type.is_array()) return read_array(type, path);
  if constexpr (kLayout.shaped_types) {
    if (type.leaf == TypeKind::Bytes) return read_octets(type, path);
    if (type.string_bound != 0) return read_bounded_string(type, path);
  }
  switch (describe(type.leaf).conversion) {
    case Conversion::String:
      return read_string(path);
    case Conversion::Bytes:
      return read_bytes(path);
    case Conversion::Struct:
      return read_struct(type, path);
    case Conversion::Time:
      return read_time(path);
    case Conversion::Bool:
    case Conversion::Integer:
    case Conversion::Unsigned64:
    case Conversion::Float32:
    case Conversion::Float64:
      return read_primitive(type.leaf, path);
    case Conversion::Array:  // never a leaf
      break;
  }
  KORVEX_INTERNAL_FAILURE("read_value called for an array leaf or a value that is no Conversion");
}

template <class In>
BodyResult Decoder<In>::run(std::string_view schema_name) {
  SchemaRef schema;
  const MessagePlan* plan = lookup_plan(schema_name, schema, error_);
  if (plan == nullptr) {
    if (error_) return std::move(*error_);
    return PythonErrorSet{};
  }
  return run(*plan);
}

template <class In>
BodyResult Decoder<In>::run(const MessagePlan& plan) {
  PyRef result = PyRef::steal(read_fields(plan, nullptr));
  if (!result) {
    if (error_) return std::move(*error_);
    return PythonErrorSet{};
  }
  return result;
}

}  // namespace
}  // namespace korvex
