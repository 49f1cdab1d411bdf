#include "module/module_setup.hpp"

#include <optional>

#include "base/permanent_texts.hpp"
#include "base/text.hpp"
#include "module/failure.hpp"
#include "module/python_errors.hpp"

namespace korvex {
namespace {

// Sets TypeError with the conversion text for a refused object.
int refuse(PyObject* object, const char* target) {
  const std::optional<String> refusal = not_an_instance_text(object, target);
  if (!refusal) return -1;  // reading the type's name raised; that passes on
  PyRef text = make_text(*refusal);
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return -1;
}

// A new reference to the module's __all__ list, created if absent.
PyRef all_list(PyObject* module) {
  PyObject* all_name = permanent(&PermanentTexts::all, "__all__");
  if (all_name == nullptr) return PyRef();
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return PyRef();
    return all;
  }
  if (!PyList_Check(all.get())) {
    refuse(all.get(), "list");
    return PyRef();
  }
  return all;
}

}  // namespace

int add_functions(PyObject* module, PyMethodDef* functions, std::size_t count) {
  return run_contained<int>(-1, [&]() -> int {
    if (!PyObject_TypeCheck(module, &PyModule_Type)) return refuse(module, "module");
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* record = functions; record != functions + count; ++record) {
      PyRef function = PyRef::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
      if (!function) return -1;
      PyObject* name_attribute = permanent(&PermanentTexts::name, "__name__");
      if (name_attribute == nullptr) return -1;
      PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attribute));
      if (!name) return -1;
      if (!PyUnicode_Check(name.get())) return refuse(name.get(), "str");
      // A private helper (its name starts with '_') stays out of __all__.
      if (PyUnicode_GetLength(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_') {
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
        continue;
      }
      PyRef all = all_list(module);
      if (!all) return -1;
      if (PyList_Append(all.get(), name.get()) < 0) {
        FetchedError cause = FetchedError::fetch();
        resume_if_panic(cause);
        cause.normalize();
        String detail;
        if (cause.value() != nullptr) {
          if (auto text = object_str(cause.value())) detail = *text;
          PyErr_Clear();  // this becomes an internal failure either way
        }
        KORVEX_INTERNAL_FAILURE("could not append __name__ to __all__: " + detail);
      }
      if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
    }
    return 0;
  });
}

}  // namespace korvex
