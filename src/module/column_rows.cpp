#include "module/column_rows.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>

#include "base/byte_order.hpp"
#include "base/compiler.hpp"
#include "base/layout.hpp"
#include "base/utf8.hpp"
#include "cdr/limits.hpp"
#include "schema/type_table.hpp"

namespace korvex {
namespace {

// Each index the walk forms (an array's offset plus an index below its
// length, times at most 16 bytes, plus one) stays far inside int64.
constexpr std::int64_t kMostExtent = std::numeric_limits<std::int64_t>::max() / 32;

template <class T>
T load(const void* buffer, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const char*>(buffer) + index * std::int64_t{sizeof(T)},
              sizeof value);
  return value;
}

bool bit(const void* buffer, std::int64_t index) {
  return ((static_cast<const unsigned char*>(buffer)[index / 8] >> (index % 8)) & 1) != 0;
}

// Whether the array may hold nulls that the dict path would look for.
bool has_validity(const ArrowArray& array) {
  return array.null_count != 0 && array.buffers[0] != nullptr;
}

// A float32 signalling NaN: the dict path passes a float32 through a
// Python float (double), which quiets it; the buffer's bits would not be
// the bytes serialize writes for it.
bool signalling_nan(std::uint32_t bits) {
  return (bits & 0x7FC00000U) == 0x7F800000U && (bits & 0x003FFFFFU) != 0;
}

bool extent_fits(const ArrowArray& array, std::int64_t width = 1) {
  if (array.length < 0 || array.offset < 0 || array.offset > kMostExtent - array.length) {
    return false;
  }
  return width <= 1 || array.offset + array.length <= kMostExtent / width;
}

bool buffers_present(const ArrowArray& array, std::int64_t first, std::int64_t last) {
  if (array.buffers == nullptr) return false;
  if (array.length == 0) return true;  // never read: every index is out of range
  for (std::int64_t index = first; index <= last; ++index) {
    if (array.buffers[index] == nullptr) return false;
  }
  return true;
}

[[nodiscard]] bool array_fits(const ColumnNode& node, const ArrowArray* array);

[[nodiscard]] bool members_fit(const ColumnNode& node, const ArrowArray& owner) {
  for (const ColumnNode& member : node.members) {
    if (member.source == ArrowSource::Group) {
      if (!members_fit(member, owner)) return false;
    } else if (member.child < 0 || member.child >= owner.n_children ||
               !array_fits(member, owner.children[member.child])) {
      return false;
    }
  }
  return true;
}

bool array_fits(const ColumnNode& node, const ArrowArray* array) {
  if (array == nullptr || array->dictionary != nullptr || array->buffers == nullptr) return false;
  const std::int64_t width = node.width;
  if (!extent_fits(*array, width)) return false;
  switch (node.source) {
    case ArrowSource::Group:
      return false;  // groups have no array
    case ArrowSource::Struct:
      return array->n_buffers == 1 && array->n_children == node.arrow_children &&
             (array->n_children == 0 || array->children != nullptr) && members_fit(node, *array);
    case ArrowSource::Bool:
    case ArrowSource::Number:
    case ArrowSource::FixedBinary:
      return array->n_buffers == 2 && array->n_children == 0 && buffers_present(*array, 1, 1);
    case ArrowSource::Offsets32:
    case ArrowSource::Offsets64:
      // The data buffer may be absent where every value is empty.
      return array->n_buffers == 3 && array->n_children == 0 && buffers_present(*array, 1, 1);
    case ArrowSource::View:
      // Views, data buffers, and the int64 sizes of the data buffers last.
      return array->n_buffers >= 3 && array->n_children == 0 && buffers_present(*array, 1, 1) &&
             (array->n_buffers == 3 || array->buffers[array->n_buffers - 1] != nullptr);
    case ArrowSource::List32:
    case ArrowSource::List64:
      return array->n_buffers == 2 && array->n_children == 1 && array->children != nullptr &&
             buffers_present(*array, 1, 1) && array_fits(node.members[0], array->children[0]);
    case ArrowSource::FixedList:
      return array->n_buffers == 1 && array->n_children == 1 && array->children != nullptr &&
             array_fits(node.members[0], array->children[0]);
  }
  return false;
}

// A row's values below structs and groups only, compiled once per batch:
// one step each, whose array, index and lack of nulls were checked for every
// row of the batch when it was compiled.  A number is then a load and a
// write; anything else (text, octets, lists) is the walk's value().
enum class StepOp : std::uint8_t {
  Bits8,
  Bits16,
  Bits32,
  Float32,
  Bits64,
  Bool,
  EmptyStruct,
  FixedNumbers,  // a fixed-size array of numbers, copied as it is
  Value,
};

struct RowStep {
  StepOp op = StepOp::Value;
  // Value: the node and its array; the others read `values`.
  const ColumnNode* node = nullptr;
  const ArrowArray* array = nullptr;
  const void* values = nullptr;
  // Added to the row's index: for Value, the index value() takes; for the
  // others, the element's place in `values` (FixedNumbers: the array's).
  std::int64_t base = 0;
  // FixedNumbers: elements per value, the element array's offset and an
  // element's bytes.
  std::int64_t count = 0;
  std::int64_t element_offset = 0;
  std::uint8_t size = 0;
};

[[nodiscard]] bool compile_members(const ColumnNode& node, const ArrowArray& owner,
                                   std::int64_t base, std::int64_t rows, Vector<RowStep>& steps);

// The step of a number of kind `kind`; false for a kind the walk's number()
// declines (a bool's number column goes to the dict path).
[[nodiscard]] bool number_step(TypeKind kind, RowStep& step) {
  return with_fixed_size_kind(
      kind,
      [&]<TypeKind Kind>() {
        constexpr TypeDescriptor type = describe(Kind);
        if constexpr (type.conversion == Conversion::Bool) {
          return false;
        } else {
          if constexpr (type.conversion == Conversion::Float32) {
            step.op = StepOp::Float32;
          } else if constexpr (type.size == 1) {
            step.op = StepOp::Bits8;
          } else if constexpr (type.size == 2) {
            step.op = StepOp::Bits16;
          } else if constexpr (type.size == 4) {
            step.op = StepOp::Bits32;
          } else {
            static_assert(type.size == 8);
            step.op = StepOp::Bits64;
          }
          return true;
        }
      },
      [] { return false; });
}

// A fixed-size array of numbers as one copy, as the walk's numbers() makes
// it on a little-endian machine in the ROS 2 layout (where a float32 run is
// handed to serialize as a buffer, signalling NaNs and all); false where the
// walk must take it.  `first` is the list array's offset plus the row
// index's base.
[[nodiscard]] bool fixed_numbers_step(const ColumnNode& member, const ArrowArray& array,
                                      std::int64_t first, std::int64_t rows, RowStep& step) {
  if constexpr (!kLayout.shaped_types || std::endian::native != std::endian::little) {
    return false;
  } else {
    const ColumnNode& element = member.members[0];
    const ArrowArray& elements = *array.children[0];
    // No null count at all: where it is unknown (-1) the walk checks
    // float32 values one by one.
    if (element.source != ArrowSource::Number || elements.null_count != 0) return false;
    if (member.shape != ArrayShape::Fixed || member.width <= 0 ||
        member.width != std::int64_t{member.length}) {
      return false;
    }
    const TypeDescriptor type = describe(element.kind);
    if (type.size == 0 || type.conversion == Conversion::Bool) return false;
    // Every row's elements within the element array (first and rows are at
    // most 2 * kMostExtent, so the sum does not overflow).
    if (first + rows > elements.length / member.width) return false;
    step.op = StepOp::FixedNumbers;
    step.values = elements.buffers[1];
    step.base = first;
    step.count = member.width;
    step.element_offset = elements.offset;
    step.size = type.size;
    return true;
  }
}

// The steps of one member whose array is `array`, at index `base` plus the
// row's; false where the batch needs the walk (a null possible, an index
// beyond the array for some row, a number the walk declines).
[[nodiscard]] bool compile_member(const ColumnNode& member, const ArrowArray& array,
                                  std::int64_t base, std::int64_t rows, Vector<RowStep>& steps) {
  // Both at most kMostExtent (extent_fits, and this check one level up), so
  // neither sum overflows.
  if (base < 0 || base + rows > array.length || has_validity(array)) return false;
  const std::int64_t first = array.offset + base;
  RowStep step;
  switch (member.source) {
    case ArrowSource::Struct:
      return compile_members(member, array, first, rows, steps);
    case ArrowSource::Number:
      if (!number_step(member.kind, step)) return false;
      step.values = array.buffers[1];
      step.base = first;
      break;
    case ArrowSource::Bool:
      step.op = StepOp::Bool;
      step.values = array.buffers[1];
      step.base = first;
      break;
    case ArrowSource::FixedList:
      if (fixed_numbers_step(member, array, first, rows, step)) break;
      [[fallthrough]];
    default:
      step.op = StepOp::Value;
      step.node = &member;
      step.array = &array;
      step.base = base;
      break;
  }
  steps.push_back(step);
  return true;
}

bool compile_members(const ColumnNode& node, const ArrowArray& owner, std::int64_t base,
                     std::int64_t rows, Vector<RowStep>& steps) {
  if constexpr (kLayout.empty_struct_byte) {
    if (node.members.empty()) {
      steps.push_back(RowStep{StepOp::EmptyStruct});
      return true;
    }
  }
  for (const ColumnNode& member : node.members) {
    const bool compiled =
        member.source == ArrowSource::Group
            ? compile_members(member, owner, base, rows, steps)
            : compile_member(member, *owner.children[member.child], base, rows, steps);
    if (!compiled) return false;
  }
  return true;
}

class RowWriter {
 public:
  explicit RowWriter(MessageBuffer& out) noexcept : out_(out) {}

