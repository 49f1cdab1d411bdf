#include "module/encode_table.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/arrow_c_data.hpp"
#include "base/layout.hpp"
#include "base/py_ref.hpp"
#include "base/without_gil.hpp"
#include "cdr/encoder.hpp"
#include "cdr/limits.hpp"
#include "cdr/message_buffer.hpp"
#include "cdr/plan.hpp"
#include "module/arguments.hpp"
#include "module/arrow_values.hpp"
#include "module/call.hpp"
#include "module/column_binding.hpp"
#include "module/column_rows.hpp"

namespace korvex {
namespace {

// Releases a structure taken over from its producer.  The callback may run
// Python code (a producer written with ctypes or cffi calls back into the
// interpreter), which must not start with this call's exception pending:
// that is kept aside meanwhile.
template <class Arrow>
void release_taken(Arrow& object) noexcept {
  if (object.release == nullptr) return;
  FetchedError pending = FetchedError::fetch();
  object.release(&object);
  if (!pending.empty()) pending.restore();
}

// The Arrow structs taken over from their producer, released on every path.
struct StreamHolder {
  ArrowArrayStream stream{};
  ~StreamHolder() { release_taken(stream); }
};
struct SchemaHolder {
  ArrowSchema schema{};
  ~SchemaHolder() { release_taken(schema); }
};
struct ArrayHolder {
  ArrowArray array{};
  ~ArrayHolder() { release_taken(array); }
};

// What encode_rows reads of a producer's schema and record batches before
// the column binding and the value readers check the rest: the top's
// format, and each of its children there.
constexpr const char* kMalformedSchema =
    "argument 'table': a malformed Arrow schema (a format or a child is missing)";
constexpr const char* kMalformedBatch =
    "argument 'table': a malformed record batch (a child array is missing)";

[[nodiscard]] bool top_is_whole(const ArrowSchema& schema) {
  if (schema.format == nullptr || schema.n_children < 0) return false;
  if (schema.n_children > 0 && schema.children == nullptr) return false;
  for (std::int64_t child = 0; child < schema.n_children; ++child) {
    if (schema.children[child] == nullptr || schema.children[child]->format == nullptr) {
      return false;
    }
  }
  return true;
}

[[nodiscard]] bool top_is_whole(const ArrowArray& batch) {
  if (batch.n_children > 0 && batch.children == nullptr) return false;
  for (std::int64_t child = 0; child < batch.n_children; ++child) {
    if (batch.children[child] == nullptr) return false;
  }
  return true;
}

// A field's name; the interface lets a producer leave it out.
[[nodiscard]] const char* name_of(const ArrowSchema& field) {
  return field.name != nullptr ? field.name : "";
}

[[nodiscard]] const FieldPlan* field_named(const MessagePlan& plan, std::string_view name) {
  for (const FieldPlan& field : plan.fields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

// The path of the column `name` in the message of `plan`: the field of that
// name, or the dotted path of a field of nested messages.  False with the
// reason in `problem`.
[[nodiscard]] bool column_path(const MessagePlan& plan, std::string_view name, ColumnPath& path,
                               String& problem) {
  if (field_named(plan, name) != nullptr) {
    path.push_back(name);
    return true;
  }
  const MessagePlan* at = &plan;
  SchemaRef holder;
  std::string_view rest = name;
  while (true) {
    const std::size_t dot = rest.find('.');
    const std::string_view part = rest.substr(0, dot);
    const FieldPlan* field = at == nullptr ? nullptr : field_named(*at, part);
    if (field == nullptr) {
      problem = concat({"column '", name, "': the message type has no field '", part, "' there"});
      return false;
    }
    path.push_back(part);
    if (dot == std::string_view::npos) return true;
    const std::string_view inner = rest.substr(dot + 1);
    const bool time = describe(field->type.leaf).conversion == Conversion::Time;
    if (time && !field->type.is_array() && (inner == "sec" || inner == "nanosec")) {
      // A time value flattened: its dict's two keys.
      path.push_back(inner);
      return true;
    }
    if (field->type.is_array() || field->type.link == nullptr) {
      problem = concat({"column '", name, "': field '", part, "' is no nested message"});
      return false;
    }
    std::optional<MessageError> error;
    at = resolve_link(*field->type.link, holder, error);
    if (at == nullptr) {
      if (error) {
        problem = error->text();
      } else {
        PyErr_Clear();
        problem = "the nested message type could not be resolved";
      }
      return false;
    }
    rest = rest.substr(dot + 1);
  }
}

// The paths of the nested messages without fields (not in arrays): a
// flattened table has no column for them, and their value is {} anyway.
[[nodiscard]] bool empty_messages(const MessagePlan& plan, ColumnPath& prefix,
                                  Vector<ColumnPath>& out) {
  for (const FieldPlan& field : plan.fields) {
    if (field.type.is_array() || field.type.link == nullptr) continue;
    SchemaRef holder;
    std::optional<MessageError> error;
    const MessagePlan* nested = resolve_link(*field.type.link, holder, error);
    if (nested == nullptr) {
      if (error) std::move(*error).raise();
      return false;
    }
    prefix.push_back(field.name);
    if (nested->fields.empty()) {
      out.push_back(prefix);
    } else if (prefix.size() < kMaxNesting && !empty_messages(*nested, prefix, out)) {
      return false;
    }
    prefix.pop_back();
  }
  return true;
}

// Whether one path is the other or lies inside it.
bool overlaps(const ColumnPath& a, const ColumnPath& b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t index = 0; index < common; ++index) {
    if (a[index] != b[index]) return false;
  }
  return true;
}

// A path's field names as str keys, made once per call.
using PathKeys = Vector<PyRef>;

[[nodiscard]] bool keys_of(const ColumnPath& path, PathKeys& keys) {
  for (std::string_view name : path) {
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    keys.push_back(PyRef::steal(key));
    // Its hash cached now, for every row's dict.
    if (key == nullptr || PyObject_Hash(key) == -1) return false;
  }
  return true;
}

// Sets `value` at the path of `keys` in `row`, making the dicts of nested
// messages on the way.
[[nodiscard]] bool put(PyObject* row, const PathKeys& keys, PyObject* value) {
  PyObject* at = row;  // borrowed
  for (std::size_t index = 0; index + 1 < keys.size(); ++index) {
    PyObject* inner = PyDict_GetItemWithError(at, keys[index].get());  // borrowed
    if (inner == nullptr) {
      if (PyErr_Occurred()) return false;
      PyRef fresh = PyRef::steal(PyDict_New());
      if (!fresh || PyDict_SetItem(at, keys[index].get(), fresh.get()) < 0) return false;
      inner = fresh.get();  // the row's dict holds it
    }
    at = inner;
  }
  return PyDict_SetItem(at, keys.back().get(), value) == 0;
}

// Raises the pending exception again, its text after "row N: ".
void name_row(std::int64_t row) {
  FetchedError error = FetchedError::fetch();
  error.normalize();
  PyRef text = PyRef::steal(PyObject_Str(error.value()));
  if (!text) return;
  PyErr_Format(error.type(), "row %lld: %U", static_cast<long long>(row), text.get());
}

constexpr std::size_t kParameterCount = 3;

// Takes the stream `table` exports into `holder`.
[[nodiscard]] bool take_stream(PyObject* table, StreamHolder& holder) {
  PyRef capsule = PyRef::steal(PyObject_CallMethod(table, "__arrow_c_stream__", nullptr));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "argument 'table': expected an object exporting an Arrow C stream "
                 "(__arrow_c_stream__), got %.200s",
                 Py_TYPE(table)->tp_name);
    return false;
  }
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (stream == nullptr) return false;
  holder.stream = *stream;
  stream->release = nullptr;  // moved: the capsule no longer releases it
  return true;
}

[[nodiscard]] bool stream_failed(ArrowArrayStream& stream, int code) {
  const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  PyErr_Format(PyExc_ValueError, "reading the Arrow stream failed (error %d): %s", code,
               text != nullptr ? text : "no message");
  return false;
}

// The encoded rows, in order: bytes objects in a list, or (as_buffer) one
// buffer with the starts of the messages in it.
class EncodedRows {
 public:
  explicit EncodedRows(bool joined) : joined_(joined) { starts_.push_back(0); }

