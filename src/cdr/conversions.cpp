#include <cstdint>
#include <string_view>

#include "base/py_ref.hpp"
#include "cdr/conversions.hpp"
#include "module/failure.hpp"
#include "module/python_errors.hpp"

namespace korvex {
namespace {

// Whether the type's attribute `attribute` is a str whose whole text is one
// of the candidates.  False with the exception pending if reading it raised
// one that must propagate.
bool type_attribute_is(PyTypeObject* type, const char* attribute, std::string_view first,
                       std::string_view second) {
  PyRef text = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
  if (!text) {
    (void)discard_python_error();
    return false;
  }
  if (!PyUnicode_Check(text.get())) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    (void)discard_python_error();
    return false;
  }
  // The length counts: "numpy\0x" is not "numpy".
  const std::string_view whole(utf8, static_cast<std::size_t>(size));
  return whole == first || (!second.empty() && whole == second);
}

bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type_attribute_is(type, "__module__", "numpy", {}) &&
         type_attribute_is(type, "__name__", "bool_", "bool");
}

enum class Probe { Passed, Failed, Interrupted };

// Runs one probe of a value's kind.  A failed probe leaves no exception
// behind, except one that must propagate (Interrupted).
template <class Test>
Probe probe(Test&& test) {
  if (test()) return Probe::Passed;
  if (PyErr_Occurred() && !discard_python_error()) return Probe::Interrupted;
  return Probe::Failed;
}

// Iterating can take as long as the object likes (range(10**12)), so it
// checks for signals as it goes and stops at a KeyboardInterrupt.
bool iterates_to_end(PyObject* value) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) return false;
  for (std::uint32_t count = 1;; ++count) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) break;
    if (count % 4096 == 0 && PyErr_CheckSignals() < 0) return false;
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

bool is_complex_number(PyObject* value) {
  if (PyComplex_Check(value)) return true;
  // numpy's complex scalars (complex64 and clongdouble are no complex
  // subclasses), found by the C name of their common base; no Python code
  // runs.
  PyObject* mro = Py_TYPE(value)->tp_mro;  // borrowed
  if (mro == nullptr || !PyTuple_Check(mro)) return false;
  for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(mro); ++index) {
    const auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
    if (std::string_view(base->tp_name) == "numpy.complexfloating") return true;
  }
  return false;
}

const char* type_name_for_value(PyObject* value) {
  bool flag;
  long long signed_value;
  unsigned long long unsigned_value;
  double float_value;
  Py_ssize_t size;
  // The tests in order; the first that passes names the kind, and one that
  // is interrupted ends the probing.
  const auto decided = [](Probe outcome, const char* kind) {
    return outcome == Probe::Passed ? kind : nullptr;
  };
  Probe outcome;
  if ((outcome = probe([&] { return bool_rule(value, flag); })) != Probe::Failed) {
    return decided(outcome, "bool");
  }
  if ((outcome = probe([&] { return integer_rule(value, signed_value); })) != Probe::Failed) {
    return decided(outcome, "int");
  }
  if ((outcome = probe([&] { return unsigned_rule(value, unsigned_value); })) != Probe::Failed) {
    return decided(outcome, "uint");
  }
  if constexpr (kLayout.lossless_values) {
    if (is_complex_number(value)) return "complex";
  }
  if ((outcome = probe([&] { return float_rule(value, float_value); })) != Probe::Failed) {
    return decided(outcome, "float");
  }
  if ((outcome = probe([&] {
         return PyUnicode_Check(value) && PyUnicode_AsUTF8AndSize(value, &size) != nullptr;
       })) != Probe::Failed) {
    return decided(outcome, "string");
  }
  if (PyBytes_Check(value)) return "bytes";
  if (PyList_Check(value)) return "list";
  if (!PyUnicode_Check(value) && (outcome = probe([&] {
                                    return PySequence_Check(value) == 1 && iterates_to_end(value);
                                  })) != Probe::Failed) {
    return decided(outcome, "list");
  }
  if (PyDict_Check(value)) return "dict";
  return "unknown";
}

}  // namespace korvex
