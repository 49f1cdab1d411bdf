// The extension module's entry point: multi-phase initialisation with one
// exec slot that adds the six functions.
#include <Python.h>

#include "module/functions.hpp"
#include "module/module_setup.hpp"

namespace {

int exec_module(PyObject* module) {
  return korvex::add_functions(module, korvex::kExportedFunctions, korvex::kExportedFunctionCount);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_korvex_messages", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__korvex_messages(void) { return PyModuleDef_Init(&g_definition); }
