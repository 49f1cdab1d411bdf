#include "module/functions.hpp"

#include <string_view>

#include "cdr/decoder.hpp"
#include "cdr/encoder.hpp"
#include "module/call.hpp"
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
    return register_schema_body(name.view(), slots[1]);
  });
}

template <const FunctionDescription& Description, BodyResult (*Body)(std::string_view)>
PyObject* name_only_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(Description, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView name;
    if (!convert_text(slots[0], "name", name)) return PythonErrorSet{};
    return Body(name.view());
  });
}

PyObject* serialize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kSerialize, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    if (!convert_dict(slots[1], "values")) return PythonErrorSet{};
    return serialize_body(schema_name.view(), slots[1]);
  });
}

PyObject* deserialize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kDeserialize, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView schema_name;
    if (!convert_text(slots[0], "schema_name", schema_name)) return PythonErrorSet{};
    ByteSpan data;
    if (!convert_bytes(slots[1], "data", data)) return PythonErrorSet{};
    return deserialize_body(schema_name.view(), data);
  });
}

}  // namespace

PyMethodDef kExportedFunctions[kExportedFunctionCount] = {
    {"register_schema", as_method(&register_schema_entry), kCallFlags,
     "register_schema(name, fields)\n--\n\n"},
    {"get_schema", as_method(&name_only_entry<kGetSchema, &get_schema_body>), kCallFlags,
     "get_schema(name)\n--\n\n"},
    {"schema_exists", as_method(&name_only_entry<kSchemaExists, &schema_exists_body>), kCallFlags,
     "schema_exists(name)\n--\n\n"},
    {"unregister_schema", as_method(&name_only_entry<kUnregisterSchema, &unregister_schema_body>),
     kCallFlags, "unregister_schema(name)\n--\n\n"},
    {"serialize", as_method(&serialize_entry), kCallFlags,
     "serialize(schema_name, values)\n--\n\n"},
    {"deserialize", as_method(&deserialize_entry), kCallFlags,
     "deserialize(schema_name, data)\n--\n\n"},
};

}  // namespace korvex
