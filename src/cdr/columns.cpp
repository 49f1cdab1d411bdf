#include "cdr/columns.hpp"

#include "base/layout.hpp"
#include "cdr/limits.hpp"

namespace korvex {
namespace {

struct Builder {
  // The message types being built, outermost first, for the cycle check.
  Vector<const MessagePlan*> plans;
  Vector<std::string_view> names;
  // Nesting levels of messages and arrays entered so far.
  unsigned levels = 0;

  Result<ColumnType> message(const MessagePlan& plan, std::string_view name);
  Result<ColumnType> value(ValueType type, std::string_view name);

  MessageError cycle(std::size_t from, std::string_view again) const {
    String text = "a message type that contains itself cannot be a column: ";
    for (std::size_t index = from; index < names.size(); ++index) {
      text += names[index];
      text += " -> ";
    }
    text += again;
    return MessageError::schema_definition(std::move(text));
  }
  MessageError too_deep(std::string_view at) const {
    return MessageError::schema_definition(
        concat({"the column type nests more than ", decimal(kMaxNesting),
                " levels of messages and arrays at '", at, "'"}));
  }
};

ColumnType fixed(TypeKind kind, std::string_view name) {
  ColumnType column;
  column.form = kind == TypeKind::Bool ? ColumnForm::Bool : ColumnForm::Fixed;
  column.kind = kind;
  column.width = describe(kind).size;
  column.name = String(name);
  return column;
}

Result<ColumnType> Builder::value(ValueType type, std::string_view name) {
  ColumnType column;
  column.name = String(name);
  if (type.is_array()) {
    if (levels >= kMaxNesting) return too_deep(name);
    ++levels;
    Result<ColumnType> element = value(type.element(), std::string_view("item"));
    --levels;
    if (!element.ok()) return std::move(element).pass_on<ColumnType>();
    column.form = type.shape == ArrayShape::Fixed ? ColumnForm::FixedList : ColumnForm::List;
    column.length = type.shape == ArrayShape::Sequence ? 0 : type.length;
    column.children.push_back(std::move(element.value()));
    return column;
  }
  if constexpr (kLayout.shaped_types) {
    if (type.leaf == TypeKind::Bytes) {
      column.form = type.shape == ArrayShape::Fixed ? ColumnForm::FixedBinary : ColumnForm::Binary;
      column.length = type.shape == ArrayShape::Sequence ? 0 : type.length;
      return column;
    }
  }
  switch (describe(type.leaf).conversion) {
    case Conversion::Bool:
    case Conversion::Integer:
    case Conversion::Unsigned64:
    case Conversion::Float32:
    case Conversion::Float64:
      return fixed(type.leaf, name);
    case Conversion::String:
      column.form = ColumnForm::Utf8;
      column.string_bound = type.string_bound;
      return column;
    case Conversion::Bytes:
      column.form = ColumnForm::Binary;
      return column;
    case Conversion::Time:
      column.form = ColumnForm::Struct;
      column.children.push_back(fixed(TypeKind::Int32, "sec"));
      column.children.push_back(fixed(TypeKind::UInt32, "nanosec"));
      return column;
    case Conversion::Struct: {
      SchemaRef holder;
      std::optional<MessageError> error;
      const MessagePlan* plan = resolve_link(*type.link, holder, error);
      if (plan == nullptr) {
        if (error) return std::move(*error);
        return PythonErrorSet{};
      }
      Result<ColumnType> nested = message(*plan, *type.link->schema_name);
      if (!nested.ok()) return nested;
      nested.value().name = String(name);
      return nested;
    }
    case Conversion::Array:  // never a leaf
      break;
  }
  KORVEX_INTERNAL_FAILURE("column type asked for an array leaf");
}

Result<ColumnType> Builder::message(const MessagePlan& plan, std::string_view name) {
  for (std::size_t index = 0; index < plans.size(); ++index) {
    if (plans[index] == &plan) return cycle(index, name);
  }
  if (levels >= kMaxNesting) return too_deep(name);
  ++levels;
  plans.push_back(&plan);
  names.push_back(name);
  ColumnType column;
  column.form = ColumnForm::Struct;
  column.empty_message = kLayout.empty_struct_byte && plan.fields.empty();
  column.children.reserve(plan.fields.size());
  column.all_fixed = !plan.fields.empty();
  for (const FieldPlan& field : plan.fields) {
    Result<ColumnType> child = value(field.type, field.name);
    if (!child.ok()) return child;
    column.all_fixed = column.all_fixed && child.value().form == ColumnForm::Fixed;
    column.children.push_back(std::move(child.value()));
  }
  plans.pop_back();
  names.pop_back();
  --levels;
  return column;
}

}  // namespace

void ColumnBuffer::grow(std::size_t count) {
  std::size_t capacity = capacity_ < 64 ? 64 : capacity_ * 2;
  if (capacity - size_ < count) capacity = size_ + count;
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) abort_on_allocation_failure(capacity);
  data_ = static_cast<unsigned char*>(grown);
  capacity_ = capacity;
}

Result<ColumnType> column_type_of(const MessagePlan& plan, std::string_view type_name) {
  Builder builder;
  return builder.message(plan, type_name);
}

ColumnData empty_columns(const ColumnType& type) {
  ColumnData data;
  switch (type.form) {
    case ColumnForm::Utf8:
    case ColumnForm::Binary:
    case ColumnForm::List:
      data.offsets.append_value(std::int32_t{0});
      break;
    case ColumnForm::Bool:
    case ColumnForm::Fixed:
    case ColumnForm::FixedBinary:
    case ColumnForm::FixedList:
    case ColumnForm::Struct:
      break;
  }
  data.children.reserve(type.children.size());
  for (const ColumnType& child : type.children) data.children.push_back(empty_columns(child));
  return data;
}

}  // namespace korvex
