#include "module/module_setup.hpp"

#include "cdr/decoder.hpp"
#include "cdr/encoder.hpp"
#include "module/python_text.hpp"
#include "schema/registry_functions.hpp"

namespace korvex {
namespace {

constexpr const char* kNameOnly[] = {"name"};
constexpr const char* kNameAndFields[] = {"name", "fields"};
constexpr const char* kSchemaAndValues[] = {"schema_name", "values"};
constexpr const char* kSchemaAndData[] = {"schema_name", "data"};

constexpr FunctionDescription kRegisterSchema{"register_schema", kNameAndFields, 2};
constexpr FunctionDescription kGetSchema{"get_schema", kNameOnly, 1};
constexpr FunctionDescription kSchemaExists{"schema_exists", kNameOnly, 1};
constexpr FunctionDescription kUnregisterSchema{"unregister_schema", kNameOnly, 1};
constexpr FunctionDescription kSerialize{"serialize", kSchemaAndValues, 2};
constexpr FunctionDescription kDeserialize{"deserialize", kSchemaAndData, 2};

PyObject* register_schema_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_function(kRegisterSchema, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView name;
    if (!convert_text(slots[0], "name", name)) return PythonErrorSet{};
    if (!convert_list(slots[1], "fields")) return PythonErrorSet{};
    return register_schema_body(name, slots[1]);
  });
}

template <const FunctionDescription& Description, BodyResult (*Body)(TextView)>
PyObject* name_only_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(Description, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView name;
    if (!convert_text(slots[0], "name", name)) return PythonErrorSet{};
    return Body(name);
  });
}

PyObject* serialize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kSerialize, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    if (!convert_dict(slots[1], "values")) return PythonErrorSet{};
    return serialize_body(schema_name, slots[1]);
  });
}

PyObject* deserialize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return call_function(kDeserialize, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    ByteView data;
    if (!convert_bytes(slots[1], "data", data)) return PythonErrorSet{};
    return deserialize_body(schema_name, data);
  });
}

template <class Entry>
PyCFunction as_method(Entry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry));
}

constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

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
  PyObject* all_name = interned_name("__all__");
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

PyMethodDef kExportedFunctions[6] = {
    {"register_schema", as_method(&register_schema_entry), kCallFlags,
     "register_schema(name, fields)\n--\n\n"},
    {"get_schema", as_method(&name_only_entry<kGetSchema, &get_schema_body>), kCallFlags,
     "get_schema(name)\n--\n\n"},
    {"schema_exists", as_method(&name_only_entry<kSchemaExists, &schema_exists_body>),
     kCallFlags, "schema_exists(name)\n--\n\n"},
    {"unregister_schema",
     as_method(&name_only_entry<kUnregisterSchema, &unregister_schema_body>), kCallFlags,
     "unregister_schema(name)\n--\n\n"},
    {"serialize", as_method(&serialize_entry), kCallFlags,
     "serialize(schema_name, values)\n--\n\n"},
    {"deserialize", as_method(&deserialize_entry), kCallFlags,
     "deserialize(schema_name, data)\n--\n\n"},
};

PyObject* finish_call(BodyResult&& outcome) {
  if (outcome.ok()) return outcome.value().release();
  if (outcome.is_message_error()) {
    std::move(outcome.error()).raise();
    return nullptr;
  }
  // An interpreter error passes through unchanged, unless it is a
  // PanicException coming back from Python code.
  FetchedError error = FetchedError::fetch();
  resume_if_panic(error);
  error.restore();
  return nullptr;
}

int add_functions(PyObject* module, PyMethodDef* functions, std::size_t count) {
  return run_contained<int>(-1, [&]() -> int {
    if (!PyObject_TypeCheck(module, &PyModule_Type)) return refuse(module, "module");
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* record = functions; record != functions + count; ++record) {
      PyRef function = PyRef::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
      if (!function) return -1;
      PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), interned_name("__name__")));
      if (!name) return -1;
      if (!PyUnicode_Check(name.get())) return refuse(name.get(), "str");
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
