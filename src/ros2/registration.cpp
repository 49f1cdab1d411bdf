#include "ros2/registration.hpp"

#include "base/memory.hpp"
#include "schema/registry.hpp"
#include "schema/ros2_types.hpp"

namespace korvex {
namespace {

// The UTF-8 text of a str, or null after setting a TypeError.
const char* text_of(PyObject* item, Py_ssize_t& size, const char* what) {
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", what, Py_TYPE(item)->tp_name);
    return nullptr;
  }
  return PyUnicode_AsUTF8AndSize(item, &size);
}

std::string_view view_of(const char* text, Py_ssize_t size) {
  return std::string_view(text, static_cast<std::size_t>(size));
}

// `fields` is a list; its items are read with no Python code run in between.
Result<MessageSchema> parse_fields(std::string_view type_name, PyObject* fields) {
  MessageSchema schema;
  const Py_ssize_t count = PyList_GET_SIZE(fields);
  schema.fields.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t index = 0; index < count; ++index) {
    PyObject* entry = PyList_GET_ITEM(fields, index);  // borrowed
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
      PyErr_SetString(PyExc_TypeError, "each field must be a (name, type) tuple");
      return PythonErrorSet{};
    }
    Py_ssize_t name_size = 0;
    const char* name = text_of(PyTuple_GET_ITEM(entry, 0), name_size, "a field name");
    if (name == nullptr) return PythonErrorSet{};
    Py_ssize_t type_size = 0;
    const char* type = text_of(PyTuple_GET_ITEM(entry, 1), type_size, "a field type");
    if (type == nullptr) return PythonErrorSet{};
    const std::string_view field_name = view_of(name, name_size);
    if (field_name.empty()) {
      return MessageError::schema_definition(
          concat({"a field of '", type_name, "' has an empty name"}));
    }
    for (const FieldSchema& earlier : schema.fields) {
      if (earlier.name == field_name) {
        return MessageError::schema_definition(
            concat({"'", type_name, "' has two fields named '", field_name, "'"}));
      }
    }
    Result<FieldType> field_type = ros2_field_type(
        view_of(type, type_size), concat({"'", type_name, "', field '", field_name, "': "}));
    if (!field_type.ok()) return std::move(field_type).pass_on<MessageSchema>();
    schema.fields.push_back(FieldSchema{String(field_name), std::move(field_type.value())});
  }
  return schema;
}

Result<SchemaEntry> parse_entry(std::string_view type_name, PyObject* fields) {
  if (!is_ros2_type_name(type_name)) {
    return MessageError::schema_definition(
        concat({"'", type_name,
                "' is not a full ROS 2 type name (pkg/msg/Name, pkg/srv/Name or "
                "pkg/action/Name)"}));
  }
  Result<MessageSchema> schema = parse_fields(type_name, fields);
  if (!schema.ok()) return std::move(schema).pass_on<SchemaEntry>();
  return SchemaEntry{String(type_name), std::move(schema.value()), false};
}

// Inserts the batch, or nothing; the error names the type whose name holds
// another definition.
Result<bool> insert_all(std::span<SchemaEntry> batch) {
  const BatchInsertion outcome = insert_schemas(batch);
  switch (outcome.outcome) {
    case BatchInsertion::Outcome::Inserted:
      return true;
    case BatchInsertion::Outcome::Conflict:
      return MessageError::schema_definition(
          concat({"ROS 2 message type '", batch[outcome.index].name,
                  "' is already registered with a different definition"}));
    case BatchInsertion::Outcome::Poisoned:
      return MessageError::serialization_failed("Schema registry lock poisoned");
  }
  return false;
}

}  // namespace

BodyResult register_type_body(std::string_view type_name, PyObject* fields) {
  Result<SchemaEntry> entry = parse_entry(type_name, fields);
  if (!entry.ok()) return std::move(entry).pass_on<PyRef>();
  Result<bool> inserted = insert_all(std::span<SchemaEntry>(&entry.value(), 1));
  if (!inserted.ok()) return std::move(inserted).pass_on<PyRef>();
  return PyRef::borrow(entry.value().inserted ? Py_True : Py_False);
}

BodyResult register_types_body(PyObject* types) {
  Vector<SchemaEntry> batch;
  const Py_ssize_t count = PyList_GET_SIZE(types);
  batch.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t index = 0; index < count; ++index) {
    PyObject* item = PyList_GET_ITEM(types, index);  // borrowed
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 ||
        !PyList_Check(PyTuple_GET_ITEM(item, 1))) {
      PyErr_SetString(PyExc_TypeError, "each type must be a (type name, list of fields) tuple");
      return PythonErrorSet{};
    }
    Py_ssize_t name_size = 0;
    const char* name = text_of(PyTuple_GET_ITEM(item, 0), name_size, "a type name");
    if (name == nullptr) return PythonErrorSet{};
    Result<SchemaEntry> entry = parse_entry(view_of(name, name_size), PyTuple_GET_ITEM(item, 1));
    if (!entry.ok()) return std::move(entry).pass_on<PyRef>();
    batch.push_back(std::move(entry.value()));
  }
  Result<bool> inserted = insert_all(batch);
  if (!inserted.ok()) return std::move(inserted).pass_on<PyRef>();
  PyRef flags = PyRef::steal(PyList_New(count));
  if (!flags) return PythonErrorSet{};
  for (Py_ssize_t index = 0; index < count; ++index) {
    PyObject* flag = batch[static_cast<std::size_t>(index)].inserted ? Py_True : Py_False;
    PyList_SET_ITEM(flags.get(), index, Py_NewRef(flag));
  }
  return flags;
}

BodyResult unregister_types_body(PyObject* names) {
  const Py_ssize_t count = PyList_GET_SIZE(names);
  Vector<std::string_view> views;
  views.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t index = 0; index < count; ++index) {
    Py_ssize_t size = 0;
    // The UTF-8 form is cached on the str, which the list keeps alive.
    const char* text = text_of(PyList_GET_ITEM(names, index), size, "a type name");
    if (text == nullptr) return PythonErrorSet{};
    views.push_back(view_of(text, size));
  }
  const BatchRemoval outcome = remove_schemas(views);
  switch (outcome.outcome) {
    case BatchRemoval::Outcome::Removed:
      return PyRef::borrow(Py_None);
    case BatchRemoval::Outcome::Unknown:
      return MessageError::unknown_schema(String(views[outcome.index]));
    case BatchRemoval::Outcome::InUse:
      return MessageError::schema_definition(
          concat({"ROS 2 message type '", views[outcome.index], "' is used by '", outcome.user,
                  "', which stays registered"}));
    case BatchRemoval::Outcome::Poisoned:
      return MessageError::serialization_failed("Schema registry lock poisoned");
  }
  return PythonErrorSet{};
}

BodyResult type_exists_body(std::string_view type_name) {
  return PyRef::borrow(find_schema(type_name) == ExistsOutcome::Present ? Py_True : Py_False);
}

}  // namespace korvex
