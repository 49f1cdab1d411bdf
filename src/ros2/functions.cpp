// The functions of the ROS 2 codec's native module, `korvex_messages.ros2._native`:
// the same call wrapper, encoder and decoder as `_korvex_messages`, compiled
// for the ROS 2 layout (base/layout.hpp), over a registry of its own.
#include "ros2/functions.hpp"

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "base/buffer_view.hpp"
#include "base/memory.hpp"
#include "cdr/decoder.hpp"
#include "cdr/encoder.hpp"
#include "module/call.hpp"
#include "module/decode_table.hpp"
#include "module/encode_table.hpp"
#include "ros2/crc32.hpp"
#include "ros2/mcap_scan_function.hpp"
#include "ros2/packed_batches.hpp"
#include "ros2/registration.hpp"
#include "schema/ros2_types.hpp"

namespace korvex {
namespace {

constexpr const char* kTypeAndFields[] = {"type_name", "fields"};
constexpr const char* kTypeOnly[] = {"type_name"};
constexpr const char* kTypeAndValues[] = {"type_name", "values"};
constexpr const char* kTypes[] = {"types"};
constexpr const char* kTypeNames[] = {"type_names"};

constexpr FunctionDescription kRegisterType{"register_type", kTypeAndFields, 2};
constexpr FunctionDescription kTypeExists{"type_exists", kTypeOnly, 1};
constexpr FunctionDescription kSerialize{"serialize", kTypeAndValues, 2};
constexpr FunctionDescription kRegisterTypes{"register_types", kTypes, 1};
constexpr FunctionDescription kUnregisterTypes{"unregister_types", kTypeNames, 1};
constexpr FunctionDescription kPrimitiveTypes{"_primitive_types", nullptr, 0};

// pkg/Name is pkg/msg/Name: the short form is spelt out in `storage`.
// `Header` alone is std_msgs/msg/Header, as in `.msg` texts, so that every
// function that takes a type name reads the same names as the registry's.
std::string_view full_type_name(std::string_view name, String& storage) {
  if (name == "Header") return "std_msgs/msg/Header";
  const std::size_t slash = name.find('/');
  if (slash == std::string_view::npos || name.find('/', slash + 1) != std::string_view::npos) {
    return name;
  }
  storage.reserve(name.size() + 4);
  storage.append(name.substr(0, slash));
  storage.append("/msg/");
  storage.append(name.substr(slash + 1));
  return storage;
}

PyObject* register_type_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_function(kRegisterType, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView name;
    if (!convert_text(slots[0], "type_name", name)) return PythonErrorSet{};
    if (!convert_list(slots[1], "fields")) return PythonErrorSet{};
    return register_type_body(name.view(), slots[1]);
  });
}

PyObject* register_types_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return call_function(kRegisterTypes, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    if (!convert_list(slots[0], "types")) return PythonErrorSet{};
    return register_types_body(slots[0]);
  });
}

PyObject* unregister_types_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return call_function(kUnregisterTypes, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    if (!convert_list(slots[0], "type_names")) return PythonErrorSet{};
    return unregister_types_body(slots[0]);
  });
}

PyObject* type_exists_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kTypeExists, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView name;
    if (!convert_text(slots[0], "type_name", name)) return PythonErrorSet{};
    String storage;
    return type_exists_body(full_type_name(name.view(), storage));
  });
}

PyObject* serialize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kSerialize, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView name;
    if (!convert_text(slots[0], "type_name", name)) return PythonErrorSet{};
    if (!convert_dict(slots[1], "values")) return PythonErrorSet{};
    String storage;
    return serialize_body(full_type_name(name.view(), storage), slots[1]);
  });
}

// A contiguous buffer exported by `data` for the length of the call: bytes,
// bytearray, memoryview, mmap, a numpy array.  While exported, a bytearray
// cannot be resized under the decoder.
class InputBuffer {
 public:
  [[nodiscard]] bool take(PyObject* data) {
    if (PyBytes_Check(data)) {
      bytes_ = ByteSpan(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
      return true;
    }
    if (PyUnicode_Check(data) || !PyObject_CheckBuffer(data)) {
      PyErr_Format(PyExc_TypeError, "argument 'data': expected a bytes-like object, got %.200s",
                   Py_TYPE(data)->tp_name);
      return false;
    }
    if (!view_.acquire(data, PyBUF_C_CONTIGUOUS)) return false;
    bytes_ = view_.bytes();
    return true;
  }
  ByteSpan bytes() const noexcept { return bytes_; }

 private:
  BufferView view_;
  ByteSpan bytes_;
};

// deserialize(type_name, data, *, numpy=False): the one function of the
// codec with a keyword-only parameter.
constexpr const char* kDeserializeParameters[] = {"type_name", "data", "numpy"};

PyObject* deserialize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    const ActiveCall call;
    if (!call.admitted()) return ActiveCall::refuse();
    PyObject* slots[3] = {nullptr, nullptr, nullptr};
    if (!match_keyword_arguments({"deserialize", kDeserializeParameters, 3, 2}, args, nargs,
                                 kwnames, slots)) {
      return nullptr;
    }
    TextView name;
    if (!convert_text(slots[0], "type_name", name)) return nullptr;
    InputBuffer data;
    if (!data.take(slots[1])) return nullptr;
    DecodeOptions options;
    if (slots[2] != nullptr) {
      if (!PyBool_Check(slots[2])) {
        PyErr_Format(PyExc_TypeError, "argument 'numpy': expected bool, got %.200s",
                     Py_TYPE(slots[2])->tp_name);
        return nullptr;
      }
      options.numpy = slots[2] == Py_True;
    }
    String storage;
    return finish_call(
        deserialize_body(full_type_name(name.view(), storage), data.bytes(), options));
  });
}

