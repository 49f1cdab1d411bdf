// The encapsulation header every message starts with: plain CDR in
// little-endian byte order (representation 00 01), no options (00 00).
// Offsets count from its first byte; alignment counts from the layout's
// origin (base/layout.hpp): the header's first byte, or the first after it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_order.hpp"
#include "base/layout.hpp"

namespace korvex {

inline constexpr unsigned char kEncapsulationHeader[] = {0x00, 0x01, 0x00, 0x00};
inline constexpr std::size_t kHeaderLength = sizeof kEncapsulationHeader;

static_assert(kLayout.alignment_origin <= kHeaderLength);

// `offset` (from the header's first byte) moved up to the next offset that
// the layout aligns to a multiple of `alignment`.
constexpr std::uint64_t align_stream(std::uint64_t offset, std::uint64_t alignment) noexcept {
  constexpr std::uint64_t origin = kLayout.alignment_origin;
  return align_up(offset - origin, alignment) + origin;
}

}  // namespace korvex
