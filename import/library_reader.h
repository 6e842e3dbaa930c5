// Reading a stream file's library level: the header records, and every structure, cut from the
// file by its record headers, parsed on every core and handed over in file order.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "model/library.h"
#include "stream/record_reader.h"

namespace tessel {

// What the reading of one structure left.
struct StructureRead {
  RecordPosition start;    // of its BGNSTR
  uint64_t size = 0;       // the bytes of its records
  std::string messages;    // its lines, in order
  bool damaged = false;    // a record could not be read, or the input ended inside it
  GdsStructure structure;  // when structures are kept

  // The reader holds its slots as StructureRead and lets go of them as such.
  virtual ~StructureRead() = default;
};

// One structure as its reading and the work on it left it, handed over in file order. The
// reader neither reads nor sets `result`: it is the work's, and a slot is used again for a later
// structure, so the work sets it afresh for each.
template <class Result>
struct ParsedStructure : StructureRead {
  Result result{};
};

// Work on a structure on the thread that parsed it: with the structure whole (`first` and
// `last`), or, for one too large to hold, with one part of its elements after the other.
template <class Result>
using StructureWork =
    std::function<void(unsigned thread, GdsStructure& part, bool first, bool last, Result& result)>;

template <class Result>
struct ReadPlan {
  // Keeps every structure whole. A kept structure shares its texts with the table of the parser
  // that read it, so such a read runs on the reading thread alone.
  bool keepStructures = false;
  StructureWork<Result> work;
  unsigned threads = 1;
};

namespace library_reading {

// The reading itself, for every kind of result: `make` gives the slots the reader fills and
// hands to `work` and `take`.
struct Plan {
  bool keepStructures = false;
  unsigned threads = 1;
  std::function<std::unique_ptr<StructureRead>()> make;
  std::function<void(unsigned thread, GdsStructure& part, bool first, bool last,
                     StructureRead& read)>
      work;
  std::function<void(StructureRead& read)> take;
};
bool readLibrary(RecordReader& reader, const Plan& plan, GdsLibrary& library);

}  // namespace library_reading

// Reads the library from `reader`: the header records' values into `library` (its structures
// are left alone), every structure to `take`, in file order, on the reading thread. Every line
// goes to standard output in file order. `take` is called with a ParsedStructure<Result>&. Returns
// true when the library was read to its ENDLIB without a damaged record.
template <class Result, class Take>
bool readLibrary(RecordReader& reader, const ReadPlan<Result>& plan, GdsLibrary& library,
                 Take&& take) {
  // Every slot is made here as a ParsedStructure<Result>, so each one handed back is one.
  library_reading::Plan untyped;
  untyped.keepStructures = plan.keepStructures;
  untyped.threads = plan.threads;
  untyped.make = [] { return std::make_unique<ParsedStructure<Result>>(); };
  if (plan.work)
    untyped.work = [&plan](unsigned thread, GdsStructure& part, bool first, bool last,
                           StructureRead& read) {
      plan.work(thread, part, first, last, static_cast<ParsedStructure<Result>&>(read).result);
    };
  untyped.take = [&take](StructureRead& read) {
    take(static_cast<ParsedStructure<Result>&>(read));
  };
  return library_reading::readLibrary(reader, untyped, library);
}

}  // namespace tessel
