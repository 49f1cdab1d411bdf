// Text between the module and Python: UTF-8 in, str objects out.
#pragma once

#include <Python.h>

#include <string_view>

#include "base/memory.hpp"
#include "base/py_ref.hpp"

namespace korvex {

// The text of a str object (or str subclass, whose methods are not called)
// as UTF-8.  Lone surrogates, which have no UTF-8 form, become U+FFFD.
String lossy_utf8(PyObject* str);

// A new str from UTF-8 text; null with an error set on failure.
PyRef make_text(std::string_view text);

// A str made once per process and kept: `slot` holds it after the first
// call.  Null with an error set if it could not be made.
[[nodiscard]] PyObject* permanent_text(PyObject*& slot, const char* text);

}  // namespace korvex
