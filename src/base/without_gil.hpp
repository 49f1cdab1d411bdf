// Releases the GIL for its scope (and takes it back on every way out of
// it, an exception included).
#pragma once

#include <Python.h>

namespace korvex {

class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace korvex
