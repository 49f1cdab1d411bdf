#include "module/call.hpp"

#include "module/python_errors.hpp"

namespace korvex {

PyObject* finish_call(BodyResult&& outcome) {
  if (outcome.ok()) return outcome.value().release();
  if (outcome.is_message_error()) {
    std::move(outcome.error()).raise();
    return nullptr;
  }
  // An interpreter error passes through unchanged, unless it is a
  // PanicException coming back from Python code.
  FetchedError error = FetchedError::fetch();
  resume_if_panic(error);
  error.restore();
  return nullptr;
}

}  // namespace korvex
