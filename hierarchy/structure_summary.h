// What the hierarchy passes (levels and boxes, roots, the diagram) need of one structure, so that
// a file can be analysed without holding its elements: the box of the structure's own geometry,
// and its references summed up per child structure and transform.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/flat_tables.h"
#include "model/library.h"
#include "stream/large_array.h"
#include "stream/parallel.h"
#include "stream/record_reader.h"

namespace tessel {

// The names met while summing up structures, each with a number; the threads that sum up
// share one table. It is split by hash into shards, each with its own lock, so that threads
// seldom wait for each other: a name's number is its place in its shard times the number of
// shards, plus the shard's own number.
class NameTable {
 public:
  // The number of `name`, whose hashName is `hash`; a name met for the first time gets a new one.
  uint32_t idOf(std::string_view name, size_t hash);
  const std::string& name(uint32_t id) const;
  // Above every number given so far: the size of a table indexed by name number.
  size_t size() const;

 private:
  static constexpr uint32_t kShards = 16;
  // Each on its own cache lines: a shard written by one thread does not slow the lock of the
  // shard beside it on another.
  struct alignas(64) Shard {
    mutable SpinLock lock;          // held for a lookup or an insertion only
    std::deque<std::string> names;  // a deque: a name stays where it is as others are added
    std::vector<size_t> hashes;     // of each name
    std::vector<uint32_t> slots;    // open addressing: a place in `names` plus one, 0 when free
  };
  std::array<Shard, kShards> shards_;
};

// Where a child leads, besides a position among the structures.
inline constexpr int32_t kMissingStructure = -1;  // no structure bears its name
inline constexpr int32_t kUnnamedStructure = -2;  // the mark of a reference without a name

// The references of a structure to one child structure.
struct ChildReferences {
  uint32_t name = 0;                   // in the NameTable
  int32_t target = kMissingStructure;  // set once every structure is known
  uint64_t srefs = 0;                  // SREFs naming it
  uint32_t arefs = 0;                  // AREFs naming it
  uint32_t validArefs = 0;             // of those, the ones with at least one column and one row
  uint64_t arefElements = 0;           // columns times rows, summed over those
};

// The SREFs of a structure that place one child with one transform. A reference's contribution
// to the box only moves with its reference point, so the box of the points is all that is kept.
struct SrefGroup {
  uint32_t child = 0;  // in StructureSummary::children
  bool reflection = false;
  bool afterEmptyName = false;  // stands after the structure's first SREF to the empty name
  int32_t degrees = 0;          // the angle, truncated to whole degrees
  double scale = 1.0;
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
};

// One distinct AREF of a structure.
struct ArefPlacement {
  uint32_t child = 0;
  bool afterEmptyName = false;  // stands after the structure's first AREF to the empty name
  bool reflection = false;
  double scale = 1.0;
  int32_t degrees = 0;
  int32_t columns = 0;
  int32_t rows = 0;
  std::array<int32_t, 6> xy{};
  bool operator==(const ArefPlacement&) const = default;
};

// The references of a structure in file order, for the lines whose order depends on it.
struct ReferenceOrder {
  std::vector<uint32_t> srefs;  // the child of each SREF
  std::vector<uint32_t> arefs;  // the child of each AREF
  std::vector<bool> arefValid;  // whether that AREF has a column and a row
  bool empty() const { return srefs.empty() && arefs.empty(); }
};

// What the box of a structure needs of its references, beyond their counts.
struct ReferenceDetails {
  std::vector<SrefGroup> srefGroups;
  std::vector<ArefPlacement> arefs;
  // Only when asked for, and only for a structure of two children or more: a lone child's lines
  // follow from its counts.
  std::unique_ptr<ReferenceOrder> order;
};

// The elements of one layer and type (datatype, texttype, nodetype or boxtype) in a structure
// or in the library: how many, and the box of their points (a path's widened by half its width,
// a text's at its origin).
struct LayerUse {
  uint32_t layer = 0;
  int32_t type = 0;
  uint64_t elements = 0;
  BoundingBox box{};
};

// What the structure report tells of a structure's own elements.
struct StructureStatistics {
  uint64_t boundaries = 0, paths = 0, texts = 0, srefs = 0, arefs = 0, nodes = 0, boxes = 0;
  uint64_t points = 0;  // the vertices of its boundaries, paths, nodes and boxes
  std::vector<LayerUse> layers;
};

struct StructureSummary {
  uint32_t name = 0;  // in the NameTable
  bool hasGeometry = false;
  bool hasReferences = false;
  bool settled = false;         // see below
  int32_t emptyNameChild = -1;  // the child bearing the empty name, if any
  BoundingBox ownBox{};         // of its boundaries, boxes and paths
  // The children named by its SREFs, in the order of their first SREF, then those named by
  // AREFs only, in the order of their first AREF.
  std::vector<ChildReferences> children;
  // Held until the box is known. A structure read after all its children are settled is
  // settled at once, with its box and lines told by the fields below, and lets its details go;
  // the details of another may be let go too when it can be read again.
  std::unique_ptr<ReferenceDetails> details;
  BoundingBox box{};
  uint64_t unboxedSrefs = 0;  // its references to an empty or unboxed child: its lines
  uint64_t unboxedArefs = 0;
  RecordPosition start;                             // of its BGNSTR, to read it again
  uint64_t size = 0;                                // the bytes of its records
  std::unique_ptr<StructureStatistics> statistics;  // for the structure report only
};

// The summaries of a library's structures, in order. They are kept in blocks rather than one
// growing array: a file of a million structures neither moves them nor touches their memory
// twice as the list grows. The first blocks double in size from a few summaries, so that a file
// of a few structures pays for a few; the rest are all of one size, 2 MB, which the system can
// give as one huge page. A summary stays where it is once added.
class SummaryList {
 public:
  static constexpr size_t kFirstBlock = 16;
  static constexpr size_t kGrowingBlocks = 10;  // 16, 32, ... 8192 summaries
  static constexpr size_t kBlockSize = kFirstBlock << kGrowingBlocks;

