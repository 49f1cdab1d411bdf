// The encoder's walk: a message dict along its compiled plan, each value
// converted as serialize converts it and handed to a writer.
//
// The walk is a template over its writer so that the one walk serves every
// call that must see a message exactly as serialize sees it: serialize
// itself writes CDR (CdrWriter, cdr/writer.hpp), and the benchmark floors of
// the test-only module (testing/) run the same walk with a writer that
// writes nothing, or one that records the values for their deserialize
// floor.  A second walk would drift from this one as field types are added;
// a writer can only leave work out.
//
// What a writer `Out` provides (CdrWriter is the model):
//   static constexpr std::uint64_t kLengthLimit: the longest string, byte
//     string or list it takes (what its 32-bit length fields hold);
//   static constexpr bool kKeepsSizeHint: whether the plan's size hint
//     follows its length, so that the next call starts with room enough;
//   begin(capacity), length(), reserve(extra), align(alignment),
//   put_aligned_reserved(value), write(value), write_count(count),
//   write_ros_string(text, size), write_byte_string(bytes, size), and
//   finish(), the call's result.
// The writer is a template argument, not a virtual interface: every write is
// inlined into the walk as CdrWriter's always were.
#pragma once

#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "base/buffer_view.hpp"
#include "base/compiler.hpp"
#include "base/layout.hpp"
#include "base/memory.hpp"
#include "base/py_ref.hpp"
#include "cdr/conversions.hpp"
#include "cdr/dict_cursor.hpp"
#include "cdr/exact_values.hpp"
#include "cdr/field_path.hpp"
#include "cdr/nesting.hpp"
#include "cdr/plan.hpp"
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

// Names the value a type mismatch is reported against: the top-level field
// or the array element being written, whatever nested value failed inside.
struct Reporter {
  const PathNode* path;
  PyObject* value;  // kept alive by the caller for the reporter's lifetime
};

enum class [[nodiscard]] Step : bool { Failed = false, Done = true };

// Elements of a primitive array that are written between two checks of
// the buffer's capacity.
inline constexpr Py_ssize_t kRunChunk = 1024;

template <class Out>
class Encoder {
 public:
  Encoder() noexcept : levels_(t_nesting_levels) {}
  BodyResult run(std::string_view schema_name, PyObject* values);

 private:
  // The fields of a top-level message (`parent` and `inherited` null) or
  // of a nested struct value.
  Step write_fields(const MessagePlan& plan, PyObject* dict, const PathNode* parent,
                    const Reporter* inherited);
  Step write_converted(ValueType type, PyObject* value, const PathNode& path,
                       const Reporter& reporter);
  // The recursive steps (write_fields, write_converted, write_array,
  // write_struct) keep their frames small; everything else stays out of
  // line, so that the nesting bound fits a small thread stack even in
  // sanitizer builds.
  // `expected` names the field's type in a mismatch (ValueType::scalar_name).
  KORVEX_NOINLINE Step write_scalar(TypeKind kind, PyObject* value, const PathNode& path,
                                    const Reporter& reporter, std::string_view expected);
  Step write_array(ValueType type, PyObject* value, const PathNode& path, const Reporter& reporter);
  Step write_struct(ValueType type, PyObject* value, const PathNode& path,
                    const Reporter& reporter);
  KORVEX_NOINLINE Step write_time(TypeKind kind, PyObject* value, const PathNode& path,
                                  const Reporter& reporter);
  // The ROS 2 layout's bounded strings and octet sequences.
  KORVEX_NOINLINE Step write_bounded_string(ValueType type, PyObject* value, const PathNode& path,
                                            const Reporter& reporter);
  KORVEX_NOINLINE Step write_octets(ValueType type, PyObject* value, const PathNode& path,
                                    const Reporter& reporter);
  // A numeric array given as a buffer of exactly its element type (a numpy
  // array, an array.array), in the ROS 2 layout.
  KORVEX_NOINLINE Step write_primitive_buffer(ValueType type, PyObject* value, const PathNode& path,
                                              const Reporter& reporter);
  // Checks a count against a fixed length or a bound, and writes it unless
  // the length is fixed.
  Step write_shaped_count(ValueType type, std::uint64_t count, const char* unit,
                          const PathNode& path);

