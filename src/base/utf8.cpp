#include "base/utf8.hpp"

#include <cstring>

namespace korvex {
namespace {

// Width of the sequence a leading byte starts; 0 for bytes that never lead.
constexpr std::uint8_t sequence_width(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

constexpr bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Whether `second` may follow `lead` as the first continuation byte; this is
// where overlong forms, surrogates and values past U+10FFFF are refused.
constexpr bool second_byte_allowed(std::uint8_t lead, std::uint8_t second) noexcept {
  switch (lead) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return is_continuation(second);
  }
}

}  // namespace

bool validate_utf8(std::string_view text, Utf8Problem& problem) noexcept {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  std::size_t index = 0;
  while (index < size) {
    const std::uint8_t lead = bytes[index];
    if (lead < 0x80) {
      ++index;
      continue;
    }
    const std::size_t start = index;
    const std::uint8_t width = sequence_width(lead);
    auto fail = [&](std::uint8_t length) {
      problem.valid_up_to = start;
      problem.error_length = length;
      return false;
    };
    if (width == 0) return fail(1);
    // Each further byte: running out of text is "incomplete"; a wrong byte
    // is an invalid sequence as long as the bytes seen so far.
    if (start + 1 >= size) return fail(0);
    if (!second_byte_allowed(lead, bytes[start + 1])) return fail(1);
    if (width >= 3) {
      if (start + 2 >= size) return fail(0);
      if (!is_continuation(bytes[start + 2])) return fail(2);
    }
    if (width == 4) {
      if (start + 3 >= size) return fail(0);
      if (!is_continuation(bytes[start + 3])) return fail(3);
    }
    index = start + width;
  }
  return true;
}

String describe_utf8_problem(const Utf8Problem& problem) {
  if (problem.error_length == 0) {
    return "incomplete utf-8 byte sequence from index " + decimal(problem.valid_up_to);
  }
  return "invalid utf-8 sequence of " + decimal(problem.error_length) + " bytes from index " +
         decimal(problem.valid_up_to);
}

String lossy_utf8(std::string_view bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  String out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    Utf8Problem problem;
    if (validate_utf8(bytes, problem)) {
      out.append(bytes);
      break;
    }
    out.append(bytes.substr(0, problem.valid_up_to));
    out.append(kReplacement);
    if (problem.error_length == 0) break;  // the rest is one cut-off sequence
    bytes.remove_prefix(problem.valid_up_to + problem.error_length);
  }
  return out;
}

std::size_t decode_at(std::string_view text, std::size_t at, char32_t& out) noexcept {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (lead >= 0x80 && lead < 0xC0) length = 1;
  if (at + length > text.size()) {
    out = 0xFFFD;
    return 1;
  }
  char32_t value = length == 1   ? lead
                   : length == 2 ? (lead & 0x1F)
                   : length == 3 ? (lead & 0x0F)
                                 : (lead & 0x07);
  for (std::size_t i = 1; i < length; ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  }
  out = length == 1 && lead >= 0x80 ? 0xFFFD : value;
  return length;
}

}  // namespace korvex
