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

Result<MessageSchema> parse_fields(std::string_view type_name, PyObject* fields) {
  MessageSchema schema;
  // The list is ours to read: nothing below runs Python code.
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
    const std::string_view field_name(name, static_cast<std::size_t>(name_size));
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
    Result<FieldType> field_type =
        ros2_field_type(std::string_view(type, static_cast<std::size_t>(type_size)));
    if (!field_type.ok()) return std::move(field_type).pass_on<MessageSchema>();
    schema.fields.push_back(FieldSchema{String(field_name), std::move(field_type.value())});
  }
  return schema;
}

}  // namespace

BodyResult register_type_body(std::string_view type_name, PyObject* fields) {
  if (!is_ros2_type_name(type_name)) {
    return MessageError::schema_definition(
        concat({"'", type_name, "' is not a full ROS 2 message type name (pkg/msg/Name)"}));
  }
  Result<MessageSchema> schema = parse_fields(type_name, fields);
  if (!schema.ok()) return std::move(schema).pass_on<PyRef>();
  // No Python code runs from here to the insertion, so with the GIL held no
  // other registration comes between the lookup and the insertion.
  Result<SchemaRef> existing = get_schema_internal(type_name);
  if (existing.ok()) {
    if (existing.value()->schema() == schema.value()) return PyRef::borrow(Py_False);
    return MessageError::schema_definition(
        concat({"ROS 2 message type '", type_name,
                "' is already registered with a different definition"}));
  }
  Result<bool> inserted = insert_schema(type_name, std::move(schema.value()));
  if (!inserted.ok()) return std::move(inserted).pass_on<PyRef>();
  return PyRef::borrow(Py_True);
}

BodyResult type_exists_body(std::string_view type_name) {
  return PyRef::borrow(find_schema(type_name) == ExistsOutcome::Present ? Py_True : Py_False);
}

}  // namespace korvex
