// The extension module's entry point: multi-phase initialisation with one
// exec slot that adds the six functions.
#include <Python.h>

#include "module/functions.hpp"
#include "module/module_setup.hpp"

namespace {

int exec_module(PyObject* module) {
  return korvex::add_functions(module, korvex::kExportedFunctions, korvex::kExportedFunctionCount);
}

korvex::ModuleDefinition g_module{"_korvex_messages", &exec_module};

}  // namespace

PyMODINIT_FUNC PyInit__korvex_messages(void) { return g_module.init(); }
