#include "module/arrow_values.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "base/byte_order.hpp"
#include "base/layout.hpp"
#include "base/py_ref.hpp"
#include "schema/type_table.hpp"

namespace korvex {
namespace {

template <class T>
T load(const void* buffer, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(buffer) + index * std::int64_t{sizeof(T)},
              sizeof value);
  return value;
}

bool bit(const void* buffer, std::int64_t index) {
  return (static_cast<const unsigned char*>(buffer)[index / 8] >> (index % 8)) & 1;
}

// The C data interface carries no buffer sizes, so a producer's arrays are
// taken at their word only as far as it can be checked: the buffers and
// children their format has, each index below its array's length, and
// offsets in order inside what they point into.  A data buffer shorter than
// its last offset says is beyond seeing; anything else malformed is refused
// with this text rather than read out of bounds.
constexpr const char* kMalformed =
    "a malformed Arrow array (its buffers, offsets or lengths do not hold the value)";

// Indexes stay far inside int64 once lengths, offsets and fixed sizes are
// below this (an index times at most 16 bytes, plus one).
constexpr std::int64_t kMostExtent = std::numeric_limits<std::int64_t>::max() / 32;

[[nodiscard]] bool has_buffers(const ArrowArray& array, std::int64_t count) {
  if (array.n_buffers != count || array.buffers == nullptr) return false;
  for (std::int64_t index = 1; index < count; ++index) {
    if (array.buffers[index] == nullptr) return false;
  }
  return true;
}

[[nodiscard]] bool has_children(const ArrowSchema& schema, const ArrowArray& array,
                                std::int64_t count) {
  if (schema.n_children != count || array.n_children != count) return false;
  if (count == 0) return true;
  if (schema.children == nullptr || array.children == nullptr) return false;
  for (std::int64_t index = 0; index < count; ++index) {
    if (schema.children[index] == nullptr || array.children[index] == nullptr ||
        schema.children[index]->format == nullptr) {
      return false;
    }
  }
  return true;
}

// The [start, end) of the value at `at` of an array with 32- or 64-bit
// offsets; false where the offsets are out of order or negative.
template <class Offset>
[[nodiscard]] bool span_of(const ArrowArray& array, std::int64_t at, std::int64_t& start,
                           std::int64_t& end) {
  start = static_cast<std::int64_t>(load<Offset>(array.buffers[1], at));
  end = static_cast<std::int64_t>(load<Offset>(array.buffers[1], at + 1));
  return start >= 0 && start <= end && end <= kMostExtent;
}

// The N of a fixed-size format's "w:N" or "+w:N" tail; 0 where it is no
// size.
std::int64_t fixed_size(std::string_view digits) {
  std::int64_t size = 0;
  if (digits.empty() || digits.size() > 9) return 0;
  for (char digit : digits) {
    if (digit < '0' || digit > '9') return 0;
    size = size * 10 + (digit - '0');
  }
  return size;
}

[[nodiscard]] PyObject* text_or_bytes(const char* data, std::int64_t size, bool text) {
  if (text) return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
  return PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
}

// A binary or string view: 16 bytes, the length first; up to 12 bytes
// inline, else a prefix, the data buffer's index and the offset in it.
// The last buffer holds the int64 size of each data buffer.
[[nodiscard]] PyObject* view_value(const ArrowArray& array, std::int64_t at, bool text,
                                   String& problem) {
  if (array.n_buffers < 3 || array.buffers == nullptr || array.buffers[1] == nullptr) {
    problem = kMalformed;
    return nullptr;
  }
  const unsigned char* view = static_cast<const unsigned char*>(array.buffers[1]) + at * 16;
  std::int32_t length;
  std::memcpy(&length, view, 4);
  if (length < 0) {
    problem = kMalformed;
    return nullptr;
  }
  if (length <= 12) return text_or_bytes(reinterpret_cast<const char*>(view + 4), length, text);
  std::int32_t buffer;
  std::int32_t offset;
  std::memcpy(&buffer, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  const std::int64_t data_buffers = array.n_buffers - 3;
  const void* sizes = array.buffers[array.n_buffers - 1];
  if (buffer < 0 || buffer >= data_buffers || offset < 0 || sizes == nullptr ||
      array.buffers[2 + buffer] == nullptr ||
      std::int64_t{offset} + length > load<std::int64_t>(sizes, buffer)) {
    problem = kMalformed;
    return nullptr;
  }
  const char* data = static_cast<const char*>(array.buffers[2 + buffer]) + offset;
  return text_or_bytes(data, length, text);
}

// The number kind of an Arrow fixed-width format (booleans are bits, not
// numbers of a byte); null for any other.
[[nodiscard]] const TypeDescriptor* number_type(std::string_view format) {
  const std::optional<TypeKind> kind = kind_with_arrow_format(format);
  if (!kind || *kind == TypeKind::Bool) return nullptr;
  return &describe(*kind);
}

// A new reference to the number at `at` of an array of `type`'s values in
// the machine's byte order (the table's reader takes little-endian bytes).
[[nodiscard]] PyObject* number_value(const TypeDescriptor& type, const void* buffer,
                                     std::int64_t at) {
  const unsigned char* item = static_cast<const unsigned char*>(buffer) + at * type.size;
  unsigned char bytes[8];
  if constexpr (std::endian::native == std::endian::big) {
    copy_reversed(bytes, item, 1, type.size);
  } else {
    std::memcpy(bytes, item, type.size);
  }
  return type.read(bytes);
}

// The elements [start, end) of a list of numbers without nulls as a
// read-only memoryview of that type over the Arrow buffer, which the ROS 2
// encoder copies as a whole (serialize takes numeric arrays as buffers of
// their element type).  Valid while the array is; null where it does not
// apply (nothing set).
[[nodiscard]] [[maybe_unused]] PyObject* numbers_view(const ArrowSchema& element,
                                                      const ArrowArray& values, std::int64_t start,
                                                      std::int64_t end) {
  const TypeDescriptor* type = number_type(element.format);
  // Anything less plain goes value by value, through the checks of
  // arrow_value.
  if (type == nullptr || element.dictionary != nullptr || values.null_count != 0 ||
      !has_buffers(values, 2) || values.offset < 0 || values.length < 0 || start < 0 ||
      end > values.length || values.offset > kMostExtent - values.length) {
    return nullptr;
  }
  const std::int64_t width = type->size;
  Py_ssize_t count = static_cast<Py_ssize_t>(end - start);
  Py_buffer buffer{};
  buffer.buf = const_cast<unsigned char*>(static_cast<const unsigned char*>(values.buffers[1]) +
                                          (values.offset + start) * width);
  buffer.len = count * static_cast<Py_ssize_t>(width);
  buffer.itemsize = static_cast<Py_ssize_t>(width);
  buffer.readonly = 1;
  buffer.ndim = 1;
  buffer.format = const_cast<char*>(type->buffer_format.data());
  buffer.shape = &count;  // copied by the memoryview
  return PyMemoryView_FromBuffer(&buffer);
}

[[nodiscard]] PyObject* list_value(const ArrowSchema& schema, const ArrowArray& array,
                                   std::int64_t start, std::int64_t end, String& problem,
                                   bool views) {
  if constexpr (kLayout.shaped_types) {
    if (views && end > start) {
      if (PyObject* view = numbers_view(*schema.children[0], *array.children[0], start, end)) {
        return view;
      }
      if (PyErr_Occurred()) return nullptr;
    }
  }
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(end - start)));
  if (!list) return nullptr;
  for (std::int64_t index = start; index < end; ++index) {
    PyObject* item = arrow_value(*schema.children[0], *array.children[0], index, problem, views);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index - start), item);
  }
  return list.release();
}

