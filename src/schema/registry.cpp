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
