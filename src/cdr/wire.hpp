// The encapsulation header every message starts with: plain CDR in
// little-endian byte order (representation 00 01), no options (00 00).
// Offsets, and so alignment, count from its first byte.
#pragma once

#include <cstddef>

namespace korvex {

inline constexpr unsigned char kEncapsulationHeader[] = {0x00, 0x01, 0x00, 0x00};
inline constexpr std::size_t kHeaderLength = sizeof kEncapsulationHeader;

}  // namespace korvex
