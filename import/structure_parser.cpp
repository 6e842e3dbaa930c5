#include "import/structure_parser.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "import/structure_bounds.h"
#include "stream/decode.h"

namespace tessel {

namespace {

// A structure read in parts (for work that keeps no structure) is handed over every this many
// elements: the lists then stay in the core's cache, where filling and reading them again costs
// far less than in memory.
constexpr size_t kPartElements = size_t{1} << 10;

RecordCode codeAt(const uint8_t* record) {
  return (RecordCode{record[2]} << 8) | record[3];
}
// The values as decodeRecord gives them: 2-byte integers unsigned, 4-byte ones signed.
int32_t int2At(const uint8_t* record) {
  return static_cast<int32_t>(readBigEndian(record, 4, 2));
}
int32_t int4At(const uint8_t* record, size_t index) {
  return static_cast<int32_t>(readBigEndian(record, static_cast<long>(4 + 4 * index), 4));
}

}  // namespace

ReadStatus StructureParser::step(RecordFeed& feed, MessageSink& out) {
  positions_ = &feed;
  RecordView record;
  const ReadStatus status = feed.next(record);
  if (status != ReadStatus::Record) {
    out.report(readStatusMessage(status), feed.nextPosition(), where());
    damaged_ = true;
    return status;
  }
  if (decodeRecord(record.span(), code_, bits_, ints_, reals_, text_, &out) != 0) {
    report("Error: Unable to read GDS file.", out);
    damaged_ = true;
    return ReadStatus::Undecodable;
  }
  return ReadStatus::Record;
}

void StructureParser::report(std::string_view message, MessageSink& out) {
  out.report(message, positions_->lastPosition(), where());
}

void StructureParser::reportUnrecognized(MessageSink& out) {
  report("Error: Unrecognized record.", out);
  // A record of a type GDSII does not define is damage, and a rewrite would lose what it held;
  // a defined one that stands where it is not taken (a DATATYPE in a TEXT) is only misplaced.
  if (!isDefinedRecordType(code_)) damaged_ = true;
}

bool StructureParser::hasValues(size_t present, size_t count, MessageSink& out) {
  if (present >= count) return true;
  report("Error: Record has too few values.", out);
  return false;
}

bool StructureParser::firstInt(int32_t& field, MessageSink& out) {
  if (!hasValues(ints_.size(), 1, out)) return false;
  field = ints_[0];
  return true;
}

bool StructureParser::firstInt(uint32_t& field) {
  if (!hasValues(ints_.size(), 1)) return false;
  field = static_cast<uint32_t>(ints_[0]);
  return true;
}

bool StructureParser::firstReal(double& field) {
  if (!hasValues(reals_.size(), 1)) return false;
  field = reals_[0];
  return true;
}

// The structure named in the lines about damaged records: the one being read, once named.
std::optional<std::string_view> StructureParser::where() const {
  if (inStructure_ && named_) return std::string_view(structure_->name);
  return std::nullopt;
}

ReadStatus StructureParser::readStructure(BytesFeed& feed, MessageSink& out,
                                          GdsStructure& structure, const ElementCounts* counts,
                                          const StructurePart* parts) {
  feed_ = &feed;
  out_ = &out;
  parts_ = parts;
  elementsHeld_ = 0;
  // The lists keep their storage from the structure read into them before.
  structure_ = &structure;
  structure.name.clear();
  structure.level = 0;
  structure.bbox = {};
  structure.bgnstr.clear();
  clearElements(structure);
  inStructure_ = true;
  named_ = false;
  if (counts) {
    // Read in parts, a list never holds more than a part's elements.
    auto reserve = [&](auto& list, size_t kind) {
      const size_t count = (*counts)[kind];
      list.reserve(parts ? std::min(count, kPartElements) : count);
    };
    reserve(structure_->boundaries, kBoundaryKind);
    reserve(structure_->paths, kPathKind);
    reserve(structure_->srefs, kSrefKind);
    reserve(structure_->arefs, kArefKind);
    reserve(structure_->texts, kTextKind);
    reserve(structure_->nodes, kNodeKind);
    reserve(structure_->boxes, kBoxKind);
  }
  ReadStatus result = step(feed, out);  // BGNSTR: the caller has seen it decode
  assert(result == ReadStatus::Record && code_ == rec::BGNSTR);
  structure_->bgnstr.assign(ints_.begin(), ints_.end());
  bool open = result == ReadStatus::Record;
  while (open) {
    result = step(feed, out);
    if (stopsReading(result)) break;
    // A record that cannot be decoded was reported where it stands and ends nothing; the
    // structure goes on with the next one, so the records after it are not reported again.
    const bool decoded = result != ReadStatus::Undecodable;
    switch (structureMark(code_, false, [decoded] { return decoded; })) {
      case StructureMark::ClosesStructure:
        open = false;
        break;
      case StructureMark::OpensElement:
        result = readElementOf(code_);
        break;
      case StructureMark::Inside:
      case StructureMark::ClosesElement:
        if (result == ReadStatus::Undecodable) break;
        if (code_ == rec::STRNAME) {
          structure_->name = text_;
          named_ = true;
        } else {
          reportUnrecognized(out);
        }
        break;
    }
    if (stopsReading(result)) open = false;
  }
  if (parts_) (*parts_)(structure, true);
  inStructure_ = false;
  parts_ = nullptr;
  return result;
}

// Reads the element that the record just read opens.
ReadStatus StructureParser::readElementOf(RecordCode code) {
  switch (code) {
    case rec::BOUNDARY:
      return readBoundary();
    case rec::PATH:
      return readPath();
    case rec::SREF:
      return readSref();
    case rec::AREF:
      return readAref();
    case rec::TEXT:
      return readText();
    case rec::NODE:
      return readNode();
    default:
      return readBox();
  }
}

// A list longer than this is let go rather than kept for another element.
constexpr size_t kLargestSparePoints = 64;

void StructureParser::keepCoordinates(Coordinates& list) {
  if (list.capacity() == 0 || list.capacity() > kLargestSparePoints ||
      spareCoordinates_.size() >= 4 * kPartElements)
    return;
  list.clear();
  spareCoordinates_.push_back(std::move(list));
}

Coordinates StructureParser::spareCoordinates() {
  if (spareCoordinates_.empty()) return {};
  Coordinates list = std::move(spareCoordinates_.back());
  spareCoordinates_.pop_back();
  return list;
}

void StructureParser::clearElements(GdsStructure& structure) {
  for (GdsBoundary& boundary : structure.boundaries) {
    keepCoordinates(boundary.xCor);
    keepCoordinates(boundary.yCor);
  }
  for (GdsPath& path : structure.paths) {
    keepCoordinates(path.xCor);
    keepCoordinates(path.yCor);
  }
  structure.boundaries.clear();
  structure.paths.clear();
  structure.srefs.clear();
  structure.arefs.clear();
  structure.texts.clear();
  structure.nodes.clear();
  structure.boxes.clear();
}

// Hands the elements read so far to the part receiver once there are enough of them.
void StructureParser::handOverPart() {
  if (!parts_ || ++elementsHeld_ < kPartElements) return;
  (*parts_)(*structure_, false);
  clearElements(*structure_);
  elementsHeld_ = 0;
}

// Reads an element's records up to ENDEL. `accept` stores a record the kind takes and
// returns false for one it does not. The result is Record after ENDEL.
template <class Accept>
ReadStatus StructureParser::readElement(Accept&& accept) {
  return readElement([](const uint8_t*, size_t) { return Shortcut::NotTaken; }, accept);
}

// As above, but first offers each record lying in the feed's bytes to `quick(bytes, length)`,
// which may store a well-formed record of the most common shapes straight from its bytes,
// exactly as decoding it would. Millions of references and paths take this way.
template <class Quick, class Accept>
ReadStatus StructureParser::readElement(Quick&& quick, Accept&& accept) {
  propertyOpen_ = false;
  for (;;) {
    if (const uint8_t* bytes = shortcuts_ ? feed_->peek() : nullptr) {
      const size_t length = readBigEndian(bytes, 0, 2);
      const Shortcut taken = quick(bytes, length);
      if (taken != Shortcut::NotTaken) {
        feed_->advance(length);
        if (taken == Shortcut::EndOfElement) return ReadStatus::Record;
        continue;
      }
    }
    const ReadStatus result = step();
    if (stopsReading(result)) return result;
    // A damaged record (reported) is skipped: the rest of the element still belongs to it.
    if (result == ReadStatus::Undecodable) continue;
    if (structureMark(code_, true, [] { return true; }) == StructureMark::ClosesElement)
      return ReadStatus::Record;
    if (!accept()) reportUnrecognized(*out_);
  }
}

// PLEX, ELFLAGS and the properties, which every kind takes. A PROPATTR starts a property,
// whose value stays empty until its PROPVALUE; a PROPVALUE without one starts a property of
// attribute 0.
template <class Element>
bool StructureParser::acceptCommon(Element& element) {
  switch (code_) {
    case rec::PLEX:
      firstInt(element.plex);
      return true;
    case rec::EFLAGS:
      element.elflags = bits_;
      return true;
    case rec::PROPATTR: {
      uint32_t attribute = 0;
      if (!firstInt(attribute)) return true;
      element.properties.push_back({attribute, SharedString()});
      propertyOpen_ = true;
      return true;
    }
    case rec::PROPVALUE:
      if (!propertyOpen_) element.properties.emplace_back();
      element.properties.back().propvalue = intern();
      propertyOpen_ = false;
      return true;
    default:
      return false;
  }
}

void StructureParser::listXY(Coordinates& xCor, Coordinates& yCor) {
  if (ints_.size() % 2 != 0) {
    report("Error: XY co_ordinates uneven", *out_);
    return;
  }
  const size_t points = ints_.size() / 2;
  xCor.reserve(xCor.size() + points);
  yCor.reserve(yCor.size() + points);
  for (size_t i = 0; i < points; ++i) {
    xCor.push_back(ints_[2 * i]);
    yCor.push_back(ints_[2 * i + 1]);
  }
}

bool StructureParser::evenValues() {
  if (ints_.size() % 2 == 0) return true;
  report("Error: Missing X or Y co-ordinate", *out_);
  return false;
}

void StructureParser::pointXY(int32_t& x, int32_t& y) {
  if (!evenValues() || !hasValues(ints_.size(), 2)) return;
  x = ints_[0];
  y = ints_[1];
}

template <class Reference>
bool StructureParser::acceptReference(Reference& reference) {
  switch (code_) {
    case rec::SNAME:
      reference.name = intern();
      return true;
    case rec::STRANS:
      reference.strans = bits_;
      reference.reflection = (bits_ & 0x8000) != 0;
      return true;
    case rec::MAG:
      firstReal(reference.scale);
      return true;
    case rec::ANGLE:
      firstReal(reference.angle);
      return true;
    default:
      return acceptCommon(reference);
  }
}

template <class Element>
bool StructureParser::acceptListElement(Element& element) {
  switch (code_) {
    case rec::LAYER:
      firstInt(element.layer);
      return true;
    case rec::XY:
      listXY(element.xCor, element.yCor);
      return true;
    default:
      return acceptCommon(element);
  }
}

// The shortcuts every element with a point list shares: ENDEL, LAYER with one value, and XY
// with whole points.
template <class Element>
StructureParser::Shortcut StructureParser::quickListElement(Element& element, const uint8_t* record,
                                                            size_t length) {
  switch (codeAt(record)) {
    case rec::ENDEL:
      return Shortcut::EndOfElement;
    case rec::LAYER:
      if (length != 6) break;
      element.layer = static_cast<uint32_t>(int2At(record));
      return Shortcut::Taken;
    case rec::XY: {
      if ((length - kRecordHeaderSize) % 8 != 0) break;
      const size_t points = (length - kRecordHeaderSize) / 8;
      element.xCor.reserve(element.xCor.size() + points);
      element.yCor.reserve(element.yCor.size() + points);
      for (size_t i = 0; i < points; ++i) {
        element.xCor.push_back(int4At(record, 2 * i));
        element.yCor.push_back(int4At(record, 2 * i + 1));
      }
      return Shortcut::Taken;
    }
    default:
      break;
  }
  return Shortcut::NotTaken;
}

ReadStatus StructureParser::readBoundary() {
  GdsBoundary boundary;
  boundary.xCor = spareCoordinates();
  boundary.yCor = spareCoordinates();
  auto quick = [&](const uint8_t* record, size_t length) {
    if (codeAt(record) == rec::DATATYPE && length == 6) {
      boundary.datatype = int2At(record);
      return Shortcut::Taken;
    }
    return quickListElement(boundary, record, length);
  };
  const ReadStatus result = readElement(quick, [&] {
    if (code_ == rec::DATATYPE) return firstInt(boundary.datatype), true;
    return acceptListElement(boundary);
  });
  structure_->boundaries.push_back(std::move(boundary));
  handOverPart();
  return result;
}

ReadStatus StructureParser::readPath() {
  GdsPath path;
  path.xCor = spareCoordinates();
  path.yCor = spareCoordinates();
  auto quick = [&](const uint8_t* record, size_t length) {
    switch (codeAt(record)) {
      case rec::DATATYPE:
        if (length != 6) break;
        path.datatype = int2At(record);
        return Shortcut::Taken;
      case rec::PATHTYPE:
        if (length != 6) break;
        path.pathtype = int2At(record);
        return Shortcut::Taken;
      case rec::WIDTH:
        if (length != 8) break;
        path.width = static_cast<uint32_t>(int4At(record, 0));
        return Shortcut::Taken;
      default:
        return quickListElement(path, record, length);
    }
    return Shortcut::NotTaken;
  };
  const ReadStatus result = readElement(quick, [&] {
    switch (code_) {
      case rec::DATATYPE:
        return firstInt(path.datatype), true;
      case rec::WIDTH:
        return firstInt(path.width), true;
      case rec::PATHTYPE:
        return firstInt(path.pathtype), true;
      case rec::BGNEXTN:
        return firstInt(path.bgnextn), true;
      case rec::ENDEXTN:
        return firstInt(path.endextn), true;
      default:
        return acceptListElement(path);
    }
  });
  structure_->paths.push_back(std::move(path));
  handOverPart();
  return result;
}

ReadStatus StructureParser::readNode() {
  GdsNode node;
  const ReadStatus result = readElement([&] {
    if (code_ == rec::NODETYPE) return firstInt(node.nodetype), true;
    return acceptListElement(node);
  });
  structure_->nodes.push_back(std::move(node));
  handOverPart();
  return result;
}

ReadStatus StructureParser::readBox() {
  GdsBox box;
  const ReadStatus result = readElement([&] {
    if (code_ == rec::BOXTYPE) return firstInt(box.boxtype), true;
    return acceptListElement(box);
  });
  structure_->boxes.push_back(std::move(box));
  handOverPart();
  return result;
}

// The shared text of a string record's payload, without its NUL bytes. A name padded with one
// NUL, or with none, is looked up where it lies.
SharedString StructureParser::internText(const uint8_t* record, size_t length) {
  std::string_view text(reinterpret_cast<const char*>(record) + kRecordHeaderSize,
                        length - kRecordHeaderSize);
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  if (text.find('\0') == std::string_view::npos) return interned_.intern(text);
  text_.clear();
  appendText({record + kRecordHeaderSize, length - kRecordHeaderSize}, text_);
  return intern();
}

ReadStatus StructureParser::readSref() {
  GdsSref sref;
  auto quick = [&](const uint8_t* record, size_t length) {
    switch (codeAt(record)) {
      case rec::ENDEL:
        return Shortcut::EndOfElement;
      case rec::SNAME:
        sref.name = internText(record, length);
        return Shortcut::Taken;
      case rec::STRANS:
        if (length < 6) break;
        sref.strans = static_cast<uint16_t>(readBigEndian(record, 4, 2));
        sref.reflection = (sref.strans & 0x8000) != 0;
        return Shortcut::Taken;
      case rec::MAG:
        if (length != 12) break;
        sref.scale = decodeReal8(record + kRecordHeaderSize);
        return Shortcut::Taken;
      case rec::ANGLE:
        if (length != 12) break;
        sref.angle = decodeReal8(record + kRecordHeaderSize);
        return Shortcut::Taken;
      case rec::XY:
        if (length != 12) break;
        sref.xCor = int4At(record, 0);
        sref.yCor = int4At(record, 1);
        return Shortcut::Taken;
      default:
        break;
    }
    return Shortcut::NotTaken;
  };
  const ReadStatus result = readElement(quick, [&] {
    if (code_ == rec::XY) return pointXY(sref.xCor, sref.yCor), true;
    return acceptReference(sref);
  });
  structure_->srefs.push_back(std::move(sref));
  handOverPart();
  return result;
}

ReadStatus StructureParser::readAref() {
  GdsAref aref;
  const ReadStatus result = readElement([&] {
    switch (code_) {
      case rec::COLROW:
        if (hasValues(ints_.size(), 2)) {
          aref.columns = ints_[0];
          aref.rows = ints_[1];
        }
        return true;
      case rec::XY:
        if (evenValues() && hasValues(ints_.size(), 6))
          for (size_t i = 0; i < 6; ++i)
            aref.xy[i] = ints_[i];
        return true;
      default:
        return acceptReference(aref);
    }
  });
  structure_->arefs.push_back(std::move(aref));
  handOverPart();
  return result;
}

ReadStatus StructureParser::readText() {
  using namespace text_records;
  GdsText text;
  text.records = kRead;
  const ReadStatus result = readElement([&] {
    switch (code_) {
      case rec::LAYER:
        return firstInt(text.layer), true;
      case rec::WIDTH:
        if (firstInt(text.width)) text.records |= kWidth;
        return true;
      case rec::XY:
        return pointXY(text.xCor, text.yCor), true;
      case rec::TEXTTYPE:
        return firstInt(text.texttype), true;
      case rec::PRESENTATION:
        text.presentation = bits_;
        text.records |= kPresentation;
        return true;
      case rec::STRING:
        text.textbody = intern();
        return true;
      case rec::STRANS:
        text.strans = bits_;
        text.records |= kStrans;
        return true;
      case rec::MAG:
        if (firstReal(text.scale)) text.records |= kMag;
        return true;
      case rec::ANGLE:
        if (firstReal(text.angle)) text.records |= kAngle;
        return true;
      case rec::PATHTYPE:
        if (firstInt(text.pathtype)) text.records |= kPathtype;
        return true;
      default:
        return acceptCommon(text);
    }
  });
  structure_->texts.push_back(std::move(text));
  handOverPart();
  return result;
}

}  // namespace tessel
