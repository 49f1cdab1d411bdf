// The Arrow column types of a message type, and the buffers one record
// batch of decoded messages fills.
//
// A message type becomes a tree of column types once per call, from its
// compiled plan: the decoder of tables (cdr/column_decoder.hpp) walks that
// tree, not the plan, and appends each value to the buffers of its column.
#pragma once

#include <cstdint>
#include <string_view>

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
};

// One column's values in one record batch: `values` holds the numbers,
// bits, octets or text, `offsets` the int32 starts of variable-length
// values (one more than `length`).
struct ColumnData {
  Vector<unsigned char> values;
  Vector<std::int32_t> offsets;
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
