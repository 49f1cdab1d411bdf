// What every native module's entry point shares: its definition (multi-phase
// initialisation with one exec slot), and the exec step's adding function
// records to the module object and their names to its __all__.
#pragma once

#include <Python.h>

#include <cstddef>

namespace korvex {

// A module's definition, kept for the life of the process as the
// interpreter requires: `name`, an empty docstring, no per-module state, and
// `exec` as the one exec slot.  An entry point returns `init()`.
class ModuleDefinition {
 public:
  ModuleDefinition(const char* name, int (*exec)(PyObject* module)) noexcept
      : slots_{{Py_mod_exec, reinterpret_cast<void*>(exec)}, {0, nullptr}},
        definition_{
            PyModuleDef_HEAD_INIT, name, "", 0, nullptr, slots_, nullptr, nullptr, nullptr} {}
  ModuleDefinition(const ModuleDefinition&) = delete;
  ModuleDefinition& operator=(const ModuleDefinition&) = delete;

  [[nodiscard]] PyObject* init() noexcept { return PyModuleDef_Init(&definition_); }

 private:
  PyModuleDef_Slot slots_[2];
  PyModuleDef definition_;
};

// Adds `count` records to the module and their names to its __all__.
// Returns 0, or -1 with an exception set.
[[nodiscard]] int add_functions(PyObject* module, PyMethodDef* functions, std::size_t count);

}  // namespace korvex
