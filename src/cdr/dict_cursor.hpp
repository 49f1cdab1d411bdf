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
// called.  Accepting an equal but different str would not be safe: a key
// whose __eq__ goes by identity can be made to sit beside it.  Neither way
// calls a subclass's __getitem__ or __missing__, and a dict that user code
// changes meanwhile is read as it is at each field: the cursor reads the
// entry afresh each time, and PyDict_Next refuses positions past the end.
#pragma once

#include <Python.h>

namespace korvex {

class DictCursor {
 public:
  explicit DictCursor(PyObject* dict) noexcept : dict_(dict) {}

  // The value stored under `key` (borrowed), or null: absent, or with the
  // exception that the lookup raised pending.
  PyObject* find(PyObject* key) {
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

 private:
  PyObject* dict_;
  Py_ssize_t position_ = 0;
  bool walking_ = true;
};

}  // namespace korvex
