// CdrWriter: the growable output buffer of one serialize call.
//
// A message expected to be small is written into storage inside the writer
// and copied once into the bytes object at the end: shrinking a small bytes
// object to its final length would move it to a smaller block anyway.  A
// larger one is written straight into the storage of the bytes object that
// is finally returned, which then only gives its unused tail back.  Offsets
// count from the first byte of the encapsulation header, alignment from the
// layout's origin (align_stream).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/byte_order.hpp"
#include "base/memory.hpp"
#include "base/py_ref.hpp"
#include "cdr/limits.hpp"
#include "cdr/wire.hpp"
#include "module/failure.hpp"

namespace korvex {

class CdrWriter {
 public:
  // Room inside the writer; also the least capacity.  Bytes objects of up
  // to 512 bytes come from CPython's small-block allocator, which moves a
  // block that shrinks by more than a quarter; larger ones come from malloc,
  // which shrinks them in place.  Starting in here whenever a bytes object
  // of that allocator would do keeps every shrink in place.
  static constexpr std::size_t kInlineCapacity = 512;
  // What the encoder may hand to a length or count field.
  static constexpr std::uint64_t kLengthLimit = korvex::kLengthLimit;
  // The plan's size hint is the length of the last message written.
  static constexpr bool kKeepsSizeHint = true;

  CdrWriter() = default;
  CdrWriter(const CdrWriter&) = delete;
  CdrWriter& operator=(const CdrWriter&) = delete;

  // Starts the buffer with room for `capacity` bytes, holding the header.
  // Called once, before anything else.
  void begin(std::size_t capacity = kInlineCapacity) {
    if (capacity <= kInlineCapacity) {
      data_ = inline_;
      capacity_ = kInlineCapacity;
    } else {
      buffer_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
      if (!buffer_) abort_on_allocation_failure(capacity);
      data_ = PyBytes_AS_STRING(buffer_.get());
      capacity_ = capacity;
    }
    std::memcpy(data_, kEncapsulationHeader, kHeaderLength);
    length_ = kHeaderLength;
  }

  std::size_t length() const noexcept { return length_; }

  // Makes room for `extra` more bytes.
  void reserve(std::size_t extra) {
    if (capacity_ - length_ < extra) grow(extra);
  }

  // Pads with zero bytes up to the next multiple of `alignment` (at most
  // 8).  Padding is short, so it is stored as one 8-byte word of zeros.
  void align(std::size_t alignment) {
    const auto padding = static_cast<std::size_t>(align_stream(length_, alignment) - length_);
    if (padding == 0) return;
    reserve(8);
    store_le<std::uint64_t>(data_ + length_, 0);
    length_ += padding;
  }

  // Aligned little-endian value; the caller has reserved room for padding
  // and value (at most 2 * sizeof(T) bytes).
  template <class T>
  void put_aligned_reserved(T value) {
    const auto padding = static_cast<std::size_t>(align_stream(length_, sizeof(T)) - length_);
    KORVEX_ASSERT(capacity_ - length_ >= padding + sizeof(T));
    if (padding != 0) {
      // Fewer than sizeof(T) bytes of padding, within the room reserved.
      store_le<T>(data_ + length_, T{});
      length_ += padding;
    }
    store_le(data_ + length_, value);
    length_ += sizeof(T);
  }

  template <class T>
  void write(T value) {
    reserve(2 * sizeof(T));
    put_aligned_reserved(value);
  }

  void write_count(std::uint32_t count) { write(count); }

  // ROS string: length (text bytes + 1), the text, a NUL.
  void write_ros_string(const char* text, std::size_t size) {
    reserve(3 + 4 + size + 1);
    put_aligned_reserved(static_cast<std::uint32_t>(size + 1));
    copy_bytes(data_ + length_, text, size);
    length_ += size;
    data_[length_++] = '\0';
  }

  void write_byte_string(const char* bytes, std::size_t size) {
    reserve(3 + 4 + size);
    put_aligned_reserved(static_cast<std::uint32_t>(size));
    copy_bytes(data_ + length_, bytes, size);
    length_ += size;
  }

  // Bytes as they are, with no alignment.
  void write_raw(const char* bytes, std::size_t size) {
    reserve(size);
    copy_bytes(data_ + length_, bytes, size);
    length_ += size;
  }

  // The bytes written, as a bytes object of exactly that length.
  PyRef finish() {
    if (!buffer_) {
      PyObject* bytes = PyBytes_FromStringAndSize(data_, static_cast<Py_ssize_t>(length_));
      if (bytes == nullptr) abort_on_allocation_failure(length_);
      return PyRef::steal(bytes);
    }
    PyObject* buffer = buffer_.release();
    if (_PyBytes_Resize(&buffer, static_cast<Py_ssize_t>(length_)) < 0) {
      abort_on_allocation_failure(length_);
    }
    return PyRef::steal(buffer);
  }

 private:
  // memcpy, with the short texts that most fields hold copied inline.
  static void copy_bytes(char* to, const char* from, std::size_t size) noexcept {
    if (size <= 16) {
      // Two copies that may overlap cover any length from 8 to 16, and
      // from 4 to 7; shorter ones go byte by byte.
      if (size >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + size - 8, from + size - 8, 8);
      } else if (size >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + size - 4, from + size - 4, 4);
      } else {
        for (std::size_t index = 0; index < size; ++index) to[index] = from[index];
      }
      return;
    }
    std::memcpy(to, from, size);
  }

  // Sizes are worked out in 64 bits, where doubling or adding cannot wrap
  // even on 32-bit platforms.  A buffer larger than a bytes object can be
  // is an allocation failure of the size needed.
  void grow(std::size_t extra) {
    constexpr std::uint64_t kMostBytes = PY_SSIZE_T_MAX - 64;
    const std::uint64_t needed = static_cast<std::uint64_t>(length_) + extra;
    if (needed > kMostBytes) abort_on_allocation_failure(needed);
    std::uint64_t doubled = static_cast<std::uint64_t>(capacity_) * 2;
    if (doubled > kMostBytes) doubled = kMostBytes;
    // A write that doubling cannot hold (one large payload) gets an eighth
    // more room than it needs: the fields after it then fit, rather than
    // growing the buffer once more, which moves (copies) all of it wherever
    // malloc cannot extend the block in place.
    std::uint64_t roomy = needed + needed / 8;
    if (roomy > kMostBytes) roomy = kMostBytes;
    const auto wanted = static_cast<std::size_t>(doubled >= needed ? doubled : roomy);
    if (!buffer_) {
      // Out of the inline storage: into a bytes object from here on.
      buffer_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
      if (!buffer_) abort_on_allocation_failure(wanted);
      std::memcpy(PyBytes_AS_STRING(buffer_.get()), data_, length_);
    } else {
      PyObject* buffer = buffer_.release();
      if (_PyBytes_Resize(&buffer, static_cast<Py_ssize_t>(wanted)) < 0) {
        abort_on_allocation_failure(wanted);
      }
      buffer_ = PyRef::steal(buffer);
    }
    data_ = PyBytes_AS_STRING(buffer_.get());
    capacity_ = wanted;
  }

  // Null while the bytes are in inline_.
  PyRef buffer_;
  char* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
  char inline_[kInlineCapacity];
};

}  // namespace korvex
