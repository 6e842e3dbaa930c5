#include "export/writer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "stream/console.h"
#include "stream/output_file.h"
#include "stream/parallel.h"

namespace tessel {

namespace {

constexpr size_t kMaxPointsPerRecord = 8191;  // 8191 * 8 + 4 bytes is the longest XY record

const uint8_t kFixedUnits[16] = {0x3E, 0x41, 0x89, 0x37, 0x4B, 0xC6, 0xA7, 0xF0,
                                 0x39, 0x44, 0xB8, 0x2F, 0xA0, 0x9B, 0x5A, 0x50};

void writeHeaderOnly(RecordSink& out, RecordCode code) {
  out.putHeader(4, code);
}

void writeShort(RecordSink& out, RecordCode code, int64_t value) {
  out.putHeader(6, code);
  out.put16(static_cast<uint32_t>(value) & 0xFFFF);
}

void writeLong(RecordSink& out, RecordCode code, uint32_t value) {
  out.putHeader(8, code);
  out.put32(value);
}

void writeName(RecordSink& out, RecordCode code, std::string_view name) {
  writeTextRecord(out, code, name);
}

void writePoint(RecordSink& out, int32_t x, int32_t y) {
  out.putHeader(12, rec::XY);
  out.put32(static_cast<uint32_t>(x));
  out.put32(static_cast<uint32_t>(y));
}

// One XY record per 8191 points; the reader joins them back into one list.
void writePointList(RecordSink& out, const Coordinates& xCor, const Coordinates& yCor) {
  const size_t count = std::min(xCor.size(), yCor.size());
  if (count == 0) {
    writeIntegerRecord(out, rec::XY, {}, 0);
    return;
  }
  for (size_t first = 0; first < count; first += kMaxPointsPerRecord) {
    const size_t points = std::min(kMaxPointsPerRecord, count - first);
    out.putHeader(4 + 8 * points, rec::XY);
    for (size_t i = first; i < first + points; ++i) {
      out.put32(static_cast<uint32_t>(xCor[i]));
      out.put32(static_cast<uint32_t>(yCor[i]));
    }
  }
}

// For references: the STRANS bits as read, with the reflection field in bit 15.
uint16_t referenceStrans(uint16_t strans, bool reflection) {
  return static_cast<uint16_t>((strans & 0x7FFF) | (reflection ? 0x8000 : 0));
}

size_t elementsOf(const GdsStructure& structure) {
  return structure.boundaries.size() + structure.paths.size() + structure.srefs.size() +
         structure.arefs.size() + structure.texts.size() + structure.nodes.size() +
         structure.boxes.size();
}

// Consecutive structures encoded together, about this many elements at a time.
constexpr size_t kBatchElements = size_t{1} << 16;

// One batch of consecutive structures and its bytes.
struct EncodedBatch {
  size_t first = 0;
  size_t last = 0;
  RecordSink sink;
};

// Encodes the structures on every core and writes their bytes to `file` in file order, holding
// only a window of batches in memory. The refusal lines of each batch are printed as its bytes
// are written, so they come out as from one thread.
void writeStructures(const std::vector<GdsStructure>& structures, RecordSink& file) {
  size_t next = 0;
  auto make = [&](EncodedBatch& batch) {
    if (next == structures.size()) return false;
    batch.first = next;
    for (size_t weight = 0; next < structures.size() && weight < kBatchElements; ++next)
      weight += elementsOf(structures[next]) + 1;
    batch.last = next;
    return true;
  };
  auto encode = [&](EncodedBatch& batch, unsigned) {
    batch.sink.keepMessages();
    GdsWriter writer(batch.sink);
    for (size_t i = batch.first; i < batch.last; ++i)
      writer.writeStructure(structures[i]);
  };
  auto write = [&](EncodedBatch& batch) {
    printText(batch.sink.messages());
    file.put(batch.sink.bytes());
    batch.sink.clear();
  };
  size_t total = 0;
  for (const auto& structure : structures)
    total += elementsOf(structure) + 1;
  const unsigned threads = total < 2 * kBatchElements ? 1 : workThreads();
  runInOrder<EncodedBatch>(threads, 2 * size_t{threads}, make, encode, write);
}

}  // namespace

// STRANS with its bits as read, then MAG and ANGLE when they carry something.
void GdsWriter::writeTransform(uint16_t strans, double scale, double angle) {
  out.putHeader(6, rec::STRANS);
  out.put16(strans);
  if (scale != 1.0) writeReal(rec::MAG, scale);
  if (angle != 0.0) writeReal(rec::ANGLE, angle);
}

// ELFLAGS and PLEX, right after the record that opens the element, when they are set.
void GdsWriter::writeElementFlags(uint16_t elflags, int32_t plex) {
  if (elflags != 0) {
    out.putHeader(6, rec::EFLAGS);
    out.put16(elflags);
  }
  if (plex != 0) writeLong(out, rec::PLEX, static_cast<uint32_t>(plex));
}

// The properties, last before ENDEL, then ENDEL.
void GdsWriter::writeElementEnd(const Properties& properties) {
  for (const GdsProperty& property : properties) {
    writeShort(out, rec::PROPATTR, property.propattr);
    writeName(out, rec::PROPVALUE, property.propvalue);
  }
  writeHeaderOnly(out, rec::ENDEL);
  out.maybeFlush();
}

void GdsWriter::writeReal(RecordCode code, double value) {
  // Equal values have equal bytes (0 and -0 both give zero bytes), so the bytes of a value met
  // before are reused. The memo is indexed by the low bits of the binary exponent, which tell
  // the usual angles (90, 180, 270) and magnifications apart.
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  RealMemo& memo = realMemo_[(bits >> 52) & (realMemo_.size() - 1)];
  if (value == memo.value) {
    out.putHeader(kRecordHeaderSize + 8, code);
    out.put64(memo.bytes);
  } else if (writeRealRecord(out, code, {&value, 1}, 1) == 0) {
    memo = {value, encodeReal8(value)};
  }
}

void GdsWriter::writeLibraryHeader(std::string_view name, double userUnit, double meterUnit) {
  out.putHeader(6, rec::HEADER);
  out.put16(600);
  writeTimestampRecord(out, rec::BGNLIB);
  writeName(out, rec::LIBNAME, name);
  out.putHeader(20, rec::UNITS);
  if (userUnit == 0.001 && meterUnit == 1e-9) {
    out.put(kFixedUnits, sizeof kFixedUnits);
  } else {
    out.put64(encodeReal8Normalized(userUnit));
    out.put64(encodeReal8Normalized(meterUnit));
  }
}

void GdsWriter::writeStructureHeader(const GdsStructure& structure) {
  writeTimestampRecord(out, rec::BGNSTR);
  writeName(out, rec::STRNAME, structure.name);
}

void writeElementsByKind(const GdsStructure& structure,
                         const std::array<GdsWriter*, kElementKinds>& writers) {
  for (const auto& sref : structure.srefs)
    writers[0]->writeSref(sref);
  for (const auto& aref : structure.arefs)
    writers[1]->writeAref(aref);
  for (const auto& boundary : structure.boundaries)
    writers[2]->writeBoundary(boundary);
  for (const auto& path : structure.paths)
    writers[3]->writePath(path);
  for (const auto& node : structure.nodes)
    writers[4]->writeNode(node);
  for (const auto& text : structure.texts)
    writers[5]->writeText(text);
  for (const auto& box : structure.boxes)
    writers[6]->writeBox(box);
}

void GdsWriter::writeStructure(const GdsStructure& structure) {
  writeStructureHeader(structure);
  std::array<GdsWriter*, kElementKinds> writers;
  writers.fill(this);
  writeElementsByKind(structure, writers);
  writeHeaderOnly(out, rec::ENDSTR);
  out.maybeFlush();
}

void GdsWriter::writeSref(const GdsSref& sref) {
  writeHeaderOnly(out, rec::SREF);
  writeElementFlags(sref.elflags, sref.plex);
  writeName(out, rec::SNAME, sref.name);
  writeTransform(referenceStrans(sref.strans, sref.reflection), sref.scale, sref.angle);
  writePoint(out, sref.xCor, sref.yCor);
  writeElementEnd(sref.properties);
}

void GdsWriter::writeAref(const GdsAref& aref) {
  writeHeaderOnly(out, rec::AREF);
  writeElementFlags(aref.elflags, aref.plex);
  writeName(out, rec::SNAME, aref.name);
  writeTransform(referenceStrans(aref.strans, aref.reflection), aref.scale, aref.angle);
  out.putHeader(8, rec::COLROW);
  out.put16(static_cast<uint32_t>(aref.columns) & 0xFFFF);
  out.put16(static_cast<uint32_t>(aref.rows) & 0xFFFF);
  out.putHeader(28, rec::XY);
  for (int32_t value : aref.xy)
    out.put32(static_cast<uint32_t>(value));
  writeElementEnd(aref.properties);
}

void GdsWriter::writeBoundary(const GdsBoundary& boundary) {
  writeHeaderOnly(out, rec::BOUNDARY);
  writeElementFlags(boundary.elflags, boundary.plex);
  writeShort(out, rec::LAYER, boundary.layer);
  writeShort(out, rec::DATATYPE, boundary.datatype);
  writePointList(out, boundary.xCor, boundary.yCor);
  writeElementEnd(boundary.properties);
}

void GdsWriter::writePath(const GdsPath& path) {
  writeHeaderOnly(out, rec::PATH);
  writeElementFlags(path.elflags, path.plex);
  writeShort(out, rec::LAYER, path.layer);
  writeShort(out, rec::DATATYPE, path.datatype);
  writeShort(out, rec::PATHTYPE, path.pathtype);
  writeLong(out, rec::WIDTH, path.width);
  if (path.pathtype == 4) {  // only this path type has explicit extensions
    writeLong(out, rec::BGNEXTN, static_cast<uint32_t>(path.bgnextn));
    writeLong(out, rec::ENDEXTN, static_cast<uint32_t>(path.endextn));
  }
  writePointList(out, path.xCor, path.yCor);
  writeElementEnd(path.properties);
}

void GdsWriter::writeNode(const GdsNode& node) {
  writeHeaderOnly(out, rec::NODE);
  writeElementFlags(node.elflags, node.plex);
  writeShort(out, rec::LAYER, node.layer);
  writeShort(out, rec::NODETYPE, node.nodetype);
  writePointList(out, node.xCor, node.yCor);
  writeElementEnd(node.properties);
}

void GdsWriter::writeText(const GdsText& text) {
  writeHeaderOnly(out, rec::TEXT);
  writeElementFlags(text.elflags, text.plex);
  writeShort(out, rec::LAYER, text.layer);
  writeShort(out, rec::TEXTTYPE, text.texttype);
  // A text read from a file gets the optional records it was read with, no more and no fewer;
  // one built in code those its values call for.
  const bool asRead = (text.records & text_records::kRead) != 0;
  auto wanted = [&](uint8_t record, bool builtInCode) {
    return asRead ? (text.records & record) != 0 : builtInCode;
  };
  if (wanted(text_records::kPresentation, true))
    writeShort(out, rec::PRESENTATION, text.presentation);
  if (wanted(text_records::kPathtype, text.pathtype != 0))
    writeShort(out, rec::PATHTYPE, text.pathtype);
  if (wanted(text_records::kWidth, true))
    writeLong(out, rec::WIDTH, static_cast<uint32_t>(text.width));
  if (wanted(text_records::kStrans, true)) {
    out.putHeader(6, rec::STRANS);
    out.put16(text.strans);
  }
  if (wanted(text_records::kMag, text.scale != 1.0)) writeReal(rec::MAG, text.scale);
  if (wanted(text_records::kAngle, text.angle != 0.0)) writeReal(rec::ANGLE, text.angle);
  writePoint(out, text.xCor, text.yCor);
  writeName(out, rec::STRING, text.textbody);
  writeElementEnd(text.properties);
}

void GdsWriter::writeBox(const GdsBox& box) {
  writeHeaderOnly(out, rec::BOX);
  writeElementFlags(box.elflags, box.plex);
  writeShort(out, rec::LAYER, box.layer);
  writeShort(out, rec::BOXTYPE, box.boxtype);
  writePointList(out, box.xCor, box.yCor);
  writeElementEnd(box.properties);
}

StructureEncoder::StructureEncoder() {
  header_.keepMessages();
  writers_.reserve(kinds_.size());
  for (RecordSink& kind : kinds_) {
    kind.keepMessages();
    writers_.emplace_back(kind);
  }
}

void StructureEncoder::begin() {
  for (RecordSink& kind : kinds_)
    kind.clear();
}

void StructureEncoder::add(const GdsStructure& part) {
  std::array<GdsWriter*, kElementKinds> writers;
  for (size_t kind = 0; kind < writers.size(); ++kind)
    writers[kind] = &writers_[kind];
  writeElementsByKind(part, writers);
}

void StructureEncoder::finish(const GdsStructure& structure, std::vector<uint8_t>& bytes,
                              std::string& messages) {
  header_.clear();
  GdsWriter(header_).writeStructureHeader(structure);
  size_t size = header_.bytes().size() + kRecordHeaderSize;
  for (const RecordSink& kind : kinds_)
    size += kind.bytes().size();
  bytes.clear();
  // Room to spare: a buffer used again then fits the next structures of about this size.
  if (bytes.capacity() < size) bytes.reserve(size + size / 4);
  messages = header_.messages();
  bytes.insert(bytes.end(), header_.bytes().begin(), header_.bytes().end());
  for (const RecordSink& kind : kinds_) {
    bytes.insert(bytes.end(), kind.bytes().begin(), kind.bytes().end());
    messages += kind.messages();
  }
  const uint8_t endstr[] = {0x00, 0x04, 0x07, 0x00};
  bytes.insert(bytes.end(), std::begin(endstr), std::end(endstr));
}

std::unordered_set<std::string>& copiedStructureNames() {
  static std::unordered_set<std::string> names;
  return names;
}

int writeLibrary(const GdsLibrary& library, const std::string& fileName) {
  OutputFile file;
  if (!file.open(fileName)) {
    printQuoted("Error: Cannot write ", fileName, ".");
    return 1;
  }
  RecordSink sink = file.compressor() ? RecordSink(*file.compressor()) : RecordSink(file.fd());
  if (file.replacesExisting()) sink.startWritebackEarly();
  GdsWriter writer(sink);
  writer.writeLibraryHeader(library.name, library.userUnit, library.meterUnit);
  int result = 0;
  for (const auto& source : library.sourceFiles)
    if (writer.copyStructures(source) != 0) result = 1;
  writeStructures(library.structures, sink);
  writeHeaderOnly(sink, rec::ENDLIB);
  if (!sink.flush() || !file.commit()) {
    file.abandon();
    printQuoted("Error: Cannot write ", fileName, ".");
    return 1;
  }
  printQuoted("Creating ", fileName, " done.");
  return result;
}

}  // namespace tessel
