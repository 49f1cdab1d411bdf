#include "cdr/plan.hpp"

#include <memory>

#include "module/failure.hpp"

namespace korvex {
namespace {

PyRef interned_key(std::string_view text) {
  PyObject* key = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (key == nullptr) return PyRef();
  PyUnicode_InternInPlace(&key);
  return PyRef::steal(key);
}

PyObject* permanent_key(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    slot = PyUnicode_InternFromString(text);
    if (slot == nullptr) KORVEX_INTERNAL_FAILURE(std::string("could not create key ") + text);
  }
  return slot;
}

}  // namespace

const MessagePlan* plan_for(const RegisteredSchema& schema) {
  if (SchemaCache* cache = schema.cache()) return static_cast<const MessagePlan*>(cache);
  const std::vector<FieldSchema>& fields = schema.schema().fields;
  auto plan = std::make_unique<MessagePlan>();
  std::size_t struct_fields = 0;
  for (const FieldSchema& field : fields) {
    if (field.field_type.leaf() == TypeKind::Struct) ++struct_fields;
  }
  plan->links.reserve(struct_fields);  // never reallocated: fields point into it
  plan->fields.reserve(fields.size());
  for (const FieldSchema& field : fields) {
    PyRef key = interned_key(field.name);
    if (!key) return nullptr;
    StructLink* link = nullptr;
    if (field.field_type.leaf() == TypeKind::Struct) {
      plan->links.push_back(StructLink{&field.field_type.struct_name(), 0, nullptr});
      link = &plan->links.back();
    }
    plan->fields.push_back(FieldPlan{
        std::move(key), field.name,
        ValueType{field.field_type.leaf(), field.field_type.array_depth(), link}});
  }
  const MessagePlan* built = plan.get();
  schema.set_cache(std::move(plan));
  return built;
}

SchemaRef resolve_link(StructLink& link, std::optional<MessageError>& error) {
  if (link.target != nullptr && link.generation == registry_generation()) {
    return SchemaRef(link.target);
  }
  std::uint64_t generation = 0;
  Result<SchemaRef> found = get_schema_internal(*link.schema_name, &generation);
  if (!found.ok()) {
    error.emplace(std::move(found.error()));
    return SchemaRef();
  }
  link.target = found.value().get();
  link.generation = generation;
  return std::move(found.value());
}

PyObject* sec_key() {
  static PyObject* key = nullptr;
  return permanent_key(key, "sec");
}

PyObject* nanosec_key() {
  static PyObject* key = nullptr;
  return permanent_key(key, "nanosec");
}

}  // namespace korvex