  // Row `row` of the batch `steps` were compiled for.
  [[nodiscard]] bool row(std::span<const RowStep> steps, std::int64_t row) {
    out_.begin_message();
    for (const RowStep& step : steps) {
      if (!step_value(step, row)) {
        out_.drop_message();
        return false;
      }
    }
    out_.end_message();
    return true;
  }

  [[nodiscard]] bool row(const ColumnNode& root, const ArrowArray& batch, std::int64_t index) {
    out_.begin_message();
    if (!members(root, batch, batch.offset + index)) {
      out_.drop_message();
      return false;
    }
    out_.end_message();
    return true;
  }

 private:
  KORVEX_ALWAYS_INLINE bool step_value(const RowStep& step, std::int64_t row) {
    const std::int64_t at = step.base + row;
    switch (step.op) {
      case StepOp::Bits8:
        out_.write(load<std::uint8_t>(step.values, at));
        return true;
      case StepOp::Bits16:
        out_.write(load<std::uint16_t>(step.values, at));
        return true;
      case StepOp::Bits32:
        out_.write(load<std::uint32_t>(step.values, at));
        return true;
      case StepOp::Float32: {
        const auto bits = load<std::uint32_t>(step.values, at);
        if (signalling_nan(bits)) return false;
        out_.write(bits);
        return true;
      }
      case StepOp::Bits64:
        out_.write(load<std::uint64_t>(step.values, at));
        return true;
      case StepOp::Bool:
        out_.write<std::uint8_t>(bit(step.values, at) ? 1 : 0);
        return true;
      case StepOp::EmptyStruct:
        out_.write<std::uint8_t>(0);
        return true;
      case StepOp::FixedNumbers: {
        const std::int64_t element = step.element_offset + at * step.count;
        out_.align(step.size);
        out_.write_raw(static_cast<const char*>(step.values) + element * step.size,
                       static_cast<std::size_t>(step.count) * step.size);
        return true;
      }
      case StepOp::Value:
        return value(*step.node, *step.array, at);
    }
    return false;
  }

