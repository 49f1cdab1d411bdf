// The keys of a time or duration value's dict, "sec" and "nanosec", where
// the encoder and the decoder convert time values.  Failing to make one is
// an internal failure.
#pragma once

#include <Python.h>

#include "base/compiler.hpp"
#include "base/memory.hpp"
#include "base/permanent_texts.hpp"
#include "module/failure.hpp"

namespace korvex {

[[nodiscard]] KORVEX_COLD inline PyObject* make_time_key(PyObject* PermanentTexts::* slot,
                                                         const char* text) {
  PyObject* key = permanent(slot, text);
  if (key == nullptr) KORVEX_INTERNAL_FAILURE(String("could not create key ") + text);
  return key;
}

[[nodiscard]] inline PyObject* sec_key() {
  PyObject* key = g_permanent_texts.sec;
  return key != nullptr ? key : make_time_key(&PermanentTexts::sec, "sec");
}

[[nodiscard]] inline PyObject* nanosec_key() {
  PyObject* key = g_permanent_texts.nanosec;
  return key != nullptr ? key : make_time_key(&PermanentTexts::nanosec, "nanosec");
}

}  // namespace korvex
