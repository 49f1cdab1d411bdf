// What the system knows about each field type, in one table: its canonical
// name, its size and alignment on the wire, which conversion serialize
// applies to a Python value (with the range of an integer type), whether it
// holds negative values, how deserialize turns its bytes into a Python
// value, and the struct-module codes, numpy dtype and Arrow format of a value
// of a primitive type.  Every other place reads these columns.
//
// A new field type gets a TypeKind, a row here and a case in with_kind
// below; every switch over TypeKind or Conversion lists all of them (no
// default), so the compiler names each place that must handle a new one.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

#include "base/byte_order.hpp"
#include "base/compiler.hpp"
#include "module/failure.hpp"

namespace korvex {

enum class TypeKind : std::uint8_t {
  Bool,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float32,
  Float64,
  String,
  Bytes,
  Array,
  Struct,
  Time,
  Duration,
};

// How serialize accepts a Python value, and so how a value is laid out.
enum class Conversion : std::uint8_t {
  Bool,        // True, False or a numpy boolean scalar; one byte
  Integer,     // int or __index__, within [min, max]; `size` bytes
  Unsigned64,  // int or __index__, 0 .. 2**64-1; 8 bytes
  Float32,     // float, int or __float__, narrowed to binary32
  Float64,     // float, int or __float__
  String,      // str with a UTF-8 form; length (counting a NUL), text, NUL
  Bytes,       // bytes; length, bytes
  Array,       // list; count, elements
  Struct,      // dict holding the nested schema's fields; no bytes of its own
  Time,        // dict of int32 "sec" and uint32 "nanosec"
};

struct TypeDescriptor {
  TypeKind kind;
  // The canonical name; for Array and Struct only the start of it.
  std::string_view name;
  // Bytes of one value when the type is a single primitive, else 0.
  std::uint8_t size;
  // Alignment of the value, or of its length or count field; a struct has
  // none of its own (1).
  std::uint8_t alignment;
  Conversion conversion;
  // The range an Integer type accepts (Unsigned64's is its Conversion's).
  long long min;
  long long max;
  // Whether values of the type may be negative.
  bool is_signed;
  // For a single primitive: a new reference to the Python value of its
  // little-endian bytes (null with an exception set on failure).
  PyObject* (*read)(const unsigned char* bytes);
  // For a single primitive: the struct-module code its items are exported
  // with (one character, NUL-terminated), and the codes a buffer's items may carry to be read as
  // this type (their size checked apart); else empty.
  std::string_view buffer_format;
  std::string_view buffer_formats;
  // For a single primitive: the numpy dtype of its arrays (without byte
  // order) and the Arrow C data interface format of its column; else empty.
  std::string_view numpy_dtype;
  std::string_view arrow_format;
};

namespace type_readers {

[[nodiscard]] inline PyObject* boolean(const unsigned char* bytes) {
  return PyBool_FromLong(bytes[0] != 0);
}

template <class T>
[[nodiscard]] PyObject* integer(const unsigned char* bytes) {
  const T value = load_le<T>(bytes);
  // C long is only 32 bits wide on some platforms: each value goes through
  // the narrowest call that is exact everywhere.
  if constexpr (sizeof(T) <= 2 || std::is_same_v<T, std::int32_t>) {
    return PyLong_FromLong(static_cast<long>(value));
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return PyLong_FromUnsignedLong(static_cast<unsigned long>(value));
  } else if constexpr (std::is_signed_v<T>) {
    return PyLong_FromLongLong(static_cast<long long>(value));
  } else {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
  }
}

template <class T>
[[nodiscard]] PyObject* real(const unsigned char* bytes) {
  return PyFloat_FromDouble(static_cast<double>(load_le<T>(bytes)));
}

}  // namespace type_readers

// Any struct-module code of a signed or of an unsigned integer: which one
// of them a buffer of items carries depends on the platform's C types.
inline constexpr std::string_view kSignedFormats = "bhilqn";
inline constexpr std::string_view kUnsignedFormats = "BHILQN";

template <class T>
constexpr TypeDescriptor integer_type(TypeKind kind, std::string_view name,
                                      std::string_view buffer_format, std::string_view numpy_dtype,
                                      std::string_view arrow_format) {
  constexpr bool is_signed = std::numeric_limits<T>::is_signed;
  // uint64's range does not fit these columns: its Conversion checks it.
  constexpr bool fits = sizeof(T) < 8 || is_signed;
  return {kind,
          name,
          sizeof(T),
          sizeof(T),
          fits ? Conversion::Integer : Conversion::Unsigned64,
          fits ? static_cast<long long>(std::numeric_limits<T>::min()) : 0,
          fits ? static_cast<long long>(std::numeric_limits<T>::max()) : 0,
          is_signed,
          &type_readers::integer<T>,
          buffer_format,
          is_signed ? kSignedFormats : kUnsignedFormats,
          numpy_dtype,
          arrow_format};
}

template <class T>
constexpr TypeDescriptor real_type(TypeKind kind, std::string_view name, Conversion conversion,
                                   std::string_view buffer_format, std::string_view numpy_dtype,
                                   std::string_view arrow_format) {
  return {
      kind,          name, sizeof(T),   sizeof(T),   conversion, 0, 0, true, &type_readers::real<T>,
      buffer_format, "fd", numpy_dtype, arrow_format};
}

constexpr TypeDescriptor composite_type(TypeKind kind, std::string_view name,
                                        std::uint8_t alignment, Conversion conversion) {
  return {kind, name, 0, alignment, conversion, 0, 0, false, nullptr, {}, {}, {}, {}};
}

// Indexed by TypeKind; its length is the number of rows.
inline constexpr auto kTypeTable = std::to_array<TypeDescriptor>({
    {TypeKind::Bool, "bool", 1, 1, Conversion::Bool, 0, 1, false, &type_readers::boolean, "?", "?",
     "?", "b"},
    integer_type<std::int8_t>(TypeKind::Int8, "int8", "b", "i1", "c"),
    integer_type<std::int16_t>(TypeKind::Int16, "int16", "h", "i2", "s"),
    integer_type<std::int32_t>(TypeKind::Int32, "int32", "i", "i4", "i"),
    integer_type<std::int64_t>(TypeKind::Int64, "int64", "q", "i8", "l"),
    integer_type<std::uint8_t>(TypeKind::UInt8, "uint8", "B", "u1", "C"),
    integer_type<std::uint16_t>(TypeKind::UInt16, "uint16", "H", "u2", "S"),
    integer_type<std::uint32_t>(TypeKind::UInt32, "uint32", "I", "u4", "I"),
    integer_type<std::uint64_t>(TypeKind::UInt64, "uint64", "Q", "u8", "L"),
    real_type<float>(TypeKind::Float32, "float32", Conversion::Float32, "f", "f4", "f"),
    real_type<double>(TypeKind::Float64, "float64", Conversion::Float64, "d", "f8", "g"),
    composite_type(TypeKind::String, "string", 4, Conversion::String),
    composite_type(TypeKind::Bytes, "bytes", 4, Conversion::Bytes),
    composite_type(TypeKind::Array, "array", 4, Conversion::Array),
    composite_type(TypeKind::Struct, "struct", 1, Conversion::Struct),
    composite_type(TypeKind::Time, "time", 4, Conversion::Time),
    composite_type(TypeKind::Duration, "duration", 4, Conversion::Time),
});

constexpr const TypeDescriptor& describe(TypeKind kind) noexcept {
  return kTypeTable[static_cast<std::size_t>(kind)];
}

// The kind whose column has the Arrow C data interface `format`, if any.
// (Bool's "b" is bit-packed: one value is not `size` bytes there.)
[[nodiscard]] constexpr std::optional<TypeKind> kind_with_arrow_format(
    std::string_view format) noexcept {
  for (const TypeDescriptor& type : kTypeTable) {
    if (!type.arrow_format.empty() && type.arrow_format == format) return type.kind;
  }
  return std::nullopt;
}

constexpr bool table_follows_the_kinds() {
  for (std::size_t index = 0; index < kTypeTable.size(); ++index) {
    if (static_cast<std::size_t>(kTypeTable[index].kind) != index) return false;
  }
  return true;
}
static_assert(table_follows_the_kinds(), "kTypeTable rows must be in TypeKind order");

// Calls `step.template operator()<Kind>()` with `kind` as a compile-time
// constant: the one switch from a run-time kind to code specialised for it.
template <class Step>
KORVEX_ALWAYS_INLINE decltype(auto) with_kind(TypeKind kind, Step&& step) {
  switch (kind) {
    case TypeKind::Bool:
      return step.template operator()<TypeKind::Bool>();
    case TypeKind::Int8:
      return step.template operator()<TypeKind::Int8>();
    case TypeKind::Int16:
      return step.template operator()<TypeKind::Int16>();
    case TypeKind::Int32:
      return step.template operator()<TypeKind::Int32>();
    case TypeKind::Int64:
      return step.template operator()<TypeKind::Int64>();
    case TypeKind::UInt8:
      return step.template operator()<TypeKind::UInt8>();
    case TypeKind::UInt16:
      return step.template operator()<TypeKind::UInt16>();
    case TypeKind::UInt32:
      return step.template operator()<TypeKind::UInt32>();
    case TypeKind::UInt64:
      return step.template operator()<TypeKind::UInt64>();
    case TypeKind::Float32:
      return step.template operator()<TypeKind::Float32>();
    case TypeKind::Float64:
      return step.template operator()<TypeKind::Float64>();
    case TypeKind::String:
      return step.template operator()<TypeKind::String>();
    case TypeKind::Bytes:
      return step.template operator()<TypeKind::Bytes>();
    case TypeKind::Array:
      return step.template operator()<TypeKind::Array>();
    case TypeKind::Struct:
      return step.template operator()<TypeKind::Struct>();
    case TypeKind::Time:
      return step.template operator()<TypeKind::Time>();
    case TypeKind::Duration:
      return step.template operator()<TypeKind::Duration>();
  }
  KORVEX_INTERNAL_FAILURE("with_kind called with a value that is no TypeKind");
}

// Calls `fixed.template operator()<Kind>()` with `kind` as a compile-time
// constant when the table gives it a size (a fixed-size primitive, for
// loops specialised per kind), and `other()` for any other kind.
template <class Fixed, class Other>
KORVEX_ALWAYS_INLINE decltype(auto) with_fixed_size_kind(TypeKind kind, Fixed&& fixed,
                                                         Other&& other) {
  return with_kind(kind, [&]<TypeKind Kind>() KORVEX_INLINE_LAMBDA -> decltype(auto) {
    if constexpr (describe(Kind).size > 0) {
      return fixed.template operator()<Kind>();
    } else {
      return other();
    }
  });
}

}  // namespace korvex
