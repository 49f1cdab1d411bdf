// NullWriter: the writer of the serialize floor, which writes nothing.
//
// The encoder's walk hands it every value exactly as it hands them to
// CdrWriter, converted and range-checked; it keeps no buffer, pads nothing
// and makes no bytes object.  Each value is folded into a sum that the call
// finally stores where the compiler must assume it is read, so that reading
// the values cannot be optimised away: the floor takes them out of their
// objects as serialize does and leaves out only the writing.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "base/byte_order.hpp"
#include "base/py_ref.hpp"
#include "cdr/limits.hpp"

namespace korvex::testing {

// Where each serialize floor leaves its sum.
inline volatile std::uint64_t g_floor_sink = 0;

class NullWriter {
 public:
  // The lengths serialize accepts in the module the benchmark times, not
  // the lowered limit of the test-only module's own CdrWriter.
  static constexpr std::uint64_t kLengthLimit = kWireLengthLimit;
  // The plans are left as the real calls left them.
  static constexpr bool kKeepsSizeHint = false;

  void begin(std::size_t) noexcept {}
  void reserve(std::size_t) noexcept {}
  void align(std::size_t) noexcept {}

  template <class T>
  void put_aligned_reserved(T value) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
      using Bits = UnsignedOfSize<sizeof(T)>;
      sum_ += std::bit_cast<Bits>(value);
    } else {
      sum_ += static_cast<std::uint64_t>(value);
    }
  }
  template <class T>
  void write(T value) noexcept {
    put_aligned_reserved(value);
  }
  void write_count(std::uint32_t count) noexcept { sum_ += count; }
  // The text or bytes are where the real writer copies them from; the floor
  // takes their place and size and copies nothing.
  void write_ros_string(const char* text, std::size_t size) noexcept {
    sum_ += reinterpret_cast<std::uintptr_t>(text) + size;
  }
  void write_byte_string(const char* bytes, std::size_t size) noexcept {
    sum_ += reinterpret_cast<std::uintptr_t>(bytes) + size;
  }

  // serialize_floor returns None.
  PyRef finish() noexcept {
    g_floor_sink = g_floor_sink + sum_;
    return PyRef::borrow(Py_None);
  }

 private:
  std::uint64_t sum_ = 0;
};

}  // namespace korvex::testing
