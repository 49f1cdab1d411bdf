#include "module/decode_table.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "base/buffer_view.hpp"
#include "base/py_ref.hpp"
#include "base/without_gil.hpp"
#include "cdr/arrow_table.hpp"
#include "cdr/column_decoder.hpp"
#include "cdr/columns.hpp"
#include "cdr/plan.hpp"
#include "module/arguments.hpp"
#include "module/call.hpp"
#include "module/table.hpp"

namespace korvex {
namespace {

constexpr std::size_t kParameterCount = 6;

// The messages of one call and the exports that keep their bytes in place
// until it returns.
class MessageBatch {
 public:
  MessageBatch() = default;
  MessageBatch(const MessageBatch&) = delete;
  MessageBatch& operator=(const MessageBatch&) = delete;
  ~MessageBatch() {
    for (Py_buffer& view : views_) PyBuffer_Release(&view);
  }

  // A sequence of bytes-like objects, one a message.
  [[nodiscard]] bool take_sequence(PyObject* messages);
  // One buffer cut at `offsets`, N+1 int64 starts.
  [[nodiscard]] bool take_buffer(PyObject* buffer, PyObject* offsets);
  // One (buffer, offsets, log_times) piece of a decode in parts, the
  // `index`th, cut as take_buffer cuts one; its log times go to `times`.
  [[nodiscard]] bool take_piece(PyObject* piece, Py_ssize_t index, Vector<std::int64_t>& times);
  std::span<const MessageBytes> messages() const noexcept { return messages_; }

 private:
  // Holds every item of the sequence, whatever the caller does with it.
  PyRef items_;
  Vector<Py_buffer> views_;
  BufferView whole_;
  // Appends the messages of `bytes` cut at `starts`; `piece` is the index
  // of the piece in take_piece, or -1 for the offsets argument.
  [[nodiscard]] bool cut(std::span<const unsigned char> bytes, const Vector<std::int64_t>& starts,
                         Py_ssize_t piece);

  Vector<MessageBytes> messages_;
};

bool MessageBatch::take_sequence(PyObject* messages) {
  if (PyUnicode_Check(messages) || PyBytes_Check(messages) || PyByteArray_Check(messages) ||
      PyMemoryView_Check(messages) || !PySequence_Check(messages)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'messages': expected a sequence of bytes-like objects (or one buffer "
                 "with offsets=), got %.200s",
                 Py_TYPE(messages)->tp_name);
    return false;
  }
  items_ = PyRef::steal(PySequence_Tuple(messages));
  if (!items_) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items_.get());
  messages_.reserve(static_cast<std::size_t>(count));
  views_.reserve(static_cast<std::size_t>(count));  // never moved once exported
  for (Py_ssize_t index = 0; index < count; ++index) {
    PyObject* item = PyTuple_GET_ITEM(items_.get(), index);  // borrowed
    if (PyBytes_Check(item)) {
      messages_.emplace_back(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(item)),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
      continue;
    }
    if (PyUnicode_Check(item) || !PyObject_CheckBuffer(item)) {
      PyErr_Format(PyExc_TypeError, "messages[%zd]: expected a bytes-like object, got %.200s",
                   index, Py_TYPE(item)->tp_name);
      return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(item, &view, PyBUF_C_CONTIGUOUS) < 0) return false;
    views_.push_back(view);
    messages_.emplace_back(static_cast<const unsigned char*>(view.buf),
                           static_cast<std::size_t>(view.len));
  }
  return true;
}

// Whether a buffer's items are int64 in the machine's byte order.
bool is_native_int64(const BufferView& view) {
  if (view.item_size() != 8 || view.dimensions() != 1) return false;
  std::string_view format = view.format();
  constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == kNativeOrder)) {
    format.remove_prefix(1);
  }
  return format == "q" || format == "l";
}

