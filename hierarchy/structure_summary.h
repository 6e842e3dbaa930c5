// What the hierarchy passes (levels and boxes, roots, the diagram) need of one structure, so that
// a file can be analysed without holding its elements: the box of the structure's own geometry,
// and its references summed up per child structure and transform.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/flat_tables.h"
#include "model/library.h"
#include "stream/record_reader.h"

namespace tessel {

// Where a child leads, besides a position among the structures.
inline constexpr int32_t kMissingStructure = -1;  // no structure bears its name
inline constexpr int32_t kUnnamedStructure = -2;  // the mark of a reference without a name

// The references of a structure to one child structure.
struct ChildReferences {
  std::string name;
  int32_t target = kMissingStructure;  // set once every structure is known
  uint64_t srefs = 0;                  // SREFs naming it
  uint64_t arefs = 0;                  // AREFs naming it
  uint64_t validArefs = 0;             // of those, the ones with at least one column and one row
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
  int32_t degrees = 0;
  int32_t columns = 0;
  int32_t rows = 0;
  std::array<int32_t, 6> xy{};
};

// The references of a structure in file order, for the lines whose order depends on it.
struct ReferenceOrder {
  std::vector<uint32_t> srefs;  // the child of each SREF
  std::vector<uint32_t> arefs;  // the child of each AREF
  std::vector<bool> arefValid;  // whether that AREF has a column and a row
  bool empty() const { return srefs.empty() && arefs.empty(); }
};

struct StructureSummary {
  std::string name;
  bool hasGeometry = false;
  BoundingBox ownBox{};  // of its boundaries, boxes and paths
  bool hasReferences = false;
  // The children named by its SREFs, in the order of their first SREF, then those named by
  // AREFs only, in the order of their first AREF.
  std::vector<ChildReferences> children;
  std::vector<SrefGroup> srefGroups;
  std::vector<ArefPlacement> arefs;
  ReferenceOrder order;  // only when asked for
  bool orderKept = false;
  RecordPosition start;  // of its BGNSTR, to read it again
};

// Sums up structures, whole or part after part. One per thread: it keeps its tables from one
// structure to the next.
class StructureSummarizer {
 public:
  // Starts a structure; with `keepOrder` the order of its references is kept too.
  void begin(bool keepOrder);
  void add(const GdsStructure& part);
  // Ends the structure; `structure` gives its name.
  void finish(const GdsStructure& structure, StructureSummary& summary);

 private:
  uint32_t childOf(const SharedString& name);
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
  HandleMap<uint32_t> childByName_;
  // Names built in code do not share their text: a name met under a new handle is looked up by
  // its text too, so that every child stands once.
  std::unordered_map<std::string, uint32_t> childByText_;
  std::vector<uint8_t> namedBySref_;  // per child
  std::vector<GroupSlot> groupSlots_;
  uint32_t generation_ = 1;
  std::vector<SrefGroup> groups_;
  std::unordered_set<std::string> arefsSeen_;  // the distinct AREFs, by their fields' bytes
};

}  // namespace tessel
