#include "module/column_binding.hpp"

#include <Python.h>

#include "base/layout.hpp"
#include "cdr/limits.hpp"
#include "cdr/nesting.hpp"

namespace korvex {
namespace {

// N of a "w:N" or "+w:N" format after its prefix; false unless it is plain
// decimal digits of a count that a 32-bit length can hold.
[[nodiscard]] bool fixed_width(std::string_view digits, std::int64_t& width) {
  if (digits.empty() || digits.size() > 10) return false;
  std::int64_t value = 0;
  for (char digit : digits) {
    if (digit < '0' || digit > '9') return false;
    value = value * 10 + (digit - '0');
  }
  if (value > static_cast<std::int64_t>(kWireLengthLimit)) return false;
  width = value;
  return true;
}

class Binder {
 public:
  explicit Binder(std::span<const ColumnPath> paths, const ArrowSchema& schema)
      : paths_(paths), schema_(schema), levels_left_(kMaxNesting - t_nesting_levels) {}

  [[nodiscard]] bool bind_root(const MessagePlan& plan, ColumnNode& root) {
    Vector<std::size_t> all(paths_.size());
    for (std::size_t column = 0; column < all.size(); ++column) all[column] = column;
    if (!bind_group(plan, all, 0, 0, root)) return false;
    // Every column is taken once: none is left that the dict path would
    // still read (and perhaps refuse).
    return bound_columns_ == paths_.size();
  }

  Vector<SchemaRef> take_schemas() { return std::move(schemas_); }

 private:
  // Serialize enters a nesting level for each struct and array value; a
  // level it would refuse is left to it.
  bool enter(unsigned level) const { return level <= levels_left_; }

  [[nodiscard]] const MessagePlan* nested_plan(const ValueType& type) {
    SchemaRef holder;
    std::optional<MessageError> error;
    const MessagePlan* plan = resolve_link(*type.link, holder, error);
    if (plan == nullptr) {
      // The dict path resolves it again and reports what it finds.
      if (PyErr_Occurred()) PyErr_Clear();
      return nullptr;
    }
    schemas_.push_back(std::move(holder));
    return plan;
  }

  // The fields of `plan` from the columns `columns`, whose paths name
  // `plan`'s fields at position `depth`.
  [[nodiscard]] bool bind_group(const MessagePlan& plan, const Vector<std::size_t>& columns,
                                std::size_t depth, unsigned level, ColumnNode& node) {
    node.source = ArrowSource::Group;
    node.kind = TypeKind::Struct;
    node.members.resize(plan.fields.size());
    for (std::size_t index = 0; index < plan.fields.size(); ++index) {
      const FieldPlan& field = plan.fields[index];
      ColumnNode& member = node.members[index];
      Vector<std::size_t> given;
      bool whole = false;
      for (std::size_t column : columns) {
        const ColumnPath& path = paths_[column];
        if (path.size() <= depth || path[depth] != field.name) continue;
        given.push_back(column);
        whole = whole || path.size() == depth + 1;
      }
      if (whole) {
        if (given.size() != 1) return false;
        ++bound_columns_;
        member.child = static_cast<std::int64_t>(given[0]);
        if (!bind_value(field.type, *schema_.children[given[0]], level, member)) return false;
        continue;
      }
      // A nested message given by its flattened columns, or by none (a
      // message whose fields are all messages without fields).
      if (field.type.is_array()) return false;
      const Conversion conversion = describe(field.type.leaf).conversion;
      if (conversion == Conversion::Time) {
        if (!bind_flat_time(given, depth + 1, member)) return false;
        continue;
      }
      if (conversion != Conversion::Struct || !enter(level + 1)) return false;
      const MessagePlan* nested = nested_plan(field.type);
      if (nested == nullptr || !bind_group(*nested, given, depth + 1, level + 1, member)) {
        return false;
      }
    }
    return true;
  }

  // A time value as the two columns "...sec" and "...nanosec".
  [[nodiscard]] bool bind_flat_time(const Vector<std::size_t>& given, std::size_t depth,
                                    ColumnNode& node) {
    if (given.size() != 2) return false;
    node.source = ArrowSource::Group;
    node.kind = TypeKind::Struct;
    node.members.resize(2);
    for (std::size_t column : given) {
      const ColumnPath& path = paths_[column];
      if (path.size() != depth + 1) return false;
      const bool sec = path[depth] == "sec";
      ColumnNode& member = node.members[sec ? 0 : 1];
      if (member.child != -1) return false;
      member.child = static_cast<std::int64_t>(column);
      ++bound_columns_;
      const ArrowSchema& schema = *schema_.children[column];
      if (!bind_number(sec ? TypeKind::Int32 : TypeKind::UInt32, schema, member)) return false;
    }
    return true;
  }

  // Only the kind's own Arrow format: its values are the ones the dict path
  // turns into exactly the Python objects the encoder writes directly (int,
  // float, bool), each in the kind's range.
  [[nodiscard]] bool bind_number(TypeKind kind, const ArrowSchema& schema, ColumnNode& node) {
    if (schema.dictionary != nullptr || schema.format == nullptr ||
        std::string_view(schema.format) != describe(kind).arrow_format) {
      return false;
    }
    node.source = kind == TypeKind::Bool ? ArrowSource::Bool : ArrowSource::Number;
    node.kind = kind;
    return true;
  }

