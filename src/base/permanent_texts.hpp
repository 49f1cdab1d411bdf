// The str objects the module keeps for the life of the process, in one
// place: each is made (interned) on first use, under the GIL, and never
// released.  A new one gets a slot here.
#pragma once

#include <Python.h>

#include "base/text.hpp"

namespace korvex {

struct PermanentTexts {
  PyObject* sec = nullptr;  // keys of time and duration values
  PyObject* nanosec = nullptr;
  PyObject* qualname = nullptr;  // attribute names the module looks up
  PyObject* all = nullptr;
  PyObject* name = nullptr;
};

inline PermanentTexts g_permanent_texts;

// The text in `slot` of g_permanent_texts; null with an error set if it
// could not be made.
[[nodiscard]] inline PyObject* permanent(PyObject* PermanentTexts::* slot, const char* text) {
  return permanent_text(g_permanent_texts.*slot, text);
}

}  // namespace korvex
