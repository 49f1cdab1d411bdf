#include "cdr/numpy_arrays.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "base/py_ref.hpp"

namespace korvex {
namespace {

// numpy's dtype names of the fixed-size kinds, in the machine's byte order,
// in TypeKind order; null for the kinds that are not numbers.
constexpr std::array<const char*, kTypeTable.size()> dtype_names() {
  std::array<const char*, kTypeTable.size()> names{};
  for (const TypeDescriptor& type : kTypeTable) {
    const char* name = nullptr;
    switch (type.kind) {
      case TypeKind::Bool:
        name = "?";
        break;
      case TypeKind::Int8:
        name = "i1";
        break;
      case TypeKind::Int16:
        name = "i2";
        break;
      case TypeKind::Int32:
        name = "i4";
        break;
      case TypeKind::Int64:
        name = "i8";
        break;
      case TypeKind::UInt8:
        name = "u1";
        break;
      case TypeKind::UInt16:
        name = "u2";
        break;
      case TypeKind::UInt32:
        name = "u4";
        break;
      case TypeKind::UInt64:
        name = "u8";
        break;
      case TypeKind::Float32:
        name = "f4";
        break;
      case TypeKind::Float64:
        name = "f8";
        break;
      case TypeKind::String:
      case TypeKind::Bytes:
      case TypeKind::Array:
      case TypeKind::Struct:
      case TypeKind::Time:
      case TypeKind::Duration:
        break;
    }
    names[static_cast<std::size_t>(type.kind)] = name;
  }
  return names;
}
constexpr auto kDtypeNames = dtype_names();

// numpy.frombuffer and the dtypes, made on first use and kept for the life
// of the process (under the GIL).
struct NumpyState {
  PyObject* frombuffer = nullptr;
  PyObject* dtype = nullptr;
  std::array<PyObject*, kTypeTable.size()> dtypes{};
};
NumpyState g_numpy;

PyObject* dtype_for(TypeKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  if (g_numpy.dtypes[index] != nullptr) return g_numpy.dtypes[index];
  if (g_numpy.dtype == nullptr) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef frombuffer = PyRef::steal(PyObject_GetAttrString(numpy.get(), "frombuffer"));
    if (!frombuffer) return nullptr;
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(numpy.get(), "dtype"));
    if (!dtype) return nullptr;
    g_numpy.frombuffer = frombuffer.release();
    g_numpy.dtype = dtype.release();
  }
  g_numpy.dtypes[index] = PyObject_CallFunction(g_numpy.dtype, "s", kDtypeNames[index]);
  return g_numpy.dtypes[index];
}

}  // namespace

PyObject* numpy_array(TypeKind kind, const unsigned char* bytes, std::size_t count, bool swap) {
  const std::size_t size = describe(kind).size;
  PyObject* dtype = dtype_for(kind);
  if (dtype == nullptr) return nullptr;
  // (Only a bytearray of no bytes may be made from no bytes.)
  PyRef storage = PyRef::steal(
      PyByteArray_FromStringAndSize(count != 0 ? reinterpret_cast<const char*>(bytes) : "",
                                    static_cast<Py_ssize_t>(count * size)));
  if (!storage) return nullptr;
  // The array holds the machine's byte order: the input's is reversed where
  // they differ.
  const bool reverse = swap != (std::endian::native == std::endian::big);
  if (reverse && size > 1) {
    char* items = PyByteArray_AS_STRING(storage.get());
    for (std::size_t index = 0; index < count; ++index) {
      char* item = items + index * size;
      for (std::size_t low = 0, high = size - 1; low < high; ++low, --high) {
        const char byte = item[low];
        item[low] = item[high];
        item[high] = byte;
      }
    }
  }
  PyObject* arguments[] = {storage.get(), dtype};
  return PyObject_Vectorcall(g_numpy.frombuffer, arguments, 2, nullptr);
}

}  // namespace korvex
