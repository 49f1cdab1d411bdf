// Matching a vectorcall's arguments to a function's parameters, and the
// conversions that turn each argument into what a body takes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace korvex {

// Drives argument matching for one exported function.  All parameters are
// positional-or-keyword and required; none has a default.
struct FunctionDescription {
  const char* function_name;
  const char* const* parameter_names;
  Py_ssize_t parameter_count;
};

constexpr Py_ssize_t kMaxParameters = 2;

// Fills `slots` (parameter_count entries) with borrowed references, or
// raises TypeError and returns false.
[[nodiscard]] bool extract_arguments_fastcall(const FunctionDescription& description,
                                              PyObject* const* args, Py_ssize_t positional_count,
                                              PyObject* keyword_names, PyObject** slots);

// A function whose first `positional_count` parameters are required and
// may be given by position or keyword, and whose others are keyword-only
// and optional.
struct KeywordFunction {
  const char* function_name;
  const char* const* parameter_names;
  std::size_t parameter_count;
  std::size_t positional_count;
};

// Fills `slots` (parameter_count entries, null on entry) with borrowed
// references, leaving null the optional parameters not given, or raises
// TypeError and returns false.
[[nodiscard]] bool match_keyword_arguments(const KeywordFunction& function, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* keyword_names,
                                           PyObject** slots);

// A read-only UTF-8 view owned by a str object.
struct TextView {
  const char* data = nullptr;
  Py_ssize_t size = 0;
  std::string_view view() const noexcept {
    return std::string_view(data, static_cast<std::size_t>(size));
  }
};

// A read-only view of a bytes object's own storage.
using ByteSpan = std::span<const unsigned char>;

// Each conversion returns false with the Python exception set: a TypeError
// "argument '<parameter>': ..." for a refused type, or the interpreter's own
// error (a str without a UTF-8 form raises UnicodeEncodeError unchanged).
[[nodiscard]] bool convert_text(PyObject* object, const char* parameter, TextView& out);
[[nodiscard]] bool convert_dict(PyObject* object, const char* parameter);
[[nodiscard]] bool convert_bytes(PyObject* object, const char* parameter, ByteSpan& out);
[[nodiscard]] bool convert_list(PyObject* object, const char* parameter);

}  // namespace korvex
