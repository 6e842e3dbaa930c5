// Reading a stream file for its hierarchy alone: every structure is summed up and let go as the
// file is read, so the memory grows with the hierarchy, not with the elements. The lines are
// those of an import into the model, the bounding-box calculation's included.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hierarchy/bounding_box.h"
#include "hierarchy/structure_report.h"
#include "hierarchy/structure_summary.h"
#include "import/library_reader.h"
#include "model/library.h"
#include "stream/byte_source.h"

namespace tessel {

struct SummaryImport {
  GdsLibrary header;  // the library's header values; it holds no structures
  NameTable names;    // of the structures and their children
  // Every structure that enters the library, in its order, with every child's target set.
  SummaryList structures;
  HierarchyBoxes boxes;  // levels and boxes, in the same order
  // For the structure report: each structure's statistics are gathered as it is read, and the
  // boxes follow every placement exactly (HierarchyBoxes::exact).
  bool forReport = false;
};

// Builds a SummaryImport from what a library reader hands over, for a reading that may do more
// with each structure: `summarize` on the thread that parsed it, `take` on the reading thread
// in file order, `finish` once the reader is done. Constructing it prints the import's first
// line, `finish` its last.
class SummaryBuilder {
 public:
  SummaryBuilder(ByteSource& source, const std::string& fileName, SummaryImport& result);
  SummaryBuilder(const SummaryBuilder&) = delete;
  SummaryBuilder& operator=(const SummaryBuilder&) = delete;

  // Threads the reading may use, each with its own summarizer.
  unsigned threads() const { return static_cast<unsigned>(summarizers_.size()); }
  void summarize(unsigned thread, GdsStructure& part, bool first, bool last,
                 StructureSummary& summary);
  // Adds the structure read at `read` with its summary; false when a structure of its name came
  // before (it is reported and left out).
  bool take(const StructureRead& read, StructureSummary&& summary);
  // Boxes the hierarchy and prints the last line; kImported when `whole`, else kImportDamaged.
  int finish(bool whole);

 private:
  ByteSource& source_;
  SummaryImport& result_;
  bool readAgain_;
  uint64_t detailBytes_ = 0;
  std::vector<StructureSummarizer> summarizers_;
  std::vector<StatisticsCollector> collectors_;
  // Where the structure bearing the name stands among those taken so far, or -1.
  int32_t position(uint32_t name) const {
    return name < positionOf_.size() ? positionOf_[name] : -1;
  }

  std::vector<int32_t> positionOf_;  // of the structure bearing each name so far, or -1
};

// Reads `source` into `result`. Returns kImported or kImportDamaged, as an import does.
int importSummaries(ByteSource& source, const std::string& fileName, SummaryImport& result);

}  // namespace tessel