  [[nodiscard]] bool start() {
    if (joined_) return true;
    list_ = PyRef::steal(PyList_New(0));
    return static_cast<bool>(list_);
  }

  // A message of the dict path (borrowed).
  [[nodiscard]] bool add(PyObject* message) {
    if (!joined_) return PyList_Append(list_.get(), message) == 0;
    return append(PyBytes_AS_STRING(message), static_cast<std::size_t>(PyBytes_GET_SIZE(message)));
  }

  // The messages of the column path.
  [[nodiscard]] bool add(const MessageBuffer& messages) {
    if (joined_) {
      // One after the other already: copied at once.
      const std::span<const char> all = messages.messages();
      const std::size_t base = size_;
      if (!reserve(all.size())) return false;
      if (!all.empty())
        std::memcpy(PyBytes_AS_STRING(buffer_.get()) + size_, all.data(), all.size());
      size_ += all.size();
      for (std::size_t index = 0; index < messages.message_count(); ++index) {
        starts_.push_back(base + messages.end_of(index));
      }
      return true;
    }
    for (std::size_t index = 0; index < messages.message_count(); ++index) {
      const std::span<const char> message = messages.message(index);
      PyRef bytes = PyRef::steal(
          PyBytes_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
      if (!bytes || PyList_Append(list_.get(), bytes.get()) < 0) return false;
    }
    return true;
  }

  [[nodiscard]] PyObject* finish() {
    if (!joined_) return list_.release();
    if (!reserve(0)) return nullptr;  // the empty table's buffer
    PyObject* buffer = buffer_.release();
    // Down to the bytes written: a realloc, which leaves them in place.
    if (_PyBytes_Resize(&buffer, static_cast<Py_ssize_t>(size_)) < 0) return nullptr;
    PyRef owned = PyRef::steal(buffer);
    PyRef offsets = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(starts_.size())));
    if (!offsets) return nullptr;
    for (std::size_t index = 0; index < starts_.size(); ++index) {
      PyObject* start = PyLong_FromSize_t(starts_[index]);
      if (start == nullptr) return nullptr;
      PyList_SET_ITEM(offsets.get(), static_cast<Py_ssize_t>(index), start);
    }
    return PyTuple_Pack(2, owned.get(), offsets.get());
  }

