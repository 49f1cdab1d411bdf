#include "schema/registry.hpp"

#include <atomic>
#include <exception>
#include <mutex>
#include <unordered_map>

#include "base/memory.hpp"
#include "module/failure.hpp"

namespace korvex {
namespace {

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

struct Registry : AbortingNew {
  std::mutex mutex;
  bool poisoned = false;  // guarded by mutex; never cleared
  // Keyed by views of the entries' own names, so that each name is stored
  // once and goes with its entry.
  std::unordered_map<std::string_view, SchemaRef, NameHash, std::equal_to<>,
                     Allocator<std::pair<const std::string_view, SchemaRef>>>
      map;
};

// Created on first use by whichever thread gets there first, and never
// destroyed: it lives until the process ends.
Registry& registry() {
  static Registry* const instance = new Registry();
  return *instance;
}

// Holds the registry lock; if an internal failure unwinds through it, the
// registry is marked poisoned.
class RegistryLock {
 public:
  explicit RegistryLock(Registry& r) : registry_(r), lock_(r.mutex) {}
  ~RegistryLock() {
    if (std::uncaught_exceptions() > exceptions_at_entry_) {
      registry_.poisoned = true;
      g_registry_generation.fetch_add(1, std::memory_order_relaxed);
    }
  }
  bool poisoned() const noexcept { return registry_.poisoned; }

 private:
  Registry& registry_;
  std::unique_lock<std::mutex> lock_;
  int exceptions_at_entry_ = std::uncaught_exceptions();
};

}  // namespace

std::atomic<std::uint64_t> g_registry_generation{1};

Result<SchemaRef> get_schema_internal(std::string_view name, std::uint64_t* generation_seen) {
  Registry& r = registry();
  RegistryLock lock(r);
  if (lock.poisoned()) {
    return MessageError::deserialization_failed("Schema registry lock poisoned");
  }
  auto found = r.map.find(name);
  if (found == r.map.end()) return MessageError::unknown_schema(String(name));
  if (generation_seen != nullptr) *generation_seen = registry_generation();
  return found->second;
}

Result<bool> insert_schema(std::string_view name, MessageSchema schema) {
  SchemaRef entry(new RegisteredSchema(String(name), std::move(schema)));
  Registry& r = registry();
  RegistryLock lock(r);
  if (lock.poisoned()) {
    return MessageError::serialization_failed("Schema registry lock poisoned");
  }
  if (r.map.find(name) != r.map.end()) {
    return MessageError::schema_already_registered(String(name));
  }
  const std::string_view key = entry->name();
  r.map.emplace(key, std::move(entry));
  g_registry_generation.fetch_add(1, std::memory_order_relaxed);
  return true;
}

RemoveOutcome remove_schema(std::string_view name) {
  SchemaRef removed;  // released after the lock, so no cleanup runs under it
  {
    Registry& r = registry();
    RegistryLock lock(r);
    if (lock.poisoned()) return RemoveOutcome::Poisoned;
    auto found = r.map.find(name);
    if (found == r.map.end()) return RemoveOutcome::Unknown;
    removed = std::move(found->second);
    r.map.erase(found);
    g_registry_generation.fetch_add(1, std::memory_order_relaxed);
  }
  return RemoveOutcome::Removed;
}

BatchInsertion insert_schemas(std::span<SchemaEntry> batch) {
  // The entries are made before the lock, so that it is held only for the
  // map's own work.
  Vector<SchemaRef> entries;
  entries.reserve(batch.size());
  for (SchemaEntry& item : batch) {
    entries.emplace_back(new RegisteredSchema(item.name, item.schema));
  }
  Vector<SchemaRef> withdrawn;  // released after the lock, as in remove_schema
  Registry& r = registry();
  RegistryLock lock(r);
  if (lock.poisoned()) return {BatchInsertion::Outcome::Poisoned, 0};
  for (std::size_t index = 0; index < batch.size(); ++index) {
    const auto found = r.map.find(std::string_view(batch[index].name));
    if (found == r.map.end()) {
      const std::string_view key = entries[index]->name();
      r.map.emplace(key, entries[index]);
      batch[index].inserted = true;
      continue;
    }
    if (found->second->schema() == batch[index].schema) continue;
    // Undo this batch's insertions: nothing else saw them under the lock.
    for (std::size_t earlier = 0; earlier < index; ++earlier) {
      if (!batch[earlier].inserted) continue;
      const auto mine = r.map.find(std::string_view(batch[earlier].name));
      withdrawn.push_back(std::move(mine->second));
      r.map.erase(mine);
      batch[earlier].inserted = false;
    }
    return {BatchInsertion::Outcome::Conflict, index};
  }
  for (const SchemaEntry& item : batch) {
    if (item.inserted) {
      g_registry_generation.fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  return {BatchInsertion::Outcome::Inserted, 0};
}

BatchRemoval remove_schemas(std::span<const std::string_view> names) {
  Vector<SchemaRef> removed;  // released after the lock, so no cleanup runs under it
  removed.reserve(names.size());
  BatchRemoval outcome;
  {
    Registry& r = registry();
    RegistryLock lock(r);
    if (lock.poisoned()) return {BatchRemoval::Outcome::Poisoned, 0, {}};
    const auto removing = [&](std::string_view name) {
      for (const std::string_view named : names) {
        if (named == name) return true;
      }
      return false;
    };
    for (std::size_t index = 0; index < names.size(); ++index) {
      if (r.map.find(names[index]) == r.map.end()) {
        return {BatchRemoval::Outcome::Unknown, index, {}};
      }
    }
    for (const auto& [name, entry] : r.map) {
      if (removing(name)) continue;
      for (const FieldSchema& field : entry->schema().fields) {
        const String& used = field.field_type.struct_name();
        if (used.empty() || !removing(used)) continue;
        for (std::size_t index = 0; index < names.size(); ++index) {
          if (names[index] == std::string_view(used)) outcome.index = index;
        }
        outcome.outcome = BatchRemoval::Outcome::InUse;
        outcome.user = String(name);
        return outcome;
      }
    }
    for (const std::string_view name : names) {
      const auto found = r.map.find(name);
      if (found == r.map.end()) continue;  // named twice
      removed.push_back(std::move(found->second));
      r.map.erase(found);
    }
    if (!names.empty()) g_registry_generation.fetch_add(1, std::memory_order_relaxed);
  }
  return outcome;
}

ExistsOutcome find_schema(std::string_view name) {
  Registry& r = registry();
  RegistryLock lock(r);
  if (lock.poisoned()) return ExistsOutcome::Poisoned;
  return r.map.find(name) != r.map.end() ? ExistsOutcome::Present : ExistsOutcome::Absent;
}

void fail_while_holding_registry_lock() {
  Registry& r = registry();
  RegistryLock lock(r);
  KORVEX_INTERNAL_FAILURE("internal failure while holding the schema registry lock");
}

}  // namespace korvex
