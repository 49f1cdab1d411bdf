#include "ros2/mcap_scan_function.hpp"

#include <cstdint>
#include <span>

#include "base/buffer_view.hpp"
#include "base/py_ref.hpp"
#include "base/without_gil.hpp"
#include "module/failure.hpp"
#include "module/reentry.hpp"
#include "ros2/bytes_output.hpp"
#include "ros2/mcap_scan.hpp"

namespace korvex {
namespace {

constexpr Py_ssize_t kParameterCount = 5;

[[nodiscard]] bool read_channels(PyObject* channels, McapSelection& selection) {
  if (channels == Py_None) return true;
  selection.want_only_listed();
  const PyRef iterator = PyRef::steal(PyObject_GetIter(channels));
  if (!iterator) return false;
  while (true) {
    const PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) return PyErr_Occurred() == nullptr;
    if (!PyLong_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "scan_mcap_records: a channel id must be an int, not %.200s",
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
    const long long id = PyLong_AsLongLong(item.get());
    if (id == -1 && PyErr_Occurred() != nullptr) return false;
    if (id < 0 || id > 65535) {
      PyErr_Format(PyExc_ValueError, "scan_mcap_records: channel id %lld is not a uint16", id);
      return false;
    }
    selection.want_channel(static_cast<std::uint16_t>(id));
  }
}

// A bound of the window: None, or an int in [0, 2**64).
[[nodiscard]] bool read_time(PyObject* value, const char* name, bool& present, std::uint64_t& out) {
  present = value != Py_None;
  if (!present) return true;
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "scan_mcap_records: %s must be an int or None, not %.200s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  out = PyLong_AsUnsignedLongLong(value);
  return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred() != nullptr);
}

// Every other record as three int64 (opcode, content offset, content
// length) in one bytes object: 24 bytes per record of at least 9, and no
// Python object per record.
[[nodiscard]] PyObject* others_bytes(const McapScanCount& count) {
  PyRef bytes = PyRef::steal(new_bytes(count.others.size() * 3 * sizeof(std::int64_t)));
  if (!bytes) return nullptr;
  auto* out = reinterpret_cast<std::int64_t*>(bytes_of(bytes));
  for (const McapRecordPlace& place : count.others) {
    *out++ = place.opcode;
    *out++ = static_cast<std::int64_t>(place.content_offset);
    *out++ = static_cast<std::int64_t>(place.content_length);
  }
  return bytes.release();
}

[[nodiscard]] PyObject* tallies_list(const Vector<McapChannelTally>& tallies) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tallies.size())));
  if (!list) return nullptr;
  for (std::size_t index = 0; index < tallies.size(); ++index) {
    const McapChannelTally& tally = tallies[index];
    PyObject* item = Py_BuildValue("(HKKK)", static_cast<unsigned short>(tally.channel),
                                   static_cast<unsigned long long>(tally.messages),
                                   static_cast<unsigned long long>(tally.first_time),
                                   static_cast<unsigned long long>(tally.last_time));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);  // steals `item`
  }
  return list.release();
}

// The scan's tuple; the packed outputs or the tallies are None (borrowed
// references all).
[[nodiscard]] PyObject* scan_result(const McapScanCount& count, PyObject* payload,
                                    PyObject* offsets, PyObject* log_times, PyObject* channels,
                                    PyObject* tallies) {
  const PyRef others = PyRef::steal(others_bytes(count));
  if (!others) return nullptr;
  return Py_BuildValue("(OOOOOOKiO)", payload, offsets, log_times, channels, others.get(), tallies,
                       static_cast<unsigned long long>(count.stop), static_cast<int>(count.end),
                       count.in_time_order ? Py_True : Py_False);
}

[[nodiscard]] PyObject* scan(PyObject* const* args) {
  BufferView view;
  if (!view.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
  McapSelection selection;
  if (!read_channels(args[1], selection)) return nullptr;
  bool has_start = false;
  bool has_end = false;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  if (!read_time(args[2], "start", has_start, start)) return nullptr;
  if (!read_time(args[3], "end", has_end, end)) return nullptr;
  if (has_start) selection.set_start(start);
  if (has_end) selection.set_end(end);
  const int pack = PyObject_IsTrue(args[4]);
  if (pack < 0) return nullptr;

  const std::span<const unsigned char> bytes = view.bytes();
  McapScanCount count;
  {
    const WithoutGil unlocked;
    count = count_mcap_records(bytes, selection);
  }
  if (pack != 0) {
    // Sized from what the bytes hold: never more than their length in data,
    // and 18 bytes of output per message record of at least 31 bytes.
    PackedOutput output;
    if (!output.allocate(count.payload_bytes, count.messages, true)) return nullptr;
    const McapScanOutput out{bytes_of(output.payload),
                             reinterpret_cast<std::int64_t*>(bytes_of(output.offsets)),
                             reinterpret_cast<std::int64_t*>(bytes_of(output.log_times)),
                             reinterpret_cast<std::uint16_t*>(bytes_of(output.channels))};
    {
      const WithoutGil unlocked;
      copy_mcap_messages(bytes, selection, count, out);
    }
    return scan_result(count, output.payload.get(), output.offsets.get(), output.log_times.get(),
                       output.channels.get(), Py_None);
  }
  Vector<McapChannelTally> found;
  {
    const WithoutGil unlocked;
    found = tally_mcap_messages(bytes, selection, count);
  }
  const PyRef tallies = PyRef::steal(tallies_list(found));
  if (!tallies) return nullptr;
  return scan_result(count, Py_None, Py_None, Py_None, Py_None, tallies.get());
}

}  // namespace

PyObject* tally_message_index_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!one_argument("tally_message_index", nargs, kwnames)) return nullptr;
    BufferView view;
    if (!view.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
    const McapIndexTally tally = tally_message_index(view.bytes());
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(tally.entries),
                         static_cast<unsigned long long>(tally.first_time),
                         static_cast<unsigned long long>(tally.last_time));
  });
}

PyObject* scan_mcap_records_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    const ActiveCall call;
    if (!call.admitted()) return ActiveCall::refuse();
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
      PyErr_SetString(PyExc_TypeError, "scan_mcap_records() takes no keyword arguments");
      return nullptr;
    }
    if (positional != kParameterCount) {
      PyErr_Format(PyExc_TypeError, "scan_mcap_records() takes 5 arguments (%zd given)",
                   positional);
      return nullptr;
    }
    return scan(args);
  });
}

}  // namespace korvex