  // Inlined into the field and element loops: a call and a return cost as
  // much as the step itself (a frame a few words larger per nesting level).
  [[nodiscard]] bool write_exact(TypeKind kind, PyObject* value);
  // An exact str of ASCII text (its characters are its UTF-8 form).
  [[nodiscard]] bool write_exact_ascii(PyObject* value) {
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
    if (length >= Out::kLengthLimit) return false;
    out_.write_ros_string(static_cast<const char*>(PyUnicode_DATA(value)), length);
    return true;
  }
  // How the exact-value steps put a value: room reserved first (single
  // values), or into room reserved for the whole run.
  auto put() {
    return [this](auto value) KORVEX_INLINE_LAMBDA { out_.write(value); };
  }
  auto put_reserved() {
    return [this](auto value) KORVEX_INLINE_LAMBDA { out_.put_aligned_reserved(value); };
  }
  template <TypeKind Kind>
  [[nodiscard]] Py_ssize_t write_exact_run(PyObject* list, Py_ssize_t from, Py_ssize_t count);
  [[nodiscard]] KORVEX_NOINLINE Py_ssize_t write_exact_elements(TypeKind kind, PyObject* list,
                                                                Py_ssize_t from, Py_ssize_t count);

  // A field's value as the cursor found it in a nested dict (borrowed), or
  // null after storing why it is missing (or with an exception that must
  // propagate pending).
  [[nodiscard]] PyObject* nested_item(PyObject* item, const PathNode& path, std::string_view name,
                                      const char* missing_prefix);
  KORVEX_COLD void nested_item_failed(const PathNode& path, std::string_view name,
                                      const char* missing_prefix);

  KORVEX_COLD Step mismatch(const Reporter& reporter, String expected);
  Step fail(MessageError error) {
    error_.emplace(std::move(error));
    return Step::Failed;
  }
  KORVEX_COLD Step too_long(const PathNode& path, std::uint64_t length, const char* unit,
                            std::uint64_t limit);
  KORVEX_COLD Step nesting_too_deep(const PathNode& path);
  KORVEX_COLD Step missing_field(std::string_view name);
  KORVEX_COLD Step changed_size(const PathNode& path);
  KORVEX_COLD Step wrong_count(ValueType type, std::uint64_t count, const char* unit,
                               const PathNode& path);

  Out out_;
  // The thread's nesting levels, shared with re-entrant calls.
  unsigned& levels_;
  // Set when a step failed with a MessageError; otherwise a failed step
  // left a Python exception pending.
  std::optional<MessageError> error_;
};

// Writes values of the exact built-in types without going through the
// general conversions (cdr/exact_values.hpp; ASCII str here); false,
// writing nothing, sends the value down the general path.
template <class Out>
KORVEX_ALWAYS_INLINE bool Encoder<Out>::write_exact(TypeKind kind, PyObject* value) {
  return with_kind(kind, [&]<TypeKind Kind>() KORVEX_INLINE_LAMBDA -> bool {
    constexpr Conversion conversion = describe(Kind).conversion;
    if constexpr (describe(Kind).size > 0) {
      return put_exact<Kind>(value, put());
    } else if constexpr (conversion == Conversion::String) {
      return write_exact_ascii(value);
    } else if constexpr (conversion == Conversion::Bytes || conversion == Conversion::Array ||
                         conversion == Conversion::Struct || conversion == Conversion::Time) {
      return false;
    } else {
      static_assert(kNoExactStep<Kind>, "a conversion the encoder's direct path does not know");
      return false;
    }
  });
}

// Writes the elements list[from:count] of a primitive kind for as long as
// they are of the exact built-in types, checking the buffer's capacity once
// per chunk; returns the index of the first element it did not write.
// Nothing here runs user code, so the list cannot change meanwhile.
template <class Out>
template <TypeKind Kind>
Py_ssize_t Encoder<Out>::write_exact_run(PyObject* list, Py_ssize_t from, Py_ssize_t count) {
  constexpr TypeDescriptor type = describe(Kind);
  static_assert(type.size > 0);
  PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
  Py_ssize_t index = from;
  while (index < count) {
    const Py_ssize_t chunk_end = std::min(count, index + kRunChunk);
    // Only the first element can need padding: the others follow aligned.
    out_.reserve(static_cast<std::size_t>(chunk_end - index + 1) * type.size);
    for (; index < chunk_end; ++index) {
      if (!put_exact<Kind>(items[index], put_reserved())) return index;
    }
  }
  return index;
}

