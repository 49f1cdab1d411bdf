#include "module/failure.hpp"

#include <cstdio>
#include <cstdlib>

#if defined(__linux__)
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <pthread.h>
#endif

namespace korvex {
namespace {

thread_local bool g_containing = false;

// The name the report gives the failing thread: "main", the name the
// platform knows the thread by, or "<unnamed>".
String current_thread_name() {
#if defined(__linux__)
  if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) return "main";
  char name[64] = {0};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
#elif defined(__APPLE__)
  if (pthread_main_np() != 0) return "main";
  char name[64] = {0};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
#endif
  return "<unnamed>";
}

const char kPanicDoc[] =
    "\nThe exception raised when native code called from Python meets an internal failure.\n"
    "\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

}  // namespace

void fail_internally(const String& message, const char* file, int line) {
  std::fprintf(stderr, "\nthread '%s' panicked at %s:%d:\n%s\n", current_thread_name().c_str(),
               file, line, message.c_str());
  std::fflush(stderr);
  if (g_containing) {
    std::fputs("internal failure while containing another one; aborting\n", stderr);
    std::abort();
  }
  throw InternalFailure(message);
}

PyObject* panic_exception_type() noexcept {
  // Created under the GIL.  Creating a type can run a garbage collection,
  // whose finalizers may let another thread in and create one too; the
  // first one stored wins, so there is only ever one PanicException.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created != nullptr) {
      // Immutable, like the built-in exception types: code that replaced
      // its __init__ or __new__ would otherwise run inside containment.
      reinterpret_cast<PyTypeObject*>(created)->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
      PyType_Modified(reinterpret_cast<PyTypeObject*>(created));
    }
    if (type == nullptr) {
      type = created;
    } else {
      Py_XDECREF(created);
    }
  }
  return type;
}

void set_panic_exception(const String& message) noexcept {
  // Containment runs no user code: the type is immutable, so neither its
  // __new__ nor its __init__ can have been replaced, and the collector is
  // held off while the exception is built, so that no finalizer runs and
  // calls back into the module while g_containing is set.
  g_containing = true;
  const int collector_was_enabled = PyGC_Disable();
  PyObject* type = panic_exception_type();  // borrowed, lives for the process
  if (type != nullptr) {
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
      PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
      if (args) PyErr_SetObject(type, args.get());
    }
  }
  if (collector_was_enabled) PyGC_Enable();
  g_containing = false;
}

}  // namespace korvex