[[nodiscard]] PyObject* struct_value(const ArrowSchema& schema, const ArrowArray& array,
                                     std::int64_t at, String& problem, bool views) {
  if (!has_children(schema, array, schema.n_children)) {
    problem = kMalformed;
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (std::int64_t child = 0; child < schema.n_children; ++child) {
    PyRef value = PyRef::steal(
        arrow_value(*schema.children[child], *array.children[child], at, problem, views));
    if (!value) return nullptr;
    // The interface lets a producer leave a name out.
    const char* name = schema.children[child]->name;
    if (PyDict_SetItemString(dict.get(), name != nullptr ? name : "", value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

}  // namespace

PyObject* arrow_value(const ArrowSchema& schema, const ArrowArray& array, std::int64_t index,
                      String& problem, bool views) {
  if (schema.dictionary != nullptr) {
    problem = "a dictionary-encoded column, which encode_table does not take";
    return nullptr;
  }
  if (schema.format == nullptr || index < 0 || index >= array.length || array.offset < 0 ||
      array.offset > kMostExtent - array.length || array.n_buffers < 1 ||
      array.buffers == nullptr) {
    problem = kMalformed;
    return nullptr;
  }
  const std::int64_t at = array.offset + index;
  if (array.null_count != 0 && array.buffers[0] != nullptr && !bit(array.buffers[0], at)) {
    problem = "a null value, which no field type holds";
    return nullptr;
  }
  const std::string_view format(schema.format);
  const bool boolean = format == describe(TypeKind::Bool).arrow_format;
  const TypeDescriptor* number = boolean ? nullptr : number_type(format);
  if ((boolean || number != nullptr) && (!has_buffers(array, 2) || array.n_children != 0)) {
    problem = kMalformed;
    return nullptr;
  }
  if (boolean) return PyBool_FromLong(bit(array.buffers[1], at));
  if (number != nullptr) return number_value(*number, array.buffers[1], at);
  if (format.size() == 1) {
    switch (format[0]) {
      case 'u':
      case 'z':
      case 'U':
      case 'Z': {
        // The data buffer may be absent where every value is empty.
        std::int64_t start = 0;
        std::int64_t end = 0;
        const bool spans =
            array.n_buffers == 3 && array.buffers[1] != nullptr && array.n_children == 0 &&
            (format[0] == 'u' || format[0] == 'z' ? span_of<std::int32_t>(array, at, start, end)
                                                  : span_of<std::int64_t>(array, at, start, end));
        if (!spans || (end > start && array.buffers[2] == nullptr)) {
          problem = kMalformed;
          return nullptr;
        }
        const char* data = static_cast<const char*>(array.buffers[2]) + start;
        return text_or_bytes(data, end - start, format[0] == 'u' || format[0] == 'U');
      }
      default:
        break;
    }
  } else if (format == "vu" || format == "vz") {
    return view_value(array, at, format == "vu", problem);
  } else if (format == "+l" || format == "+L") {
    std::int64_t start = 0;
    std::int64_t end = 0;
    const bool spans = has_buffers(array, 2) && has_children(schema, array, 1) &&
                       (format == "+l" ? span_of<std::int32_t>(array, at, start, end)
                                       : span_of<std::int64_t>(array, at, start, end));
    if (!spans || end > array.children[0]->length) {
      problem = kMalformed;
      return nullptr;
    }
    return list_value(schema, array, start, end, problem, views);
  } else if (format.starts_with("+w:") || format.starts_with("w:")) {
    const bool octets = format[0] == 'w';
    const std::int64_t size = fixed_size(format.substr(octets ? 2 : 3));
    if (size == 0 || at > kMostExtent / size - 1) {
      problem = kMalformed;
      return nullptr;
    }
    if (octets) {
      if (!has_buffers(array, 2) || array.n_children != 0) {
        problem = kMalformed;
        return nullptr;
      }
      return PyBytes_FromStringAndSize(static_cast<const char*>(array.buffers[1]) + at * size,
                                       static_cast<Py_ssize_t>(size));
    }
    if (!has_buffers(array, 1) || !has_children(schema, array, 1) ||
        (at + 1) * size > array.children[0]->length) {
      problem = kMalformed;
      return nullptr;
    }
    return list_value(schema, array, at * size, (at + 1) * size, problem, views);
  } else if (format == "+s") {
    if (array.n_buffers != 1) {
      problem = kMalformed;
      return nullptr;
    }
    return struct_value(schema, array, at, problem, views);
  }
  problem = concat({"Arrow type '", format, "', which encode_table does not take"});
  return nullptr;
}

}  // namespace korvex
