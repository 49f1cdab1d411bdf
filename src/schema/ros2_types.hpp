// The field types of ROS 2 messages, named as the native registration of
// the ROS 2 codec takes them: `.msg` syntax with nested types fully named,
// e.g. "float64", "string<=10", "geometry_msgs/msg/Point[]", "uint8[16]",
// "string<=5[<=3]".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/memory.hpp"
#include "module/errors.hpp"
#include "schema/field_type.hpp"

namespace korvex {

// A primitive type of `.msg` definitions and the kind its values have.
struct Ros2Primitive {
  std::string_view name;
  TypeKind kind;
};

// Every primitive type name ros2_field_type takes (bool, the integers,
// byte, char, the floats, string), each once.
std::span<const Ros2Primitive> ros2_primitives() noexcept;

// SchemaDefinition for a name outside that grammar, its text led by `where`
// (the type and field, e.g. "'pkg/msg/A', field 'x': ").  Arrays and
// sequences of uint8 and byte become a Bytes leaf with the array's shape;
// byte and char are uint8 values.
[[nodiscard]] Result<FieldType> ros2_field_type(std::string_view text, std::string_view where = {});

// Whether `text` is a message type's full name: pkg/msg/Name, or
// pkg/srv/Name and pkg/action/Name for the types generated for services and
// actions (Foo_Request, Bar_Goal), as MCAP schemas name them.
bool is_ros2_type_name(std::string_view text) noexcept;

// The `.msg` name of a value's type, for error texts: as declared (byte
// and char, not uint8).
String ros2_type_name(TypeKind leaf, std::size_t array_depth, std::string_view struct_name,
                      ArrayShape shape, std::uint32_t length, std::uint32_t string_bound,
                      Spelling spelling);

// The `.msg` name of a primitive leaf as declared; for a Bytes leaf, of its
// octets.
std::string_view ros2_scalar_name(TypeKind leaf, Spelling spelling) noexcept;

}  // namespace korvex
