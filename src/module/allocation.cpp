// The module's own global allocation functions.
//
// An allocation failure is not an error the module can report: it writes
// "memory allocation of N bytes failed" with the size asked for and aborts.
// These definitions have hidden visibility, so they serve only this
// library's code and leave the rest of the process alone.
#include <cstdlib>
#include <new>

#include "module/failure.hpp"

namespace {

void* allocate_or_abort(std::size_t size) noexcept {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) korvex::abort_on_allocation_failure(size);
  return memory;
}

}  // namespace

void* operator new(std::size_t size) { return allocate_or_abort(size); }
void* operator new[](std::size_t size) { return allocate_or_abort(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