template <class Out>
Py_ssize_t Encoder<Out>::write_exact_elements(TypeKind kind, PyObject* list, Py_ssize_t from,
                                              Py_ssize_t count) {
  return with_kind(kind, [&]<TypeKind Kind>() KORVEX_INLINE_LAMBDA -> Py_ssize_t {
    if constexpr (describe(Kind).size > 0) {
      return write_exact_run<Kind>(list, from, count);
    } else if constexpr (describe(Kind).conversion == Conversion::String) {
      // Strings in a loop of their own.
      PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
      Py_ssize_t index = from;
      while (index < count && write_exact_ascii(items[index])) ++index;
      return index;
    } else {
      return from;  // no direct path (write_exact is false for every value)
    }
  });
}

template <class Out>
Step Encoder<Out>::mismatch(const Reporter& reporter, String expected) {
  // The conversion's own exception is dropped, unless it must reach the
  // caller (KeyboardInterrupt, ...); so is one raised while naming the kind.
  if (PyErr_Occurred() && !discard_python_error()) return Step::Failed;
  const char* got = type_name_for_value(reporter.value);
  if (got == nullptr) return Step::Failed;
  String field = render_path(reporter.path);
  return fail(MessageError::field_type_mismatch(std::move(field), std::move(expected), got));
}

template <class Out>
Step Encoder<Out>::too_long(const PathNode& path, std::uint64_t length, const char* unit,
                            std::uint64_t limit) {
  return fail(MessageError::serialization_failed(
      "Value of '" + render_path(&path) + "' is too long for CDR: " + decimal(length) + " " + unit +
      ", at most " + decimal(limit) + " allowed"));
}

template <class Out>
Step Encoder<Out>::missing_field(std::string_view name) {
  return fail(MessageError::serialization_failed("Missing field '" + String(name) + "'"));
}

template <class Out>
Step Encoder<Out>::changed_size(const PathNode& path) {
  return fail(MessageError::serialization_failed("Array '" + render_path(&path) +
                                                 "' changed size while it was being written"));
}

template <class Out>
Step Encoder<Out>::wrong_count(ValueType type, std::uint64_t count, const char* unit,
                               const PathNode& path) {
  const bool fixed = type.shape == ArrayShape::Fixed;
  return fail(MessageError::serialization_failed(
      concat({"Value of '", render_path(&path), "' has ", decimal(count), " ", unit, ", but ",
              type.name(), fixed ? " holds exactly " : " holds at most ", decimal(type.limit())})));
}

template <class Out>
Step Encoder<Out>::write_shaped_count(ValueType type, std::uint64_t count, const char* unit,
                                      const PathNode& path) {
  switch (type.shape) {
    case ArrayShape::Fixed:
      if (count != type.length) return wrong_count(type, count, unit, path);
      return Step::Done;
    case ArrayShape::Bounded:
      if (count > type.length) return wrong_count(type, count, unit, path);
      break;
    case ArrayShape::Sequence:
      if (count > Out::kLengthLimit) return too_long(path, count, unit, Out::kLengthLimit);
      break;
  }
  out_.write_count(static_cast<std::uint32_t>(count));
  return Step::Done;
}

template <class Out>
Step Encoder<Out>::write_bounded_string(ValueType type, PyObject* value, const PathNode& path,
                                        const Reporter& reporter) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
  if (text == nullptr) return mismatch(reporter, type.name());
  if (static_cast<std::uint64_t>(size) > type.string_bound) {
    return wrong_count(type, static_cast<std::uint64_t>(size), "UTF-8 bytes", path);
  }
  out_.write_ros_string(text, static_cast<std::size_t>(size));
  return Step::Done;
}