  // The fields of a group or struct: arrays among `owner`'s children, at
  // index `at` of each (a group passes its own index on, a struct its
  // array's offset plus its index, as the dict path reads them).
  [[nodiscard]] bool members(const ColumnNode& node, const ArrowArray& owner, std::int64_t at) {
    if constexpr (kLayout.empty_struct_byte) {
      if (node.members.empty()) {
        out_.write<std::uint8_t>(0);
        return true;
      }
    }
    for (const ColumnNode& member : node.members) {
      const bool written = member.source == ArrowSource::Group
                               ? members(member, owner, at)
                               : value(member, *owner.children[member.child], at);
      if (!written) return false;
    }
    return true;
  }

  [[nodiscard]] bool value(const ColumnNode& node, const ArrowArray& array, std::int64_t index) {
    if (index < 0 || index >= array.length) return false;
    const std::int64_t at = array.offset + index;
    if (has_validity(array) && !bit(array.buffers[0], at)) return false;
    switch (node.source) {
      case ArrowSource::Group:
        break;  // not reached: members() walks groups
      case ArrowSource::Struct:
        return members(node, array, at);
      case ArrowSource::Bool:
        out_.write<std::uint8_t>(bit(array.buffers[1], at) ? 1 : 0);
        return true;
      case ArrowSource::Number:
        return number(node.kind, array.buffers[1], at);
      case ArrowSource::Offsets32:
      case ArrowSource::Offsets64:
      case ArrowSource::View:
      case ArrowSource::FixedBinary:
        return text_or_octets_at(node, array, at);
      case ArrowSource::List32:
      case ArrowSource::List64:
      case ArrowSource::FixedList:
        return list(node, array, at);
    }
    return false;
  }