  // One value of `type` from the array `schema` describes.
  [[nodiscard]] bool bind_value(const ValueType& type, const ArrowSchema& schema, unsigned level,
                                ColumnNode& node) {
    if (schema.dictionary != nullptr || schema.format == nullptr) return false;
    const std::string_view format(schema.format);
    node.shape = type.shape;
    node.length = type.length;
    node.string_bound = type.string_bound;
    if (type.is_array()) {
      if (!enter(level + 1) || schema.n_children != 1 || schema.children == nullptr ||
          schema.children[0] == nullptr) {
        return false;
      }
      node.kind = TypeKind::Array;
      if (format == "+l") {
        node.source = ArrowSource::List32;
      } else if (format == "+L") {
        node.source = ArrowSource::List64;
      } else if (format.starts_with("+w:") && fixed_width(format.substr(3), node.width)) {
        node.source = ArrowSource::FixedList;
      } else {
        return false;
      }
      node.members.resize(1);
      node.members[0].child = 0;
      return bind_value(type.element(), *schema.children[0], level + 1, node.members[0]);
    }
    if (schema.n_children != 0 && describe(type.leaf).conversion != Conversion::Struct &&
        describe(type.leaf).conversion != Conversion::Time) {
      return false;
    }
    switch (describe(type.leaf).conversion) {
      case Conversion::Bool:
      case Conversion::Integer:
      case Conversion::Unsigned64:
      case Conversion::Float32:
      case Conversion::Float64:
        return bind_number(type.leaf, schema, node);
      case Conversion::String:
        node.kind = TypeKind::String;
        if (format == "u") {
          node.source = ArrowSource::Offsets32;
        } else if (format == "U") {
          node.source = ArrowSource::Offsets64;
        } else if (format == "vu") {
          node.source = ArrowSource::View;
        } else {
          return false;
        }
        return true;
      case Conversion::Bytes:
        node.kind = TypeKind::Bytes;
        if (format == "z") {
          node.source = ArrowSource::Offsets32;
        } else if (format == "Z") {
          node.source = ArrowSource::Offsets64;
        } else if (format == "vz") {
          node.source = ArrowSource::View;
        } else if (format.starts_with("w:") && fixed_width(format.substr(2), node.width)) {
          node.source = ArrowSource::FixedBinary;
        } else {
          return false;
        }
        return true;
      case Conversion::Time:
        return bind_time_struct(schema, node);
      case Conversion::Struct:
        return bind_struct(type, schema, level, node);
      case Conversion::Array:
        break;
    }
    return false;
  }

  // A time value as a struct of exactly int32 "sec" and uint32 "nanosec".
  [[nodiscard]] bool bind_time_struct(const ArrowSchema& schema, ColumnNode& node) {
    if (std::string_view(schema.format) != "+s" || schema.n_children != 2 ||
        schema.children == nullptr) {
      return false;
    }
    node.source = ArrowSource::Struct;
    node.kind = TypeKind::Struct;
    node.arrow_children = 2;
    node.members.resize(2);
    for (std::int64_t child = 0; child < 2; ++child) {
      const ArrowSchema* member = schema.children[child];
      if (member == nullptr || member->name == nullptr) return false;
      const std::string_view name(member->name);
      const bool sec = name == "sec";
      if (!sec && name != "nanosec") return false;
      ColumnNode& slot = node.members[sec ? 0 : 1];
      if (slot.child != -1) return false;
      slot.child = child;
      if (!bind_number(sec ? TypeKind::Int32 : TypeKind::UInt32, *member, slot)) return false;
    }
    return true;
  }

  // A nested message as a struct array of exactly its fields (in any
  // order): the dict path would read any other child too.
  [[nodiscard]] bool bind_struct(const ValueType& type, const ArrowSchema& schema, unsigned level,
                                 ColumnNode& node) {
    if (std::string_view(schema.format) != "+s" || !enter(level + 1)) return false;
    const MessagePlan* nested = nested_plan(type);
    if (nested == nullptr || schema.n_children < 0 ||
        (schema.n_children > 0 && schema.children == nullptr) ||
        static_cast<std::uint64_t>(schema.n_children) != nested->fields.size()) {
      return false;
    }
    node.source = ArrowSource::Struct;
    node.kind = TypeKind::Struct;
    node.arrow_children = schema.n_children;
    node.members.resize(nested->fields.size());
    for (std::size_t index = 0; index < nested->fields.size(); ++index) {
      const FieldPlan& field = nested->fields[index];
      ColumnNode& member = node.members[index];
      for (std::int64_t child = 0; child < schema.n_children; ++child) {
        const ArrowSchema* candidate = schema.children[child];
        if (candidate != nullptr && candidate->name != nullptr && field.name == candidate->name) {
          member.child = child;
          break;
        }
      }
      if (member.child == -1 ||
          !bind_value(field.type, *schema.children[member.child], level + 1, member)) {
        return false;
      }
    }
    return true;
  }

  std::span<const ColumnPath> paths_;
  const ArrowSchema& schema_;
  // The nesting levels serialize has left on this thread.
  unsigned levels_left_;
  std::size_t bound_columns_ = 0;
  Vector<SchemaRef> schemas_;
};

}  // namespace

std::optional<ColumnBinding> bind_columns(const MessagePlan& plan, const ArrowSchema& schema,
                                          std::span<const ColumnPath> paths) {
  ColumnBinding binding;
  binding.generation = registry_generation();
  Binder binder(paths, schema);
  if (!binder.bind_root(plan, binding.root)) return std::nullopt;
  binding.schemas = binder.take_schemas();
  return binding;
}

}  // namespace korvex