// Exports the items of a buffer that `value` (not a str) has, C-contiguous
// and with their struct-module format, into `view`: the start that octets
// and numeric arrays from buffers share.  False where there is none such
// (the caller reports the mismatch).
[[nodiscard]] inline bool export_items(PyObject* value, BufferView& view) noexcept {
  return !PyUnicode_Check(value) && PyObject_CheckBuffer(value) &&
         view.acquire(value, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
}

// Octets come from any object with a contiguous buffer of single bytes:
// bytes, bytearray, memoryview, a numpy uint8 array (of int8 only without
// negative items, where values are taken without loss).
template <class Out>
Step Encoder<Out>::write_octets(ValueType type, PyObject* value, const PathNode& path,
                                const Reporter& reporter) {
  if (PyBytes_CheckExact(value)) {
    const auto size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(value));
    if (write_shaped_count(type, size, "bytes", path) == Step::Failed) return Step::Failed;
    out_.write_raw(PyBytes_AS_STRING(value), static_cast<std::size_t>(size));
    return Step::Done;
  }
  BufferView view;
  if (!export_items(value, view)) return mismatch(reporter, type.name());
  const std::string_view format = view.format();
  const bool octets = view.item_size() == 1 && (format == "B" || format == "b" || format == "c");
  if (!octets) return mismatch(reporter, type.name());
  const std::span<const unsigned char> bytes = view.bytes();
  if constexpr (kLayout.lossless_values) {
    // Signed bytes are octets only where they are not negative.
    for (std::size_t index = 0; format == "b" && index < bytes.size(); ++index) {
      if (bytes[index] > 0x7F) {
        const PathNode element{&path, {}, {static_cast<std::uint64_t>(index)}};
        return fail(MessageError::field_type_mismatch(render_path(&element),
                                                      String(type.scalar_name()), "int"));
      }
    }
  }
  const Step step = write_shaped_count(type, bytes.size(), "bytes", path);
  if (step == Step::Done) out_.write_raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return step;
}

// Whether a buffer's struct-module format (after its byte-order mark) holds
// exactly the values of `kind`: the same sort of number and the same size.
inline bool format_holds(std::string_view format, Py_ssize_t itemsize, TypeKind kind) noexcept {
  const TypeDescriptor& type = describe(kind);
  return format.size() == 1 && itemsize == type.size &&
         type.buffer_formats.find(format.front()) != std::string_view::npos;
}

template <class Out>
Step Encoder<Out>::write_primitive_buffer(ValueType type, PyObject* value, const PathNode& path,
                                          const Reporter& reporter) {
  const ValueType element = type.element();
  if (element.is_array() || describe(element.leaf).size == 0) {
    return mismatch(reporter, type.name());
  }
  BufferView view;
  if (!export_items(value, view)) return mismatch(reporter, type.name());
  // The byte order of the items: a struct-module mark, or the machine's.
  std::string_view format = view.format();
  bool big_endian = std::endian::native == std::endian::big;
  if (!format.empty() && std::string_view("@=<>!").find(format.front()) != std::string_view::npos) {
    big_endian = format.front() == '>' || format.front() == '!' ||
                 (format.front() != '<' && std::endian::native == std::endian::big);
    format.remove_prefix(1);
  }
  if (view.dimensions() != 1 || !format_holds(format, view.item_size(), element.leaf)) {
    return mismatch(reporter, type.name());
  }
  const std::span<const unsigned char> bytes = view.bytes();
  const auto size = static_cast<std::size_t>(view.item_size());
  const std::uint64_t count = bytes.size() / size;
  const Step step = write_shaped_count(type, count, "elements", path);
  // No elements, no padding before them (as for an empty list).
  if (step == Step::Done && count > 0) {
    const unsigned char* items = bytes.data();
    out_.align(size);
    out_.reserve(bytes.size());
    with_fixed_size_kind(
        element.leaf,
        [&]<TypeKind Kind>() {
          using Bits = UnsignedOfSize<describe(Kind).size>;
          if (!big_endian && describe(Kind).conversion != Conversion::Bool) {
            out_.write_raw(reinterpret_cast<const char*>(items), bytes.size());
            return;
          }
          // Each item as the machine holds numbers, which the writer then
          // stores little-endian.
          const bool reverse = big_endian != (std::endian::native == std::endian::big);
          for (std::uint64_t index = 0; index < count; ++index) {
            Bits bits;
            std::memcpy(&bits, items + index * size, sizeof bits);
            if (reverse) bits = reversed_bytes(bits);
            if constexpr (describe(Kind).conversion == Conversion::Bool) bits = bits != 0 ? 1 : 0;
            out_.put_aligned_reserved(bits);
          }
        },
        [] {});
  }
  return step;
}

