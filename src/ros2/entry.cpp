// The ROS 2 codec's native module, korvex_messages.ros2._native: multi-phase initialisation with
// one exec slot that adds its functions.
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

korvex::ModuleDefinition g_module{"korvex_messages.ros2._native", &exec_module};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return g_module.init(); }
