#include "import/library_reader.h"

#include <algorithm>
#include <utility>

#include "import/record_feed.h"
#include "import/structure_cutter.h"
#include "import/structure_parser.h"
#include "stream/console.h"
#include "stream/decode.h"
#include "stream/diagnostics.h"
#include "stream/parallel.h"

namespace tessel {

namespace {

// Consecutive structures are cut and parsed together, about this many bytes at a time, so that
// a file of a million tiny ones is not a million hand-overs between threads.
constexpr size_t kBatchBytes = size_t{256} << 10;
// A structure up to this size is held whole and parsed on any thread; a larger one is parsed on
// the reading thread, part after part, so that it is never held whole.
constexpr size_t kLargestHeld = size_t{4} << 20;

// Structures cut from the file, the library-level lines before them, and their parsing.
struct Batch {
  std::string textBefore;
  HeldRecords records;   // of its structures, where the reader read them
  RecordPosition first;  // where its first record stands
  std::vector<ElementCounts> counts;
  ReadStatus endStatus = ReadStatus::End;  // the input's end, when it ends inside the batch
  bool parsed = false;                     // parsed as it was cut: a structure too large to hold
  std::vector<std::unique_ptr<StructureRead>> results;
  size_t resultCount = 0;

  void clear() {
    textBefore.clear();
    records.clear();
    counts.clear();
    endStatus = ReadStatus::End;
    parsed = false;
    resultCount = 0;
  }
  StructureRead& nextResult(const library_reading::Plan& plan) {
    if (resultCount == results.size()) results.push_back(plan.make());
    StructureRead& result = *results[resultCount++];
    result.messages.clear();
    result.damaged = false;
    return result;
  }
};

class LibraryReader {
 public:
  LibraryReader(RecordReader& reader, const library_reading::Plan& plan, GdsLibrary& library)
      : reader_(reader),
        plan_(plan),
        library_(library),
        threads_(plan.keepStructures ? 1 : std::max(1u, plan.threads)),
        parsers_(threads_),
        scratch_(threads_),
        feed_(reader) {}

  bool run() {
    // Two batches a thread: the reading thread cuts ahead while the others parse, instead of
    // parsing a batch itself while a helper waits for the next one.
    runInOrder<Batch>(
        threads_, 2 * size_t{threads_}, [this](Batch& batch) { return make(batch); },
        [this](Batch& batch, unsigned thread) { work(batch, thread); },
        [this](Batch& batch) { use(batch); });
    return !damaged_;
  }

 private:
  // Reads library-level records up to the next structures, which it cuts into the batch.
  bool make(Batch& batch) {
    if (finished_) return false;
    batch.clear();
    if (large_.pending) {
      readLargeStructure(batch);
      return true;
    }
    MessageSink text(batch.textBefore);
    StructureParser& parser = libraryParser_;
    for (;;) {
      if (parser.step(feed_, text) != ReadStatus::Record) {
        // The end of the input, or a record that cannot be decoded: the reading stops here.
        damaged_ = true;
        finished_ = true;
        return true;
      }
      const std::vector<int32_t>& ints = parser.ints();
      switch (parser.code()) {
        case rec::HEADER:
          parser.firstInt(library_.version, text);
          break;
        case rec::BGNLIB:
          library_.bgnlib.insert(library_.bgnlib.end(), ints.begin(), ints.end());
          break;
        case rec::LIBNAME:
          library_.name = parser.text();
          break;
        case rec::UNITS:
          if (parser.hasValues(parser.reals().size(), 2, text)) {
            library_.userUnit = parser.reals()[0];
            library_.meterUnit = parser.reals()[1];
          }
          break;
        case rec::ENDLIB:
          text.line("Reached end of library.");
          finished_ = true;
          return true;
        case rec::BGNSTR:
          cutStructures(batch);
          return true;
        case rec::GENERATIONS:
          parser.firstInt(library_.generations, text);
          break;
        default:
          parser.reportUnrecognized(text);
          damaged_ = damaged_ || parser.damaged();
          break;
      }
    }
  }