 private:
  // The joined messages are written straight into the bytes object that is
  // returned, grown by doubling: a realloc, which for large blocks moves
  // pages rather than bytes, so no copy of the whole is ever made.
  [[nodiscard]] bool reserve(std::size_t extra) {
    if (buffer_ && capacity_ - size_ >= extra) return true;
    std::size_t wanted = capacity_ < 4096 ? 4096 : capacity_;
    while (wanted - size_ < extra) {
      if (wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 2) {
        PyErr_NoMemory();
        return false;
      }
      wanted *= 2;
    }
    if (!buffer_) {
      buffer_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
      if (!buffer_) return false;
    } else if (wanted != capacity_) {
      PyObject* grown = buffer_.release();
      if (_PyBytes_Resize(&grown, static_cast<Py_ssize_t>(wanted)) < 0) return false;
      buffer_ = PyRef::steal(grown);
    }
    capacity_ = wanted;
    return true;
  }

  [[nodiscard]] bool append(const char* data, std::size_t size) {
    if (!reserve(size)) return false;
    std::memcpy(PyBytes_AS_STRING(buffer_.get()) + size_, data, size);
    size_ += size;
    starts_.push_back(size_);
    return true;
  }

  bool joined_;
  PyRef list_;
  PyRef buffer_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  Vector<std::size_t> starts_;
};

// The dict path: each row as the dict serialize takes, built from the
// Arrow values, and serialize's bytes or error for it.
class DictRows {
 public:
  DictRows(std::string_view name, const ArrowSchema& schema, const Vector<PathKeys>& column_keys,
           const Vector<PathKeys>& empty_keys)
      : name_(name), schema_(schema), column_keys_(column_keys), empty_keys_(empty_keys) {}

  // Row `index` of `batch`, the stream's row `row`, into `out`; false with
  // the row's exception set.
  [[nodiscard]] bool encode(const ArrowArray& batch, std::int64_t index, std::int64_t row,
                            EncodedRows& out) {
    // Lists of numbers go to the encoder as views of their elements; a
    // row refused so is made again of plain lists, which the encoder
    // converts value by value (an int64 column for an int32[] field), so
    // that what is taken and what is said are serialize's own.
    BodyResult encoded = PythonErrorSet{};
    auto attempt = [&](bool views) {
      PyRef values = row_values(batch, index, row, views);
      if (!values) return false;
      encoded = serialize_body(name_, values.get());
      return true;
    };
    if (!attempt(kLayout.shaped_types)) return false;
    if (kLayout.shaped_types && encoded.is_message_error() && !attempt(false)) return false;
    if (!encoded.ok()) {
      if (encoded.is_message_error()) std::move(encoded.error()).raise();
      name_row(row);
      return false;
    }
    return out.add(encoded.value().get());
  }

