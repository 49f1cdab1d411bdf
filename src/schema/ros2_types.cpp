#include "schema/ros2_types.hpp"

#include <array>
#include <charconv>
#include <iterator>
#include <optional>
#include <utility>

#include "base/memory.hpp"

namespace korvex {
namespace {

struct Ros2Alias {
  std::string_view name;
  TypeKind kind;
};
// byte is an octet and char an 8-bit character in ROS 2; both are ints in
// Python, as in rosidl's own Python mapping.
constexpr Ros2Alias kAliases[] = {{"byte", TypeKind::UInt8}, {"char", TypeKind::UInt8}};

}  // namespace

std::span<const Ros2Primitive> ros2_primitives() noexcept {
  // The table's single primitives and string, under their own names, then
  // the aliases.
  static constexpr auto kPrimitives = [] {
    std::array<Ros2Primitive, kTypeTable.size() + std::size(kAliases)> primitives{};
    std::size_t count = 0;
    for (const TypeDescriptor& type : kTypeTable) {
      if (type.size > 0 || type.kind == TypeKind::String) {
        primitives[count++] = {type.name, type.kind};
      }
    }
    for (const Ros2Alias& alias : kAliases) primitives[count++] = {alias.name, alias.kind};
    return std::pair{primitives, count};
  }();
  return {kPrimitives.first.data(), kPrimitives.second};
}

namespace {

[[nodiscard]] std::optional<TypeKind> primitive_named(std::string_view name) noexcept {
  for (const Ros2Primitive& primitive : ros2_primitives()) {
    if (primitive.name == name) return primitive.kind;
  }
  return std::nullopt;
}

// A decimal count from 1 to 2**32 - 1, the whole of `text`.
[[nodiscard]] std::optional<std::uint32_t> count_of(std::string_view text) noexcept {
  if (text.empty() || text.front() == '0') return std::nullopt;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

bool is_ros2_type_name(std::string_view text) noexcept {
  std::size_t parts = 0;
  while (true) {
    const std::size_t slash = text.find('/');
    const std::string_view part = text.substr(0, slash);
    if (part.empty()) return false;
    for (const char c : part) {
      const bool word =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
      if (!word) return false;
    }
    if (part.front() >= '0' && part.front() <= '9') return false;
    ++parts;
    if (parts == 2 && part != "msg" && part != "srv" && part != "action") return false;
    if (slash == std::string_view::npos) break;
    text.remove_prefix(slash + 1);
  }
  return parts == 3;
}

namespace {

MessageError bad_type(std::string_view where, std::string_view text, std::string_view why) {
  return MessageError::schema_definition(
      concat({where, "Unsupported ROS 2 field type '", text, "': ", why}));
}

}  // namespace

Result<FieldType> ros2_field_type(std::string_view text, std::string_view where) {
  std::string_view base = text;
  ArrayShape shape = ArrayShape::Sequence;
  std::uint32_t length = 0;
  bool is_array = false;
  if (!base.empty() && base.back() == ']') {
    const std::size_t open = base.rfind('[');
    if (open == std::string_view::npos) return bad_type(where, text, "unbalanced brackets");
    std::string_view inside = base.substr(open + 1, base.size() - open - 2);
    base = base.substr(0, open);
    is_array = true;
    if (!inside.empty()) {
      shape = ArrayShape::Fixed;
      if (inside.starts_with("<=")) {
        shape = ArrayShape::Bounded;
        inside.remove_prefix(2);
      }
      const std::optional<std::uint32_t> count = count_of(inside);
      if (!count)
        return bad_type(where, text, "the array length must be a count from 1 to 4294967295");
      length = *count;
    }
  }
  std::uint32_t string_bound = 0;
  if (const std::size_t bound = base.find("<="); bound != std::string_view::npos) {
    const std::string_view element = base.substr(0, bound);
    if (element != "string" && element != "wstring") {
      return bad_type(where, text, "only strings take a bound");
    }
    const std::optional<std::uint32_t> count = count_of(base.substr(bound + 2));
    if (!count)
      return bad_type(where, text, "the string bound must be a count from 1 to 4294967295");
    string_bound = *count;
    base = element;
  }
  if (base == "wstring") {
    return bad_type(where, text, "wstring (UTF-16) fields are not supported");
  }
  const std::size_t depth = is_array ? 1 : 0;
  if (const std::optional<TypeKind> kind = primitive_named(base)) {
    const Spelling spelling = base == "byte"   ? Spelling::Byte
                              : base == "char" ? Spelling::Char
                                               : Spelling::Plain;
    if (is_array && *kind == TypeKind::UInt8 && spelling != Spelling::Char) {
      // Octets: bytes in Python, with the array's shape.
      return FieldType::shaped(TypeKind::Bytes, 0, String(), shape, length, 0, spelling);
    }
    return FieldType::shaped(*kind, depth, String(), shape, length, string_bound, spelling);
  }
  if (!is_ros2_type_name(base)) {
    return bad_type(where, text,
                    "expected a primitive type or a message type named pkg/msg/Name (or srv, "
                    "action for the types of services and actions)");
  }
  return FieldType::shaped(TypeKind::Struct, depth, String(base), shape, length, 0);
}

std::string_view ros2_scalar_name(TypeKind leaf, Spelling spelling) noexcept {
  switch (spelling) {
    case Spelling::Byte:
      return "byte";
    case Spelling::Char:
      return "char";
    case Spelling::Plain:
      break;
  }
  return leaf == TypeKind::Bytes ? "uint8" : describe(leaf).name;
}

String ros2_type_name(TypeKind leaf, std::size_t array_depth, std::string_view struct_name,
                      ArrayShape shape, std::uint32_t length, std::uint32_t string_bound,
                      Spelling spelling) {
  String name;
  if (leaf == TypeKind::Struct) {
    name = String(struct_name);
  } else {
    name = String(ros2_scalar_name(leaf, spelling));
    if (leaf == TypeKind::Bytes) array_depth = 1;
  }
  if (string_bound != 0) {
    name += "<=";
    name += decimal(string_bound);
  }
  for (std::size_t level = 0; level < array_depth; ++level) {
    if (level == 0 && shape == ArrayShape::Fixed) {
      name += concat({"[", decimal(length), "]"});
    } else if (level == 0 && shape == ArrayShape::Bounded) {
      name += concat({"[<=", decimal(length), "]"});
    } else {
      name += "[]";
    }
  }
  return name;
}

}  // namespace korvex
