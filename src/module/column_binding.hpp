// The columns of an Arrow stream bound to the fields of a message plan, for
// encode_table's column path (module/column_rows.hpp): for each field, in
// the plan's order, which Arrow array holds its values and how to read
// them.  A field is bound only where every value the column can hold
// without a null is one serialize takes with no conversion that could
// fail or change it (an int16 column for an int16 field, utf8 for a string,
// a struct of exactly the nested message's fields); what remains to be
// checked per value (nulls, UTF-8, bounds and fixed lengths, offsets) the
// walk checks.  A stream with any column not bound so has no binding, and
// encode_table takes it through the dict path, which serialize's own checks
// then judge.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/arrow_c_data.hpp"
#include "base/memory.hpp"
#include "cdr/plan.hpp"
#include "schema/registry.hpp"

namespace korvex {

// Where a column's values go in a row's message: the field names from the
// message down ("pose", or "pose", "position", "x" for a flattened column).
using ColumnPath = Vector<std::string_view>;

// How a value is laid out in Arrow.
enum class ArrowSource : std::uint8_t {
  Group,        // a message given by flattened columns (or none, if empty):
                // its fields are children of the enclosing array, at its index
  Struct,       // a struct array ("+s"): its fields are its children
  Bool,         // a bitmap ("b")
  Number,       // fixed-width numbers of `kind`'s width
  Offsets32,    // utf8 or binary with int32 offsets ("u", "z")
  Offsets64,    // with int64 offsets ("U", "Z")
  View,         // utf8 or binary views ("vu", "vz")
  FixedBinary,  // `width` bytes each ("w:N")
  List32,       // list with int32 offsets ("+l")
  List64,       // with int64 offsets ("+L")
  FixedList,    // `width` elements each ("+w:N")
};

struct ColumnNode {
  ArrowSource source = ArrowSource::Group;
  // The value's kind on the wire: the leaf of a single value, String or
  // Bytes for text and binary, Struct for structs and groups (Time too, as
  // two members), and Array for lists.
  TypeKind kind = TypeKind::Struct;
  // The ROS 2 layout's shape and length of an array or of octets, and the
  // bound of a string (0: none).
  ArrayShape shape = ArrayShape::Sequence;
  std::uint32_t length = 0;
  std::uint32_t string_bound = 0;
  // The array's index among the enclosing array's children (not for a
  // group, which has no array of its own).
  std::int64_t child = -1;
  // FixedBinary and FixedList: bytes or elements per value.
  std::int64_t width = 0;
  // Struct: how many children its array has.
  std::int64_t arrow_children = 0;
  // Group and Struct: the fields in the plan's order; lists: the element.
  Vector<ColumnNode> members;
};

struct ColumnBinding {
  // The row's message: a group over the batch's columns.
  ColumnNode root;
  // The nested schemas the binding was made from, kept alive.
  Vector<SchemaRef> schemas;
  // The registry generation it was made at: a binding of another
  // generation describes plans that serialize would no longer use.
  std::uint64_t generation = 0;
};

// The binding of the columns of `schema` (a "+s" stream schema whose
// child `i` goes to `paths[i]`) to `plan`; nothing where any column cannot
// be bound, a message's field has no column, or the nesting could reach
// serialize's bound.  Needs the GIL (it resolves nested plans); leaves no
// exception pending.
[[nodiscard]] std::optional<ColumnBinding> bind_columns(const MessagePlan& plan,
                                                        const ArrowSchema& schema,
                                                        std::span<const ColumnPath> paths);

}  // namespace korvex
