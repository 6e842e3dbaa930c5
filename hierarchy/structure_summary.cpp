#include "hierarchy/structure_summary.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "hierarchy/bounding_box.h"
#include "stream/parallel.h"

namespace tessel {

namespace {

constexpr uint8_t kReflected = 1;
constexpr uint8_t kAfterEmptyName = 2;

size_t hashKey(uint64_t scaleBits, uint32_t child, int32_t degrees, uint8_t flags) {
  uint64_t h = scaleBits * 0x9E3779B97F4A7C15ULL;
  h ^= ((uint64_t{child} << 32) | static_cast<uint32_t>(degrees)) * 0xBF58476D1CE4E5B9ULL;
  h ^= flags;
  return static_cast<size_t>(h ^ (h >> 29));
}

// Empties a hash table; one grown large by an earlier structure is let go, so that the many
// small structures after it do not each pay for clearing its buckets.
template <class Table>
void forget(Table& table) {
  if (table.empty()) return;
  if (table.bucket_count() > 256)
    table = Table();
  else
    table.clear();
}

}  // namespace

uint32_t NameTable::idOf(std::string_view name, size_t hash) {
  // The top bits choose the shard; the low ones, a slot in it.
  const auto shardNumber = static_cast<uint32_t>(hash >> 60) % kShards;
  Shard& shard = shards_[shardNumber];
  std::lock_guard lock(shard.lock);
  if (2 * (shard.names.size() + 1) > shard.slots.size()) {
    std::vector<uint32_t> slots(std::max<size_t>(64, 2 * shard.slots.size()), 0);
    const size_t mask = slots.size() - 1;
    for (uint32_t place = 0; place < shard.names.size(); ++place) {
      size_t i = shard.hashes[place] & mask;
      while (slots[i] != 0)
        i = (i + 1) & mask;
      slots[i] = place + 1;
    }
    shard.slots.swap(slots);
  }
  const size_t mask = shard.slots.size() - 1;
  size_t i = hash & mask;
  for (; shard.slots[i] != 0; i = (i + 1) & mask) {
    const uint32_t place = shard.slots[i] - 1;
    if (shard.hashes[place] == hash && shard.names[place] == name)
      return place * kShards + shardNumber;
  }
  const auto place = static_cast<uint32_t>(shard.names.size());
  shard.names.emplace_back(name);
  shard.hashes.push_back(hash);
  shard.slots[i] = place + 1;
  return place * kShards + shardNumber;
}

const std::string& NameTable::name(uint32_t id) const {
  const Shard& shard = shards_[id % kShards];
  std::lock_guard lock(shard.lock);
  return shard.names[id / kShards];
}

size_t NameTable::size() const {
  size_t most = 0;
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.lock);
    most = std::max(most, shard.names.size());
  }
  return most * kShards;
}

size_t StructureSummarizer::ArefHash::operator()(const ArefPlacement& placement) const {
  uint64_t h = hashKey(uint64_t(uint32_t(placement.columns)) << 32 | uint32_t(placement.rows),
                       placement.child, placement.degrees,
                       (placement.afterEmptyName ? 1 : 0) | (placement.reflection ? 2 : 0));
  h = (h ^ std::bit_cast<uint64_t>(placement.scale)) * 0x9E3779B97F4A7C15ULL;
  for (int32_t value : placement.xy)
    h = (h ^ uint32_t(value)) * 0x9E3779B97F4A7C15ULL;
  return static_cast<size_t>(h ^ (h >> 29));
}

void StructureSummarizer::begin(bool keepOrder) {
  keepOrder_ = keepOrder;
  sawEmptySref_ = false;
  sawEmptyAref_ = false;
  current_ = StructureSummary();
  details_.arefs.clear();
  order_.srefs.clear();
  order_.arefs.clear();
  order_.arefValid.clear();
  childByName_.clear();
  childById_.clear();
  lastName_ = nullptr;
  namedBySref_.clear();
  // The group slots of earlier structures count as free.
  if (++generation_ == 0) {
    std::fill(groupSlots_.begin(), groupSlots_.end(), GroupSlot{});
    generation_ = 1;
  }
  groups_.clear();
  forget(arefsSeen_);
}

