// pack_rows, join_packed and sort_packed of `korvex_messages.ros2._native`: message
// batches in decode_table's one-buffer form (one payload, N+1 int64 offsets,
// N int64 log times), made from fetched rows or joined from smaller batches
// without a Python object per message.
#pragma once

#include <Python.h>

namespace korvex {

PyObject* pack_rows_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* join_packed_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* sort_packed_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

inline constexpr const char* kPackRowsDoc =
    "pack_rows(rows, /)\n--\n\n"
    "Pack a list of (log time, data) rows, each an int and a bytes object, as\n"
    "(payload, offsets, log_times, in_time_order): their data one after the other, N+1 int64\n"
    "offsets and N int64 log times in native byte order. Returns None, and packs nothing,\n"
    "where a row is not a pair of an int in the int64 range and a bytes object.";

inline constexpr const char* kJoinPackedDoc =
    "join_packed(batches, /)\n--\n\n"
    "Join a list of (payload, offsets, log_times) batches, offsets N+1 and log_times N int64\n"
    "in native byte order, into one (payload, offsets, log_times) with the offsets moved to\n"
    "their place in the joined payload. The copies run without the GIL.";

inline constexpr const char* kSortPackedDoc =
    "sort_packed(batch, /)\n--\n\n"
    "The messages of a (payload, offsets, log_times) batch, offsets N+1 and log_times N int64\n"
    "in native byte order, as a new (payload, offsets, log_times) in log-time order, messages\n"
    "of equal times in their order. The sort and the copies run without the GIL.";

}  // namespace korvex