template <class Out>
Step Encoder<Out>::nesting_too_deep(const PathNode& path) {
  return fail(MessageError::serialization_failed(nesting_too_deep_text(path)));
}

template <class Out>
Step Encoder<Out>::write_scalar(TypeKind kind, PyObject* value, const PathNode& path,
                                const Reporter& reporter, std::string_view expected) {
  const TypeDescriptor& type = describe(kind);
  switch (type.conversion) {
    case Conversion::Bool: {
      bool flag;
      if (!bool_rule(value, flag)) return mismatch(reporter, String(expected));
      out_.write(static_cast<std::uint8_t>(flag ? 1 : 0));
      return Step::Done;
    }
    case Conversion::Integer: {
      long long integer;
      const bool written = integer_rule(value, integer) &&
                           with_fixed_size_kind(
                               kind,
                               [&]<TypeKind Kind>() {
                                 if constexpr (describe(Kind).conversion == Conversion::Integer) {
                                   return put_integer<Kind>(integer, put());
                                 } else {
                                   return false;  // not reached: the kind's conversion is Integer
                                 }
                               },
                               [] { return false; });
      if (!written) return mismatch(reporter, String(expected));
      return Step::Done;
    }
    case Conversion::Unsigned64: {
      unsigned long long unsigned_value;
      if (!unsigned_rule(value, unsigned_value)) return mismatch(reporter, String(expected));
      out_.write(static_cast<std::uint64_t>(unsigned_value));
      return Step::Done;
    }
    case Conversion::Float32: {
      double real;
      if (!float_rule(value, real)) return mismatch(reporter, String(expected));
      // Round to nearest even; magnitudes past the binary32 range become
      // infinities of the same sign.
      out_.write(static_cast<float>(real));
      return Step::Done;
    }
    case Conversion::Float64: {
      double real;
      if (!float_rule(value, real)) return mismatch(reporter, String(expected));
      out_.write(real);
      return Step::Done;
    }
    case Conversion::String: {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
      if (text == nullptr) return mismatch(reporter, String(expected));
      if (static_cast<std::uint64_t>(size) >= Out::kLengthLimit) {
        return too_long(path, static_cast<std::uint64_t>(size), "UTF-8 bytes",
                        Out::kLengthLimit - 1);
      }
      out_.write_ros_string(text, static_cast<std::size_t>(size));
      return Step::Done;
    }
    case Conversion::Bytes: {
      if (!PyBytes_Check(value)) return mismatch(reporter, String(expected));
      const auto size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(value));
      if (size > Out::kLengthLimit) return too_long(path, size, "bytes", Out::kLengthLimit);
      out_.write_byte_string(PyBytes_AS_STRING(value), static_cast<std::size_t>(size));
      return Step::Done;
    }
    case Conversion::Array:
    case Conversion::Struct:
    case Conversion::Time:
      break;
  }
  KORVEX_INTERNAL_FAILURE("write_scalar called for a composite type");
}

// Writes a non-array value through the general conversion rules.
template <class Out>
Step Encoder<Out>::write_converted(ValueType type, PyObject* value, const PathNode& path,
                                   const Reporter& reporter) {
  if constexpr (kLayout.shaped_types) {
    if (type.leaf == TypeKind::Bytes) return write_octets(type, value, path, reporter);
    if (type.string_bound != 0) return write_bounded_string(type, value, path, reporter);
  }
  switch (describe(type.leaf).conversion) {
    case Conversion::Struct:
      return write_struct(type, value, path, reporter);
    case Conversion::Time:
      return write_time(type.leaf, value, path, reporter);
    case Conversion::Bool:
    case Conversion::Integer:
    case Conversion::Unsigned64:
    case Conversion::Float32:
    case Conversion::Float64:
    case Conversion::String:
    case Conversion::Bytes:
    case Conversion::Array:  // never a leaf: write_scalar reports the broken invariant
      return write_scalar(type.leaf, value, path, reporter, type.scalar_name());
  }
  KORVEX_INTERNAL_FAILURE("write_converted called with a value that is no Conversion");
}