  // Text and octets, and lists below, are written out of line: value()
  // stays small for the numbers that most values are, which saves more than
  // the call costs these.
  [[nodiscard]] KORVEX_NOINLINE bool text_or_octets_at(const ColumnNode& node,
                                                       const ArrowArray& array, std::int64_t at) {
    std::string_view bytes;
    return binary_at(node, array, at, bytes) && text_or_octets(node, bytes);
  }

  // The value's bits, as the writer stores numbers (see number_step);
  // booleans are bits of their own (ArrowSource::Bool), and a float32
  // signalling NaN is left to the dict path.
  [[nodiscard]] bool number(TypeKind kind, const void* values, std::int64_t at) {
    RowStep step;
    if (!number_step(kind, step)) return false;
    step.values = values;
    step.base = at;
    return step_value(step, 0);
  }

  // The bytes of the value at `at`, within what the array says it holds.
  [[nodiscard]] static bool binary_at(const ColumnNode& node, const ArrowArray& array,
                                      std::int64_t at, std::string_view& bytes) {
    std::int64_t start = 0;
    std::int64_t end = 0;
    const char* data = nullptr;
    switch (node.source) {
      case ArrowSource::Offsets32:
      case ArrowSource::Offsets64: {
        // Arrow's columnar format bounds the data buffer by the array's last offset.
        const std::int64_t last_at = array.offset + array.length;
        std::int64_t last;
        if (node.source == ArrowSource::Offsets32) {
          start = load<std::int32_t>(array.buffers[1], at);
          end = load<std::int32_t>(array.buffers[1], at + 1);
          last = load<std::int32_t>(array.buffers[1], last_at);
        } else {
          start = load<std::int64_t>(array.buffers[1], at);
          end = load<std::int64_t>(array.buffers[1], at + 1);
          last = load<std::int64_t>(array.buffers[1], last_at);
        }
        if (start < 0 || end < start || end > last) return false;
        data = static_cast<const char*>(array.buffers[2]);
        break;
      }
      case ArrowSource::View: {
        const char* view = static_cast<const char*>(array.buffers[1]) + at * 16;
        const auto length = load<std::int32_t>(view, 0);
        if (length < 0) return false;
        if (length <= 12) {
          bytes = std::string_view(view + 4, static_cast<std::size_t>(length));
          return true;
        }
        const auto buffer = load<std::int32_t>(view + 8, 0);
        const auto offset = load<std::int32_t>(view + 12, 0);
        const std::int64_t data_buffers = array.n_buffers - 3;
        if (buffer < 0 || buffer >= data_buffers || offset < 0) return false;
        const auto size = load<std::int64_t>(array.buffers[array.n_buffers - 1], buffer);
        if (std::int64_t{offset} + length > size) return false;
        data = static_cast<const char*>(array.buffers[2 + buffer]);
        start = offset;
        end = std::int64_t{offset} + length;
        break;
      }
      case ArrowSource::FixedBinary:
        start = at * node.width;
        end = start + node.width;
        data = static_cast<const char*>(array.buffers[1]);
        break;
      default:
        return false;
    }
    if (end == start) {
      bytes = std::string_view();
      return true;
    }
    if (data == nullptr) return false;
    bytes = std::string_view(data + start, static_cast<std::size_t>(end - start));
    return true;
  }

  [[nodiscard]] bool text_or_octets(const ColumnNode& node, std::string_view bytes) {
    const std::uint64_t size = bytes.size();
    if (node.kind == TypeKind::String) {
      // The dict path decodes the text strictly (and raises where it is no
      // UTF-8); serialize writes the UTF-8 form of what it decoded, which is
      // these bytes again.
      Utf8Problem problem;
      if (!is_ascii(bytes.data(), bytes.size()) && !validate_utf8(bytes, problem)) return false;
      if (node.string_bound != 0 ? size > node.string_bound : size >= kLengthLimit) return false;
      out_.write_ros_string(bytes.data(), bytes.size());
      return true;
    }
    if constexpr (kLayout.shaped_types) {
      if (!count(node, size)) return false;
      out_.write_raw(bytes.data(), bytes.size());
    } else {
      if (size > kLengthLimit) return false;
      out_.write_byte_string(bytes.data(), bytes.size());
    }
    return true;
  }

