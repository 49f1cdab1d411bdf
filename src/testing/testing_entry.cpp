// A test-only twin of the module, built from the same sources with a tiny
// length limit and a few hooks that reach failure paths no input can reach.
// It is never installed by a plain `pip install .`.
#include <Python.h>

#include <stdexcept>

#include "base/memory.hpp"
#include "cdr/limits.hpp"
#include "module/call.hpp"
#include "module/decode_table.hpp"
#include "module/functions.hpp"
#include "module/module_setup.hpp"
#include "module/table.hpp"
#include "schema/registry.hpp"
#include "testing/floors.hpp"

namespace {

using korvex::BodyResult;
using korvex::FunctionDescription;
using korvex::PythonErrorSet;
using korvex::TextView;

constexpr const char* kMessageParameter[] = {"message"};
constexpr FunctionDescription kPanic{"panic", kMessageParameter, 1};
constexpr FunctionDescription kPanicForeign{"panic_foreign", nullptr, 0};
constexpr FunctionDescription kPoisonRegistry{"poison_registry", nullptr, 0};
constexpr FunctionDescription kLengthLimit{"length_limit", nullptr, 0};

PyObject* panic_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return korvex::call_function(kPanic, args, nargs, kwnames, [](PyObject** slots) -> BodyResult {
    TextView message;
    if (!korvex::convert_text(slots[0], "message", message)) return PythonErrorSet{};
    KORVEX_INTERNAL_FAILURE(korvex::String(message.view()));
  });
}

PyObject* panic_foreign_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return korvex::call_function(kPanicForeign, args, nargs, kwnames, [](PyObject**) -> BodyResult {
    throw std::runtime_error("foreign failure");
  });
}

PyObject* poison_registry_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return korvex::call_function(kPoisonRegistry, args, nargs, kwnames, [](PyObject**) -> BodyResult {
    korvex::fail_while_holding_registry_lock();
  });
}

PyObject* length_limit_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return korvex::call_function(kLengthLimit, args, nargs, kwnames, [](PyObject**) -> BodyResult {
    return korvex::PyRef::steal(PyLong_FromUnsignedLongLong(korvex::kLengthLimit));
  });
}

std::string_view same_name(std::string_view name, korvex::String&) { return name; }

// decode_table over this module's registry, with record batches of at most
// KORVEX_BATCH_INPUT_LIMIT bytes (lowered for this module).
PyObject* decode_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return korvex::decode_table_call(args, nargs, kwnames, "schema_name", &same_name);
}

PyMethodDef g_hooks[] = {
    {"panic", korvex::as_method(&panic_entry), korvex::kCallFlags, "panic(message)\n--\n\n"},
    {"panic_foreign", korvex::as_method(&panic_foreign_entry), korvex::kCallFlags,
     "panic_foreign()\n--\n\n"},
    {"poison_registry", korvex::as_method(&poison_registry_entry), korvex::kCallFlags,
     "poison_registry()\n--\n\n"},
    {"length_limit", korvex::as_method(&length_limit_entry), korvex::kCallFlags,
     "length_limit()\n--\n\n"},
    {"serialize_floor", korvex::as_method(&korvex::testing::serialize_floor_entry),
     korvex::kCallFlags, "serialize_floor(schema_name, values)\n--\n\n"},
    {"floor_template", korvex::as_method(&korvex::testing::floor_template_entry),
     korvex::kCallFlags, "floor_template(schema_name, message)\n--\n\n"},
    {"deserialize_floor", korvex::as_method(&korvex::testing::deserialize_floor_entry),
     korvex::kCallFlags, "deserialize_floor(schema_name, template)\n--\n\n"},
    {"decode_table", korvex::as_method(&decode_table_entry), korvex::kCallFlags,
     "decode_table(schema_name, messages, *, offsets=None, flatten=False)\n--\n\n"},
};

int exec_module(PyObject* module) {
  if (korvex::add_functions(module, korvex::kExportedFunctions, korvex::kExportedFunctionCount) < 0)
    return -1;
  if (korvex::add_functions(module, g_hooks, sizeof g_hooks / sizeof g_hooks[0]) < 0) return -1;
  return korvex::add_table_type(module);
}

korvex::ModuleDefinition g_module{"_korvex_messages_testing", &exec_module};

}  // namespace

PyMODINIT_FUNC PyInit__korvex_messages_testing(void) { return g_module.init(); }
