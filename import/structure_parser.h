// Reading one structure's records into a GdsStructure, and the decoded record the library level
// dispatches on. The common records of references, paths and boundaries are read straight from
// their bytes; every other record goes through the general decoder, with the same result.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "import/record_feed.h"
#include "model/flat_tables.h"
#include "model/library.h"
#include "stream/diagnostics.h"
#include "stream/record.h"

namespace tessel {

// How many elements of each kind a structure holds, told from its records before it is parsed,
// so its lists are allocated once at their final size.
using ElementCounts = std::array<uint32_t, kElementKinds>;

// Receives a structure too large to hold in parts: the elements read so far, which it may take
// (the lists are emptied afterwards); `last` marks the structure's end.
using StructurePart = std::function<void(GdsStructure& part, bool last)>;

// One per thread: it keeps its decoded outputs and its table of shared texts from one structure
// to the next.
class StructureParser {
 public:
  // Reads and decodes the next record of `feed`; reports a failure to `out`.
  ReadStatus step(RecordFeed& feed, MessageSink& out);
  // A line about the record just read, followed by the line that says where it stands.
  void report(std::string_view message, MessageSink& out);
  // True when the record carries at least `count` values; otherwise reports it.
  bool hasValues(size_t present, size_t count, MessageSink& out);
  bool firstInt(int32_t& field, MessageSink& out);

  // Reads one structure, from its BGNSTR record (the next of `feed`, known to decode) to its
  // ENDSTR, or to the record or the end of the input that ends it early, into `structure`,
  // whose lists keep their storage; with `parts`, its elements are handed over every so often
  // instead.
  ReadStatus readStructure(BytesFeed& feed, MessageSink& out, GdsStructure& structure,
                           const ElementCounts* counts = nullptr,
                           const StructurePart* parts = nullptr);

  // Lets go of the shared texts met so far once they are many: for reading that keeps no
  // structure, where sharing a text between structures saves nothing.
  void forgetTexts() {
    if (interned_.size() > 4096) interned_.clear();
  }
  // Off, every record goes through the general decoder (to compare the two ways in tests).
  void useShortcuts(bool use) { shortcuts_ = use; }
  // Reports the record just decoded as one that has no place here.
  void reportUnrecognized(MessageSink& out);
  bool damaged() const { return damaged_; }
  void setDamaged(bool damaged) { damaged_ = damaged; }
  RecordCode code() const { return code_; }
  const std::vector<int32_t>& ints() const { return ints_; }
  const std::vector<double>& reals() const { return reals_; }
  const std::string& text() const { return text_; }

 private:
  // What a shortcut made of the next record.
  enum class Shortcut { Taken, EndOfElement, NotTaken };

  ReadStatus step() { return step(*feed_, *out_); }
  std::optional<std::string_view> where() const;
  bool hasValues(size_t present, size_t count) { return hasValues(present, count, *out_); }
  bool firstInt(int32_t& field) { return firstInt(field, *out_); }
  bool firstInt(uint32_t& field);
  bool firstReal(double& field);
  SharedString intern() { return interned_.intern(text_); }
  SharedString internText(const uint8_t* record, size_t length);
  bool evenValues();
  void pointXY(int32_t& x, int32_t& y);
  void listXY(Coordinates& xCor, Coordinates& yCor);
  void handOverPart();
  void clearElements(GdsStructure& structure);
  void keepCoordinates(Coordinates& list);
  Coordinates spareCoordinates();

  template <class Accept>
  ReadStatus readElement(Accept&& accept);
  template <class Quick, class Accept>
  ReadStatus readElement(Quick&& quick, Accept&& accept);
  template <class Element>
  bool acceptCommon(Element& element);
  template <class Reference>
  bool acceptReference(Reference& reference);
  template <class Element>
  bool acceptListElement(Element& element);
  template <class Element>
  Shortcut quickListElement(Element& element, const uint8_t* record, size_t length);

  ReadStatus readElementOf(RecordCode code);
  ReadStatus readBoundary();
  ReadStatus readPath();
  ReadStatus readNode();
  ReadStatus readBox();
  ReadStatus readSref();
  ReadStatus readAref();
  ReadStatus readText();

  BytesFeed* feed_ = nullptr;
  MessageSink* out_ = nullptr;
  const RecordFeed* positions_ = nullptr;  // the feed of the last record read
  const StructurePart* parts_ = nullptr;
  size_t elementsHeld_ = 0;
  bool shortcuts_ = true;
  bool damaged_ = false;
  bool inStructure_ = false;
  bool named_ = false;         // the structure being read has had its STRNAME
  bool propertyOpen_ = false;  // the element's last PROPATTR still waits for its PROPVALUE
  // Decoded outputs, reused for every record.
  RecordCode code_ = 0;
  uint16_t bits_ = 0;
  std::vector<int32_t> ints_;
  std::vector<double> reals_;
  std::string text_;
  GdsStructure* structure_ = nullptr;  // the structure being read
  InternTable interned_;
  // The point lists of elements handed over in parts, emptied, for the elements that follow:
  // reading in parts then takes no allocation per element.
  std::vector<Coordinates> spareCoordinates_;
};

}  // namespace tessel
