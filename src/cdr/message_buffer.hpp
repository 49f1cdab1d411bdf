// MessageBuffer: CDR messages written one after another into one growing
// block of memory, with where each ends.  It touches no Python object, so
// that encode_table's column walk fills it without the GIL; the caller
// turns the messages into bytes objects afterwards.
//
// Each message starts with the encapsulation header, and alignment counts
// from its own start (align_stream), as CdrWriter counts from the start of
// its one message, so a message here has the bytes CdrWriter writes for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "base/byte_order.hpp"
#include "base/memory.hpp"
#include "cdr/wire.hpp"

namespace korvex {

class MessageBuffer {
 public:
  MessageBuffer() = default;
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;
  ~MessageBuffer() { std::free(data_); }

  // Starts a message: its header.
  void begin_message() {
    start_ = length_;
    write_raw(reinterpret_cast<const char*>(kEncapsulationHeader), kHeaderLength);
  }
  // Ends the message begun last.
  void end_message() { ends_.push_back(length_); }
  // Forgets the message begun last, as if it had not been begun.
  void drop_message() noexcept { length_ = start_; }

  // Forgets every message, keeping the memory.
  void clear() noexcept {
    length_ = 0;
    start_ = 0;
    ends_.clear();
  }

  std::size_t size() const noexcept { return length_; }
  std::size_t message_count() const noexcept { return ends_.size(); }
  // The bytes of message `index` (< message_count()).
  std::span<const char> message(std::size_t index) const noexcept {
    const std::size_t begin = index == 0 ? 0 : end_of(index - 1);
    return {data_ + begin, ends_[index] - begin};
  }
  // Where message `index` ends, from the start of the first.
  std::size_t end_of(std::size_t index) const noexcept { return ends_[index]; }
  // Every message, one after the other.
  std::span<const char> messages() const noexcept {
    return {data_, ends_.empty() ? 0 : ends_.back()};
  }

  // Zero bytes up to the next multiple of `alignment` (at most 8) from the
  // message's alignment origin.
  void align(std::size_t alignment) {
    const std::size_t at = length_ - start_;
    const auto padding = static_cast<std::size_t>(align_stream(at, alignment) - at);
    if (padding == 0) return;
    reserve(8);
    std::memset(data_ + length_, 0, padding);
    length_ += padding;
  }

  // An aligned little-endian value.
  template <class T>
  void write(T value) {
    align(sizeof(T));
    reserve(sizeof(T));
    store_le(data_ + length_, value);
    length_ += sizeof(T);
  }

  void write_count(std::uint32_t count) { write(count); }

  // ROS string: length (text bytes + 1), the text, a NUL; room for all of
  // it (and up to 3 bytes of padding) made at once.
  void write_ros_string(const char* text, std::size_t size) {
    reserve(3 + 4 + size + 1);
    const std::size_t at = length_ - start_;
    const auto padding = static_cast<std::size_t>(align_stream(at, 4) - at);
    std::memset(data_ + length_, 0, 4);
    length_ += padding;
    store_le(data_ + length_, static_cast<std::uint32_t>(size + 1));
    length_ += 4;
    if (size != 0) std::memcpy(data_ + length_, text, size);
    length_ += size;
    data_[length_++] = '\0';
  }

  void write_byte_string(const char* bytes, std::size_t size) {
    write(static_cast<std::uint32_t>(size));
    write_raw(bytes, size);
  }

  // Bytes as they are, with no alignment.
  void write_raw(const char* bytes, std::size_t size) {
    reserve(size);
    if (size != 0) std::memcpy(data_ + length_, bytes, size);
    length_ += size;
  }

  // Room for `extra` more bytes, at the end.
  void reserve(std::size_t extra) {
    if (capacity_ - length_ < extra) grow(extra);
  }

 private:
  void grow(std::size_t extra) {
    const std::uint64_t needed = static_cast<std::uint64_t>(length_) + extra;
    if (needed > SIZE_MAX / 2) abort_on_allocation_failure(needed);
    std::size_t wanted = capacity_ < 4096 ? 4096 : capacity_ * 2;
    if (wanted < needed) wanted = static_cast<std::size_t>(needed + needed / 8);
    void* moved = std::realloc(data_, wanted);
    if (moved == nullptr) abort_on_allocation_failure(wanted);
    data_ = static_cast<char*>(moved);
    capacity_ = wanted;
  }

  char* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
  // Where the message being written starts.
  std::size_t start_ = 0;
  Vector<std::size_t> ends_;
};

}  // namespace korvex
