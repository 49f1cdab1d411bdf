// Little-endian stores and loads of fixed-size values, and the alignment
// arithmetic of the wire layout.
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

// `value` with its bytes in the opposite order.
template <class T>
inline T reversed_bytes(T value) noexcept {
  if constexpr (sizeof(T) == 1) {
    return value;
  } else {
    using Bits =
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
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
