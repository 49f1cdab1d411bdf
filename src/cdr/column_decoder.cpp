#include "cdr/column_decoder.hpp"

#include <bit>
#include <cstdio>
#include <cstring>

#include "base/byte_order.hpp"
#include "base/compiler.hpp"
#include "base/layout.hpp"
#include "base/utf8.hpp"
#include "cdr/field_path.hpp"
#include "cdr/limits.hpp"
#include "cdr/reader.hpp"
#include "cdr/wire.hpp"

namespace korvex {
namespace {

inline constexpr bool kNativeBigEndian = std::endian::native == std::endian::big;

template <std::size_t Width>
KORVEX_ALWAYS_INLINE void copy_value(unsigned char* out, const unsigned char* bytes, bool swap) {
  if (swap) {
    copy_reversed<Width>(out, bytes, 1);
  } else {
    std::memcpy(out, bytes, Width);
  }
}

// Appends one value of `width` bytes (1, 2, 4 or 8) in the input's byte
// order to `values`, in the machine's.
KORVEX_ALWAYS_INLINE void append_value(ColumnBuffer& values, const unsigned char* bytes,
                                       std::uint8_t width, bool swap) {
  unsigned char* out = values.extend(width);
  switch (width) {
    case 1:
      out[0] = bytes[0];
      return;
    case 2:
      return copy_value<2>(out, bytes, swap);
    case 4:
      return copy_value<4>(out, bytes, swap);
    default:
      KORVEX_ASSERT(width == 8);
      return copy_value<8>(out, bytes, swap);
  }
}

// Appends `count` values of `width` bytes, as append_value.
void append_values(ColumnBuffer& values, const unsigned char* bytes, std::uint64_t count,
                   std::uint8_t width, bool swap) {
  const std::size_t size = static_cast<std::size_t>(count) * width;
  if (!swap || width == 1) {
    values.append(bytes, size);
    return;
  }
  copy_reversed(values.extend(size), bytes, static_cast<std::size_t>(count), width);
}

void append_bit(ColumnData& column, bool bit) {
  const std::int64_t at = column.length % 8;
  if (at == 0) *column.values.extend(1) = 0;
  if (bit) column.values.data()[column.values.size() - 1] |= static_cast<unsigned char>(1u << at);
  ++column.length;
}

// Ends a variable-length value whose content ends at `end`.
void close_value(ColumnData& column, std::uint64_t end) {
  column.offsets.append_value(static_cast<std::int32_t>(end));
  ++column.length;
}

class ColumnDecoder {
 public:
  ColumnDecoder(MessageBytes message) : in_(message.data(), message.size()) {
    if constexpr (kLayout.big_endian_input) {
      if (message[1] == 0x00) in_.set_big_endian();
    }
    swap_ = in_.big_endian() != kNativeBigEndian;
  }

  [[nodiscard]] bool message(const ColumnType& root, ColumnData& data) {
    return read_struct(root, data, nullptr);
  }
  std::uint64_t empty_values() const noexcept { return empty_values_; }
  // "field 'a.b': reason (at offset N)" for the failure stored.
  String failure_text() const {
    String text;
    if (!path_.empty()) text = concat({"field '", path_, "': "});
    text += reason_;
    text += concat({" (at offset ", decimal(offset_), ")"});
    return text;
  }

 private:
  [[nodiscard]] bool read(const ColumnType& type, ColumnData& data, const PathNode& path);
  // `path` is null for the message itself.
  [[nodiscard]] bool read_struct(const ColumnType& type, ColumnData& data, const PathNode* path);
  [[nodiscard]] bool read_elements(const ColumnType& element, ColumnData& data, std::uint32_t count,
                                   const PathNode& path);
  [[nodiscard]] bool read_count(const ColumnType& type, const PathNode& path, std::uint32_t& count);
  [[nodiscard]] bool read_text(const ColumnType& type, ColumnData& data, const PathNode& path);

  [[nodiscard]] KORVEX_COLD bool fail(String reason, std::uint64_t offset, const PathNode* path) {
    reason_ = std::move(reason);
    offset_ = offset;
    path_ = render_path(path);
    return false;
  }
  [[nodiscard]] KORVEX_COLD bool fail(String reason, std::uint64_t offset, const PathNode& path) {
    return fail(std::move(reason), offset, &path);
  }
  [[nodiscard]] KORVEX_COLD bool fail(ReadFailure failure, std::uint64_t start,
                                      const PathNode* path) {
    const char* reason = "failed to fill whole buffer";
    if (failure == ReadFailure::TruncatedWhileAligning) {
      reason = "Input truncated while aligning CDR stream";
    } else if (failure == ReadFailure::MissingTerminator) {
      reason = "missing NUL terminator";
    }
    // The ROS 2 layout's reader knows where the failed read began.
    if constexpr (kLayout.ros2_errors) start = in_.failed_at();
    return fail(String(reason), start, path);
  }
  [[nodiscard]] KORVEX_COLD bool fail(ReadFailure failure, std::uint64_t start,
                                      const PathNode& path) {
    return fail(failure, start, &path);
  }
  [[nodiscard]] KORVEX_COLD bool beyond_bound(std::uint64_t count, const char* unit,
                                              std::uint64_t bound, std::uint64_t offset,
                                              const PathNode& path) {
    return fail(concat({"has ", decimal(count), " ", unit, ", but holds at most ", decimal(bound)}),
                offset, path);
  }

