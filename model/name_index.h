// The map from structure names to positions: open addressing over one flat array, so a file of
// a million structures costs neither a node allocation per name nor a cache miss per probe.
// Its interface is the part of std::unordered_map the system uses.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/shared_string.h"

namespace tessel {

class NameIndex {
 public:
  using value_type = std::pair<std::string, int32_t>;

  class iterator {
   public:
    iterator() = default;
    iterator(const NameIndex* index, size_t slot) : index_(index), slot_(slot) { skipEmpty(); }
    const value_type& operator*() const { return index_->slots_[slot_].entry; }
    const value_type* operator->() const { return &index_->slots_[slot_].entry; }
    iterator& operator++() {
      ++slot_;
      skipEmpty();
      return *this;
    }
    bool operator==(const iterator& other) const { return slot_ == other.slot_; }
    size_t slot() const { return slot_; }

   private:
    void skipEmpty() {
      while (slot_ < index_->slots_.size() && !index_->slots_[slot_].used)
        ++slot_;
    }
    const NameIndex* index_ = nullptr;
    size_t slot_ = 0;
  };
  using const_iterator = iterator;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    slots_.clear();
    size_ = 0;
  }
  void reserve(size_t count) {
    while (slots_.size() * 3 < count * 4 || slots_.empty())
      grow();
  }
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, slots_.size()); }

  iterator find(std::string_view name) const {
    if (slots_.empty()) return end();
    const size_t slot = probe(name, hashName(name));
    return slots_[slot].used ? iterator(this, slot) : end();
  }
  size_t count(std::string_view name) const { return find(name) == end() ? 0 : 1; }
  const int32_t& at(std::string_view name) const {
    iterator found = find(name);
    if (found == end()) throw std::out_of_range("NameIndex::at: no such name");
    return found->second;
  }
  // Inserts (name, position) unless the name is present; the entry and whether it was inserted.
  std::pair<iterator, bool> try_emplace(std::string_view name, int32_t position) {
    if (4 * (size_ + 1) > 3 * slots_.size()) grow();
    const size_t hash = hashName(name);
    const size_t slot = probe(name, hash);
    if (slots_[slot].used) return {iterator(this, slot), false};
    slots_[slot].entry = {std::string(name), position};
    slots_[slot].hash = hash;
    slots_[slot].used = true;
    ++size_;
    return {iterator(this, slot), true};
  }
  int32_t& operator[](std::string_view name) {
    const size_t slot = try_emplace(name, 0).first.slot();
    return slots_[slot].entry.second;
  }

 private:
  friend class iterator;
  struct Slot {
    value_type entry;
    size_t hash = 0;
    bool used = false;
  };
  size_t probe(std::string_view name, size_t hash) const {
    const size_t mask = slots_.size() - 1;
    size_t slot = hash & mask;
    while (slots_[slot].used && (slots_[slot].hash != hash || slots_[slot].entry.first != name))
      slot = (slot + 1) & mask;
    return slot;
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : 2 * slots_.size());
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (Slot& entry : old) {
      if (!entry.used) continue;
      size_t slot = entry.hash & mask;
      while (slots_[slot].used)
        slot = (slot + 1) & mask;
      slots_[slot] = std::move(entry);
    }
  }
  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace tessel
