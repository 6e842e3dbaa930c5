// Arrays of many values that are made once and kept, such as the summaries of a million
// structures, and the buffers records are read into. An array of 2 MB or more is placed on
// whole 2 MB pages where the system offers them (transparent huge pages): filling it then takes
// one page fault per 2 MB instead of 512, and on a virtual machine those faults are most of the
// time such an array takes to fill. Reading into such a buffer also walks fewer page tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tessel {

namespace large_array_memory {

// Memory for `bytes`, aligned for any value; throws std::bad_alloc as `new` does.
void* allocate(size_t bytes);
void release(void* memory) noexcept;

}  // namespace large_array_memory

struct LargeMemoryRelease {
  void operator()(void* memory) const noexcept { large_array_memory::release(memory); }
};

// Bytes left as they come: for a buffer whose bytes are only read after they are written.
using LargeBuffer = std::unique_ptr<uint8_t[], LargeMemoryRelease>;

inline LargeBuffer makeLargeBuffer(size_t bytes) {
  return LargeBuffer(static_cast<uint8_t*>(large_array_memory::allocate(bytes)));
}

template <class T>
struct LargeArrayDeleter {
  size_t count = 0;
  void operator()(T* values) const noexcept {
    std::destroy_n(values, count);
    large_array_memory::release(values);
  }
};

template <class T>
using LargeArray = std::unique_ptr<T[], LargeArrayDeleter<T>>;

// `count` values, each value-initialised.
template <class T>
LargeArray<T> makeLargeArray(size_t count) {
  void* memory = large_array_memory::allocate(count * sizeof(T));
  T* values = static_cast<T*>(memory);
  try {
    std::uninitialized_value_construct_n(values, count);
  } catch (...) {
    large_array_memory::release(memory);
    throw;
  }
  return LargeArray<T>(values, LargeArrayDeleter<T>{count});
}

}  // namespace tessel
