// Python exceptions that a call meets: which pass through, which are
// dropped, and how the rest become the texts of messages.  These run only
// on error paths.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "base/memory.hpp"
#include "base/py_ref.hpp"

namespace korvex {

// Called on every Python exception that the system takes out of the
// interpreter.  A PanicException raised by user code must not be swallowed
// or rewrapped: it is reported and becomes a fresh internal failure with the
// same message.
void resume_if_panic(FetchedError& error);

// Whether a fetched exception must reach the caller unchanged instead of
// being dropped or folded into a message: every exception that does not
// derive from Exception (KeyboardInterrupt, SystemExit, GeneratorExit).
bool must_propagate(const FetchedError& error) noexcept;

// Takes the pending Python exception out of the interpreter and drops it,
// after the PanicException check, unless it must propagate: then it is put
// back and the result is false.  Callers that see false stop and pass the
// pending exception on.
[[nodiscard]] bool discard_python_error();

// The texts below come from user code, which can fail to give them.  When
// it fails with an ordinary exception, the exception is dropped; when it
// fails with one that must propagate (KeyboardInterrupt, SystemExit, ...),
// the result is nullopt with that exception pending, and the caller passes
// it on unchanged.  Callers tell the two apart with PyErr_Occurred().

// The stand-in for a type name that cannot be read.
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";

// str() of an object; nullopt if it fails.
[[nodiscard]] std::optional<String> object_str(PyObject* object);

// The __qualname__ of a type; nullopt if it cannot be read or is not a str.
[[nodiscard]] std::optional<String> type_qualname(PyTypeObject* type);

// "QualifiedTypeName: message" for a fetched exception, with the stand-in
// type name when the name cannot be read and "<exception str() failed>"
// when str() of the exception fails.  Nullopt, with the exception pending,
// for an exception that must propagate (the fetched one or one raised while
// rendering it).
[[nodiscard]] std::optional<String> render_exception(FetchedError& error);

// Takes the pending Python exception and renders it as above.
[[nodiscard]] std::optional<String> render_pending_exception();

// The text of a refused conversion: "'T' object is not an instance of
// 'target'", or "'None' is not an instance of 'target'"; nullopt when
// reading the type's name raised an exception that must propagate.
[[nodiscard]] std::optional<String> not_an_instance_text(PyObject* object, std::string_view target);

}  // namespace korvex
