// Cutting structures out of the file by their record headers alone, so that they can be parsed
// apart from the reading, on any thread.
#pragma once

#include <cstddef>
#include <vector>

#include "import/structure_parser.h"
#include "stream/record_reader.h"

namespace tessel {

// Where the cutting of one structure stands.
struct StructureCut {
  ElementCounts counts{};  // the elements started so far, by kind
  size_t bytes = 0;        // taken so far, its BGNSTR included
  bool inElement = false;
  bool ended = false;  // ENDSTR was taken
};

// Takes the records of the structure being cut from `reader` onto the end of `into`, up to and
// including the record that ends it, or until `limit` bytes of the structure have been taken.
// Returns Record when it stopped at the structure's end or at the limit, otherwise the status the
// input ended with.
ReadStatus cutStructure(RecordReader& reader, StructureCut& cut, std::vector<uint8_t>& into,
                        size_t limit);
// The same, holding the records where the reader read them.
ReadStatus cutStructure(RecordReader& reader, StructureCut& cut, HeldRecords& into, size_t limit);

// Reads a structure without holding it whole: its records so far are `bytes` (from its BGNSTR,
// which stands at `start`, cut up to `cut`), the others are cut from `reader` a few megabytes at
// a time, and its elements go to `parts` part after part. Returns Record when the structure
// ended, or the status the input ended with inside it.
ReadStatus readStructureInParts(RecordReader& reader, std::vector<uint8_t>& bytes,
                                RecordPosition start, StructureCut& cut, StructureParser& parser,
                                MessageSink& out, GdsStructure& structure,
                                const StructurePart* parts);

}  // namespace tessel
