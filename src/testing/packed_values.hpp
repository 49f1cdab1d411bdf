// The record of the deserialize floor: a message's values as the encoder
// hands them to its writer, packed one after another.
//
// PackedWriter records them (the encoder's walk with it is floor_template)
// and PackedReader gives them back to the decoder's walk (deserialize_floor).
// Compared with CDR, the record has no padding, and a string holds its byte
// length, then whether it is all ASCII (one byte, worked out once when the
// record is made), then its UTF-8 text without a terminator; every other
// value is as on the wire.  The reader checks nothing: a record is only read
// along the plans it was written along (floors.cpp refuses it once the
// registry has changed), so every read lies within it.  Debug builds assert
// that.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "base/byte_order.hpp"
#include "base/memory.hpp"
#include "base/py_ref.hpp"
#include "base/utf8.hpp"
#include "cdr/limits.hpp"
#include "cdr/reader.hpp"
#include "module/failure.hpp"

namespace korvex::testing {

class PackedWriter {
 public:
  // Records whatever serialize accepts in the module the benchmark times.
  static constexpr std::uint64_t kLengthLimit = kWireLengthLimit;
  static constexpr bool kKeepsSizeHint = false;

  void begin(std::size_t capacity) { data_.reserve(capacity); }
  void reserve(std::size_t) noexcept {}
  void align(std::size_t) noexcept {}

  template <class T>
  void put_aligned_reserved(T value) {
    char bytes[sizeof(T)];
    store_le(bytes, value);
    data_.append(bytes, sizeof bytes);
  }
  template <class T>
  void write(T value) {
    put_aligned_reserved(value);
  }
  void write_count(std::uint32_t count) { write(count); }
  void write_ros_string(const char* text, std::size_t size) {
    write(static_cast<std::uint32_t>(size));
    data_.push_back(is_ascii(text, size) ? 1 : 0);
    data_.append(text, size);
  }
  void write_byte_string(const char* bytes, std::size_t size) {
    write(static_cast<std::uint32_t>(size));
    data_.append(bytes, size);
  }

  // The record, as a bytes object.
  PyRef finish() {
    return PyRef::steal(
        PyBytes_FromStringAndSize(data_.data(), static_cast<Py_ssize_t>(data_.size())));
  }

 private:
  String data_;
};

class PackedReader {
 public:
  // Written by the encoder along the same plans: nothing in it is forged.
  static constexpr bool kChecked = false;

  PackedReader(const unsigned char* data, std::uint64_t size) noexcept : data_(data), size_(size) {}

  // Values lie one after another.
  static std::uint64_t place(std::uint64_t offset, std::uint64_t) noexcept { return offset; }

  std::uint64_t position() const noexcept { return position_; }
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t remaining() const noexcept { return size_ - position_; }
  const unsigned char* at(std::uint64_t offset) const noexcept { return data_ + offset; }
  void skip_to(std::uint64_t offset) {
    KORVEX_ASSERT(offset >= position_ && offset <= size_);
    position_ = offset;
  }

  ReadFailure align(std::uint64_t) noexcept { return ReadFailure::None; }

  ReadFailure take(std::uint64_t count, const unsigned char*& out) {
    out = next(count);
    return ReadFailure::None;
  }

  template <class T>
  ReadFailure read(T& value) {
    value = load_le<T>(next(sizeof(T)));
    return ReadFailure::None;
  }

  ReadFailure read_text(TextRead& text) {
    const auto size = load_le<std::uint32_t>(next(sizeof(std::uint32_t)));
    const unsigned char* ascii = next(1);
    text.data = reinterpret_cast<const char*>(next(size));
    text.size = size;
    text.ascii = *ascii != 0;
    return ReadFailure::None;
  }

 private:
  // The next `count` bytes, which the packing put there.
  const unsigned char* next(std::uint64_t count) {
    KORVEX_ASSERT(size_ - position_ >= count);
    const unsigned char* at = data_ + position_;
    position_ += count;
    return at;
  }

  const unsigned char* data_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
};

}  // namespace korvex::testing
