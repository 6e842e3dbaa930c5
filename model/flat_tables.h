// Open-addressing tables for the hot lookups of import and analysis: one flat array, no node
// per entry, so millions of inserts cost neither an allocation each nor a cache miss per node.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/shared_string.h"

namespace tessel {

// Maps a key (a pointer or a number) to a value.
template <class Key, class Value>
class FlatMap {
 public:
  // The value under `key`, and whether it was just inserted with `initial`.
  std::pair<Value*, bool> tryEmplace(Key key, Value initial) {
    if (key == Key{}) {  // kept aside: every empty text has the null handle
      const bool inserted = !hasNull_;
      if (inserted) nullValue_ = initial;
      hasNull_ = true;
      return {&nullValue_, inserted};
    }
    if (2 * (size_ + 1) > slots_.size()) grow();
    size_t i = slotFor(key);
    if (live(slots_[i])) return {&slots_[i].value, false};
    slots_[i] = {key, initial, generation_};
    ++size_;
    return {&slots_[i].value, true};
  }
  // Empties the map at once, keeping its storage: the entries of earlier generations count as
  // free, so a map emptied for every one of a million small structures costs nothing to clear.
  void clear() {
    size_ = 0;
    hasNull_ = false;
    if (++generation_ == 0) {
      std::fill(slots_.begin(), slots_.end(), Slot{});
      generation_ = 1;
    }
  }

 private:
  struct Slot {
    Key key{};
    Value value{};
    uint32_t generation = 0;
  };
  bool live(const Slot& slot) const { return slot.generation == generation_; }
  static uint64_t bitsOf(Key key) {
    // Allocations are 16-byte aligned: a pointer's low bits say nothing.
    if constexpr (std::is_pointer_v<Key>)
      return reinterpret_cast<uintptr_t>(key) >> 4;
    else
      return static_cast<uint64_t>(key);
  }
  size_t slotFor(Key key) const {
    const size_t mask = slots_.size() - 1;
    size_t i = bitsOf(key) * 0x9E3779B97F4A7C15ULL >> 20 & mask;
    while (live(slots_[i]) && slots_[i].key != key)
      i = (i + 1) & mask;
    return i;
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size());
    old.swap(slots_);
    for (const Slot& slot : old)
      if (live(slot)) slots_[slotFor(slot.key)] = slot;
  }
  std::vector<Slot> slots_;
  size_t size_ = 0;
  uint32_t generation_ = 1;
  bool hasNull_ = false;
  Value nullValue_{};
};

// Maps the handle of a shared text (SharedString::identity) to a value.
template <class Value>
using HandleMap = FlatMap<const void*, Value>;

// One shared copy per distinct text. Handing out a handle would cost an atomic increment each
// time; instead a text's references are counted a batch at a time and handed out one by one, and
// what is left of a batch is let go with the table. A table belongs to one thread at a time.
class InternTable {
 public:
  InternTable() = default;
  InternTable(const InternTable&) = delete;
  InternTable& operator=(const InternTable&) = delete;
  InternTable(InternTable&& other) noexcept
      : slots_(std::exchange(other.slots_, {})),
        size_(std::exchange(other.size_, 0)),
        last_(std::exchange(other.last_, kNoSlot)) {}
  InternTable& operator=(InternTable&& other) noexcept {
    releaseSpares();
    slots_ = std::exchange(other.slots_, {});
    size_ = std::exchange(other.size_, 0);
    last_ = std::exchange(other.last_, kNoSlot);
    return *this;
  }
  ~InternTable() { releaseSpares(); }

  size_t size() const { return size_; }
  // Lets go of every text. The slots are kept for the texts to come, unless one structure of
  // many names grew them far beyond what a table emptied every few thousand texts needs: each
  // emptying would then clear them all again.
  void clear() {
    releaseSpares();
    if (slots_.size() > kKeptSlots)
      slots_ = std::vector<Slot>();
    else
      std::fill(slots_.begin(), slots_.end(), Slot{});
    size_ = 0;
    last_ = kNoSlot;
  }
  SharedString intern(std::string_view text) {
    if (text.empty()) return SharedString();
    // References come in runs to one structure (vias, fill, rows of one cell): the text of the
    // last lookup is compared first, which spares the hash and the probe.
    if (last_ < slots_.size()) {
      Slot& last = slots_[last_];
      if (last.text.view() == text) return handOut(last);
    }
    if (2 * (size_ + 1) > slots_.size()) grow();
    const size_t hash = hashName(text);
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    // An empty text is never stored, so a free slot is one without a handle.
    while (slots_[i].text.identity() != nullptr) {
      if (slots_[i].hash == hash && slots_[i].text.view() == text) {
        last_ = i;
        return handOut(slots_[i]);
      }
      i = (i + 1) & mask;
    }
    slots_[i] = {hash, SharedString(text), 0};
    ++size_;
    last_ = i;
    return handOut(slots_[i]);
  }

 private:
  static constexpr uint32_t kBatch = 1024;
  static constexpr size_t kKeptSlots = size_t{1} << 14;
  struct Slot {
    size_t hash = 0;
    SharedString text;
    uint32_t spare = 0;  // references counted and not yet handed out
  };
  static SharedString handOut(Slot& slot) {
    if (slot.spare == 0) {
      slot.text.addReferences(kBatch);
      slot.spare = kBatch;
    }
    --slot.spare;
    return SharedString(slot.text, SharedString::Counted{});
  }
  void releaseSpares() {
    for (Slot& slot : slots_)
      if (slot.spare > 0) slot.text.dropReferences(std::exchange(slot.spare, 0));
  }
  void grow() {
    last_ = kNoSlot;
    std::vector<Slot> old(slots_.empty() ? 256 : 2 * slots_.size());
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (Slot& slot : old) {
      if (slot.text.identity() == nullptr) continue;
      size_t i = slot.hash & mask;
      while (slots_[i].text.identity() != nullptr)
        i = (i + 1) & mask;
      slots_[i] = std::exchange(slot, Slot{});
    }
  }
  static constexpr size_t kNoSlot = SIZE_MAX;
  std::vector<Slot> slots_;
  size_t size_ = 0;
  size_t last_ = kNoSlot;  // the slot of the last text looked up
};

}  // namespace tessel
