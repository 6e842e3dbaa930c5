// Spreads independent pieces of work over the cores for one pass over a library.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace tessel {

// How many threads a pass may use, this one included: every core, at most four.
inline unsigned passThreads() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

// Calls body(i, thread) once for every i below `count`, on this thread and `threads - 1`
// helpers, handing out `grain` consecutive items at a time. `thread` is below `threads`, so the
// body can keep per-thread scratch. Returns when every call has returned.
template <class Body>
void parallelFor(size_t count, size_t grain, unsigned threads, Body&& body) {
  std::atomic<size_t> next{0};
  auto work = [&](unsigned thread) {
    for (;;) {
      const size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
      if (begin >= count) return;
      const size_t end = std::min(count, begin + grain);
      for (size_t i = begin; i < end; ++i)
        body(i, thread);
    }
  };
  std::vector<std::thread> helpers;
  try {
    for (unsigned t = 1; t < threads; ++t)
      helpers.emplace_back(work, t);
  } catch (...) {
    // No thread to spare: the threads already started and this one do all the work.
  }
  work(0);
  for (auto& helper : helpers)
    helper.join();
}

}  // namespace tessel
