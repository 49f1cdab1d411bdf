// Strict UTF-8 validation (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF) that reports where and how a text goes wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/memory.hpp"

namespace korvex {

struct Utf8Problem {
  // Length of the valid prefix: the index of the first byte that is not
  // part of valid text.
  std::size_t valid_up_to = 0;
  // Length (1 to 3) of the invalid sequence, or 0 when the text ends in the
  // middle of a sequence that was valid so far.
  std::uint8_t error_length = 0;
};

// True when the whole text is valid; otherwise fills `problem`.
bool validate_utf8(std::string_view bytes, Utf8Problem& problem) noexcept;

// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
String describe_utf8_problem(const Utf8Problem& problem);

// Decodes with every invalid sequence replaced by U+FFFD.
String lossy_utf8(std::string_view bytes);

// Decodes the code point starting at `at` (< text.size()) of a text that is
// expected to be valid; returns its byte length.  A stray byte counts as one
// U+FFFD, and so does a sequence cut off by the end of the text.
std::size_t decode_at(std::string_view text, std::size_t at, char32_t& out) noexcept;

// Where the last code point of a non-empty text starts: up to three
// continuation bytes back from the end.
inline std::size_t last_code_point_start(std::string_view text) noexcept {
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 &&
         text.size() - start < 4) {
    --start;
  }
  return start;
}

// True when every byte is below 0x80.
inline bool is_ascii(const char* data, std::size_t size) noexcept {
  std::size_t index = 0;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  for (; index + 8 <= size; index += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + index, 8);
    if (word & kHighBits) return false;
  }
  for (; index < size; ++index) {
    if (static_cast<unsigned char>(data[index]) & 0x80) return false;
  }
  return true;
}

}  // namespace korvex
