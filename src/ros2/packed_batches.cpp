#include "ros2/packed_batches.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <span>

#include "base/buffer_view.hpp"
#include "base/py_ref.hpp"
#include "base/without_gil.hpp"
#include "module/failure.hpp"
#include "ros2/bytes_output.hpp"

namespace korvex {
namespace {

constexpr std::size_t kInt64 = sizeof(std::int64_t);

void put_int64(unsigned char* out, std::size_t index, std::int64_t value) {
  std::memcpy(out + index * kInt64, &value, kInt64);
}

std::int64_t int64_at(std::span<const unsigned char> bytes, std::size_t index) {
  std::int64_t value = 0;
  std::memcpy(&value, bytes.data() + index * kInt64, kInt64);
  return value;
}

// The rows of one fetch (sqlite3 returns exact ints and bytes); false where
// a row is anything else, so that the caller can name it in its own words.
[[nodiscard]] bool rows_are_plain(PyObject* rows, std::uint64_t& payload_bytes) {
  payload_bytes = 0;
  const Py_ssize_t count = PyList_GET_SIZE(rows);
  for (Py_ssize_t index = 0; index < count; ++index) {
    PyObject* row = PyList_GET_ITEM(rows, index);  // borrowed from the list
    if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) != 2) return false;
    if (!PyLong_CheckExact(PyTuple_GET_ITEM(row, 0))) return false;
    PyObject* data = PyTuple_GET_ITEM(row, 1);  // borrowed from the row
    if (!PyBytes_CheckExact(data)) return false;
    payload_bytes += static_cast<std::uint64_t>(PyBytes_GET_SIZE(data));
  }
  return true;
}

[[nodiscard]] PyObject* pack_rows(PyObject* rows) {
  if (!is_list_argument(rows, "pack_rows", "rows")) return nullptr;
  std::uint64_t payload_bytes = 0;
  if (!rows_are_plain(rows, payload_bytes)) Py_RETURN_NONE;
  const auto count = static_cast<std::size_t>(PyList_GET_SIZE(rows));
  PackedOutput output;
  if (!output.allocate(payload_bytes, count, false)) return nullptr;
  unsigned char* out = bytes_of(output.payload);
  unsigned char* offsets_out = bytes_of(output.offsets);
  unsigned char* times_out = bytes_of(output.log_times);
  std::size_t at = 0;
  bool in_time_order = true;
  long long previous = 0;
  put_int64(offsets_out, 0, 0);
  for (std::size_t index = 0; index < count; ++index) {
    // Nothing above ran user code, so the list and its rows are as checked.
    PyObject* row = PyList_GET_ITEM(rows, static_cast<Py_ssize_t>(index));  // borrowed
    int overflow = 0;
    const long long log_time = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(row, 0), &overflow);
    if (overflow != 0) Py_RETURN_NONE;
    PyObject* data = PyTuple_GET_ITEM(row, 1);  // borrowed from the row
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    std::memcpy(out + at, PyBytes_AS_STRING(data), size);
    at += size;
    put_int64(offsets_out, index + 1, static_cast<std::int64_t>(at));
    put_int64(times_out, index, log_time);
    if (index != 0 && log_time < previous) in_time_order = false;
    previous = log_time;
  }
  return Py_BuildValue("(OOOO)", output.payload.get(), output.offsets.get(), output.log_times.get(),
                       in_time_order ? Py_True : Py_False);
}

// One batch of a join, its buffers held while the copies run.
struct HeldBatch {
  BufferView payload;
  BufferView offsets;
  BufferView log_times;
  std::size_t messages = 0;
  std::size_t first = 0;  // offsets[0]
  std::size_t last = 0;   // offsets[N]
};

// `function` names the caller in the errors.
[[nodiscard]] bool hold_batch(PyObject* item, std::size_t index, HeldBatch& batch,
                              const char* function) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
    PyErr_Format(PyExc_TypeError, "%s: batch %zu is not a (payload, offsets, log_times) tuple",
                 function, index);
    return false;
  }
  if (!batch.payload.acquire(PyTuple_GET_ITEM(item, 0), PyBUF_SIMPLE) ||
      !batch.offsets.acquire(PyTuple_GET_ITEM(item, 1), PyBUF_SIMPLE) ||
      !batch.log_times.acquire(PyTuple_GET_ITEM(item, 2), PyBUF_SIMPLE)) {
    return false;
  }
  const std::span<const unsigned char> offsets = batch.offsets.bytes();
  const std::span<const unsigned char> times = batch.log_times.bytes();
  if (offsets.size() % kInt64 != 0 || times.size() % kInt64 != 0 ||
      offsets.size() != times.size() + kInt64) {
    PyErr_Format(PyExc_ValueError, "%s: batch %zu needs one more int64 offset than log times",
                 function, index);
    return false;
  }
  batch.messages = times.size() / kInt64;
  std::int64_t previous = int64_at(offsets, 0);
  const std::size_t payload_size = batch.payload.bytes().size();
  for (std::size_t at = 0; at <= batch.messages; ++at) {
    const std::int64_t offset = int64_at(offsets, at);
    if (offset < previous || offset < 0 || static_cast<std::uint64_t>(offset) > payload_size) {
      PyErr_Format(PyExc_ValueError, "%s: batch %zu's offsets do not rise within its payload",
                   function, index);
      return false;
    }
    previous = offset;
  }
  batch.first = static_cast<std::size_t>(int64_at(offsets, 0));
  batch.last = static_cast<std::size_t>(previous);
  return true;
}

