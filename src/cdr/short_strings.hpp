// Short ASCII strings decoded within one message, kept for reuse.
//
// Messages repeat short texts: the frame id of every header, the keys and
// the "OK" of every diagnostic status.  A str is immutable, so handing out
// one object for equal texts is indistinguishable from building a new one,
// except by identity, and it saves an allocation and a deallocation each
// time.  The table belongs to one call: nothing is kept after it, and
// objects never cross from one interpreter to another.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/text_hash.hpp"

namespace korvex {

class ShortStrings {
 public:
  // Texts up to this length are looked up.
  static constexpr std::size_t kMaxLength = 16;

  ShortStrings() = default;
  ShortStrings(const ShortStrings&) = delete;
  ShortStrings& operator=(const ShortStrings&) = delete;
  ~ShortStrings() {
    // Only the slots that were filled, so that a message without short
    // strings pays nothing for the table.
    for (std::uint64_t left = occupied_; left != 0; left &= left - 1) {
      Py_DECREF(slots_[std::countr_zero(left)]);
    }
  }

  // A new reference to a str of the ASCII `text` (size at most kMaxLength),
  // made or reused; null with an exception set if making it failed.
  [[nodiscard]] PyObject* get(const char* text, std::size_t size) {
    const std::size_t index = slot_index(text, size);
    const std::uint64_t bit = std::uint64_t{1} << index;
    PyObject*& slot = slots_[index];
    const bool filled = (occupied_ & bit) != 0;
    if (filled && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == size &&
        std::memcmp(PyUnicode_DATA(slot), text, size) == 0) {
      Py_INCREF(slot);
      return slot;
    }
    PyObject* made = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (made == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(made), text, size);
    if (filled) Py_DECREF(slot);
    Py_INCREF(made);
    slot = made;
    occupied_ |= bit;
    return made;
  }

 private:
  static constexpr std::size_t kSlots = 64;  // one bit each in occupied_

  static std::size_t slot_index(const char* text, std::size_t size) noexcept {
    static_assert(kSlots == 64);
    return static_cast<std::size_t>(hash_text_ends(text, size) >> 58);
  }

  // Slot i holds a reference exactly when bit i of occupied_ is set; the
  // others are never read, so the table needs no clearing.
  std::uint64_t occupied_ = 0;
  PyObject* slots_[kSlots];
};

}  // namespace korvex
