// A constant-time hash of a text for picking a cache slot: its length and
// its first and last eight bytes, which for texts of up to 16 bytes are all
// of them.  Caches that use it compare the whole text on a hit; the hash
// only spreads texts over slots, and texts that share a start (the names of
// one package) still spread by their end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvex {

inline std::uint64_t hash_text_ends(const char* text, std::size_t size) noexcept {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (size >= 8) {
    std::memcpy(&head, text, 8);
    std::memcpy(&tail, text + size - 8, 8);
  } else if (size >= 4) {
    std::uint32_t first;
    std::uint32_t last;
    std::memcpy(&first, text, 4);
    std::memcpy(&last, text + size - 4, 4);
    head = first;
    tail = last;
  } else {
    for (std::size_t index = 0; index < size; ++index) {
      head = (head << 8) | static_cast<unsigned char>(text[index]);
    }
  }
  return ((head * 0x9E3779B97F4A7C15ULL) ^ tail ^ size) * 0xFF51AFD7ED558CCDULL;
}

}  // namespace korvex
