// The wrapper that every exported function, and every function of the
// test-only module, runs around its body.
#pragma once

#include <Python.h>

#include "module/arguments.hpp"
#include "module/errors.hpp"
#include "module/failure.hpp"
#include "module/reentry.hpp"

namespace korvex {

// Turns a body's outcome into the Python result (or null with the
// exception set).
[[nodiscard]] PyObject* finish_call(BodyResult&& outcome);

// The common entry path: arm containment, admit the call under the bound on
// re-entrant calls, match the arguments, then let
// `convert_and_run` convert the parameters (in order) and run the body.
template <class ConvertAndRun>
[[nodiscard]] PyObject* call_function(const FunctionDescription& description, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames,
                                      ConvertAndRun&& convert_and_run) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    const ActiveCall call;
    if (!call.admitted()) return ActiveCall::refuse();
    PyObject* slots[kMaxParameters] = {nullptr, nullptr};
    if (!extract_arguments_fastcall(description, args, PyVectorcall_NARGS(nargs), kwnames, slots)) {
      return nullptr;
    }
    return finish_call(convert_and_run(slots));
  });
}

// An entry point of the vectorcall convention as a PyMethodDef's function.
template <class Entry>
PyCFunction as_method(Entry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry));
}

// METH_STATIC is ignored for module functions; the records carry it as the
// flag word of the exported functions.
inline constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

}  // namespace korvex
