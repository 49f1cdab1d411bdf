// `korvex_messages._columns`: decode_table for the core's layout, the
// private half of korvex_messages.decode_table.
//
// The core's own module keeps exactly its six functions, so the tables are
// decoded here, from the same sources compiled for the same layout, over a
// registry of this module's own: the Python side copies a schema and those
// it nests from `_korvex_messages` with `install` right before each call.
#include <Python.h>

#include <string_view>

#include "module/call.hpp"
#include "module/decode_table.hpp"
#include "module/encode_table.hpp"
#include "module/module_setup.hpp"
#include "module/table.hpp"
#include "schema/registry.hpp"
#include "schema/registry_functions.hpp"

namespace {

using namespace korvex;

constexpr const char* kNameAndFields[] = {"name", "fields"};
constexpr FunctionDescription kInstall{"install", kNameAndFields, 2};

// Registers `fields` under `name`, in place of whatever this module's
// registry held under it.
PyObject* install_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kInstall, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView name;
    if (!convert_text(slots[0], "name", name)) return PythonErrorSet{};
    if (!convert_list(slots[1], "fields")) return PythonErrorSet{};
    remove_schema(name.view());
    return register_schema_body(name.view(), slots[1]);
  });
}

constexpr const char* kTypeName[] = {"type_name"};
constexpr FunctionDescription kCanonicalTypeName{"_canonical_type_name", kTypeName, 1};

// The core's field type grammar, for korvex_messages.ensure_schemas.
PyObject* canonical_type_name_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return call_function(
      kCanonicalTypeName, args, nargs, kwnames,
      [](PyObject** slots) -> BodyResult { return canonical_type_name_body(slots[0]); });
}

std::string_view same_name(std::string_view name, String&) { return name; }

PyObject* decode_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return decode_table_call(args, nargs, kwnames, "schema_name", &same_name);
}

PyObject* encode_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return encode_table_call(args, nargs, kwnames, "schema_name", &same_name);
}

PyMethodDef g_functions[] = {
    {"install", as_method(&install_entry), kCallFlags, "install(name, fields)\n--\n\n"},
    {"decode_table", as_method(&decode_table_entry), kCallFlags,
     "decode_table(schema_name, messages, *, offsets=None, flatten=False)\n--\n\n"},
    {"encode_table", as_method(&encode_table_entry), kCallFlags,
     "encode_table(schema_name, table, *, as_buffer=False)\n--\n\n"},
    {"_canonical_type_name", as_method(&canonical_type_name_entry), kCallFlags,
     "_canonical_type_name(type_name)\n--\n\n"},
};

int exec_module(PyObject* module) {
  if (add_functions(module, g_functions, sizeof g_functions / sizeof g_functions[0]) < 0) {
    return -1;
  }
  return add_table_type(module);
}

ModuleDefinition g_module{"korvex_messages._columns", &exec_module};

}  // namespace

PyMODINIT_FUNC PyInit__columns(void) { return g_module.init(); }