// The int64 items of `values`, argument `name` (a buffer of int64, or a
// sequence of ints; `expected` is the TypeError of anything else).
bool read_int64s(PyObject* values, const char* name, const char* expected,
                 Vector<std::int64_t>& out) {
  if (PyObject_CheckBuffer(values) && !PyBytes_Check(values) && !PyByteArray_Check(values)) {
    BufferView view;
    if (!view.acquire(values, PyBUF_FORMAT | PyBUF_ND)) return false;
    if (!is_native_int64(view)) {
      const String format(view.format());
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': a buffer of %s must hold int64 items (format 'q'), got "
                   "format '%s' with items of %zd bytes",
                   name, name, format.c_str(), view.item_size());
      return false;
    }
    const std::span<const unsigned char> bytes = view.bytes();
    out.resize(bytes.size() / 8);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 8);
    return true;
  }
  PyRef sequence = PyRef::steal(PySequence_Fast(values, expected));
  if (!sequence) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t index = 0; index < count; ++index) {
    // PySequence_Fast_GET_ITEM is borrowed from a list user code could
    // change: hold the item while converting it.
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(sequence.get(), index));
    if (PySequence_Fast_GET_SIZE(sequence.get()) != count) {
      PyErr_Format(PyExc_RuntimeError, "argument '%s' changed size while being read", name);
      return false;
    }
    if (!PyLong_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "%s[%zd]: expected int, got %.200s", name, index,
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
    const long long value = PyLong_AsLongLong(item.get());
    if (value == -1 && PyErr_Occurred()) return false;
    out.push_back(value);
  }
  return true;
}

bool MessageBatch::take_buffer(PyObject* buffer, PyObject* offsets) {
  if (PyUnicode_Check(buffer) || !PyObject_CheckBuffer(buffer)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'messages': with offsets=, expected one bytes-like object, got %.200s",
                 Py_TYPE(buffer)->tp_name);
    return false;
  }
  Vector<std::int64_t> starts;
  if (!read_int64s(offsets, "offsets",
                   "argument 'offsets': expected int64 starts (a numpy array, an array('q') or a "
                   "list of ints)",
                   starts)) {
    return false;
  }
  if (!whole_.acquire(buffer, PyBUF_C_CONTIGUOUS)) return false;
  return cut(whole_.bytes(), starts, -1);
}

bool MessageBatch::cut(std::span<const unsigned char> bytes, const Vector<std::int64_t>& starts,
                       Py_ssize_t piece) {
  if (starts.empty()) {
    if (piece < 0) {
      PyErr_SetString(PyExc_ValueError,
                      "argument 'offsets': expected N+1 starts for N messages, got none");
    } else {
      PyErr_Format(PyExc_ValueError, "_pieces[%zd]: expected N+1 starts for N messages, got none",
                   piece);
    }
    return false;
  }
  for (std::size_t index = 0; index < starts.size(); ++index) {
    const std::int64_t start = starts[index];
    const std::int64_t previous = index == 0 ? 0 : starts[index - 1];
    if (start < previous || static_cast<std::uint64_t>(start) > bytes.size()) {
      if (piece < 0) {
        PyErr_Format(PyExc_ValueError,
                     "offsets[%zu] is %lld: offsets must not decrease and must lie within the "
                     "buffer of %zu bytes",
                     index, static_cast<long long>(start), bytes.size());
      } else {
        PyErr_Format(PyExc_ValueError,
                     "_pieces[%zd]: offsets[%zu] is %lld: offsets must not decrease and must lie "
                     "within the buffer of %zu bytes",
                     piece, index, static_cast<long long>(start), bytes.size());
      }
      return false;
    }
  }
  messages_.reserve(messages_.size() + starts.size() - 1);
  for (std::size_t index = 0; index + 1 < starts.size(); ++index) {
    messages_.push_back(bytes.subspan(static_cast<std::size_t>(starts[index]),
                                      static_cast<std::size_t>(starts[index + 1] - starts[index])));
  }
  return true;
}