[[nodiscard]] PyObject* join_packed(PyObject* batches) {
  if (!is_list_argument(batches, "join_packed", "batches")) return nullptr;
  // Held apart from the list: acquiring a buffer may run user code, which
  // could change the list.
  const PyRef items = PyRef::steal(PySequence_Tuple(batches));
  if (!items) return nullptr;
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
  const std::unique_ptr<HeldBatch[]> held(new HeldBatch[count]);
  std::uint64_t payload_bytes = 0;
  std::uint64_t messages = 0;
  for (std::size_t index = 0; index < count; ++index) {
    HeldBatch& batch = held[index];
    if (!hold_batch(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(index)), index, batch,
                    "join_packed")) {
      return nullptr;
    }
    payload_bytes += batch.last - batch.first;
    messages += batch.messages;
  }
  PackedOutput output;
  if (!output.allocate(payload_bytes, messages, false)) return nullptr;
  unsigned char* out = bytes_of(output.payload);
  unsigned char* offsets_out = bytes_of(output.offsets);
  unsigned char* times_out = bytes_of(output.log_times);
  {
    const WithoutGil unlocked;
    std::size_t base = 0;
    std::size_t message = 0;
    put_int64(offsets_out, 0, 0);
    for (std::size_t index = 0; index < count; ++index) {
      const HeldBatch& batch = held[index];
      const std::span<const unsigned char> source = batch.payload.bytes();
      std::memcpy(out + base, source.data() + batch.first, batch.last - batch.first);
      const std::span<const unsigned char> batch_offsets = batch.offsets.bytes();
      for (std::size_t at = 1; at <= batch.messages; ++at) {
        const auto offset = static_cast<std::size_t>(int64_at(batch_offsets, at));
        put_int64(offsets_out, message + at,
                  static_cast<std::int64_t>(base + offset - batch.first));
      }
      std::memcpy(times_out + message * kInt64, batch.log_times.bytes().data(),
                  batch.messages * kInt64);
      base += batch.last - batch.first;
      message += batch.messages;
    }
  }
  return Py_BuildValue("(OOO)", output.payload.get(), output.offsets.get(), output.log_times.get());
}

// The batch's messages by log time, equal times in their order.
[[nodiscard]] PyObject* sort_packed(PyObject* item) {
  HeldBatch batch;
  if (!hold_batch(item, 0, batch, "sort_packed")) return nullptr;
  PackedOutput output;
  if (!output.allocate(batch.last - batch.first, batch.messages, false)) return nullptr;
  unsigned char* out = bytes_of(output.payload);
  unsigned char* offsets_out = bytes_of(output.offsets);
  unsigned char* times_out = bytes_of(output.log_times);
  {
    const WithoutGil unlocked;
    const std::span<const unsigned char> payload = batch.payload.bytes();
    const std::span<const unsigned char> offsets = batch.offsets.bytes();
    const std::span<const unsigned char> times = batch.log_times.bytes();
    Vector<std::size_t> order(batch.messages);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return int64_at(times, a) < int64_at(times, b);
    });
    std::size_t at = 0;
    put_int64(offsets_out, 0, 0);
    for (std::size_t index = 0; index < batch.messages; ++index) {
      const std::size_t message = order[index];
      const auto start = static_cast<std::size_t>(int64_at(offsets, message));
      const auto end = static_cast<std::size_t>(int64_at(offsets, message + 1));
      if (end != start) std::memcpy(out + at, payload.data() + start, end - start);
      at += end - start;
      put_int64(offsets_out, index + 1, static_cast<std::int64_t>(at));
      put_int64(times_out, index, int64_at(times, message));
    }
  }
  return Py_BuildValue("(OOO)", output.payload.get(), output.offsets.get(), output.log_times.get());
}

}  // namespace

PyObject* sort_packed_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!one_argument("sort_packed", nargs, kwnames)) return nullptr;
    return sort_packed(args[0]);
  });
}

PyObject* pack_rows_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!one_argument("pack_rows", nargs, kwnames)) return nullptr;
    return pack_rows(args[0]);
  });
}

PyObject* join_packed_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!one_argument("join_packed", nargs, kwnames)) return nullptr;
    return join_packed(args[0]);
  });
}

}  // namespace korvex