 private:
  // The dict of one row, as serialize takes it; null with the exception set.
  PyRef row_values(const ArrowArray& batch, std::int64_t index, std::int64_t row, bool views) {
    PyRef values = PyRef::steal(PyDict_New());
    if (!values) return values;
    for (std::size_t column = 0; column < column_keys_.size(); ++column) {
      String problem;
      PyRef value = PyRef::steal(arrow_value(*schema_.children[column], *batch.children[column],
                                             batch.offset + index, problem, views));
      if (!value) {
        if (!problem.empty()) {
          PyErr_Format(PyExc_ValueError, "row %lld, column '%s': %s", static_cast<long long>(row),
                       name_of(*schema_.children[column]), problem.c_str());
        }
        return PyRef();
      }
      if (!put(values.get(), column_keys_[column], value.get())) return PyRef();
    }
    for (const PathKeys& keys : empty_keys_) {
      PyRef nothing = PyRef::steal(PyDict_New());
      if (!nothing || !put(values.get(), keys, nothing.get())) return PyRef();
    }
    return values;
  }

  std::string_view name_;
  const ArrowSchema& schema_;
  const Vector<PathKeys>& column_keys_;
  const Vector<PathKeys>& empty_keys_;
};

// The column path's binding of the stream's columns to the message type as
// the registry has it now: made again whenever the registry changed, since
// serialize would then find the plans anew.
class CurrentBinding {
 public:
  CurrentBinding(std::string_view name, const ArrowSchema& schema,
                 std::span<const ColumnPath> paths)
      : name_(name), schema_(schema), paths_(paths) {}

  // Null where the columns have no binding (the dict path takes them).
  [[nodiscard]] const ColumnBinding* get() {
    const std::uint64_t generation = registry_generation();
    if (generation == bound_at_) return binding_ ? &*binding_ : nullptr;
    bound_at_ = generation;
    binding_.reset();
    SchemaRef holder;
    std::optional<MessageError> error;
    const MessagePlan* plan = lookup_plan(name_, holder, error);
    if (plan == nullptr) {
      // The dict path looks it up again and reports what it finds.
      if (PyErr_Occurred()) PyErr_Clear();
      return nullptr;
    }
    binding_ = bind_columns(*plan, schema_, paths_);
    if (!binding_) return nullptr;
    binding_->schemas.push_back(std::move(holder));
    return &*binding_;
  }

 private:
  std::string_view name_;
  const ArrowSchema& schema_;
  std::span<const ColumnPath> paths_;
  std::optional<ColumnBinding> binding_;
  std::uint64_t bound_at_ = 0;  // no generation: registry generations start at 1
};

// How many bytes of messages the column path writes without the GIL before
// handing them over as bytes objects.
constexpr std::size_t kSegmentBytes = std::size_t{64} << 10;

