// Turning Python objects and exceptions into the texts used in messages.
// These run only on error paths.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "base/memory.hpp"
#include "module/py_ref.hpp"

namespace korvex {

// The text of a str object as UTF-8.  Lone surrogates, which have no UTF-8
// form, become U+FFFD replacement characters.
String lossy_utf8(PyObject* str);

// str() of an object; nullopt (with the error taken and dropped) if it fails.
std::optional<String> object_str(PyObject* object);

// The __qualname__ of a type; nullopt (error dropped) if it cannot be read.
std::optional<String> type_qualname(PyTypeObject* type);

// "QualifiedTypeName: message" for a fetched exception, with
// "<exception str() failed>" when str() of the exception raises.
String render_exception(FetchedError& error);

// Takes the pending Python exception and renders it as above.
String render_pending_exception();

// The text of a refused conversion: "'T' object is not an instance of
// 'target'", or "'None' is not an instance of 'target'".
String not_an_instance_text(PyObject* object, std::string_view target);

// A new str from UTF-8 text; null with an error set on failure.
PyRef make_text(std::string_view text);

// The interned attribute names used while setting up and reporting.
PyObject* interned_name(const char* name);

}  // namespace korvex
