// Little-endian stores and loads of fixed-size values.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace korvex {

template <class T>
inline T swap_to_little_endian(T value) noexcept {
  if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
    return value;
  } else {
    using Bits = std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                    std::conditional_t<sizeof(T) == 4, std::uint32_t,
                                                       std::uint64_t>>;
    Bits bits;
    std::memcpy(&bits, &value, sizeof bits);
    if constexpr (sizeof(T) == 2) bits = __builtin_bswap16(bits);
    if constexpr (sizeof(T) == 4) bits = __builtin_bswap32(bits);
    if constexpr (sizeof(T) == 8) bits = __builtin_bswap64(bits);
    std::memcpy(&value, &bits, sizeof bits);
    return value;
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