uint32_t StructureSummarizer::childOf(const SharedString& name) {
  // References come in runs to one child: the last one is looked at first.
  if (name.identity() == lastName_ && lastName_ != nullptr) return lastChild_;
  auto [index, inserted] =
      childByName_.tryEmplace(name.identity(), static_cast<uint32_t>(current_.children.size()));
  if (!inserted) return *index;
  const uint32_t id = idOf(name.view());
  auto [byId, newName] = childById_.tryEmplace(id, *index);
  if (newName) {
    if (name.empty()) current_.emptyNameChild = static_cast<int32_t>(current_.children.size());
    ChildReferences& child = current_.children.emplace_back();
    child.name = id;
    namedBySref_.push_back(0);
  }
  *index = *byId;
  lastName_ = name.identity();
  lastChild_ = *index;
  return *index;
}

uint32_t StructureSummarizer::idOf(std::string_view name) {
  const size_t hash = hashName(name);
  RecentName& recent = recentNames_[hash % kRecentNames];
  if (recent.used && recent.hash == hash && recent.name == name) return recent.id;
  const uint32_t id = names_->idOf(name, hash);
  recent.hash = hash;
  recent.id = id;
  recent.used = true;
  recent.name.assign(name);
  return id;
}

SrefGroup& StructureSummarizer::groupFor(const GroupKey& key) {
  if (!groups_.empty() && key == lastGroupKey_) return groups_[lastGroup_];
  lastGroupKey_ = key;
  if (2 * (groups_.size() + 1) > groupSlots_.size()) {
    std::vector<GroupSlot> slots(std::max<size_t>(64, 2 * groupSlots_.size()));
    const size_t mask = slots.size() - 1;
    for (const GroupSlot& slot : groupSlots_) {
      if (slot.generation != generation_) continue;
      size_t i = hashKey(slot.key.scaleBits, slot.key.child, slot.key.degrees, slot.key.flags);
      while (slots[i & mask].generation == generation_)
        ++i;
      slots[i & mask] = slot;
    }
    groupSlots_.swap(slots);
  }
  const size_t mask = groupSlots_.size() - 1;
  size_t i = hashKey(key.scaleBits, key.child, key.degrees, key.flags);
  for (;; ++i) {
    GroupSlot& slot = groupSlots_[i & mask];
    if (slot.generation != generation_) {
      lastGroup_ = static_cast<uint32_t>(groups_.size());
      slot = {key, lastGroup_, generation_};
      SrefGroup& group = groups_.emplace_back();
      group.child = key.child;
      group.reflection = (key.flags & kReflected) != 0;
      group.afterEmptyName = (key.flags & kAfterEmptyName) != 0;
      group.degrees = key.degrees;
      std::memcpy(&group.scale, &key.scaleBits, sizeof group.scale);
      group.minX = group.minY = std::numeric_limits<int32_t>::max();
      group.maxX = group.maxY = std::numeric_limits<int32_t>::min();
      return group;
    }
    if (slot.key == key) {
      lastGroup_ = slot.index;
      return groups_[slot.index];
    }
  }
}

void StructureSummarizer::addSref(const GdsSref& sref) {
  const uint32_t child = childOf(sref.name);
  ++current_.children[child].srefs;
  namedBySref_[child] = 1;
  if (keepOrder_) order_.srefs.push_back(child);
  GroupKey key{};
  std::memcpy(&key.scaleBits, &sref.scale, sizeof sref.scale);
  key.child = child;
  key.degrees = wholeDegrees(sref.angle);
  key.flags = static_cast<uint8_t>((sref.reflection ? kReflected : 0) |
                                   (sawEmptySref_ ? kAfterEmptyName : 0));
  SrefGroup& group = groupFor(key);
  group.minX = std::min(group.minX, sref.xCor);
  group.minY = std::min(group.minY, sref.yCor);
  group.maxX = std::max(group.maxX, sref.xCor);
  group.maxY = std::max(group.maxY, sref.yCor);
  if (sref.name.empty()) sawEmptySref_ = true;
}

