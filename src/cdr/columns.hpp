// The Arrow column types of a message type, and the buffers one record
// batch of decoded messages fills.
//
// A message type becomes a tree of column types once per call, from its
// compiled plan: the decoder of tables (cdr/column_decoder.hpp) walks that
// tree, not the plan, and appends each value to the buffers of its column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/memory.hpp"
#include "cdr/plan.hpp"
#include "module/errors.hpp"
#include "schema/type_table.hpp"

namespace korvex {

// What one column holds, and so its Arrow layout.
enum class ColumnForm : std::uint8_t {
  Bool,         // "b": bit-packed values
  Fixed,        // a fixed-width number: `width` bytes per value
  Utf8,         // "u": int32 offsets and text
  Binary,       // "z": int32 offsets and octets
  FixedBinary,  // "w:N": `length` octets per value
  List,         // "+l": int32 offsets and one child
  FixedList,    // "+w:N": `length` elements of one child per value
  Struct,       // "+s": one child per field
};

struct ColumnType {
  ColumnForm form = ColumnForm::Struct;
  // Fixed: the primitive, and the bytes of one value.
  TypeKind kind = TypeKind::Struct;
  std::uint8_t width = 0;
  // FixedBinary and FixedList: the count of every value; Binary and List:
  // the most a bounded sequence holds (0: no bound).
  std::uint32_t length = 0;
  // Utf8: the most UTF-8 bytes a bounded string holds (0: no bound).
  std::uint32_t string_bound = 0;
  // The field name (empty for list elements and the message itself).
  String name;
  // Element type of a list; field types of a struct.
  Vector<ColumnType> children;
  // Struct: a message without fields, which the ROS 2 layout writes as one
  // octet.
  bool empty_message = false;
  // Struct: every field is a number of fixed width (Fixed), so that where
  // the whole value ends can be worked out before reading any of it.
  bool all_fixed = false;
};

// The bytes of one buffer of a column, grown by doubling and written in
// place: appending a value is a capacity check and a copy, with nothing
// initialised first.  Memory from malloc (16-byte aligned); running out
// aborts, as every allocation of the module does.
class ColumnBuffer {
 public:
  ColumnBuffer() noexcept = default;
  ColumnBuffer(const ColumnBuffer&) = delete;
  ColumnBuffer& operator=(const ColumnBuffer&) = delete;
  ColumnBuffer(ColumnBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ColumnBuffer& operator=(ColumnBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~ColumnBuffer() { std::free(data_); }

  const unsigned char* data() const noexcept { return data_; }
  unsigned char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Room for `count` more bytes, which the caller writes: the address of
  // the first.
  unsigned char* extend(std::size_t count) {
    if (capacity_ - size_ < count) grow(count);
    unsigned char* at = data_ + size_;
    size_ += count;
    return at;
  }
  void append(const void* bytes, std::size_t count) {
    if (count != 0) std::memcpy(extend(count), bytes, count);
  }
  template <class T>
  void append_value(T value) {
    std::memcpy(extend(sizeof value), &value, sizeof value);
  }

 private:
  void grow(std::size_t count);

  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// One column's values in one record batch: `values` holds the numbers,
// bits, octets or text, `offsets` the int32 starts of variable-length
// values (one more than `length`).
struct ColumnData {
  ColumnBuffer values;
  ColumnBuffer offsets;
  std::int64_t length = 0;
  Vector<ColumnData> children;
};

// The column type of the message type whose plan is `plan`, named
// `type_name` in errors.  Nested message types are resolved now, once; a
// type that contains itself is refused with the cycle in the error.
Result<ColumnType> column_type_of(const MessagePlan& plan, std::string_view type_name);

// Empty buffers of the shape of `type`: offsets start with their 0.
ColumnData empty_columns(const ColumnType& type);

}  // namespace korvex
