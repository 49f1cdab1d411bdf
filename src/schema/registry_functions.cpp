#include "schema/registry_functions.hpp"

#include <algorithm>
#include <optional>

#include "base/memory.hpp"
#include "base/text.hpp"
#include "module/python_errors.hpp"
#include "schema/registry.hpp"

namespace korvex {
namespace {

// Reads one item of a field entry as text.  A non-str item fails with the
// same conversion text an argument would get; a str without a UTF-8 form
// fails with the interpreter's own error; both rendered as "Type: text".
Result<String> field_entry_text(PyObject* item) {
  if (!PyUnicode_Check(item)) {
    std::optional<String> refusal = not_an_instance_text(item, "str");
    if (!refusal) return PythonErrorSet{};
    return MessageError::schema_definition("TypeError: " + *refusal);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (utf8 == nullptr) {
    std::optional<String> rendered = render_pending_exception();
    if (!rendered) return PythonErrorSet{};
    return MessageError::schema_definition(std::move(*rendered));
  }
  return String(utf8, static_cast<std::size_t>(size));
}

Result<MessageSchema> parse_field_list(PyObject* fields) {
  MessageSchema schema;
  const Py_ssize_t initial_length = PyList_GET_SIZE(fields);
  // Room for the common case; a huge list grows the sequence as it goes
  // instead of reserving ten times its own size up front.
  schema.fields.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(initial_length, 1024)));
  for (Py_ssize_t index = 0; index < initial_length && index < PyList_GET_SIZE(fields); ++index) {
    PyObject* entry = PyList_GET_ITEM(fields, index);  // borrowed
    const bool is_list = PyList_Check(entry);
    if (!is_list && !PyTuple_Check(entry)) {
      return MessageError::schema_definition("Fields must be provided as list[tuple[str, str]]");
    }
    const Py_ssize_t items = is_list ? PyList_GET_SIZE(entry) : PyTuple_GET_SIZE(entry);
    if (items != 2) {
      return MessageError::schema_definition("Each field entry must contain exactly 2 items");
    }
    PyObject* name_item = is_list ? PyList_GET_ITEM(entry, 0) : PyTuple_GET_ITEM(entry, 0);
    Result<String> field_name = field_entry_text(name_item);
    if (!field_name.ok()) return std::move(field_name).pass_on<MessageSchema>();
    PyObject* type_item = is_list ? PyList_GET_ITEM(entry, 1) : PyTuple_GET_ITEM(entry, 1);
    Result<String> type_name = field_entry_text(type_item);
    if (!type_name.ok()) return std::move(type_name).pass_on<MessageSchema>();
    Result<FieldType> field_type = FieldType::from_name(type_name.value());
    if (!field_type.ok()) return std::move(field_type).pass_on<MessageSchema>();
    schema.fields.push_back(
        FieldSchema{std::move(field_name.value()), std::move(field_type.value())});
  }
  return schema;
}

}  // namespace

BodyResult register_schema_body(std::string_view name, PyObject* fields) {
  Result<MessageSchema> schema = parse_field_list(fields);
  if (!schema.ok()) return std::move(schema).pass_on<PyRef>();
  Result<bool> inserted = insert_schema(name, std::move(schema.value()));
  if (!inserted.ok()) return std::move(inserted).pass_on<PyRef>();
  return PyRef::borrow(Py_None);
}

BodyResult canonical_type_name_body(PyObject* type_name) {
  if (!PyUnicode_Check(type_name)) return PyRef::borrow(Py_None);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(type_name, &size);
  if (utf8 == nullptr) {
    // A text without a UTF-8 form is refused by register_schema too.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return PythonErrorSet{};
    PyErr_Clear();
    return PyRef::borrow(Py_None);
  }
  Result<FieldType> type =
      FieldType::from_name(std::string_view(utf8, static_cast<std::size_t>(size)));
  if (!type.ok()) return PyRef::borrow(Py_None);
  PyRef name = make_text(type.value().as_name());
  if (!name) return PythonErrorSet{};
  return name;
}

BodyResult get_schema_body(std::string_view name) {
  Result<SchemaRef> found = get_schema_internal(name);
  if (!found.ok()) return std::move(found).pass_on<PyRef>();
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return PythonErrorSet{};
  for (const FieldSchema& field : found.value()->schema().fields) {
    PyRef field_name = make_text(field.name);
    if (!field_name) return PythonErrorSet{};
    PyRef type_name = make_text(field.field_type.as_name());
    if (!type_name) return PythonErrorSet{};
    PyRef pair = PyRef::steal(PyTuple_Pack(2, field_name.get(), type_name.get()));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return PythonErrorSet{};
  }
  return list;
}

BodyResult schema_exists_body(std::string_view name) {
  return PyRef::borrow(find_schema(name) == ExistsOutcome::Present ? Py_True : Py_False);
}

BodyResult unregister_schema_body(std::string_view name) {
  switch (remove_schema(name)) {
    case RemoveOutcome::Removed:
      return PyRef::borrow(Py_None);
    case RemoveOutcome::Unknown:
      return MessageError::unknown_schema(String(name));
    case RemoveOutcome::Poisoned:
      PyErr_SetString(PyExc_ValueError, "Schema registry lock poisoned");
      return PythonErrorSet{};
  }
  return PythonErrorSet{};
}

}  // namespace korvex
