// Which wire layout this build of the codec writes and reads.
//
// Every extension module is compiled from the same sources with one layout:
// `_korvex_messages` with its own (alignment counted from the header's first
// byte, an empty message as the bare header), `korvex_messages.ros2._native` with
// ROS 2's plain CDR as rmw writes it (compiled with KORVEX_ROS2_LAYOUT).
// The choice is a compile-time constant, so the layout costs the other
// module nothing at run time: each difference is an `if constexpr`.
#pragma once

#include <cstddef>

namespace korvex {

struct Layout {
  // Offset of the byte that alignment counts from: 0 is the header's first
  // byte, 4 the first byte after the header.
  std::size_t alignment_origin;
  // A struct without fields is written as one uint8 0 (ROS 2's
  // structure_needs_at_least_one_member), not as nothing.
  bool empty_struct_byte;
  // Fixed-length and bounded arrays, bounded strings, and octet sequences
  // that accept any bytes-like object.
  bool shaped_types;
  // Errors as the ROS 2 codec documents them: malformed input raises
  // ValueError, and an unknown type a KeyError that says what it is.
  bool ros2_errors;
  // Big-endian input (representation 00 00) is read as well.
  bool big_endian_input;
  // Values are taken only where nothing of them is lost: a complex number
  // is no float (its imaginary part would be dropped), and octets come only
  // from buffers of unsigned bytes (a signed -1 would become 255).
  bool lossless_values;
};

#if defined(KORVEX_ROS2_LAYOUT)
inline constexpr Layout kLayout{4, true, true, true, true, true};
#else
inline constexpr Layout kLayout{0, false, false, false, false, false};
#endif

}  // namespace korvex