bool MessageBatch::take_piece(PyObject* piece, Py_ssize_t index, Vector<std::int64_t>& times) {
  if (!PyTuple_Check(piece) || PyTuple_GET_SIZE(piece) != 3) {
    PyErr_Format(PyExc_TypeError,
                 "_pieces[%zd]: expected a (buffer, offsets, log_times) triple, got %.200s", index,
                 Py_TYPE(piece)->tp_name);
    return false;
  }
  PyObject* buffer = PyTuple_GET_ITEM(piece, 0);  // borrowed from the piece
  if (PyUnicode_Check(buffer) || !PyObject_CheckBuffer(buffer)) {
    PyErr_Format(PyExc_TypeError, "_pieces[%zd]: expected a bytes-like object, got %.200s", index,
                 Py_TYPE(buffer)->tp_name);
    return false;
  }
  Vector<std::int64_t> starts;
  if (!read_int64s(PyTuple_GET_ITEM(piece, 1), "_pieces",
                   "argument '_pieces': expected int64 starts (a numpy array, an array('q') or a "
                   "list of ints)",
                   starts) ||
      !read_int64s(PyTuple_GET_ITEM(piece, 2), "_pieces",
                   "argument '_pieces': expected int64 log times (a numpy array, an array('q') or "
                   "a list of ints)",
                   times)) {
    return false;
  }
  if (!whole_.acquire(buffer, PyBUF_C_CONTIGUOUS)) return false;
  if (!cut(whole_.bytes(), starts, index)) return false;
  if (times.size() != messages_.size()) {
    PyErr_Format(PyExc_ValueError, "_pieces[%zd]: expected one log time per message, %zu, got %zu",
                 index, messages_.size(), times.size());
    return false;
  }
  return true;
}

// The log times of `count` messages: int64 items, one a message.
[[nodiscard]] bool read_log_times(PyObject* log_times, std::size_t count,
                                  Vector<std::int64_t>& out) {
  if (!read_int64s(log_times, "_log_times",
                   "argument '_log_times': expected int64 log times (a numpy array, an "
                   "array('q') or a list of ints)",
                   out)) {
    return false;
  }
  if (out.size() != count) {
    PyErr_Format(PyExc_ValueError,
                 "argument '_log_times': expected one log time per message, %zu, got %zu", count,
                 out.size());
    return false;
  }
  return true;
}

// The column type of the registered schema `name`, built once per call. It
// is a copy of its own: code that runs during the call may change the
// registry, not the type.
[[nodiscard]] Result<ColumnType> column_type_named(std::string_view name) {
  SchemaRef holder;
  std::optional<MessageError> error;
  const MessagePlan* plan = lookup_plan(name, holder, error);
  if (plan == nullptr) {
    if (error) return std::move(*error);
    return PythonErrorSet{};
  }
  return column_type_of(*plan, name);
}

BodyResult decode_table_body(std::string_view name, std::span<const MessageBytes> messages,
                             bool flatten, const Vector<std::int64_t>* log_times) {
  Result<ColumnType> type = column_type_named(name);
  if (!type.ok()) return std::move(type).pass_on<PyRef>();
  Vector<ColumnData> batches;
  String failure;
  bool decoded;
  {
    // Nothing of Python is touched: the bytes stay exported until return.
    const WithoutGil released;
    ColumnDecodeProgress progress;
    decoded = decode_columns(type.value(), messages, batches, failure, progress);
  }
  if (!decoded) {
    PyErr_SetString(PyExc_ValueError, failure.c_str());
    return PythonErrorSet{};
  }
  TableData* data = TableData::make(String(name), std::move(type.value()), std::move(batches),
                                    flatten, log_times);
  return PyRef::steal(new_table(data));
}