void StructureSummarizer::addAref(const GdsAref& aref) {
  const uint32_t child = childOf(aref.name);
  ChildReferences& counts = current_.children[child];
  const bool valid = aref.columns > 0 && aref.rows > 0;
  ++counts.arefs;
  if (valid) {
    ++counts.validArefs;
    counts.arefElements += uint64_t(uint32_t(aref.columns)) * uint32_t(aref.rows);
  }
  if (keepOrder_) {
    order_.arefs.push_back(child);
    order_.arefValid.push_back(valid);
  }
  ArefPlacement placement;
  placement.child = child;
  placement.afterEmptyName = sawEmptyAref_;
  placement.degrees = wholeDegrees(aref.angle);
  placement.reflection = aref.reflection;
  placement.scale = aref.scale;
  placement.columns = aref.columns;
  placement.rows = aref.rows;
  placement.xy = aref.xy;
  if (aref.name.empty()) sawEmptyAref_ = true;
  // Arrays repeat: each distinct one is kept once.
  if (arefsSeen_.insert(placement).second) details_.arefs.push_back(placement);
}

void StructureSummarizer::add(const GdsStructure& part) {
  if (addGeometry(part, current_.ownBox, current_.hasGeometry)) current_.hasGeometry = true;
  if (!part.srefs.empty() || !part.arefs.empty()) current_.hasReferences = true;
  for (const GdsSref& sref : part.srefs)
    addSref(sref);
  for (const GdsAref& aref : part.arefs)
    addAref(aref);
}

void StructureSummarizer::finish(const GdsStructure& structure, StructureSummary& summary) {
  current_.name = idOf(structure.name);
  // The children named by SREFs first, in the order they were first met; then the others.
  const size_t count = current_.children.size();
  newIndex_.resize(count);
  ordered_.clear();
  for (int pass = 1; pass >= 0; --pass)
    for (size_t c = 0; c < count; ++c)
      if (namedBySref_[c] == pass) {
        newIndex_[c] = static_cast<uint32_t>(ordered_.size());
        ordered_.push_back(current_.children[c]);
      }
  current_.children.assign(ordered_.begin(), ordered_.end());
  if (current_.emptyNameChild >= 0)
    current_.emptyNameChild =
        static_cast<int32_t>(newIndex_[static_cast<size_t>(current_.emptyNameChild)]);
  auto details = std::make_unique<ReferenceDetails>();
  details->srefGroups.assign(groups_.begin(), groups_.end());
  details->arefs.assign(details_.arefs.begin(), details_.arefs.end());
  for (SrefGroup& group : details->srefGroups)
    group.child = newIndex_[group.child];
  for (ArefPlacement& placement : details->arefs)
    placement.child = newIndex_[placement.child];
  if (keepOrder_ && count >= 2) {
    details->order = std::make_unique<ReferenceOrder>(order_);
    for (uint32_t& child : details->order->srefs)
      child = newIndex_[child];
    for (uint32_t& child : details->order->arefs)
      child = newIndex_[child];
  }
  current_.details = std::move(details);
  summary = std::move(current_);
  current_ = StructureSummary();
}

int32_t resolveReference(const GdsLibrary& library, std::string_view name) {
  auto it = library.structureIndex.find(name);
  if (it == library.structureIndex.end()) return kMissingStructure;
  if (it->second == kUnnamedStructurePosition) return kUnnamedStructure;
  if (it->second < 0 || static_cast<size_t>(it->second) >= library.structures.size())
    return kMissingStructure;
  return it->second;
}

void summarizeLibrary(const GdsLibrary& library, NameTable& names, SummaryList& structures,
                      bool keepOrder) {
  const size_t count = library.structures.size();
  size_t references = 0;
  for (const GdsStructure& structure : library.structures)
    references += structure.srefs.size() + structure.arefs.size();
  const unsigned threads = references < (size_t{1} << 16) ? 1 : workThreads();
  std::vector<StructureSummarizer> summarizers;
  for (unsigned thread = 0; thread < threads; ++thread)
    summarizers.emplace_back(names);
  const size_t first = structures.size();
  for (size_t p = 0; p < count; ++p)
    structures.add();
  parallelFor(count, std::max<size_t>(1, count / (64 * threads)), threads,
              [&](size_t p, unsigned thread) {
                const GdsStructure& structure = library.structures[p];
                StructureSummary& summary = structures[first + p];
                summarizers[thread].begin(keepOrder);
                summarizers[thread].add(structure);
                summarizers[thread].finish(structure, summary);
                for (ChildReferences& child : summary.children)
                  child.target = resolveReference(library, names.name(child.name));
              });
}

}  // namespace tessel