PyObject* decode_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return decode_table_call(args, nargs, kwnames, "type_name", &full_type_name);
}

PyObject* encode_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return encode_table_call(args, nargs, kwnames, "type_name", &full_type_name);
}

// The primitive types of `.msg` definitions from the type table, for the
// Python parser of definitions: a tuple of (name, sort, low, high), sort
// being "bool", "integer", "float" or "string", and low and high the range
// of an integer type (else None).
PyObject* primitive_types_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_function(kPrimitiveTypes, args, nargs, kwnames, [](PyObject**) -> BodyResult {
    const std::span<const Ros2Primitive> primitives = ros2_primitives();
    PyRef rows = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(primitives.size())));
    if (!rows) return PythonErrorSet{};
    for (std::size_t index = 0; index < primitives.size(); ++index) {
      const TypeDescriptor& type = describe(primitives[index].kind);
      const char* sort = "string";
      PyRef low = PyRef::borrow(Py_None);
      PyRef high = PyRef::borrow(Py_None);
      switch (type.conversion) {
        case Conversion::Bool:
          sort = "bool";
          break;
        case Conversion::Integer:
          sort = "integer";
          low = PyRef::steal(PyLong_FromLongLong(type.min));
          high = PyRef::steal(PyLong_FromLongLong(type.max));
          break;
        case Conversion::Unsigned64:
          sort = "integer";
          low = PyRef::steal(PyLong_FromLong(0));
          high =
              PyRef::steal(PyLong_FromUnsignedLongLong(std::numeric_limits<std::uint64_t>::max()));
          break;
        case Conversion::Float32:
        case Conversion::Float64:
          sort = "float";
          break;
        case Conversion::String:
        case Conversion::Bytes:
        case Conversion::Array:
        case Conversion::Struct:
        case Conversion::Time:
          break;
      }
      if (!low || !high) return PythonErrorSet{};
      const std::string_view name = primitives[index].name;
      PyRef name_text = PyRef::steal(
          PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
      PyRef sort_text = PyRef::steal(PyUnicode_FromString(sort));
      if (!name_text || !sort_text) return PythonErrorSet{};
      PyObject* row = PyTuple_Pack(4, name_text.get(), sort_text.get(), low.get(), high.get());
      if (row == nullptr) return PythonErrorSet{};
      PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(index), row);
    }
    return rows;
  });
}

}  // namespace

PyMethodDef kRos2Functions[kRos2FunctionCount] = {
    {"register_type", as_method(&register_type_entry), kCallFlags,
     "register_type(type_name, fields)\n--\n\n"},
    {"register_types", as_method(&register_types_entry), kCallFlags,
     "register_types(types)\n--\n\n"},
    {"unregister_types", as_method(&unregister_types_entry), kCallFlags,
     "unregister_types(type_names)\n--\n\n"},
    {"type_exists", as_method(&type_exists_entry), kCallFlags, "type_exists(type_name)\n--\n\n"},
    {"serialize", as_method(&serialize_entry), kCallFlags, "serialize(type_name, values)\n--\n\n"},
    {"deserialize", as_method(&deserialize_entry), kCallFlags,
     "deserialize(type_name, data, *, numpy=False)\n--\n\n"},
    {"decode_table", as_method(&decode_table_entry), kCallFlags,
     "decode_table(type_name, messages, *, offsets=None, flatten=False)\n--\n\n"},
    {"encode_table", as_method(&encode_table_entry), kCallFlags,
     "encode_table(type_name, table, *, as_buffer=False)\n--\n\n"},
    {"scan_mcap_records", as_method(&scan_mcap_records_entry), kCallFlags, kScanMcapRecordsDoc},
    {"tally_message_index", as_method(&tally_message_index_entry), kCallFlags,
     kTallyMessageIndexDoc},
    {"pack_rows", as_method(&pack_rows_entry), kCallFlags, kPackRowsDoc},
    {"join_packed", as_method(&join_packed_entry), kCallFlags, kJoinPackedDoc},
    {"sort_packed", as_method(&sort_packed_entry), kCallFlags, kSortPackedDoc},
    {"crc32", as_method(&crc32_entry), kCallFlags, kCrc32Doc},
    {"_primitive_types", as_method(&primitive_types_entry), kCallFlags,
     "_primitive_types()\n--\n\n"},
};

}  // namespace korvex
