#include "base/text.hpp"

#include "base/utf8.hpp"

namespace korvex {

String lossy_utf8(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
    return String(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!encoded) {
    PyErr_Clear();
    return String();
  }
  return lossy_utf8(std::string_view(PyBytes_AS_STRING(encoded.get()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))));
}

PyRef make_text(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* permanent_text(PyObject*& slot, const char* text) {
  // Made under the GIL.  Making it cannot run Python code, so no other
  // thread can get in between the check and the store.
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

}  // namespace korvex
