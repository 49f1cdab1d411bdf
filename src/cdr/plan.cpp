#include "cdr/plan.hpp"

#include <cstring>
#include <memory>

#include "base/text.hpp"
#include "base/text_hash.hpp"
#include "module/failure.hpp"

namespace korvex {
namespace {

PyRef field_key(std::string_view text) {
  PyObject* key = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (key == nullptr) return PyRef();
  if constexpr (kInternFieldKeys) {
    PyUnicode_InternInPlace(&key);
  } else {
    // Cache the hash now, as interning would have.
    if (PyObject_Hash(key) == -1) {
      Py_DECREF(key);
      return PyRef();
    }
  }
  return PyRef::steal(key);
}

}  // namespace

bool adopt_field_key(const FieldPlan& field, PyObject* candidate) {
  if (field.replaced_key) return false;
  // Interned strs are unique per text, so once adopted there is nothing
  // better to take; an exact str runs no code when compared.
  if (!PyUnicode_CheckExact(candidate) || PyUnicode_CHECK_INTERNED(candidate) == 0) return false;
  PyObject* own = field.key.get();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(own);
  const int kind = PyUnicode_KIND(own);
  if (PyUnicode_GET_LENGTH(candidate) != length || PyUnicode_KIND(candidate) != kind ||
      std::memcmp(PyUnicode_DATA(candidate), PyUnicode_DATA(own),
                  static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) != 0) {
    return false;
  }
  field.replaced_key = std::move(field.key);
  field.key = PyRef::borrow(candidate);
  return true;
}

const MessagePlan* plan_for(const RegisteredSchema& schema) {
  if (SchemaCache* cache = schema.cache()) return static_cast<const MessagePlan*>(cache);
  const Vector<FieldSchema>& fields = schema.schema().fields;
  auto plan = std::make_unique<MessagePlan>();
  std::size_t struct_fields = 0;
  for (const FieldSchema& field : fields) {
    if (field.field_type.leaf() == TypeKind::Struct) ++struct_fields;
  }
  plan->links.reserve(struct_fields);  // never reallocated: fields point into it
  [[maybe_unused]] const StructLink* const links_start = plan->links.data();
  plan->fields.reserve(fields.size());
  for (const FieldSchema& field : fields) {
    PyRef key = field_key(field.name);
    if (!key) return nullptr;
    StructLink* link = nullptr;
    if (field.field_type.leaf() == TypeKind::Struct) {
      plan->links.push_back(StructLink{&field.field_type.struct_name(), 0, nullptr});
      link = &plan->links.back();
    }
    const std::uint8_t size =
        field.field_type.array_depth() == 0 ? describe(field.field_type.leaf()).size : 0;
    const FieldType& type = field.field_type;
    const ValueType value_type{{type.shape(), type.length(), type.string_bound(), type.spelling()},
                               type.leaf(),
                               type.array_depth(),
                               link};
    plan->fields.push_back(FieldPlan{std::move(key), PyRef(), field.name, value_type, size});
  }
  // Fields point into `links`, which therefore must never have moved.
  KORVEX_ASSERT(plan->links.size() == struct_fields && plan->links.data() == links_start);
#ifndef NDEBUG
  for (const FieldPlan& field : plan->fields) {
    KORVEX_ASSERT((field.type.leaf == TypeKind::Struct) == (field.type.link != nullptr));
    KORVEX_ASSERT(field.type.link == nullptr ||
                  (field.type.link >= plan->links.data() &&
                   field.type.link < plan->links.data() + plan->links.size()));
  }
#endif
  plan->all_fixed_size = true;
  for (const FieldPlan& field : plan->fields) {
    if (field.fixed_size == 0) plan->all_fixed_size = false;
  }
  const MessagePlan* built = plan.get();
  schema.set_cache(std::move(plan));
  return built;
}

namespace {

// Looks `name` up in the registry and records the result in `link`.
[[nodiscard]] const MessagePlan* resolve_slow(std::string_view name, StructLink& link,
                                              SchemaRef& holder,
                                              std::optional<MessageError>& error) {
  std::uint64_t generation = 0;
  Result<SchemaRef> found = get_schema_internal(name, &generation);
  if (!found.ok()) {
    error.emplace(std::move(found.error()));
    return nullptr;
  }
  holder = std::move(found.value());
  const MessagePlan* plan = plan_for(*holder.get());
  if (plan == nullptr) return nullptr;
  link.target = holder.get();
  link.plan = plan;
  link.generation = generation;
  return plan;
}

// Recently used top-level schemas, by a hash of the name.  While the
// registry generation is the one a slot was filled at, the registry would
// return the same entry for that name, so the lookup can be skipped.  A slot
// keeps no name of its own: it is compared with the registered entry's
// name, which is only read while the generation proves the entry alive, and
// a failed lookup leaves the slot as it was.  So the cache holds nothing of
// a name that is not registered and nothing once a schema is unregistered.
// Only touched with the GIL held.
constexpr std::size_t kTopLevelSlots = 16;
StructLink g_top_level[kTopLevelSlots];

// The top four bits of the hash pick the slot.
std::size_t top_level_slot(std::string_view name) noexcept {
  static_assert(kTopLevelSlots == 16);
  return static_cast<std::size_t>(hash_text_ends(name.data(), name.size()) >> 60);
}

}  // namespace

const MessagePlan* resolve_link_slow(StructLink& link, SchemaRef& holder,
                                     std::optional<MessageError>& error) {
  return resolve_slow(*link.schema_name, link, holder, error);
}

const MessagePlan* lookup_plan(std::string_view name, SchemaRef& holder,
                               std::optional<MessageError>& error) {
  StructLink& slot = g_top_level[top_level_slot(name)];
  if (slot.generation == registry_generation() && slot.target->name() == name) {
    holder = SchemaRef(slot.target);
    return slot.plan;
  }
  StructLink found{nullptr, 0, nullptr, nullptr};
  const MessagePlan* plan = resolve_slow(name, found, holder, error);
  if (plan != nullptr) slot = found;
  return plan;
}

}  // namespace korvex
