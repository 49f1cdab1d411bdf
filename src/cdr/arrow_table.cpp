#include "cdr/arrow_table.hpp"

#include <cstring>

#include "module/failure.hpp"

namespace korvex {
namespace {

// What an empty buffer points at: consumers may read a null buffer pointer
// as missing, and some read the first offset of an empty array.
alignas(64) const std::int64_t kNoBytes[8] = {};

String format_of(const ColumnType& type) {
  switch (type.form) {
    case ColumnForm::Bool:
      return "b";
    case ColumnForm::Fixed:
      if (const std::string_view format = describe(type.kind).arrow_format; !format.empty()) {
        return String(format);
      }
      KORVEX_INTERNAL_FAILURE("a fixed-width column of a kind without a fixed width");
    case ColumnForm::Utf8:
      return "u";
    case ColumnForm::Binary:
      return "z";
    case ColumnForm::FixedBinary:
      return concat({"w:", decimal(type.length)});
    case ColumnForm::List:
      return "+l";
    case ColumnForm::FixedList:
      return concat({"+w:", decimal(type.length)});
    case ColumnForm::Struct:
      return "+s";
  }
  KORVEX_INTERNAL_FAILURE("format_of called with a value that is no ColumnForm");
}

// Arrow's metadata encoding: int32 pair count, then each key and value as
// an int32 length and its bytes, in the machine's byte order.
String metadata_of(std::string_view type_name) {
  constexpr std::string_view kKey = "type_name";
  String out;
  auto put_int = [&out](std::int32_t value) {
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(bytes, 4);
  };
  put_int(1);
  put_int(static_cast<std::int32_t>(kKey.size()));
  out.append(kKey);
  put_int(static_cast<std::int32_t>(type_name.size()));
  out.append(type_name);
  return out;
}

// ---------------------------------------------------------------------------
// Schemas: each node owns its texts and its children.

struct SchemaNode : AbortingNew {
  String format;
  String name;
  String metadata;
  Vector<ArrowSchema> children;
  Vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
  auto* node = static_cast<SchemaNode*>(schema->private_data);
  for (ArrowSchema& child : node->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete node;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, String format, String name, String metadata,
                 std::size_t children) {
  auto* node = new SchemaNode;
  node->format = std::move(format);
  node->name = std::move(name);
  node->metadata = std::move(metadata);
  node->children.resize(children);
  node->child_pointers.resize(children);
  for (std::size_t index = 0; index < children; ++index) {
    node->child_pointers[index] = &node->children[index];
  }
  out->format = node->format.c_str();
  out->name = node->name.c_str();
  out->metadata = node->metadata.empty() ? nullptr : node->metadata.data();
  out->flags = 0;  // nothing is nullable
  out->n_children = static_cast<std::int64_t>(children);
  out->children = children != 0 ? node->child_pointers.data() : nullptr;
  out->dictionary = nullptr;
  out->release = &release_schema;
  out->private_data = node;
}

void export_type(const ColumnType& type, std::string_view name, ArrowSchema* out) {
  fill_schema(out, format_of(type), String(name), String(), type.children.size());
  auto* node = static_cast<SchemaNode*>(out->private_data);
  for (std::size_t index = 0; index < type.children.size(); ++index) {
    export_type(type.children[index], type.children[index].name, &node->children[index]);
  }
}

// ---------------------------------------------------------------------------
// Arrays: each node holds a reference to the table, so that a consumer may
// move a child out and release it on its own.

struct ArrayNode : AbortingNew {
  TableData* table;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  Vector<ArrowArray> children;
  Vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
  auto* node = static_cast<ArrayNode*>(array->private_data);
  for (ArrowArray& child : node->children) {
    if (child.release != nullptr) child.release(&child);
  }
  TableData* table = node->table;
  delete node;
  array->release = nullptr;
  table->release();
}

[[nodiscard]] ArrayNode* fill_array(ArrowArray* out, TableData* table, std::int64_t length,
                                    std::int64_t buffers, std::size_t children) {
  auto* node = new ArrayNode;
  table->retain();
  node->table = table;
  node->children.resize(children);
  node->child_pointers.resize(children);
  for (std::size_t index = 0; index < children; ++index) {
    node->child_pointers[index] = &node->children[index];
  }
  out->length = length;
  out->null_count = 0;
  out->offset = 0;
  out->n_buffers = buffers;
  out->n_children = static_cast<std::int64_t>(children);
  out->buffers = node->buffers;
  out->children = children != 0 ? node->child_pointers.data() : nullptr;
  out->dictionary = nullptr;
  out->release = &release_array;
  out->private_data = node;
  return node;
}

const void* buffer_of(const ColumnBuffer& buffer) {
  return buffer.empty() ? static_cast<const void*>(kNoBytes) : buffer.data();
}

void export_data(const ColumnType& type, const ColumnData& data, TableData* table,
                 ArrowArray* out) {
  std::int64_t buffers = 1;  // the validity bitmap, always absent
  switch (type.form) {
    case ColumnForm::Bool:
    case ColumnForm::Fixed:
    case ColumnForm::FixedBinary:
    case ColumnForm::List:
      buffers = 2;
      break;
    case ColumnForm::Utf8:
    case ColumnForm::Binary:
      buffers = 3;
      break;
    case ColumnForm::FixedList:
    case ColumnForm::Struct:
      break;
  }
  ArrayNode* node = fill_array(out, table, data.length, buffers, type.children.size());
  switch (type.form) {
    case ColumnForm::Bool:
    case ColumnForm::Fixed:
    case ColumnForm::FixedBinary:
      node->buffers[1] = buffer_of(data.values);
      break;
    case ColumnForm::List:
      node->buffers[1] = buffer_of(data.offsets);
      break;
    case ColumnForm::Utf8:
    case ColumnForm::Binary:
      node->buffers[1] = buffer_of(data.offsets);
      node->buffers[2] = buffer_of(data.values);
      break;
    case ColumnForm::FixedList:
    case ColumnForm::Struct:
      break;
  }
  for (std::size_t index = 0; index < type.children.size(); ++index) {
    export_data(type.children[index], data.children[index], table, &node->children[index]);
  }
}

// ---------------------------------------------------------------------------
// Streams

struct StreamState : AbortingNew {
  TableData* table;
  std::size_t next = 0;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  static_cast<StreamState*>(stream->private_data)->table->export_schema(out);
  return 0;
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  if (state->next == state->table->batch_count()) {
    std::memset(out, 0, sizeof *out);  // the end: an array without release
    return 0;
  }
  state->table->export_batch(state->next++, out);
  return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
  auto* state = static_cast<StreamState*>(stream->private_data);
  TableData* table = state->table;
  delete state;
  stream->release = nullptr;
  table->release();
}

}  // namespace

TableData* TableData::make(String type_name, ColumnType root, Vector<ColumnData> batches,
                           bool flatten, const Vector<std::int64_t>* log_times) {
  auto* table = new TableData;
  table->type_name_ = std::move(type_name);
  table->root_ = std::move(root);
  table->batches_ = std::move(batches);
  for (const ColumnData& batch : table->batches_) table->rows_ += batch.length;
  if (log_times != nullptr) {
    KORVEX_ASSERT(log_times->size() == static_cast<std::size_t>(table->rows_));
    ColumnType& type = table->log_time_type_;
    type.form = ColumnForm::Fixed;
    type.kind = TypeKind::Int64;
    type.width = 8;
    type.name = "log_time";
    // Each batch's own copy of its rows' times, so that a batch exports as
    // the message columns do.
    std::size_t first = 0;
    table->log_time_batches_.reserve(table->batches_.size());
    for (const ColumnData& batch : table->batches_) {
      ColumnData& times = table->log_time_batches_.emplace_back();
      const auto count = static_cast<std::size_t>(batch.length);
      times.values.append(log_times->data() + first, count * sizeof(std::int64_t));
      times.length = batch.length;
      first += count;
    }
    table->columns_.push_back(TableColumn{String("log_time"), &type, {}, true});
  }
  Vector<std::size_t> path;
  table->add_columns(table->root_, String(), path, flatten);
  return table;
}

void TableData::add_columns(const ColumnType& type, const String& prefix, Vector<std::size_t>& path,
                            bool flatten) {
  for (std::size_t index = 0; index < type.children.size(); ++index) {
    const ColumnType& child = type.children[index];
    String name = prefix.empty() ? child.name : concat({prefix, ".", child.name});
    path.push_back(index);
    if (flatten && child.form == ColumnForm::Struct) {
      add_columns(child, name, path, flatten);
    } else {
      columns_.push_back(TableColumn{std::move(name), &child, path});
    }
    path.pop_back();
  }
}

void TableData::export_schema(ArrowSchema* out) const {
  fill_schema(out, "+s", String(), metadata_of(type_name_), columns_.size());
  auto* node = static_cast<SchemaNode*>(out->private_data);
  for (std::size_t index = 0; index < columns_.size(); ++index) {
    const TableColumn& column = columns_[index];
    if (column.log_time) {
      fill_schema(&node->children[index], "tsn:UTC", column.name, String(), 0);
      continue;
    }
    // The column's own name, which flatten makes dotted.
    export_type(*column.type, column.name, &node->children[index]);
  }
}

void TableData::export_batch(std::size_t index, ArrowArray* out) {
  const ColumnData& batch = batches_[index];
  ArrayNode* node = fill_array(out, this, batch.length, 1, columns_.size());
  for (std::size_t column = 0; column < columns_.size(); ++column) {
    const ColumnData* data = columns_[column].log_time ? &log_time_batches_[index] : &batch;
    for (std::size_t step : columns_[column].path) data = &data->children[step];
    export_data(*columns_[column].type, *data, this, &node->children[column]);
  }
}

void TableData::export_stream(ArrowArrayStream* out) {
  auto* state = new StreamState;
  retain();
  state->table = this;
  out->get_schema = &stream_schema;
  out->get_next = &stream_next;
  out->get_last_error = &stream_error;
  out->release = &release_stream;
  out->private_data = state;
}

}  // namespace korvex
