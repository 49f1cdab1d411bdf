#include "module/python_errors.hpp"

#include <cstdio>

#include "base/permanent_texts.hpp"
#include "base/text.hpp"
#include "module/failure.hpp"

namespace korvex {

bool must_propagate(const FetchedError& error) noexcept {
  return !error.empty() && !PyErr_GivenExceptionMatches(error.type(), PyExc_Exception);
}

void resume_if_panic(FetchedError& error) {
  if (error.empty()) return;
  PyObject* panic_type = panic_exception_type();
  if (panic_type == nullptr) {
    PyErr_Clear();
    return;
  }
  if (error.type() != panic_type) return;
  error.normalize();
  String message = "Unwrapped panic from Python code";
  if (error.value() != nullptr) {
    if (auto text = object_str(error.value())) message = *text;
    PyErr_Clear();  // whatever str() left: this becomes an internal failure
  }
  std::fputs("--- A PanicException raised in Python code reached native code again. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  error.restore();
  PyErr_PrintEx(0);
  throw InternalFailure(message);
}

bool discard_python_error() {
  FetchedError error = FetchedError::fetch();
  resume_if_panic(error);
  if (!must_propagate(error)) return true;
  error.restore();
  return false;
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
  PyObject* attribute = permanent(&PermanentTexts::qualname, "__qualname__");
  if (attribute == nullptr) KORVEX_INTERNAL_FAILURE("could not make the name __qualname__");
  PyRef name = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), attribute));
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

}  // namespace korvex
