#include "module/python_text.hpp"

#include <map>

#include "cdr/utf8.hpp"
#include "module/failure.hpp"

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
  return utf8_lossy(std::string_view(PyBytes_AS_STRING(encoded.get()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))));
}

std::optional<String> object_str(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) {
    (void)discard_python_error();  // an exception that must propagate stays pending
    return std::nullopt;
  }
  return lossy_utf8(text.get());
}

std::optional<String> type_qualname(PyTypeObject* type) {
  PyRef name = PyRef::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned_name("__qualname__")));
  if (!name) {
    (void)discard_python_error();  // an exception that must propagate stays pending
    return std::nullopt;
  }
  if (!PyUnicode_Check(name.get())) return std::nullopt;
  return lossy_utf8(name.get());
}

std::optional<String> render_exception(FetchedError& error) {
  resume_if_panic(error);
  if (must_propagate(error)) {
    error.restore();
    return std::nullopt;
  }
  error.normalize();
  PyObject* value = error.value();
  if (value == nullptr) return String("<exception str() failed>");
  // User code decides both texts: a metaclass can refuse to give the type's
  // name, and str() can raise.  Either gets a fallback text.
  std::optional<String> type_name = type_qualname(Py_TYPE(value));
  if (!type_name && PyErr_Occurred()) return std::nullopt;
  String text = type_name ? std::move(*type_name) : String(kUnknownTypeName);
  text += ": ";
  if (std::optional<String> message = object_str(value)) {
    text += *message;
  } else if (PyErr_Occurred()) {
    return std::nullopt;
  } else {
    text += "<exception str() failed>";
  }
  return text;
}

std::optional<String> render_pending_exception() {
  FetchedError error = FetchedError::fetch();
  return render_exception(error);
}

std::optional<String> not_an_instance_text(PyObject* object, std::string_view target) {
  String text;
  if (object == Py_None) {
    text.append("'None' is not an instance of '");
  } else {
    const std::optional<String> type_name = type_qualname(Py_TYPE(object));
    if (!type_name && PyErr_Occurred()) return std::nullopt;
    text.append("'");
    text.append(type_name ? std::string_view(*type_name) : kUnknownTypeName);
    text.append("' object is not an instance of '");
  }
  text.append(target);
  text.append("'");
  return text;
}

PyRef make_text(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* interned_name(const char* name) {
  // A handful of fixed names, made once per process under the GIL and kept.
  using Names = std::map<std::string_view, PyObject*, std::less<>,
                        Allocator<std::pair<const std::string_view, PyObject*>>>;
  static Names* const names = new (allocate_or_abort(sizeof(Names))) Names();
  auto found = names->find(name);
  if (found != names->end()) return found->second;
  PyObject* object = PyUnicode_InternFromString(name);
  if (object == nullptr) KORVEX_INTERNAL_FAILURE(String("could not intern ") + name);
  // Keeps the first one made if another thread got here meanwhile.
  auto [entry, inserted] = names->emplace(name, object);
  if (!inserted) Py_DECREF(object);
  return entry->second;
}

}  // namespace korvex
