// Little-endian stores and loads of fixed-size values, byte reversal, and
// the alignment arithmetic of the wire layout.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace korvex {

// `offset` rounded up to the next multiple of `alignment` (a power of two).
constexpr std::uint64_t align_up(std::uint64_t offset, std::uint64_t alignment) noexcept {
  return (offset + alignment - 1) & ~(alignment - 1);
}

// The unsigned integer of `Size` bytes (1, 2, 4 or 8): the one mapping from
// a width to the type its bits are moved and reversed in.
template <std::size_t Size>
using UnsignedOfSize = std::conditional_t<
    Size == 1, std::uint8_t,
    std::conditional_t<Size == 2, std::uint16_t,
                       std::conditional_t<Size == 4, std::uint32_t, std::uint64_t>>>;

// `value` with its bytes in the opposite order: the one byte reversal.
template <class T>
inline T reversed_bytes(T value) noexcept {
  static_assert(sizeof(T) == sizeof(UnsignedOfSize<sizeof(T)>), "a value of 1, 2, 4 or 8 bytes");
  if constexpr (sizeof(T) == 1) {
    return value;
  } else {
    using Bits = UnsignedOfSize<sizeof(T)>;
    Bits bits;
    std::memcpy(&bits, &value, sizeof bits);
    Bits swapped = 0;
    for (std::size_t byte = 0; byte < sizeof(Bits); ++byte) {
      swapped = static_cast<Bits>((swapped << 8) | ((bits >> (8 * byte)) & 0xFF));
    }
    std::memcpy(&value, &swapped, sizeof swapped);
    return value;
  }
}

// Copies `count` items of `Size` bytes from `from` to `to`, each with its
// bytes reversed; `to` may be `from`.
template <std::size_t Size>
inline void copy_reversed(unsigned char* to, const unsigned char* from,
                          std::size_t count) noexcept {
  using Bits = UnsignedOfSize<Size>;
  for (std::size_t index = 0; index < count; ++index) {
    Bits bits;
    std::memcpy(&bits, from + index * Size, Size);
    bits = reversed_bytes(bits);
    std::memcpy(to + index * Size, &bits, Size);
  }
}

// As above, for items whose size (1, 2, 4 or 8) is known at run time.
inline void copy_reversed(unsigned char* to, const unsigned char* from, std::size_t count,
                          std::size_t size) noexcept {
  switch (size) {
    case 1:
      return copy_reversed<1>(to, from, count);
    case 2:
      return copy_reversed<2>(to, from, count);
    case 4:
      return copy_reversed<4>(to, from, count);
    default:
      return copy_reversed<8>(to, from, count);
  }
}

template <class T>
inline T swap_to_little_endian(T value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return value;
  } else {
    return reversed_bytes(value);
  }
}

template <class T>
inline void store_le(char* at, T value) noexcept {
  value = swap_to_little_endian(value);
  std::memcpy(at, &value, sizeof value);
}

template <class T>
inline T load_le(const unsigned char* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return swap_to_little_endian(value);
}

}  // namespace korvex
