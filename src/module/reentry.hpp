// The bound on re-entrant calls.
//
// User code that a call runs (an __index__ or __float__ method, a
// finalizer) can call the module again, and each such call stacks its C
// frames on those of the calls below it.  Counting the calls active on a
// thread bounds the stack they can use together, whatever user code does.
// The first call refused makes the whole chain unwind: until the outermost
// call returns, every call it leads to is refused too, so that error paths
// which run user code again (naming a value's kind probes it) do not start
// the chain anew at every level.
#pragma once

#include <Python.h>

namespace korvex {

// Calls of the module that may be active on one thread at once.
inline constexpr unsigned kMaxActiveCalls = 8;

inline constexpr char kTooManyActiveCalls[] =
    "Re-entrant calls nested too deeply: at most 8 calls of this module may be active on one "
    "thread";

inline thread_local unsigned t_active_calls = 0;
inline thread_local bool t_refusing_calls = false;

class ActiveCall {
 public:
  ActiveCall() noexcept {
    if (t_active_calls == 0) {
      t_refusing_calls = false;
    } else if (t_refusing_calls || t_active_calls >= kMaxActiveCalls) {
      t_refusing_calls = true;
      return;
    }
    ++t_active_calls;
    admitted_ = true;
  }
  ActiveCall(const ActiveCall&) = delete;
  ActiveCall& operator=(const ActiveCall&) = delete;
  ~ActiveCall() {
    if (admitted_) --t_active_calls;
  }

  // False for a refused call, after raising RecursionError.
  bool admitted() const noexcept {
    if (!admitted_) PyErr_SetString(PyExc_RecursionError, kTooManyActiveCalls);
    return admitted_;
  }

 private:
  bool admitted_ = false;
};

}  // namespace korvex