  // The count of an array or of octets, as serialize checks and writes it.
  [[nodiscard]] bool count(const ColumnNode& node, std::uint64_t count) {
    if constexpr (kLayout.shaped_types) {
      switch (node.shape) {
        case ArrayShape::Fixed:
          return count == node.length;
        case ArrayShape::Bounded:
          if (count > node.length) return false;
          break;
        case ArrayShape::Sequence:
          if (count > kLengthLimit) return false;
          break;
      }
    } else {
      if (count > kLengthLimit) return false;
    }
    out_.write_count(static_cast<std::uint32_t>(count));
    return true;
  }

  [[nodiscard]] KORVEX_NOINLINE bool list(const ColumnNode& node, const ArrowArray& array,
                                          std::int64_t at) {
    std::int64_t start;
    std::int64_t end;
    if (node.source == ArrowSource::List32) {
      start = load<std::int32_t>(array.buffers[1], at);
      end = load<std::int32_t>(array.buffers[1], at + 1);
    } else if (node.source == ArrowSource::List64) {
      start = load<std::int64_t>(array.buffers[1], at);
      end = load<std::int64_t>(array.buffers[1], at + 1);
    } else {
      start = at * node.width;
      end = start + node.width;
    }
    const ArrowArray& elements = *array.children[0];
    if (start < 0 || end < start || end > elements.length) return false;
    if (!count(node, static_cast<std::uint64_t>(end - start))) return false;
    const ColumnNode& element = node.members[0];
    if (element.source == ArrowSource::Number && !has_validity(elements)) {
      return numbers(element.kind, elements, start, end);
    }
    for (std::int64_t index = start; index < end; ++index) {
      if (!value(element, elements, index)) return false;
    }
    return true;
  }

  // A run of numbers without nulls, copied as a whole.
  [[nodiscard]] bool numbers(TypeKind kind, const ArrowArray& elements, std::int64_t start,
                             std::int64_t end) {
    if (start == end) return true;  // no elements, no padding before them
    const std::size_t width = describe(kind).size;
    const auto size = static_cast<std::size_t>(end - start) * width;
    const char* from = static_cast<const char*>(elements.buffers[1]) +
                       (elements.offset + start) * static_cast<std::int64_t>(width);
    // The ROS 2 layout's dict path hands such a run to serialize as a
    // buffer, copied as it is; otherwise as floats, which quiets a
    // signalling NaN (signalling_nan).
    const bool as_buffer = kLayout.shaped_types && elements.null_count == 0;
    if (kind == TypeKind::Float32 && !as_buffer) {
      for (std::size_t index = 0; index < size; index += 4) {
        if (signalling_nan(load<std::uint32_t>(from + index, 0))) return false;
      }
    }
    out_.align(width);
    if constexpr (std::endian::native == std::endian::little) {
      out_.write_raw(from, size);
    } else {
      // Element by element into the wire's byte order.  number() declines a
      // float32 signalling NaN, which the dict path then writes as
      // serialize does.
      const std::int64_t at = elements.offset + start;
      for (std::int64_t index = 0; index < end - start; ++index) {
        if (!number(kind, elements.buffers[1], at + index)) return false;
      }
    }
    return true;
  }

  MessageBuffer& out_;
};

}  // namespace

bool batch_fits(const ColumnNode& root, const ArrowArray& batch) {
  return extent_fits(batch) && (batch.n_children == 0 || batch.children != nullptr) &&
         members_fit(root, batch);
}

WrittenRows write_rows(const ColumnNode& root, const ArrowArray& batch, std::int64_t begin,
                       std::int64_t end, MessageBuffer& out, std::size_t most_bytes) {
  RowWriter writer(out);
  Vector<RowStep> steps;
  const bool compiled = compile_members(root, batch, batch.offset, batch.length, steps);
  std::int64_t index = begin;
  for (; index < end && out.size() < most_bytes; ++index) {
    const bool written = compiled ? writer.row(steps, index) : writer.row(root, batch, index);
    if (!written) return {index, true};
  }
  return {index, false};
}

}  // namespace korvex
