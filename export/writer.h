// Writing a library as a stream file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/library.h"
#include "stream/encode.h"

namespace tessel {

// Writes records of a library to one output.
struct GdsWriter {
  explicit GdsWriter(RecordSink& out) : out(out) {}

  RecordSink& out;

  // HEADER, BGNLIB, LIBNAME and UNITS (the library's name and units).
  void writeLibraryHeader(std::string_view name, double userUnit = 0.001, double meterUnit = 1e-9);
  void writeStructureHeader(const GdsStructure& structure);
  // The structure from BGNSTR to ENDSTR, its elements list by list.
  void writeStructure(const GdsStructure& structure);
  void writeSref(const GdsSref& sref);
  void writeAref(const GdsAref& aref);
  void writeBoundary(const GdsBoundary& boundary);
  void writePath(const GdsPath& path);
  void writeNode(const GdsNode& node);
  void writeText(const GdsText& text);
  void writeBox(const GdsBox& box);
  // Copies every structure of `sourceFile` not copied before in this run. Returns 0 when the
  // source was read to its ENDLIB, 1 otherwise.
  int copyStructures(const std::string& sourceFile);

 private:
  void writeTransform(uint16_t strans, double scale, double angle);
  void writeElementFlags(uint16_t elflags, int32_t plex);
  void writeElementEnd(const Properties& properties);
  void writeReal(RecordCode code, double value);
  // Reals written before and their bytes: references mostly repeat a few angles.
  struct RealMemo {
    double value = 0.0;
    uint64_t bytes = 0;
  };
  std::array<RealMemo, 8> realMemo_{};
};

// Writes the elements of `structure` kind by kind, those of kind k through writers[k]: SREFs,
// AREFs, boundaries, paths, nodes, texts, boxes, the order structures are written in.
void writeElementsByKind(const GdsStructure& structure,
                         const std::array<GdsWriter*, kElementKinds>& writers);

// Encodes one structure part after part, for a structure too large to hold whole: the elements
// of each part go after those of their kind from the parts before, so the structure comes out
// kind by kind, exactly as writeStructure writes it. One per thread.
class StructureEncoder {
 public:
  StructureEncoder();
  void begin();
  void add(const GdsStructure& part);
  // The structure from BGNSTR to ENDSTR into `bytes`; the lines of refused records into
  // `messages`. `structure` gives its name.
  void finish(const GdsStructure& structure, std::vector<uint8_t>& bytes, std::string& messages);

 private:
  // SREFs, AREFs, boundaries, paths, nodes, texts, boxes: the order structures are written in.
  std::array<RecordSink, kElementKinds> kinds_;
  std::vector<GdsWriter> writers_;
  // BGNSTR and STRNAME, kept from one structure to the next like the others: made afresh, its
  // buffer would be an allocation a structure.
  RecordSink header_;
};

// Writes the library to `fileName`, replacing an existing file only when complete. Returns 0
// when written, 1 when the file could not be written (nothing replaced) or a source file could
// not be copied whole (the file is written all the same).
int writeLibrary(const GdsLibrary& library, const std::string& fileName);

// Names of the structures copied from source files in this run.
std::unordered_set<std::string>& copiedStructureNames();

}  // namespace tessel
