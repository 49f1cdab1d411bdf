#include "cdr/numpy_arrays.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <span>

#include "base/buffer_view.hpp"
#include "base/byte_order.hpp"
#include "base/py_ref.hpp"

namespace korvex {
namespace {

// numpy.empty and the dtypes, made on first use and kept for the life of
// the process (under the GIL).
struct NumpyState {
  PyObject* empty = nullptr;
  PyObject* dtype = nullptr;
  std::array<PyObject*, kTypeTable.size()> dtypes{};
};
NumpyState g_numpy;

[[nodiscard]] PyObject* dtype_for(TypeKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  if (g_numpy.dtypes[index] != nullptr) return g_numpy.dtypes[index];
  if (g_numpy.dtype == nullptr) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    if (!empty) return nullptr;
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(numpy.get(), "dtype"));
    if (!dtype) return nullptr;
    g_numpy.empty = empty.release();
    g_numpy.dtype = dtype.release();
  }
  // The type table's dtype names carry no byte order: numpy reads them in
  // the machine's.
  const std::string_view name = describe(kind).numpy_dtype;
  PyRef text =
      PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!text) return nullptr;
  g_numpy.dtypes[index] = PyObject_CallOneArg(g_numpy.dtype, text.get());
  return g_numpy.dtypes[index];
}

}  // namespace

PyObject* numpy_array(TypeKind kind, const unsigned char* bytes, std::size_t count, bool swap) {
  const std::size_t size = describe(kind).size;
  PyObject* dtype = dtype_for(kind);
  if (dtype == nullptr) return nullptr;
  // A new array, filled through its buffer: cheaper than numpy.frombuffer
  // over a bytearray of the same bytes, and the array owns its memory.
  PyRef length = PyRef::steal(PyLong_FromSize_t(count));
  if (!length) return nullptr;
  PyObject* arguments[] = {length.get(), dtype};
  PyRef array = PyRef::steal(PyObject_Vectorcall(g_numpy.empty, arguments, 2, nullptr));
  if (!array || count == 0) return array.release();
  BufferView view;
  if (!view.acquire(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return nullptr;
  const std::span<unsigned char> items = view.writable_bytes();
  if (items.size() != count * size) {
    PyErr_SetString(PyExc_SystemError, "numpy.empty gave an array of another size");
    return nullptr;
  }
  if (kind == TypeKind::Bool) {
    // numpy's booleans are the bytes 0 and 1; any nonzero byte is True.
    for (std::size_t index = 0; index < count; ++index) items[index] = bytes[index] != 0 ? 1 : 0;
    return array.release();
  }
  // The array holds the machine's byte order: the input's is reversed where
  // they differ.
  if (swap != (std::endian::native == std::endian::big)) {
    copy_reversed(items.data(), bytes, count, size);
  } else {
    std::memcpy(items.data(), bytes, items.size());
  }
  return array.release();
}

}  // namespace korvex
