#include "schema/field_type.hpp"

#include <optional>
#include <utility>

#include "base/utf8.hpp"

namespace korvex {
namespace {

constexpr std::string_view kArrayOpen = "array<";
constexpr std::string_view kStructPrefix = "struct:";

// Names that the grammar takes besides the canonical ones.
struct Alias {
  std::string_view text;
  TypeKind kind;
};
constexpr Alias kAliases[] = {{"ros_string", TypeKind::String}, {"ros_bytes", TypeKind::Bytes}};

// A simple (non-array, non-struct) type named exactly `text`.
[[nodiscard]] std::optional<TypeKind> simple_kind_named(std::string_view text) noexcept {
  for (const TypeDescriptor& type : kTypeTable) {
    if (type.kind != TypeKind::Array && type.kind != TypeKind::Struct && type.name == text) {
      return type.kind;
    }
  }
  for (const Alias& alias : kAliases) {
    if (alias.text == text) return alias.kind;
  }
  return std::nullopt;
}

// Characters with the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) noexcept {
  while (!text.empty()) {
    char32_t c;
    const std::size_t length = decode_at(text, 0, c);
    if (!is_white_space(c)) break;
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    const std::size_t start = last_code_point_start(text);
    char32_t c;
    const std::size_t length = decode_at(text, start, c);
    if (start + length != text.size() || !is_white_space(c)) break;
    text.remove_suffix(length);
  }
  return text;
}

}  // namespace

Result<FieldType> FieldType::from_name(std::string_view text) {
  // "array<" ... ">" wrappers are peeled in a loop; the element text is
  // never trimmed, and an error names the innermost text examined.
  std::size_t depth = 0;
  while (text.size() > kArrayOpen.size() && text.starts_with(kArrayOpen) && text.back() == '>') {
    text = text.substr(kArrayOpen.size(), text.size() - kArrayOpen.size() - 1);
    ++depth;
  }
  auto wrap = [depth](FieldType inner) {
    inner.array_depth_ = depth;
    return inner;
  };
  if (text.starts_with(kStructPrefix)) {
    std::string_view name = trim_white_space(text.substr(kStructPrefix.size()));
    if (name.empty()) {
      return MessageError::schema_definition("Struct type must include a schema name");
    }
    return wrap(FieldType::structure(String(name)));
  }
  if (std::optional<TypeKind> kind = simple_kind_named(text)) {
    return wrap(FieldType::simple(*kind));
  }
  return MessageError::serialization_failed("Unsupported field type '" + String(text) + "'");
}

String type_name_of(TypeKind leaf, std::size_t array_depth, std::string_view struct_name) {
  String inner;
  if (leaf == TypeKind::Struct) {
    inner = String(kStructPrefix);
    inner += struct_name;
  } else {
    inner = String(describe(leaf).name);
  }
  String name;
  name.reserve(array_depth * (kArrayOpen.size() + 1) + inner.size());
  for (std::size_t level = 0; level < array_depth; ++level) name += kArrayOpen;
  name += inner;
  name.append(array_depth, '>');
  return name;
}

String FieldType::as_name() const { return type_name_of(leaf_, array_depth_, struct_name_); }

}  // namespace korvex
