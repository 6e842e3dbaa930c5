// Reading a stream file's library level: the header records, and every structure, cut from the
// file by its record headers, parsed on every core and handed over in file order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "hierarchy/structure_summary.h"
#include "model/library.h"
#include "stream/record_reader.h"

namespace tessel {

// One structure as its reading left it, handed over in file order.
struct ParsedStructure {
  RecordPosition start;          // of its BGNSTR
  uint64_t size = 0;             // the bytes of its records
  std::string messages;          // its lines, in order
  bool damaged = false;          // a record could not be read, or the input ended inside it
  GdsStructure structure;        // when structures are kept
  StructureSummary summary;      // what the work on it left
  std::vector<uint8_t> encoded;  // likewise
  std::string encodedMessages;   // likewise
};

// Work on a structure on the thread that parsed it: with the structure whole (`first` and
// `last`), or, for one too large to hold, with one part of its elements after the other.
using StructureWork = std::function<void(unsigned thread, GdsStructure& part, bool first, bool last,
                                         ParsedStructure& parsed)>;

struct ReadPlan {
  // Keeps every structure whole. A kept structure shares its texts with the table of the parser
  // that read it, so such a read runs on the reading thread alone.
  bool keepStructures = false;
  StructureWork work;
  unsigned threads = 1;
};

// Reads the library from `reader`: the header records' values into `library` (its structures
// are left alone), every structure to `take`, in file order, on the reading thread. Every line
// goes to standard output in file order. Returns true when the library was read to its ENDLIB
// without a damaged record.
bool readLibrary(RecordReader& reader, const ReadPlan& plan, GdsLibrary& library,
                 const std::function<void(ParsedStructure&)>& take);

}  // namespace tessel