  SummaryList() = default;
  explicit SummaryList(size_t count) {
    while (size_ < count)
      add();
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  StructureSummary& operator[](size_t i) { return *at(blocks_, i); }
  const StructureSummary& operator[](size_t i) const { return *at(blocks_, i); }
  StructureSummary& add() {
    if (size_ == capacity_) {
      const size_t blockSize =
          blocks_.size() < kGrowingBlocks ? kFirstBlock << blocks_.size() : kBlockSize;
      blocks_.push_back(makeLargeArray<StructureSummary>(blockSize));
      capacity_ += blockSize;
    }
    return (*this)[size_++];
  }
  StructureSummary& add(StructureSummary&& summary) { return add() = std::move(summary); }

  template <class List, class Value>
  class Iterator {
   public:
    Iterator(List* list, size_t at) : list_(list), at_(at) {}
    Value& operator*() const { return (*list_)[at_]; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    List* list_;
    size_t at_;
  };
  Iterator<SummaryList, StructureSummary> begin() { return {this, 0}; }
  Iterator<SummaryList, StructureSummary> end() { return {this, size_}; }
  Iterator<const SummaryList, const StructureSummary> begin() const { return {this, 0}; }
  Iterator<const SummaryList, const StructureSummary> end() const { return {this, size_}; }

 private:
  // Growing block b holds kFirstBlock << b summaries and starts at kFirstBlock * (2^b - 1).
  static constexpr size_t kGrown = kFirstBlock * ((size_t{1} << kGrowingBlocks) - 1);
  template <class Blocks>
  static StructureSummary* at(const Blocks& blocks, size_t i) {
    if (i >= kGrown) {
      const size_t past = i - kGrown;
      return &blocks[kGrowingBlocks + past / kBlockSize][past % kBlockSize];
    }
    const size_t block = std::bit_width(i / kFirstBlock + 1) - 1;
    return &blocks[block][i - kFirstBlock * ((size_t{1} << block) - 1)];
  }

  std::vector<LargeArray<StructureSummary>> blocks_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Sums up structures, whole or part after part. One per thread: it keeps its tables from one
// structure to the next.
class alignas(64) StructureSummarizer {
 public:
  explicit StructureSummarizer(NameTable& names) : names_(&names) {}
  // Starts a structure; with `keepOrder` the order of its references is kept too.
  void begin(bool keepOrder);
  void add(const GdsStructure& part);
  // Ends the structure; `structure` gives its name.
  void finish(const GdsStructure& structure, StructureSummary& summary);

 private:
  uint32_t childOf(const SharedString& name);
  uint32_t idOf(std::string_view name);
  void addSref(const GdsSref& sref);
  void addAref(const GdsAref& aref);

  struct GroupKey {
    uint64_t scaleBits;
    uint32_t child;
    int32_t degrees;
    uint8_t flags;  // reflection, after the empty name
    bool operator==(const GroupKey&) const = default;
  };
  struct GroupSlot {
    GroupKey key;
    uint32_t index = 0;       // in groups_
    uint32_t generation = 0;  // the slot is taken in the structure of this generation only
  };
  SrefGroup& groupFor(const GroupKey& key);

  bool keepOrder_ = false;
  bool sawEmptySref_ = false;
  bool sawEmptyAref_ = false;
  StructureSummary current_;
  ReferenceDetails details_;  // its AREFs so far
  ReferenceOrder order_;
  NameTable* names_;
  // The numbers of the names this thread met last: a structure's own name was most often met
  // just before, as a child's name in the structure before it, and the shared table would cost a
  // lock and a cache miss for a number known here. Placed by hash, one name a place.
  struct RecentName {
    size_t hash = 0;
    uint32_t id = 0;
    bool used = false;
    std::string name;
  };
  static constexpr size_t kRecentNames = 1024;
  std::vector<RecentName> recentNames_{kRecentNames};
  HandleMap<uint32_t> childByName_;
  // Names built in code do not share their text: a name met under a new handle is looked up by
  // its number too, so that every child stands once.
  FlatMap<uint32_t, uint32_t> childById_;
  const void* lastName_ = nullptr;  // the handle of the last child looked up, and its index
  uint32_t lastChild_ = 0;
  std::vector<uint8_t> namedBySref_;  // per child
  std::vector<uint32_t> newIndex_;    // per child, once put in order
  std::vector<ChildReferences> ordered_;
  std::vector<GroupSlot> groupSlots_;
  uint32_t generation_ = 1;
  std::vector<SrefGroup> groups_;
  GroupKey lastGroupKey_{};  // the last group looked up, while groups_ is not empty
  uint32_t lastGroup_ = 0;
  struct ArefHash {
    size_t operator()(const ArefPlacement& placement) const;
  };
  std::unordered_set<ArefPlacement, ArefHash> arefsSeen_;  // the distinct AREFs
};

// Where a reference's name leads in a library held in memory: a position in its structures,
// kUnnamedStructure for the mark the import leaves for the empty name, or kMissingStructure.
int32_t resolveReference(const GdsLibrary& library, std::string_view name);

// Sums up a library held in memory for the hierarchy passes, which read nothing else: one
// summary per structure, in its order, on every core when it is large, with each child's
// target resolved through the library's index. With `keepOrder` the order of every structure's
// references is kept too.
void summarizeLibrary(const GdsLibrary& library, NameTable& names, SummaryList& structures,
                      bool keepOrder = false);

}  // namespace tessel
