#include "import/summary_import.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "hierarchy/structure_report.h"
#include "import/importer.h"
#include "import/structure_cutter.h"
#include "import/structure_parser.h"
#include "stream/console.h"
#include "stream/parallel.h"
#include "stream/record_reader.h"

namespace tessel {

namespace {

// What the details of the structures not settled as they are read may take, when the source can
// be read again.
constexpr uint64_t kDetailBudget = uint64_t{256} << 20;

// Sums up one structure again, with the order of its references, reading it from the source
// once more: for a structure whose details were let go because the source can be read again.
void summarizeAgain(ByteSource& source, NameTable& names, RecordPosition start, uint64_t size,
                    StructureSummary& full) {
  StructureSummarizer summarizer(names);
  summarizer.begin(true);
  const std::unique_ptr<ByteSource> again = source.reopenAt(start.offset, size);
  RecordReader reader(*again, std::min<uint64_t>(size + 1, uint64_t{1} << 20));
  RecordView bgnstr;
  if (reader.next(bgnstr) != ReadStatus::Record || bgnstr.code() != rec::BGNSTR) return;
  std::vector<uint8_t> bytes(bgnstr.bytes, bgnstr.bytes + bgnstr.length);
  StructureCut cut;
  cut.bytes = bgnstr.length;
  const StructurePart parts = [&](GdsStructure& part, bool) { summarizer.add(part); };
  StructureParser parser;
  std::string quiet;  // its lines were printed the first time
  MessageSink out(quiet);
  GdsStructure structure;
  readStructureInParts(reader, bytes, start, cut, parser, out, structure, &parts);
  summarizer.finish(structure, full);
}

}  // namespace

int importSummaries(ByteSource& source, const std::string& fileName, SummaryImport& result,
                    const SummaryHooks& hooks) {
  printQuoted("Importing ", fileName, " into Tessel.");
  // The details of a structure that cannot be settled as it is read are kept, with the order of
  // its references when that may matter, up to a budget; beyond it, when the source can be read
  // again, they are let go and read again when the structure's box is due. A source that cannot
  // be read again keeps them all.
  const bool readAgain = source.reopenAt(0) != nullptr;
  uint64_t detailBytes = 0;
  NameTable& names = result.names;
  std::vector<StructureSummarizer> summarizers;
  for (unsigned thread = 0; thread < workThreads(); ++thread)
    summarizers.emplace_back(names);
  result.boxes.exact = result.forReport;
  std::vector<StatisticsCollector> collectors(result.forReport ? workThreads() : 0);
  ReadPlan plan;
  plan.threads = workThreads();
  plan.work = [&](unsigned thread, GdsStructure& part, bool first, bool last,
                  ParsedStructure& parsed) {
    StructureSummarizer& summarizer = summarizers[thread];
    if (first) summarizer.begin(true);
    summarizer.add(part);
    if (last) summarizer.finish(part, parsed.summary);
    if (result.forReport) gatherStatistics(collectors[thread], part, first, last, parsed.summary);
    if (hooks.work) hooks.work(thread, part, first, last, parsed);
  };
  std::vector<int32_t> positionOf;  // of the structure bearing each name so far, or -1
  auto position = [&](uint32_t name) { return name < positionOf.size() ? positionOf[name] : -1; };
  std::vector<BoundingBox>& boxes = result.boxes.boxes;
  RecordReader reader(source);
  const bool whole = readLibrary(reader, plan, result.header, [&](ParsedStructure& parsed) {
    const uint32_t name = parsed.summary.name;
    if (position(name) >= 0) {
      printQuoted("Warning: Structure ", names.name(name),
                  " defined more than once; the first definition is kept.");
      return;
    }
    if (positionOf.size() <= name) positionOf.resize(names.size(), -1);
    positionOf[name] = static_cast<int32_t>(result.structures.size());
    StructureSummary& summary = result.structures.add(std::move(parsed.summary));
    summary.start = parsed.start;
    summary.size = parsed.size;
    boxes.emplace_back();
    // Read after every child, each settled itself: its box is known now, for good.
    bool settles = true;
    for (ChildReferences& child : summary.children) {
      child.target = position(child.name);
      if (child.target < 0 || !result.structures[static_cast<size_t>(child.target)].settled)
        settles = false;
    }
    if (settles) {
      settleStructure(summary, boxes, result.boxes.exact);
      boxes.back() = summary.box;
    } else {
      ReferenceDetails& details = *summary.details;
      // Only a structure naming one not read yet, beside another child, can need its order.
      bool forward = false;
      for (const ChildReferences& child : summary.children)
        if (child.target < 0) forward = true;
      if (!forward) details.order.reset();
      const uint64_t bytes =
          sizeof(ReferenceDetails) + details.srefGroups.size() * sizeof(SrefGroup) +
          details.arefs.size() * sizeof(ArefPlacement) +
          (details.order ? (details.order->srefs.size() + details.order->arefs.size()) * 5 : 0);
      if (readAgain && detailBytes + bytes > kDetailBudget)
        summary.details.reset();
      else
        detailBytes += bytes;
    }
    if (hooks.kept) hooks.kept(parsed);
  });
  // The empty name marks a reference without a name, unless a structure bears it.
  for (StructureSummary& summary : result.structures)
    for (ChildReferences& child : summary.children) {
      child.target = position(child.name);
      if (child.target < 0 && names.name(child.name).empty()) child.target = kUnnamedStructure;
    }
  computeHierarchyBoxes(
      result.structures, names,
      [&](size_t structure, StructureSummary& full) {
        const StructureSummary& kept = result.structures[structure];
        summarizeAgain(source, names, kept.start, kept.size, full);
      },
      result.boxes);
  printLine(whole ? "GDS file successfully imported." : "GDS file partly imported.");
  return whole ? kImported : kImportDamaged;
}

}  // namespace tessel
