// Spreading work over the cores. parallelFor hands out independent pieces of one pass;
// runInOrder runs a sequential job whose middle step is independent: items are made one after
// the other on the calling thread, worked on by any thread and used again on the calling thread
// in the order they were made, so output comes out exactly as from one thread while only a
// window of items is held. A Channel hands whole values from one thread to another.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tessel {

// How many threads a job may use, this one included: every core, at most four.
inline unsigned workThreads() {
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

// Runs the job with `threads` threads (this one included) and a window of `window` items:
//   make(item)          on this thread, fills the next item; false when there is none (item
//                       unused);
//   work(item, thread)  on any thread; `thread` is below `threads` and 0 on this one, so the
//                       work can keep per-thread scratch;
//   use(item)           on this thread, in the order the items were made.
// The items of the window are reused, so an item keeps the storage it had. An item is handed
// from thread to thread whole, under the lock.
template <class Item, class Make, class Work, class Use>
void runInOrder(unsigned threads, size_t window, Make&& make, Work&& work, Use&& use) {
  window = std::max<size_t>(window, 1);
  std::vector<Item> items(window);
  std::vector<bool> worked(window, false);
  std::mutex mutex;
  std::condition_variable changed;
  size_t made = 0;     // items made so far
  size_t claimed = 0;  // items taken by a worker so far (in order)
  size_t used = 0;     // items used so far
  bool makingDone = false;

  auto workOne = [&](std::unique_lock<std::mutex>& lock, unsigned thread) {
    const size_t index = claimed++;
    lock.unlock();
    work(items[index % window], thread);
    lock.lock();
    worked[index % window] = true;
    changed.notify_all();
  };
  auto help = [&](unsigned thread) {
    std::unique_lock lock(mutex);
    for (;;) {
      if (claimed < made)
        workOne(lock, thread);
      else if (makingDone)
        return;
      else
        changed.wait(lock);
    }
  };
  // Helpers start with the third item: a job of one or two (a small file and its end) starts no
  // thread.
  std::vector<std::thread> helpers;
  auto startHelpers = [&] {
    try {
      for (unsigned t = 1; t < threads; ++t)
        helpers.emplace_back(help, t);
    } catch (...) {
      // No thread to spare: the threads already started and this one do all the work.
    }
  };

  std::unique_lock lock(mutex);
  for (;;) {
    if (used < claimed && worked[used % window]) {
      Item& item = items[used % window];
      lock.unlock();
      use(item);
      lock.lock();
      worked[used % window] = false;
      ++used;
      changed.notify_all();
    } else if (!makingDone && made - used < window) {
      lock.unlock();
      const bool more = make(items[made % window]);
      lock.lock();
      if (!more)
        makingDone = true;
      else if (++made == 3)
        startHelpers();
      changed.notify_all();
    } else if (claimed < made) {
      workOne(lock, 0);
    } else if (makingDone && used == made) {
      break;
    } else {
      changed.wait(lock);
    }
  }
  lock.unlock();
  for (auto& helper : helpers)
    helper.join();
}

// Hands whole values from one thread to another, in order, with at most `capacity` waiting.
// A value is moved in and moved out, so it belongs to one thread at a time and what it holds
// needs no lock of its own. close() ends the hand-over for both sides: push and pop stop waiting
// and fail from then on, which is how the taking side stops the giving side early.
template <class T>
class Channel {
 public:
  explicit Channel(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Waits for room; false (the value dropped) once closed.
  bool push(T&& value) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || values_.size() < capacity_; });
    if (closed_) return false;
    values_.push_back(std::move(value));
    changed_.notify_all();
    return true;
  }
  // Waits for a value; nothing once closed.
  std::optional<T> pop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !values_.empty(); });
    if (closed_) return std::nullopt;
    std::optional<T> value(std::move(values_.front()));
    values_.pop_front();
    changed_.notify_all();
    return value;
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

 private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> values_;
  bool closed_ = false;
};

// A lock for sections of a few dozen instructions that several threads take often: a waiting
// thread spins rather than sleeping in the kernel, which would cost more than the section, and
// yields its core only when the holder is slow to let go.
class SpinLock {
 public:
  void lock() noexcept {
    for (unsigned spins = 0; locked_.exchange(true, std::memory_order_acquire);) {
      while (locked_.load(std::memory_order_relaxed)) {
        pause();
        if (++spins % 1024 == 0) std::this_thread::yield();
      }
    }
  }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  // Tells the core that this is a wait loop, so the sibling thread on it runs meanwhile.
  static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  std::atomic<bool> locked_{false};
};

}  // namespace tessel
