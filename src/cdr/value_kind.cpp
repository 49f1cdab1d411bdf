#include <cstring>

#include "cdr/conversions.hpp"
#include "module/failure.hpp"
#include "module/py_ref.hpp"
#include "module/python_text.hpp"

namespace korvex {
namespace {

// Whether the type's attribute `attribute` is a str equal to one of the
// candidates.
bool type_attribute_is(PyTypeObject* type, const char* attribute, const char* first,
                       const char* second) {
  PyRef text = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
  if (!text) {
    discard_python_error();
    return false;
  }
  if (!PyUnicode_Check(text.get())) return false;
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) {
    discard_python_error();
    return false;
  }
  return std::strcmp(utf8, first) == 0 || (second != nullptr && std::strcmp(utf8, second) == 0);
}

bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type_attribute_is(type, "__module__", "numpy", nullptr) &&
         type_attribute_is(type, "__name__", "bool_", "bool");
}

// Runs one probe; a failed probe leaves no exception behind.
template <class Probe>
bool probe(Probe&& test) {
  const bool passed = test();
  if (!passed && PyErr_Occurred()) discard_python_error();
  return passed;
}

bool iterates_to_end(PyObject* value) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
  }
  return !PyErr_Occurred();
}

}  // namespace

bool bool_rule(PyObject* value, bool& out) {
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) return false;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool unsigned_rule(PyObject* value, unsigned long long& out) {
  if (PyLong_Check(value)) {
    out = PyLong_AsUnsignedLongLong(value);
    return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
  }
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

const char* type_name_for_value(PyObject* value) {
  bool flag;
  long long signed_value;
  unsigned long long unsigned_value;
  double float_value;
  if (probe([&] { return bool_rule(value, flag); })) return "bool";
  if (probe([&] { return integer_rule(value, signed_value); })) return "int";
  if (probe([&] { return unsigned_rule(value, unsigned_value); })) return "uint";
  if (probe([&] { return float_rule(value, float_value); })) return "float";
  if (probe([&] {
        Py_ssize_t size;
        return PyUnicode_Check(value) && PyUnicode_AsUTF8AndSize(value, &size) != nullptr;
      })) {
    return "string";
  }
  if (PyBytes_Check(value)) return "bytes";
  if (PyList_Check(value)) return "list";
  if (!PyUnicode_Check(value) &&
      probe([&] { return PySequence_Check(value) == 1 && iterates_to_end(value); })) {
    return "list";
  }
  if (PyDict_Check(value)) return "dict";
  return "unknown";
}

}  // namespace korvex