  CdrReader in_;
  bool swap_ = false;
  std::uint64_t empty_values_ = 0;
  String reason_;
  String path_;
  std::uint64_t offset_ = 0;
};

bool ColumnDecoder::read_count(const ColumnType& type, const PathNode& path, std::uint32_t& count) {
  const std::uint64_t start = in_.position();
  if (ReadFailure failure = in_.read(count); failure != ReadFailure::None) {
    return fail(failure, start, path);
  }
  if (type.length != 0 && count > type.length) {
    const char* unit = type.form == ColumnForm::Binary ? "bytes" : "elements";
    return beyond_bound(count, unit, type.length, in_.position(), path);
  }
  return true;
}

bool ColumnDecoder::read_text(const ColumnType& type, ColumnData& data, const PathNode& path) {
  const std::uint64_t start = in_.position();
  TextRead text;
  if (ReadFailure failure = in_.read_text(text); failure != ReadFailure::None) {
    return fail(failure, start, path);
  }
  if (!text.ascii) {
    Utf8Problem problem;
    if (!validate_utf8(std::string_view(text.data, text.size), problem)) {
      // The ROS 2 layout places it at the string's length, as deserialize does.
      const std::uint64_t at =
          kLayout.ros2_errors ? in_.offset_of(reinterpret_cast<const unsigned char*>(text.data)) -
                                    sizeof(std::uint32_t)
                              : start;
      return fail(describe_utf8_problem(problem), at, path);
    }
  }
  if (type.string_bound != 0 && text.size > type.string_bound) {
    return beyond_bound(text.size, "UTF-8 bytes", type.string_bound, in_.position(), path);
  }
  data.values.append(text.data, text.size);
  close_value(data, data.values.size());
  return true;
}

bool ColumnDecoder::read_elements(const ColumnType& element, ColumnData& data, std::uint32_t count,
                                  const PathNode& path) {
  // No elements, no padding before them.
  if (count == 0) return true;
  if (element.form == ColumnForm::Fixed || element.form == ColumnForm::Bool) {
    // A run of fixed-size values: no padding after the first.
    const std::uint64_t start = in_.position();
    const std::uint8_t width = element.width;
    if (ReadFailure failure = in_.align(width); failure != ReadFailure::None) {
      return fail(failure, start, path);
    }
    const unsigned char* bytes;
    if (ReadFailure failure = in_.take(std::uint64_t{count} * width, bytes);
        failure != ReadFailure::None) {
      return fail(failure, start, path);
    }
    if (element.form == ColumnForm::Bool) {
      for (std::uint32_t index = 0; index < count; ++index) append_bit(data, bytes[index] != 0);
    } else {
      append_values(data.values, bytes, count, width, swap_);
      data.length += count;
    }
    return true;
  }
  for (std::uint32_t index = 0; index < count; ++index) {
    const PathNode item{&path, {}, {index}};
    if (!read(element, data, item)) return false;
  }
  return true;
}

bool ColumnDecoder::read_struct(const ColumnType& type, ColumnData& data, const PathNode* path) {
  const std::uint64_t start = in_.position();
  if (type.all_fixed) {
    // Where the struct ends is known before reading it: within the input,
    // its numbers are copied with one bounds check for all of them.
    std::uint64_t end = start;
    for (const ColumnType& field : type.children) {
      end = CdrReader::place(end, field.width) + field.width;
    }
    if (end <= in_.size()) {
      std::uint64_t offset = start;
      for (std::size_t index = 0; index < type.children.size(); ++index) {
        const std::uint8_t width = type.children[index].width;
        offset = CdrReader::place(offset, width);
        append_value(data.children[index].values, in_.at(offset), width, swap_);
        ++data.children[index].length;
        offset += width;
      }
      in_.skip_to(end);
      ++data.length;
      return true;
    }
    // Too short: the field by field reading below finds where it fails.
  }
  if (type.empty_message) {
    const unsigned char* octet;
    if (ReadFailure failure = in_.take(1, octet); failure != ReadFailure::None) {
      return fail(failure, start, path);
    }
  }
  for (std::size_t index = 0; index < type.children.size(); ++index) {
    const ColumnType& field = type.children[index];
    const PathNode child{path, field.name};
    if (!read(field, data.children[index], child)) return false;
  }
  if (in_.position() == start && ++empty_values_ > kMaxEmptyValues) {
    return fail(concat({"Too many empty struct values: at most ", decimal(kMaxEmptyValues),
                        " values that occupy no bytes are decoded per message"}),
                start, path);
  }
  ++data.length;
  return true;
}

bool ColumnDecoder::read(const ColumnType& type, ColumnData& data, const PathNode& path) {
  const std::uint64_t start = in_.position();
  switch (type.form) {
    case ColumnForm::Bool:
    case ColumnForm::Fixed: {
      if (ReadFailure failure = in_.align(type.width); failure != ReadFailure::None) {
        return fail(failure, start, path);
      }
      const unsigned char* bytes;
      if (ReadFailure failure = in_.take(type.width, bytes); failure != ReadFailure::None) {
        return fail(failure, start, path);
      }
      if (type.form == ColumnForm::Bool) {
        append_bit(data, bytes[0] != 0);
      } else {
        append_value(data.values, bytes, type.width, swap_);
        ++data.length;
      }
      return true;
    }
    case ColumnForm::Utf8:
      return read_text(type, data, path);
    case ColumnForm::Binary:
    case ColumnForm::FixedBinary: {
      std::uint32_t count = type.length;
      if (type.form == ColumnForm::Binary && !read_count(type, path, count)) return false;
      const unsigned char* bytes;
      if (ReadFailure failure = in_.take(count, bytes); failure != ReadFailure::None) {
        return fail(failure, start, path);
      }
      data.values.append(bytes, count);
      if (type.form == ColumnForm::Binary) {
        close_value(data, data.values.size());
      } else {
        ++data.length;
      }
      return true;
    }
    case ColumnForm::List:
    case ColumnForm::FixedList: {
      std::uint32_t count = type.length;
      if (type.form == ColumnForm::List && !read_count(type, path, count)) return false;
      if (!read_elements(type.children[0], data.children[0], count, path)) return false;
      if (type.form == ColumnForm::List) {
        close_value(data, static_cast<std::uint64_t>(data.children[0].length));
      } else {
        ++data.length;
      }
      return true;
    }
    case ColumnForm::Struct:
      return read_struct(type, data, &path);
  }
  KORVEX_INTERNAL_FAILURE("read called with a value that is no ColumnForm");
}

// The header's check, as deserialize makes it; null when the header is one
// this layout reads.
const char* header_problem(MessageBytes message, char (&text)[160]) {
  if (message.size() < kHeaderLength) return "CDR payload too short (missing encapsulation header)";
  const unsigned char* bytes = message.data();
  const bool big_endian = kLayout.big_endian_input && bytes[0] == 0x00 && bytes[1] == 0x00;
  if (big_endian || (bytes[0] == kEncapsulationHeader[0] && bytes[1] == kEncapsulationHeader[1])) {
    return nullptr;
  }
  std::snprintf(text, sizeof text,
                "unsupported CDR encapsulation [%02x, %02x, %02x, %02x]: plain CDR starts with "
                "00 01 (little-endian)%s",
                bytes[0], bytes[1], bytes[2], bytes[3],
                kLayout.big_endian_input ? " or 00 00 (big-endian)" : "");
  return text;
}

// Whether a value of `type` can hold a struct that occupies no bytes (a
// schema without fields, in the core's layout): only then can an offset grow
// by more than the bytes a batch takes in.
bool holds_empty_values(const ColumnType& type) {
  if (type.form == ColumnForm::Struct && type.children.empty() && !type.empty_message) return true;
  for (const ColumnType& child : type.children) {
    if (holds_empty_values(child)) return true;
  }
  return false;
}

}  // namespace

bool decode_columns(const ColumnType& root, std::span<const MessageBytes> messages,
                    Vector<ColumnData>& batches, String& failure, ColumnDecodeProgress& progress) {
  if (batches.empty()) batches.push_back(empty_columns(root));
  std::uint64_t& batch_input = progress.batch_input;
  const std::uint64_t empty_headroom = holds_empty_values(root) ? kMaxEmptyValues : 0;
  for (std::size_t at = 0; at < messages.size(); ++at) {
    const MessageBytes message = messages[at];
    const std::uint64_t index = progress.messages + at;
    char header_text[160];
    if (const char* problem = header_problem(message, header_text)) {
      failure = concat({"message ", decimal(index), ": ", problem});
      return false;
    }
    // Every offset grows by at most a byte of input, or a value that takes
    // none, per step: a batch that takes in no more than the limit keeps
    // every offset within int32.
    const std::uint64_t most = message.size() + empty_headroom;
    if (most > kBatchInputLimit) {
      failure = concat({"message ", decimal(index), ": ", decimal(message.size()),
                        " bytes are more than one record batch holds"});
      return false;
    }
    if (batch_input + most > kBatchInputLimit) {
      batches.push_back(empty_columns(root));
      batch_input = 0;
    }
    ColumnDecoder decoder(message);
    if (!decoder.message(root, batches.back())) {
      failure = concat({"message ", decimal(index), ": ", decoder.failure_text()});
      return false;
    }
    batch_input += message.size() + decoder.empty_values();
  }
  progress.messages += messages.size();
  return true;
}

}  // namespace korvex
