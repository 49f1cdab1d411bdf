#include "module/arguments.hpp"

#include <cstring>
#include <optional>

#include "base/memory.hpp"
#include "base/text.hpp"
#include "module/python_errors.hpp"

namespace korvex {
namespace {

String full_name(const FunctionDescription& description) {
  return String(description.function_name) + "()";
}

[[nodiscard]] bool raise_type_error(const String& text) {
  PyRef message = make_text(text);
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
String quoted_list(const char* const* names, Py_ssize_t count) {
  String text;
  for (Py_ssize_t index = 0; index < count; ++index) {
    if (index > 0) {
      if (count == 2) {
        text += " and ";
      } else {
        text += index + 1 == count ? ", and " : ", ";
      }
    }
    text += '\'';
    text += names[index];
    text += '\'';
  }
  return text;
}

[[nodiscard]] bool refuse_argument(PyObject* object, const char* parameter,
                                   std::string_view target) {
  std::optional<String> refusal = not_an_instance_text(object, target);
  if (!refusal) return false;  // reading the type's name raised; that passes on
  return raise_type_error(String("argument '") + parameter + "': " + *refusal);
}

}  // namespace

bool extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t positional_count, PyObject* keyword_names,
                                PyObject** slots) {
  const Py_ssize_t parameters = description.parameter_count;
  if (positional_count > parameters) {
    return raise_type_error(full_name(description) + " takes " + decimal(parameters) +
                            " positional arguments but " + decimal(positional_count) +
                            (positional_count == 1 ? " was" : " were") + " given");
  }
  for (Py_ssize_t index = 0; index < parameters; ++index) {
    slots[index] = index < positional_count ? args[index] : nullptr;
  }
  if (keyword_names != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);  // borrowed
      PyObject* value = args[positional_count + k];            // borrowed
      Py_ssize_t size = 0;
      const char* utf8 =
          PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
      if (utf8 == nullptr) PyErr_Clear();
      Py_ssize_t match = -1;
      for (Py_ssize_t index = 0; utf8 != nullptr && index < parameters; ++index) {
        const char* name = description.parameter_names[index];
        if (std::strlen(name) == static_cast<std::size_t>(size) &&
            std::memcmp(name, utf8, static_cast<std::size_t>(size)) == 0) {
          match = index;
          break;
        }
      }
      if (match < 0) {
        String shown;
        if (PyUnicode_Check(keyword)) {
          shown = lossy_utf8(keyword);
        } else if (auto text = object_str(keyword)) {
          shown = *text;
        } else if (PyErr_Occurred()) {
          return false;
        }
        return raise_type_error(full_name(description) + " got an unexpected keyword argument '" +
                                shown + "'");
      }
      if (slots[match] != nullptr) {
        return raise_type_error(full_name(description) + " got multiple values for argument '" +
                                description.parameter_names[match] + "'");
      }
      slots[match] = value;
    }
  }
  const char* missing[kMaxParameters];
  Py_ssize_t missing_count = 0;
  for (Py_ssize_t index = 0; index < parameters; ++index) {
    if (slots[index] == nullptr) missing[missing_count++] = description.parameter_names[index];
  }
  if (missing_count > 0) {
    return raise_type_error(full_name(description) + " missing " + decimal(missing_count) +
                            " required positional " +
                            (missing_count == 1 ? "argument" : "arguments") + ": " +
                            quoted_list(missing, missing_count));
  }
  return true;
}

bool match_keyword_arguments(const KeywordFunction& function, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* keyword_names, PyObject** slots) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  if (positional > static_cast<Py_ssize_t>(function.positional_count)) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                 function.function_name, function.positional_count, positional);
    return false;
  }
  for (Py_ssize_t index = 0; index < positional; ++index) slots[index] = args[index];
  const Py_ssize_t keywords = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
  for (Py_ssize_t index = 0; index < keywords; ++index) {
    PyObject* keyword = PyTuple_GET_ITEM(keyword_names, index);  // borrowed
    std::size_t slot = 0;
    while (slot < function.parameter_count &&
           PyUnicode_CompareWithASCIIString(keyword, function.parameter_names[slot]) != 0) {
      ++slot;
    }
    if (slot == function.parameter_count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   function.function_name, keyword);
      return false;
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   function.function_name, function.parameter_names[slot]);
      return false;
    }
    slots[slot] = args[positional + index];
  }
  for (std::size_t slot = 0; slot < function.positional_count; ++slot) {
    if (slots[slot] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function.function_name,
                   function.parameter_names[slot]);
      return false;
    }
  }
  return true;
}

bool convert_text(PyObject* object, const char* parameter, TextView& out) {
  if (!PyUnicode_Check(object)) return refuse_argument(object, parameter, "str");
  out.data = PyUnicode_AsUTF8AndSize(object, &out.size);
  return out.data != nullptr;
}

bool convert_dict(PyObject* object, const char* parameter) {
  return PyDict_Check(object) || refuse_argument(object, parameter, "dict");
}

bool convert_bytes(PyObject* object, const char* parameter, ByteSpan& out) {
  if (!PyBytes_Check(object)) return refuse_argument(object, parameter, "bytes");
  out = ByteSpan(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object)),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

bool convert_list(PyObject* object, const char* parameter) {
  return PyList_Check(object) || refuse_argument(object, parameter, "list");
}

}  // namespace korvex
