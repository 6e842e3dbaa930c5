// The structure report (-rt): what the import computes of every structure (its box, level,
// placements and element counts), of every layer and datatype, and of the roots, as a table for
// people or as JSON for scripts. Its statistics are gathered as each structure is read, so the
// report holds no more than the hierarchy's summaries.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "hierarchy/bounding_box.h"
#include "hierarchy/structure_summary.h"
#include "model/library.h"
#include "stream/output_file.h"

namespace tessel {

// Gathers the statistics of structures, whole or part after part. One per thread.
class StatisticsCollector {
 public:
  void begin();
  void add(const GdsStructure& part);
  // Ends the structure: its statistics, the layers in ascending order of layer and type.
  void finish(StructureStatistics& statistics);

 private:
  LayerUse& layerOf(uint32_t layer, int32_t type);

  StructureStatistics current_;
  std::unordered_map<uint64_t, size_t> layerIndex_;  // layer and type -> in current_.layers
};

// Gathers a structure's statistics into its summary: `first` and `last` say whether `part` is
// the first or the last of its elements (a whole structure is both).
void gatherStatistics(StatisticsCollector& collector, const GdsStructure& part, bool first,
                      bool last, StructureSummary& summary);

struct ReportInput {
  const GdsLibrary& header;  // name and units
  const SummaryList& structures;
  const NameTable& names;
  const HierarchyBoxes& boxes;
  bool complete = true;  // the whole library was read
};

// The report as lines of text, aligned in columns, handed to `put` a piece at a time.
void writeStructureReportTable(const ReportInput& input, const TextSink& put);
// The report as one JSON document, handed to `put` a piece at a time.
void writeStructureReportJson(const ReportInput& input, const TextSink& put);

}  // namespace tessel
