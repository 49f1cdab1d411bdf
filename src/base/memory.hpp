// Allocation for the module's own containers.
//
// Running out of memory is not an error the module can report: it writes
// "memory allocation of N bytes failed" with the size asked for and aborts.
// The module's strings and vectors use this allocator instead of the global
// operator new, so the rule holds for every allocation they make without
// replacing operator new, which belongs to the host process.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// Writes the report and aborts the process.
[[noreturn]] void abort_on_allocation_failure(std::uint64_t bytes) noexcept;

// Memory from malloc; a failed allocation aborts with its size.
void* allocate_or_abort(std::size_t bytes) noexcept;

template <class T>
struct Allocator {
  using value_type = T;

  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}  // NOLINT: rebinding is implicit by design

  // NOLINTBEGIN(bugprone-sizeof-expression): T may be a pointer type
  // (Vector<PyObject*>), whose elements are pointers.
  T* allocate(std::size_t count) noexcept {
    if (count > SIZE_MAX / sizeof(T)) abort_on_allocation_failure(SIZE_MAX);
    return static_cast<T*>(allocate_or_abort(count * sizeof(T)));
  }
  // NOLINTEND(bugprone-sizeof-expression)
  void deallocate(T* memory, std::size_t) noexcept { std::free(memory); }

  template <class U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
};

using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

template <class T>
using Vector = std::vector<T, Allocator<T>>;

// For classes the module creates with `new`: the same rule as Allocator.
struct AbortingNew {
  static void* operator new(std::size_t bytes) { return allocate_or_abort(bytes); }
  static void operator delete(void* memory) noexcept { std::free(memory); }
};

// The decimal digits of a number.
inline String decimal(std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return String(digits, static_cast<std::size_t>(end - digits));
}

// The parts one after the other (appended: GCC 12 misreports chains of
// operator+ under -Wrestrict).
inline String concat(std::initializer_list<std::string_view> parts) {
  String out;
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  out.reserve(size);
  for (std::string_view part : parts) out.append(part);
  return out;
}

}  // namespace korvex
