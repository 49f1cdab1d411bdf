// What the main module and its test-only twin share: the call wrapper, the
// six function records and the exec step that adds functions to a module.
#pragma once

#include <Python.h>

#include <cstddef>

#include "module/arguments.hpp"
#include "module/errors.hpp"
#include "module/failure.hpp"
#include "module/reentry.hpp"

namespace korvex {

// Turns a body's outcome into the Python result (or null with the
// exception set).
PyObject* finish_call(BodyResult&& outcome);

// The common entry path: arm containment, admit the call under the bound on
// re-entrant calls, match the arguments, then let
// `convert_and_run` convert the parameters (in order) and run the body.
template <class ConvertAndRun>
PyObject* call_function(const FunctionDescription& description, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, ConvertAndRun&& convert_and_run) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    const ActiveCall call;
    if (!call.admitted()) return nullptr;
    PyObject* slots[kMaxParameters] = {nullptr, nullptr};
    if (!extract_arguments_fastcall(description, args, PyVectorcall_NARGS(nargs), kwnames,
                                    slots)) {
      return nullptr;
    }
    return finish_call(convert_and_run(slots));
  });
}

// The six exported functions, in the order they are added to the module.
extern PyMethodDef kExportedFunctions[6];

// Adds `count` records to the module and their names to its __all__.
// Returns 0, or -1 with an exception set.
int add_functions(PyObject* module, PyMethodDef* functions, std::size_t count);

}  // namespace korvex
