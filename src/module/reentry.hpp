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

#include <array>
#include <cstddef>
#include <string_view>

namespace korvex {

// Calls of the module that may be active on one thread at once.
inline constexpr unsigned kMaxActiveCalls = 8;

// The refusal's text, with kMaxActiveCalls written in at compile time.
inline constexpr auto kTooManyActiveCalls = [] {
  constexpr std::string_view head = "Re-entrant calls nested too deeply: at most ";
  constexpr std::string_view tail = " calls of this module may be active on one thread";
  constexpr std::size_t digits = [] {
    std::size_t count = 1;
    for (unsigned rest = kMaxActiveCalls; rest >= 10; rest /= 10) ++count;
    return count;
  }();
  std::array<char, head.size() + digits + tail.size() + 1> text{};
  std::size_t at = 0;
  for (char c : head) text[at++] = c;
  unsigned rest = kMaxActiveCalls;
  for (std::size_t digit = digits; digit > 0; --digit, rest /= 10) {
    text[at + digit - 1] = static_cast<char>('0' + rest % 10);
  }
  at += digits;
  for (char c : tail) text[at++] = c;
  return text;  // the last character stays the terminating NUL
}();

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

  // False for a refused call; refuse() then raises its error.
  bool admitted() const noexcept { return admitted_; }
  // Sets the RecursionError of a refused call; returns null.
  [[nodiscard]] static PyObject* refuse() noexcept {
    PyErr_SetString(PyExc_RecursionError, kTooManyActiveCalls.data());
    return nullptr;
  }

 private:
  bool admitted_ = false;
};

}  // namespace korvex