template <class Out>
Step Encoder<Out>::write_array(ValueType type, PyObject* value, const PathNode& path,
                               const Reporter& reporter) {
  const NestingLevel level(levels_);
  if (!level.entered()) return nesting_too_deep(path);
  Py_ssize_t count;
  if constexpr (kLayout.shaped_types) {
    if (!PyList_Check(value)) {
      // Any buffer, bytes too: only char[] (unsigned bytes) takes one of
      // octets.  Anything else is reported there as a mismatch.
      return write_primitive_buffer(type, value, path, reporter);
    }
    count = PyList_GET_SIZE(value);
    if (write_shaped_count(type, static_cast<std::uint64_t>(count), "elements", path) ==
        Step::Failed) {
      return Step::Failed;
    }
  } else {
    out_.align(4);
    if (!PyList_Check(value)) return mismatch(reporter, type.name());
    count = PyList_GET_SIZE(value);
    if (static_cast<std::uint64_t>(count) > Out::kLengthLimit) {
      return too_long(path, static_cast<std::uint64_t>(count), "elements", Out::kLengthLimit);
    }
    out_.write_count(static_cast<std::uint32_t>(count));
  }
  const ValueType element_type = type.element();
  // Bounded strings are checked on the general path.
  const bool exact_elements =
      !element_type.is_array() && (!kLayout.shaped_types || element_type.string_bound == 0);
  Py_ssize_t index = 0;
  while (index < count) {
    // The general path's conversions can run user code, which may change
    // the list.  The count is already written, so a list that shrank cannot
    // be encoded faithfully; elements appended meanwhile are not written.
    const Py_ssize_t available = std::min(count, PyList_GET_SIZE(value));
    if (index >= available) return changed_size(path);
    if (exact_elements) {
      index = write_exact_elements(element_type.leaf, value, index, available);
      if (index == available) continue;
    }
    PyRef element = PyRef::borrow(PyList_GET_ITEM(value, index));
    auto write_element = [&](const PathNode& element_path) KORVEX_INLINE_LAMBDA {
      const Reporter element_reporter{&element_path, element.get()};
      return element_type.is_array()
                 ? write_array(element_type, element.get(), element_path, element_reporter)
                 : write_converted(element_type, element.get(), element_path, element_reporter);
    };
    // The ROS 2 layout names the element itself ("points[3]"); the core's
    // reports against the array.
    Step step;
    if constexpr (kLayout.shaped_types) {
      step = write_element(PathNode{&path, {}, {static_cast<std::uint64_t>(index)}});
    } else {
      step = write_element(path);
    }
    if (step == Step::Failed) return Step::Failed;
    ++index;
  }
  return Step::Done;
}

template <class Out>
PyObject* Encoder<Out>::nested_item(PyObject* item, const PathNode& path, std::string_view name,
                                    const char* missing_prefix) {
  if (item != nullptr) [[likely]]
    return item;
  nested_item_failed(path, name, missing_prefix);
  return nullptr;
}

template <class Out>
void Encoder<Out>::nested_item_failed(const PathNode& path, std::string_view name,
                                      const char* missing_prefix) {
  // Records the failure; the caller returns null for it.
  if (PyErr_Occurred()) {
    // An exception that must propagate is left pending, unchanged.
    if (std::optional<String> rendered = render_pending_exception()) {
      static_cast<void>(fail(MessageError::serialization_failed(std::move(*rendered))));
    }
  } else {
    String text = missing_prefix;
    text += render_path(&path);
    text += '.';
    text += name;
    text += '\'';
    static_cast<void>(fail(MessageError::serialization_failed(std::move(text))));
  }
}

template <class Out>
Step Encoder<Out>::write_struct(ValueType type, PyObject* value, const PathNode& path,
                                const Reporter& reporter) {
  const NestingLevel level(levels_);
  if (!level.entered()) return nesting_too_deep(path);
  if (!PyDict_Check(value)) return mismatch(reporter, type.name());
  SchemaRef schema;
  const MessagePlan* plan = resolve_link(*type.link, schema, error_);
  if (plan == nullptr) return Step::Failed;
  return write_fields(*plan, value, &path, &reporter);
}

