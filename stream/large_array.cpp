#include "stream/large_array.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace tessel::large_array_memory {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t roundUp(size_t bytes, size_t unit) {
  return (bytes + unit - 1) / unit * unit;
}

}  // namespace

void* allocate(size_t bytes) {
  const bool huge = bytes >= kHugePage;
  const size_t alignment = huge ? kHugePage : alignof(std::max_align_t);
  // aligned_alloc asks for a size that is a whole number of alignments.
  const size_t size = roundUp(bytes == 0 ? 1 : bytes, alignment);
  void* memory = std::aligned_alloc(alignment, size);
  if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  // Only advice: where huge pages are off, the memory comes in small pages as before.
  if (huge) madvise(memory, size, MADV_HUGEPAGE);
#endif
  return memory;
}

void release(void* memory) noexcept {
  std::free(memory);
}

}  // namespace tessel::large_array_memory