  // Cuts the structure whose BGNSTR was just read, and those that follow it directly, into the
  // batch.
  void cutStructures(Batch& batch) {
    batch.first = reader_.lastPosition();
    const RecordView& bgnstr = feed_.last();
    batch.records.add(reader_, bgnstr.span());
    RecordPosition start = batch.first;  // of the structure being cut
    size_t bgnstrLength = bgnstr.length;
    for (;;) {
      const size_t from = batch.records.size() - bgnstrLength;
      StructureCut cut;
      cut.bytes = bgnstrLength;
      const ReadStatus status = cutStructure(reader_, cut, batch.records, kLargestHeld);
      if (status != ReadStatus::Record) {  // the input ends inside the structure
        batch.counts.push_back(cut.counts);
        batch.endStatus = status;
        finished_ = true;
        return;
      }
      if (!cut.ended) {  // too large to hold: read part after part, after the ones before it
        large_.pending = true;
        large_.start = start;
        large_.cut = cut;
        large_.bytes = batch.records.takeFrom(from);
        if (batch.counts.empty()) readLargeStructure(batch);
        return;
      }
      batch.counts.push_back(cut.counts);
      if (batch.records.size() >= kBatchBytes) return;
      // A structure that follows directly joins the batch.
      bool another = false;
      start = reader_.nextPosition();
      reader_.walk(
          [&](const RecordView& record) {
            if (record.code() != rec::BGNSTR || !isDecodable(record.bytes, record.length))
              return Walk::Stop;
            another = true;
            bgnstrLength = record.length;
            return Walk::TakeAndStop;
          },
          [&](std::span<const uint8_t> run) { batch.records.add(reader_, run); });
      if (!another) return;
    }
  }

  // Reads the structure too large to hold, on this thread, handing its elements to the work
  // part after part; its first records were cut already.
  void readLargeStructure(Batch& batch) {
    batch.parsed = true;
    batch.first = large_.start;
    StructureRead& result = batch.nextResult(plan_);
    MessageSink out(result.messages);
    StructureParser& parser = parsers_[0];
    parser.setDamaged(false);
    result.start = large_.start;
    bool first = true;
    const StructurePart parts = [&](GdsStructure& part, bool last) {
      if (plan_.work) plan_.work(0, part, first, last, result);
      first = false;
    };
    GdsStructure& structure = plan_.keepStructures ? result.structure : scratch_[0];
    const ReadStatus ended =
        readStructureInParts(reader_, large_.bytes, large_.start, large_.cut, parser, out,
                             structure, plan_.keepStructures ? nullptr : &parts);
    if (ended != ReadStatus::Record) finished_ = true;
    result.size = reader_.nextPosition().offset - large_.start.offset;
    result.damaged = parser.damaged();
    if (!plan_.keepStructures) parser.forgetTexts();
    large_.pending = false;
    large_.bytes = std::vector<uint8_t>();
  }

  // Parses the batch's structures; on any thread.
  void work(Batch& batch, unsigned thread) {
    if (batch.parsed) return;
    StructureParser& parser = parsers_[thread];
    BytesFeed feed = recordsFeed(batch.records, batch.first, batch.endStatus);
    // One receiver of parts for the whole batch: made per structure it would cost an
    // allocation each.
    StructureRead* current = nullptr;
    bool first = true;
    const StructurePart parts = [&](GdsStructure& part, bool last) {
      if (plan_.work) plan_.work(thread, part, first, last, *current);
      first = false;
    };
    for (size_t i = 0; !feed.atEnd(); ++i) {
      StructureRead& result = batch.nextResult(plan_);
      MessageSink out(result.messages);
      parser.setDamaged(false);
      result.start = feed.nextPosition();
      // A structure not kept is read into the thread's own, whose lists keep their storage, and
      // handed to the work part after part.
      GdsStructure& structure = plan_.keepStructures ? result.structure : scratch_[thread];
      current = &result;
      first = true;
      parser.readStructure(feed, out, structure,
                           i < batch.counts.size() ? &batch.counts[i] : nullptr,
                           plan_.keepStructures ? nullptr : &parts);
      result.size = feed.nextPosition().offset - result.start.offset;
      result.damaged = parser.damaged();
      if (plan_.keepStructures && plan_.work) plan_.work(thread, structure, true, true, result);
      if (!plan_.keepStructures) parser.forgetTexts();
    }
  }

  // Prints the batch's lines and hands its structures over; in file order.
  void use(Batch& batch) {
    printText(batch.textBefore);
    for (size_t i = 0; i < batch.resultCount; ++i) {
      StructureRead& result = *batch.results[i];
      printText(result.messages);
      damaged_ = damaged_ || result.damaged;
      plan_.take(result);
    }
  }

  RecordReader& reader_;
  const library_reading::Plan& plan_;
  GdsLibrary& library_;
  const unsigned threads_;
  StructureParser libraryParser_;         // the library-level records, on the reading thread
  std::vector<StructureParser> parsers_;  // one per thread; the reading thread's first
  // One per thread: the structures read for the work alone, whose elements stay on the thread.
  std::vector<GdsStructure> scratch_;
  ReaderFeed feed_;
  bool finished_ = false;
  bool damaged_ = false;
  // A structure too large to hold, cut so far.
  struct {
    bool pending = false;
    RecordPosition start;
    StructureCut cut;
    std::vector<uint8_t> bytes;
  } large_;
};

}  // namespace

namespace library_reading {

bool readLibrary(RecordReader& reader, const Plan& plan, GdsLibrary& library) {
  LibraryReader libraryReader(reader, plan, library);
  return libraryReader.run();
}

}  // namespace library_reading

}  // namespace tessel
