// scan_mcap_records of `korvex_messages.ros2._native`: the records of an MCAP byte
// range as one packed buffer of message data, for decode_table; and
// tally_message_index, what a chunk's message index says of a channel.
#pragma once

#include <Python.h>

namespace korvex {

PyObject* scan_mcap_records_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

inline constexpr const char* kScanMcapRecordsDoc =
    "scan_mcap_records(data, channels, start, end, pack, /)\n--\n\n"
    "Walk the MCAP records of `data` (a decompressed chunk or a region of an uncompressed\n"
    "file). The messages of `channels` (None: all) whose log time lies in [start, end) (None:\n"
    "unbounded) are taken. Returns (payload, offsets, log_times, channels, others, tallies,\n"
    "stop, end, in_time_order): with pack=True, payload holds their data one after the other,\n"
    "offsets N+1 int64 starts, log_times N int64 and channels N uint16, all in native byte\n"
    "order, and tallies is None; with pack=False those four are None and tallies lists\n"
    "(channel, count, first log time, last log time). others holds (opcode, content offset,\n"
    "content length) of every other record as int64 triples; stop is the first byte not read\n"
    "as a whole record; end is 0 (complete), 1 (the record at stop runs past the end) or 2\n"
    "(the message record at stop is too short). The scan runs without the GIL.";

PyObject* tally_message_index_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

inline constexpr const char* kTallyMessageIndexDoc =
    "tally_message_index(entries, /)\n--\n\n"
    "The (log_time, offset) entries of an MCAP Message Index record, 16 little-endian bytes\n"
    "each: (count, least log time, greatest log time) of the whole entries, (0, 0, 0) for\n"
    "none.";

}  // namespace korvex