// The rows of the stream as CDR messages, into `out`.
//
// A row goes the column path where the columns have a binding, the batch's
// arrays fit it and the walk is certain of the row: it then writes the
// bytes serialize writes for the row's dict.  Any other row goes the dict
// path, which builds that dict and runs serialize on it.  Rows are taken
// in order and a row's error is raised before any later row is read, so
// the messages, the error and the row it names are those of the dict path
// alone.
[[nodiscard]] bool encode_rows(std::string_view name, const MessagePlan& plan,
                               ArrowArrayStream& stream, EncodedRows& out) {
  SchemaHolder schema;
  if (int code = stream.get_schema(&stream, &schema.schema); code != 0) {
    return stream_failed(stream, code);
  }
  if (!top_is_whole(schema.schema)) {
    PyErr_SetString(PyExc_ValueError, kMalformedSchema);
    return false;
  }
  if (std::string_view(schema.schema.format) != "+s") {
    PyErr_Format(PyExc_TypeError, "argument 'table': expected a stream of record batches, got '%s'",
                 schema.schema.format);
    return false;
  }
  Vector<ColumnPath> paths(static_cast<std::size_t>(schema.schema.n_children));
  for (std::size_t column = 0; column < paths.size(); ++column) {
    String problem;
    if (!column_path(plan, name_of(*schema.schema.children[column]), paths[column], problem)) {
      PyErr_SetString(PyExc_ValueError, problem.c_str());
      return false;
    }
    for (std::size_t other = 0; other < column; ++other) {
      if (overlaps(paths[column], paths[other])) {
        PyErr_Format(PyExc_ValueError, "column '%s' gives again values that column '%s' gives",
                     name_of(*schema.schema.children[column]),
                     name_of(*schema.schema.children[other]));
        return false;
      }
    }
  }
  Vector<ColumnPath> empties;
  ColumnPath prefix;
  if (!empty_messages(plan, prefix, empties)) return false;
  std::erase_if(empties, [&](const ColumnPath& empty) {
    for (const ColumnPath& path : paths) {
      if (overlaps(empty, path)) return true;
    }
    return false;
  });
  Vector<PathKeys> column_keys(paths.size());
  for (std::size_t column = 0; column < paths.size(); ++column) {
    if (!keys_of(paths[column], column_keys[column])) return false;
  }
  Vector<PathKeys> empty_keys(empties.size());
  for (std::size_t empty = 0; empty < empties.size(); ++empty) {
    if (!keys_of(empties[empty], empty_keys[empty])) return false;
  }
  DictRows dict_rows(name, schema.schema, column_keys, empty_keys);
  CurrentBinding binding(name, schema.schema, paths);
  MessageBuffer written;
  std::int64_t row = 0;
  while (true) {
    ArrayHolder batch;
    if (int code = stream.get_next(&stream, &batch.array); code != 0) {
      return stream_failed(stream, code);
    }
    if (batch.array.release == nullptr) return true;
    if (batch.array.n_children != schema.schema.n_children) {
      PyErr_SetString(PyExc_ValueError, "a record batch does not match the stream's schema");
      return false;
    }
    if (!top_is_whole(batch.array)) {
      PyErr_SetString(PyExc_ValueError, kMalformedBatch);
      return false;
    }
    const ColumnBinding* bound = nullptr;
    bool fits = false;
    std::int64_t index = 0;
    while (index < batch.array.length) {
      if (const ColumnBinding* now = binding.get(); now != bound) {
        bound = now;
        fits = bound != nullptr && batch_fits(bound->root, batch.array);
      }
      if (fits) {
        written.clear();
        WrittenRows done;
        {
          const WithoutGil unlocked;
          done = write_rows(bound->root, batch.array, index, batch.array.length, written,
                            kSegmentBytes);
        }
        if (!out.add(written)) return false;
        row += done.next - index;
        index = done.next;
        if (!done.uncertain) continue;
      }
      if (!dict_rows.encode(batch.array, index, row, out)) return false;
      ++index;
      ++row;
    }
  }
}

}  // namespace

PyObject* encode_table_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            const char* first_parameter, NameForm full_name) {
  return run_contained<PyObject*>(nullptr, [&]() -> PyObject* {
    const ActiveCall call;
    if (!call.admitted()) return ActiveCall::refuse();
    const char* const names[kParameterCount] = {first_parameter, "table", "as_buffer"};
    PyObject* slots[kParameterCount] = {nullptr, nullptr, nullptr};
    if (!match_keyword_arguments({"encode_table", names, kParameterCount, 2}, args, nargs, kwnames,
                                 slots)) {
      return nullptr;
    }
    TextView given;
    if (!convert_text(slots[0], first_parameter, given)) return nullptr;
    bool as_buffer = false;
    if (slots[2] != nullptr) {
      if (!PyBool_Check(slots[2])) {
        PyErr_Format(PyExc_TypeError, "argument 'as_buffer': expected bool, got %.200s",
                     Py_TYPE(slots[2])->tp_name);
        return nullptr;
      }
      as_buffer = slots[2] == Py_True;
    }
    String storage;
    const std::string_view name = full_name(given.view(), storage);
    SchemaRef holder;
    std::optional<MessageError> error;
    const MessagePlan* plan = lookup_plan(name, holder, error);
    if (plan == nullptr) {
      if (error) return finish_call(std::move(*error));
      return nullptr;
    }
    StreamHolder stream;
    if (!take_stream(slots[1], stream)) return nullptr;
    EncodedRows out(as_buffer);
    if (!out.start() || !encode_rows(name, *plan, stream.stream, out)) return nullptr;
    return out.finish();
  });
}

}  // namespace korvex
