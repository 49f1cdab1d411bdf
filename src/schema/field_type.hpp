// The field-type vocabulary and its textual names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/memory.hpp"
#include "module/errors.hpp"
#include "schema/type_table.hpp"

namespace korvex {

// How many elements an array (or the octets of a bytes value) has on the
// wire.  Only the ROS 2 layout's types are ever other than Sequence.
enum class ArrayShape : std::uint8_t {
  Sequence,  // any number, written as a uint32 count before the elements
  Fixed,     // exactly `length`, with no count
  Bounded,   // at most `length`, with a count
};

// How a ROS 2 field declared an octet or an 8-bit character: uint8 and the
// two names that read and write as uint8 but are other types in `.msg`,
// kept so that error texts name the type the definition gave.
enum class Spelling : std::uint8_t { Plain, Byte, Char };

// A field type: a tree of array levels around one non-array type.
//
// Array nesting has no limit in the grammar, so the tree is stored flat: the
// innermost (element) type plus the number of array levels around it.  Copies,
// destruction, parsing and printing are then loops, and a name that nests
// "array<" a hundred thousand times cannot exhaust the C stack.  Copies are
// deep: nothing is shared between two FieldType values.
class FieldType {
 public:
  static FieldType simple(TypeKind kind) { return FieldType(kind, 0, {}); }
  static FieldType structure(String schema_name) {
    return FieldType(TypeKind::Struct, 0, std::move(schema_name));
  }
  // A type of the ROS 2 layout: `shape` and `length` describe the outermost
  // array level, or the octets of a Bytes leaf; `string_bound` (0 for none)
  // is the most UTF-8 bytes a String leaf may hold; `spelling` how a uint8
  // or Bytes leaf was declared.
  static FieldType shaped(TypeKind leaf, std::size_t depth, String struct_name, ArrayShape shape,
                          std::uint32_t length, std::uint32_t string_bound,
                          Spelling spelling = Spelling::Plain) {
    FieldType type(leaf, depth, std::move(struct_name));
    type.shape_ = shape;
    type.length_ = length;
    type.string_bound_ = string_bound;
    type.spelling_ = spelling;
    return type;
  }

  // Parses a type name; SerializationFailed for an unsupported name,
  // SchemaDefinition for a struct type without a schema name.
  static Result<FieldType> from_name(std::string_view text);
  // The canonical name, e.g. "array<struct:Point>".
  String as_name() const;

  // The type inside all array levels (never TypeKind::Array).
  TypeKind leaf() const noexcept { return leaf_; }
  std::size_t array_depth() const noexcept { return array_depth_; }
  // The referenced schema name of a struct leaf.
  const String& struct_name() const noexcept { return struct_name_; }
  ArrayShape shape() const noexcept { return shape_; }
  std::uint32_t length() const noexcept { return length_; }
  std::uint32_t string_bound() const noexcept { return string_bound_; }
  Spelling spelling() const noexcept { return spelling_; }

  bool operator==(const FieldType& other) const = default;

 private:
  FieldType(TypeKind leaf, std::size_t depth, String struct_name)
      : leaf_(leaf), array_depth_(depth), struct_name_(std::move(struct_name)) {}

  TypeKind leaf_;
  std::size_t array_depth_;
  String struct_name_;
  ArrayShape shape_ = ArrayShape::Sequence;
  std::uint32_t length_ = 0;
  std::uint32_t string_bound_ = 0;
  Spelling spelling_ = Spelling::Plain;
};

// Writes the canonical name of (leaf, depth, struct name) into a new string.
String type_name_of(TypeKind leaf, std::size_t array_depth, std::string_view struct_name);

struct FieldSchema {
  String name;
  FieldType field_type;
  bool operator==(const FieldSchema& other) const = default;
};

// A message layout: its fields in wire order.  The schema's own name is its
// registry key and is not stored here.
struct MessageSchema {
  Vector<FieldSchema> fields;
  bool operator==(const MessageSchema& other) const = default;
};

}  // namespace korvex
