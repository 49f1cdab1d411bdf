// CdrReader: a cursor over one deserialize call's input, header included.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_order.hpp"
#include "base/layout.hpp"
#include "base/utf8.hpp"
#include "cdr/wire.hpp"
#include "module/failure.hpp"

namespace korvex {

enum class [[nodiscard]] ReadFailure : std::uint8_t {
  None,
  TruncatedWhileAligning,  // "Input truncated while aligning CDR stream"
  NotEnoughBytes,          // "failed to fill whole buffer"
  MissingTerminator,       // a ROS string whose last byte is not NUL
};

// The text of a string value, without its terminator.
struct TextRead {
  const char* data;
  std::size_t size;
  // Every byte below 0x80: the decoder then makes the str without decoding.
  bool ascii;
};

class CdrReader {
 public:
  // The input comes from outside: the decoder checks what a forged one
  // could abuse.
  static constexpr bool kChecked = true;

  CdrReader(const unsigned char* data, std::uint64_t size) noexcept
      : data_(data), size_(size), position_(kHeaderLength) {}

  // Where a value of `alignment` starts at or after `offset`.
  static std::uint64_t place(std::uint64_t offset, std::uint64_t alignment) noexcept {
    return align_stream(offset, alignment);
  }

  std::uint64_t position() const noexcept { return position_; }
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t remaining() const noexcept { return size_ - position_; }
  // Where the last read that failed started.
  std::uint64_t failed_at() const noexcept { return failed_at_; }
  const unsigned char* at(std::uint64_t offset) const noexcept { return data_ + offset; }
  std::uint64_t offset_of(const unsigned char* byte) const noexcept {
    return static_cast<std::uint64_t>(byte - data_);
  }
  // Moves forward to `offset` (at most size()), which the caller has checked.
  void skip_to(std::uint64_t offset) {
    KORVEX_ASSERT(offset >= position_ && offset <= size_);
    position_ = offset;
  }

  ReadFailure align(std::uint64_t alignment) noexcept {
    const std::uint64_t target = align_stream(position_, alignment);
    if (target > size_) {
      if constexpr (kLayout.ros2_errors) failed_at_ = position_;
      return ReadFailure::TruncatedWhileAligning;
    }
    position_ = target;
    return ReadFailure::None;
  }

  // Takes `count` bytes; running short moves the position to the end.
  ReadFailure take(std::uint64_t count, const unsigned char*& out) noexcept {
    if (size_ - position_ < count) {
      if constexpr (kLayout.ros2_errors) failed_at_ = position_;
      position_ = size_;
      return ReadFailure::NotEnoughBytes;
    }
    out = data_ + position_;
    position_ += count;
    return ReadFailure::None;
  }

  template <class T>
  ReadFailure read(T& value) noexcept {
    if (ReadFailure failure = align(sizeof(T)); failure != ReadFailure::None) return failure;
    const unsigned char* bytes;
    if (ReadFailure failure = take(sizeof(T), bytes); failure != ReadFailure::None) return failure;
    value = load_le<T>(bytes);
    if constexpr (kLayout.big_endian_input) {
      if (big_endian_) value = reversed_bytes(value);
    }
    return ReadFailure::None;
  }

  // Input in big-endian byte order (only where the layout reads it).
  bool big_endian() const noexcept { return kLayout.big_endian_input && big_endian_; }
  void set_big_endian() noexcept { big_endian_ = true; }

  // A ROS string: its length (counting the NUL), its text, a NUL.  A fault
  // of the string itself is placed at its length, where its value starts.
  ReadFailure read_text(TextRead& text) noexcept {
    std::uint32_t length;
    if (ReadFailure failure = read(length); failure != ReadFailure::None) return failure;
    const unsigned char* bytes;
    if (ReadFailure failure = take(length, bytes); failure != ReadFailure::None) return failure;
    if (length == 0 || bytes[length - 1] != 0) {
      if constexpr (kLayout.ros2_errors) failed_at_ = offset_of(bytes) - sizeof length;
      return ReadFailure::MissingTerminator;
    }
    text.data = reinterpret_cast<const char*>(bytes);
    text.size = length - 1;
    text.ascii = is_ascii(text.data, text.size);
    return ReadFailure::None;
  }

 private:
  const unsigned char* data_;
  std::uint64_t size_;
  std::uint64_t position_;
  std::uint64_t failed_at_ = 0;
  bool big_endian_ = false;
};

}  // namespace korvex
