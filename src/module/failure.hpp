// Containment of internal failures.
//
// An internal failure is a broken invariant: something no input, valid or
// not, should produce.  It is thrown as InternalFailure (after a report on
// standard error), caught at the boundary of every call and of the import,
// and reaches Python as pyo3_runtime.PanicException, which derives from
// BaseException so that ordinary `except Exception` handlers let it pass.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>

#include "base/memory.hpp"
#include "base/py_ref.hpp"

namespace korvex {

class InternalFailure final : public std::exception {
 public:
  explicit InternalFailure(String message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const String& message() const noexcept { return message_; }

 private:
  String message_;
};

// Writes the failure report and throws InternalFailure.
[[noreturn]] void fail_internally(const String& message, const char* file, int line);

#define KORVEX_INTERNAL_FAILURE(message) ::korvex::fail_internally((message), __FILE__, __LINE__)

// An invariant checked in debug builds (NDEBUG undefined); a broken one is
// an internal failure.  Release builds compile it away.
#ifdef NDEBUG
#define KORVEX_ASSERT(condition) ((void)0)
#else
#define KORVEX_ASSERT(condition) \
  ((condition) ? (void)0 : KORVEX_INTERNAL_FAILURE("assertion failed: " #condition))
#endif

// The PanicException type, created on first use; null with an error set if
// it could not be created.
[[nodiscard]] PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the current exception.  Never throws.
void set_panic_exception(const String& message) noexcept;

// Runs `body`, turning any C++ exception that escapes it into a
// PanicException.  `failed` is the value returned in that case.
template <class R, class Fn>
R run_contained(R failed, Fn&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& failure) {
    set_panic_exception(failure.message());
  } catch (const std::bad_alloc&) {
    abort_on_allocation_failure(0);
  } catch (const std::exception& foreign) {
    const String message = foreign.what();
    try {
      fail_internally(message, __FILE__, __LINE__);
    } catch (const InternalFailure&) {  // NOLINT(bugprone-empty-catch): already reported
    }
    set_panic_exception(message);
  } catch (...) {
    const String message = "internal failure of unknown kind";
    try {
      fail_internally(message, __FILE__, __LINE__);
    } catch (const InternalFailure&) {  // NOLINT(bugprone-empty-catch): already reported
    }
    set_panic_exception(message);
  }
  return failed;
}

}  // namespace korvex
