// Taking the values of a message's fields out of a dict in field order.
//
// Dicts written by hand, built from a literal or returned by deserialize
// usually hold their keys in the schema's order, and with the same key
// objects: keys written as literals are interned by the compiler, and so
// are the plan's keys where interning does not make them immortal.  The
// cursor therefore first looks at the entry after the one it found last and
// takes it when its key is the very object looked for; at the first entry
// that is not, it falls back to the dict's own lookup for the rest of the
// dict.
//
// Both give the same value.  An entry is only taken when its key is the
// identical object, and a dict cannot hold a second entry that its lookup
// would find for that key (inserting one would have compared equal to the
// first and replaced its value).  They differ only for a key whose hash or
// equality changes while it is in the dict, which breaks the dict's own
// contract, and in how often a deliberately colliding key's __eq__ is
// called: an __eq__ that would raise may not be called at all, so its
// exception is not raised.  Accepting an equal but different str for the
// call at hand would not be safe: a key whose __eq__ goes by identity can
// be made to sit beside it.
//
// Where the plan's keys are not interned (CPython 3.12), literal keys are
// never the plan's objects, so at the first miss the field may adopt the
// entry's key instead (adopt_field_key in cdr/plan.hpp): an interned exact
// str of the same text.  The value is then taken by lookup with the adopted
// key, which is the field's key from then on for lookups, walks and decoded
// dicts alike.  A walk that finds the very object K that a lookup by K would
// compare gives the same value as that lookup for every key whose hash and
// equality do not change: any other entry E that the lookup could stop at
// first has E == K, and whichever of the two was inserted second would have
// compared equal to the other and replaced its value instead of making an
// entry.  That holds however E's __eq__ treats other objects (transitivity
// is not needed), because the walk and the lookup go by the same K.  Neither way
// calls a subclass's __getitem__ or __missing__, and a dict that user code
// changes meanwhile is read as it is at each field: the cursor reads the
// entry afresh each time, and PyDict_Next refuses positions past the end.
#pragma once

#include <Python.h>

#include "cdr/plan.hpp"

namespace korvex {

class DictCursor {
 public:
  explicit DictCursor(PyObject* dict) noexcept : dict_(dict) {}

  // The value stored under `key` (borrowed), or null: absent, or with the
  // exception that the lookup raised pending.
  [[nodiscard]] PyObject* find(PyObject* key) {
    if (walking_) {
      Py_ssize_t position = position_;
      PyObject* entry_key;
      PyObject* entry_value;
      if (PyDict_Next(dict_, &position, &entry_key, &entry_value) && entry_key == key) {
        position_ = position;
        return entry_value;
      }
      walking_ = false;
    }
    return PyDict_GetItemWithError(dict_, key);
  }

  // The value of a plan's field, as find(field.key) gives it, adopting the
  // key of the entry where the walk stops where the plan allows.
  [[nodiscard]] PyObject* find(const FieldPlan& field) {
    if (walking_) {
      Py_ssize_t position = position_;
      PyObject* entry_key;
      PyObject* entry_value;
      if (PyDict_Next(dict_, &position, &entry_key, &entry_value)) {
        if (entry_key == field.key.get()) {
          position_ = position;
          return entry_value;
        }
        if constexpr (kAdoptFieldKeys) adopt_field_key(field, entry_key);
      }
      walking_ = false;
    }
    return PyDict_GetItemWithError(dict_, field.key.get());
  }

 private:
  PyObject* dict_;
  Py_ssize_t position_ = 0;
  bool walking_ = true;
};

}  // namespace korvex
