// The ROS 2 codec's native module: multi-phase initialisation with one exec
// slot that adds its functions.
#include <Python.h>

#include "module/module_setup.hpp"
#include "module/table.hpp"
#include "ros2/functions.hpp"

namespace {

int exec_module(PyObject* module) {
  if (korvex::add_functions(module, korvex::kRos2Functions, korvex::kRos2FunctionCount) < 0) {
    return -1;
  }
  return korvex::add_table_type(module);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_korvex_messages_ros2",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__korvex_messages_ros2(void) { return PyModuleDef_Init(&g_definition); }
