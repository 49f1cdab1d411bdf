// The process-wide schema registry.
//
// An entry never changes in place: registering inserts a new immutable
// RegisteredSchema, unregistering removes it.  Readers therefore receive a
// shared handle to the registered record instead of a deep copy; nobody can
// tell the two apart, because nothing can modify the record.
//
// Every insertion and removal changes the generation number, so a cached
// resolution of a schema name stays valid exactly as long as the generation
// it was made at is still current.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "base/memory.hpp"
#include "module/errors.hpp"
#include "module/failure.hpp"
#include "schema/field_type.hpp"

namespace korvex {

// Per-schema data derived by the codec (compiled plans).  Owned by the
// registered schema and built on first use.
class SchemaCache : public AbortingNew {
 public:
  virtual ~SchemaCache() = default;
};

// A registered schema.  Reference counts are plain integers: every holder
// runs with the GIL held, which serialises all changes to them.
class RegisteredSchema : public AbortingNew {
 public:
  RegisteredSchema(String name, MessageSchema schema)
      : name_(std::move(name)), schema_(std::move(schema)) {}
  RegisteredSchema(const RegisteredSchema&) = delete;
  RegisteredSchema& operator=(const RegisteredSchema&) = delete;

  // The name it is registered under (the registry's key points into it).
  std::string_view name() const noexcept { return name_; }
  const MessageSchema& schema() const noexcept { return schema_; }
  SchemaCache* cache() const noexcept { return cache_.get(); }
  void set_cache(std::unique_ptr<SchemaCache> cache) const { cache_ = std::move(cache); }

  void add_reference() const {
    KORVEX_ASSERT(PyGILState_Check());
    ++references_;
  }
  void drop_reference() const {
    KORVEX_ASSERT(PyGILState_Check() && references_ > 0);
    if (--references_ == 0) delete this;
  }

 private:
  ~RegisteredSchema() = default;

  String name_;
  MessageSchema schema_;
  mutable std::unique_ptr<SchemaCache> cache_;
  mutable std::uint64_t references_ = 0;
};

// Owning handle to a RegisteredSchema.
class SchemaRef {
 public:
  SchemaRef() noexcept = default;
  explicit SchemaRef(const RegisteredSchema* schema) noexcept : schema_(schema) {
    if (schema_) schema_->add_reference();
  }
  SchemaRef(const SchemaRef& other) noexcept : SchemaRef(other.schema_) {}
  SchemaRef(SchemaRef&& other) noexcept : schema_(other.schema_) { other.schema_ = nullptr; }
  SchemaRef& operator=(SchemaRef other) noexcept {
    std::swap(schema_, other.schema_);
    return *this;
  }
  ~SchemaRef() {
    if (schema_) schema_->drop_reference();
  }
  const RegisteredSchema* get() const noexcept { return schema_; }
  const RegisteredSchema* operator->() const noexcept { return schema_; }
  explicit operator bool() const noexcept { return schema_ != nullptr; }

 private:
  const RegisteredSchema* schema_ = nullptr;
};

// The registry's generation number: changes on every insertion and removal
// (and when the registry becomes unusable).  Read on every struct value, so
// it is a plain global rather than part of the lazily created registry.
extern std::atomic<std::uint64_t> g_registry_generation;
inline std::uint64_t registry_generation() noexcept {
  return g_registry_generation.load(std::memory_order_relaxed);
}

// Looks a schema up.  UnknownSchema for an unregistered name,
// DeserializationFailed("Schema registry lock poisoned") for a poisoned
// registry.  `generation_seen`, when given, receives the generation under
// which the lookup was made.
Result<SchemaRef> get_schema_internal(std::string_view name,
                                      std::uint64_t* generation_seen = nullptr);

// Inserts a schema.  SchemaAlreadyRegistered if the name is taken,
// SerializationFailed("Schema registry lock poisoned") when poisoned.
Result<bool> insert_schema(std::string_view name, MessageSchema schema);

enum class RemoveOutcome { Removed, Unknown, Poisoned };
RemoveOutcome remove_schema(std::string_view name);

// One schema of a batch registration; `inserted` tells, afterwards, whether
// it was new (false: the name already held an equal schema).
struct SchemaEntry {
  String name;
  MessageSchema schema;
  bool inserted = false;
};

// Inserts every schema of `batch`, or none of them: a name that holds an
// equal schema is left as it is, one that holds another schema fails the
// whole batch (Conflict, at `index`).  The generation changes once, if any
// schema was inserted.
struct BatchInsertion {
  enum class Outcome { Inserted, Conflict, Poisoned } outcome = Outcome::Inserted;
  std::size_t index = 0;
};
BatchInsertion insert_schemas(std::span<SchemaEntry> batch);

// Removes every schema named in `names`, or none of them: Unknown when one
// is not registered (at `index`), InUse when a schema that stays has a
// field of a removed one (`user` names it, `index` the removed one).
struct BatchRemoval {
  enum class Outcome { Removed, Unknown, InUse, Poisoned } outcome = Outcome::Removed;
  std::size_t index = 0;
  String user;
};
BatchRemoval remove_schemas(std::span<const std::string_view> names);

enum class ExistsOutcome { Present, Absent, Poisoned };
ExistsOutcome find_schema(std::string_view name);

// Test hook: fails internally while holding the registry lock, which
// poisons the registry for the rest of the process.
[[noreturn]] void fail_while_holding_registry_lock();

}  // namespace korvex
