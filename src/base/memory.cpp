#include "base/memory.hpp"

#include <cstdio>

namespace korvex {

void abort_on_allocation_failure(std::uint64_t bytes) noexcept {
  std::fprintf(stderr, "memory allocation of %llu bytes failed\n",
               static_cast<unsigned long long>(bytes));
  std::fflush(stderr);
  std::abort();
}

void* allocate_or_abort(std::size_t bytes) noexcept {
  void* memory = std::malloc(bytes == 0 ? 1 : bytes);
  if (memory == nullptr) abort_on_allocation_failure(bytes);
  return memory;
}

}  // namespace korvex