template <class Out>
Step Encoder<Out>::write_fields(const MessagePlan& plan, PyObject* dict, const PathNode* parent,
                                const Reporter* inherited) {
  if constexpr (kLayout.empty_struct_byte) {
    if (plan.fields.empty()) {
      out_.template write<std::uint8_t>(0);
      return Step::Done;
    }
  }
  DictCursor cursor(dict);
  for (const FieldPlan& field : plan.fields) {
    PyObject* item;  // borrowed
    if (parent == nullptr) {
      // A top-level lookup that raises passes its exception on unchanged.
      item = cursor.find(field);
      if (item == nullptr) {
        if (PyErr_Occurred()) return Step::Failed;
        return missing_field(field.name);
      }
    } else {
      item = nested_item(cursor.find(field), *parent, field.name, "Missing nested field '");
      if (item == nullptr) return Step::Failed;
    }
    if (!field.type.is_array() && (!kLayout.shaped_types || field.type.string_bound == 0) &&
        write_exact(field.type.leaf, item)) {
      continue;
    }
    // The general path can run user code, which could drop the dict's
    // reference to the value.
    PyRef held = PyRef::borrow(item);
    const PathNode child{parent, field.name};
    const Reporter own{&child, item};
    // The core reports a mismatch inside a struct against the outermost
    // field or element; the ROS 2 layout against the value itself.
    const Reporter& reporter = inherited != nullptr && !kLayout.shaped_types ? *inherited : own;
    const Step step = field.type.is_array() ? write_array(field.type, item, child, reporter)
                                            : write_converted(field.type, item, child, reporter);
    if (step == Step::Failed) return Step::Failed;
  }
  return Step::Done;
}

template <class Out>
Step Encoder<Out>::write_time(TypeKind kind, PyObject* value, const PathNode& path,
                              const Reporter& reporter) {
  const std::string_view type_name = describe(kind).name;
  if (!PyDict_Check(value)) return mismatch(reporter, String(type_name));
  out_.align(4);
  DictCursor cursor(value);
  long long integer;
  PyObject* sec = nested_item(cursor.find(sec_key()), path, "sec", "Missing field '");
  if (sec == nullptr) return Step::Failed;
  if (!PyLong_CheckExact(sec) || !exact_int_value(sec, integer) || integer < INT32_MIN ||
      integer > INT32_MAX) {
    PyRef held = PyRef::borrow(sec);
    if (!integer_rule(sec, integer) || integer < INT32_MIN || integer > INT32_MAX) {
      return mismatch(reporter, String(type_name) + " with int32 sec");
    }
  }
  out_.write(static_cast<std::int32_t>(integer));
  PyObject* nanosec = nested_item(cursor.find(nanosec_key()), path, "nanosec", "Missing field '");
  if (nanosec == nullptr) return Step::Failed;
  if (!PyLong_CheckExact(nanosec) || !exact_int_value(nanosec, integer) || integer < 0 ||
      integer > UINT32_MAX) {
    PyRef held = PyRef::borrow(nanosec);
    if (!integer_rule(nanosec, integer) || integer < 0 || integer > UINT32_MAX) {
      return mismatch(reporter, String(type_name) + " with uint32 nanosec");
    }
  }
  out_.write(static_cast<std::uint32_t>(integer));
  return Step::Done;
}

template <class Out>
BodyResult Encoder<Out>::run(std::string_view schema_name, PyObject* values) {
  SchemaRef schema;
  const MessagePlan* plan = lookup_plan(schema_name, schema, error_);
  // Some room beyond the last size: the primitive runs reserve ahead.
  if (plan != nullptr) out_.begin(plan->size_hint + plan->size_hint / 4 + 64);
  if (plan == nullptr || write_fields(*plan, values, nullptr, nullptr) == Step::Failed) {
    if (error_) return std::move(*error_);
    return PythonErrorSet{};
  }
  if constexpr (Out::kKeepsSizeHint) {
    plan->size_hint = std::min(out_.length(), MessagePlan::kMostSizeHint);
  }
  return out_.finish();
}

}  // namespace
}  // namespace korvex