// A decode in parts: each piece of the iterable `pieces` is decoded as it
// comes (without the GIL), onto the columns of those before it, so that the
// pieces can still be in the making (a recording's chunks, decompressed on
// other threads) while the first ones are decoded.
BodyResult decode_pieces_body(std::string_view name, PyObject* pieces, bool flatten) {
  Result<ColumnType> type = column_type_named(name);
  if (!type.ok()) return std::move(type).pass_on<PyRef>();
  const PyRef iterator = PyRef::steal(PyObject_GetIter(pieces));
  if (!iterator) return PythonErrorSet{};
  Vector<ColumnData> batches;
  Vector<std::int64_t> log_times;
  ColumnDecodeProgress progress;
  for (Py_ssize_t index = 0;; ++index) {
    const PyRef piece = PyRef::steal(PyIter_Next(iterator.get()));
    if (!piece) {
      if (PyErr_Occurred() != nullptr) return PythonErrorSet{};
      break;
    }
    MessageBatch batch;
    Vector<std::int64_t> times;
    if (!batch.take_piece(piece.get(), index, times)) return PythonErrorSet{};
    log_times.insert(log_times.end(), times.begin(), times.end());
    String failure;
    bool decoded;
    {
      const WithoutGil released;
      decoded = decode_columns(type.value(), batch.messages(), batches, failure, progress);
    }
    if (!decoded) {
      PyErr_SetString(PyExc_ValueError, failure.c_str());
      return PythonErrorSet{};
    }
  }
  if (batches.empty()) batches.push_back(empty_columns(type.value()));
  TableData* data = TableData::make(String(name), std::move(type.value()), std::move(batches),
                                    flatten, &log_times);
  return PyRef::steal(new_table(data));
}

}  // namespace

PyObject* decode_table_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            const char* first_parameter, NameForm full_name) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    const ActiveCall call;
    if (!call.admitted()) return ActiveCall::refuse();
    // _log_times: the recordings' first column, a log_time per message.
    // _pieces: the recordings' batches, an iterable of (buffer, offsets,
    // log_times), decoded as they come.
    const char* const names[kParameterCount] = {first_parameter, "messages",   "offsets",
                                                "flatten",       "_log_times", "_pieces"};
    PyObject* slots[kParameterCount] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    if (!match_keyword_arguments({"decode_table", names, kParameterCount, 2}, args, nargs, kwnames,
                                 slots)) {
      return nullptr;
    }
    TextView name;
    if (!convert_text(slots[0], first_parameter, name)) return nullptr;
    bool flatten = false;
    if (slots[3] != nullptr) {
      if (!PyBool_Check(slots[3])) {
        PyErr_Format(PyExc_TypeError, "argument 'flatten': expected bool, got %.200s",
                     Py_TYPE(slots[3])->tp_name);
        return nullptr;
      }
      flatten = slots[3] == Py_True;
    }
    const bool with_offsets = slots[2] != nullptr && slots[2] != Py_None;
    const bool with_log_times = slots[4] != nullptr && slots[4] != Py_None;
    String storage;
    if (slots[5] != nullptr && slots[5] != Py_None) {
      if (slots[1] != Py_None || with_offsets || with_log_times) {
        PyErr_SetString(PyExc_TypeError,
                        "argument '_pieces': messages must be None, offsets and _log_times not "
                        "given");
        return nullptr;
      }
      return finish_call(decode_pieces_body(full_name(name.view(), storage), slots[5], flatten));
    }
    MessageBatch batch;
    const bool taken =
        with_offsets ? batch.take_buffer(slots[1], slots[2]) : batch.take_sequence(slots[1]);
    if (!taken) return nullptr;
    Vector<std::int64_t> log_times;
    if (with_log_times && !read_log_times(slots[4], batch.messages().size(), log_times)) {
      return nullptr;
    }
    return finish_call(decode_table_body(full_name(name.view(), storage), batch.messages(), flatten,
                                         with_log_times ? &log_times : nullptr));
  });
}

}  // namespace korvex
