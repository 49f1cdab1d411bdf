// The nesting bound, counted per thread.
//
// A conversion (__index__, __float__) or a finalizer run by the garbage
// collector can call back into the module while a message is half written
// or read, and the inner call's C frames stack on the outer ones.  Counting
// the levels of every active call on the thread keeps the total stack the
// codec uses bounded, re-entrant calls included; a single call still gets
// all kMaxNesting levels.
#pragma once

#include "base/compiler.hpp"
#include "base/memory.hpp"
#include "cdr/field_path.hpp"
#include "cdr/limits.hpp"

namespace korvex {

inline thread_local unsigned t_nesting_levels = 0;

// Enters one struct or array level if the bound allows it.  `levels` is the
// thread's count (t_nesting_levels), which a call looks up once.
class NestingLevel {
 public:
  explicit NestingLevel(unsigned& levels) noexcept
      : levels_(levels), entered_(levels < kMaxNesting) {
    if (entered_) ++levels_;
  }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;
  ~NestingLevel() {
    if (entered_) --levels_;
  }
  bool entered() const noexcept { return entered_; }

 private:
  unsigned& levels_;
  bool entered_;
};

// The text of the error both directions report at a level past the bound.
KORVEX_COLD inline String nesting_too_deep_text(const PathNode& path) {
  return "Nesting too deep at '" + render_path(&path) + "': at most " + decimal(kMaxNesting) +
         " levels of nested structs and arrays are supported";
}

}  // namespace korvex
