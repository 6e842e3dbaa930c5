#include "hierarchy/summary_import.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "hierarchy/structure_report.h"
#include "import/importer.h"
#include "import/structure_cutter.h"
#include "import/structure_parser.h"
#include "stream/console.h"
#include "stream/diagnostics.h"
#include "stream/parallel.h"
#include "stream/record_reader.h"

namespace tessel {

namespace {

// What the details of the structures not settled as they are read may take, when the source can
// be read again.
constexpr uint64_t kDetailBudget = uint64_t{256} << 20;

// Sums up one structure again, with the order of its references, reading it from the source
// once more: for a structure whose details were let go because the source can be read again.
void summarizeAgain(ByteSource& source, StructureSummarizer& summarizer, RecordPosition start,
                    uint64_t size, StructureSummary& full) {
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

SummaryBuilder::SummaryBuilder(ByteSource& source, const std::string& fileName,
                               SummaryImport& result)
    : source_(source), result_(result), readAgain_(source.reopenAt(0) != nullptr) {
  printQuoted("Importing ", fileName, " into Tessel.");
  for (unsigned thread = 0; thread < workThreads(); ++thread)
    summarizers_.emplace_back(result.names);
  result.boxes.exact = result.forReport;
  if (result.forReport) collectors_.resize(workThreads());
}

void SummaryBuilder::summarize(unsigned thread, GdsStructure& part, bool first, bool last,
                               StructureSummary& summary) {
  StructureSummarizer& summarizer = summarizers_[thread];
  if (first) summarizer.begin(true);
  summarizer.add(part);
  if (last) summarizer.finish(part, summary);
  if (result_.forReport) gatherStatistics(collectors_[thread], part, first, last, summary);
}

bool SummaryBuilder::take(const StructureRead& read, StructureSummary&& parsed) {
  NameTable& names = result_.names;
  const uint32_t name = parsed.name;
  if (position(name) >= 0) {
    printQuoted("Warning: Structure ", names.name(name),
                " defined more than once; the first definition is kept.");
    return false;
  }
  if (positionOf_.size() <= name)
    positionOf_.resize(std::max<size_t>(name + 1, 2 * positionOf_.size()), -1);
  positionOf_[name] = static_cast<int32_t>(result_.structures.size());
  StructureSummary& summary = result_.structures.add(std::move(parsed));
  summary.start = read.start;
  summary.size = read.size;
  std::vector<BoundingBox>& boxes = result_.boxes.boxes;
  boxes.emplace_back();
  // Read after every child, each settled itself: its box is known now, for good.
  bool settles = true;
  for (ChildReferences& child : summary.children) {
    child.target = position(child.name);
    if (child.target < 0 || !result_.structures[static_cast<size_t>(child.target)].settled)
      settles = false;
  }
  if (settles) {
    settleStructure(summary, boxes, result_.boxes.exact);
    boxes.back() = summary.box;
    return true;
  }
  // The details of a structure that cannot be settled as it is read are kept, with the order of
  // its references when that may matter, up to a budget; beyond it, when the source can be read
  // again, they are let go and read again when the structure's box is due. A source that cannot
  // be read again keeps them all.
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
  if (readAgain_ && detailBytes_ + bytes > kDetailBudget)
    summary.details.reset();
  else
    detailBytes_ += bytes;
  return true;
}

int SummaryBuilder::finish(bool whole) {
  NameTable& names = result_.names;
  // The empty name marks a reference without a name, unless a structure bears it.
  for (StructureSummary& summary : result_.structures)
    for (ChildReferences& child : summary.children) {
      child.target = position(child.name);
      if (child.target < 0 && names.name(child.name).empty()) child.target = kUnnamedStructure;
    }
  // One summarizer for every structure read again: it keeps its tables from one to the next.
  StructureSummarizer again(names);
  computeHierarchyBoxes(
      result_.structures, names,
      [&](size_t structure, StructureSummary& full) {
        const StructureSummary& kept = result_.structures[structure];
        summarizeAgain(source_, again, kept.start, kept.size, full);
      },
      result_.boxes);
  printLine(whole ? "GDS file successfully imported." : "GDS file partly imported.");
  return whole ? kImported : kImportDamaged;
}

int importSummaries(ByteSource& source, const std::string& fileName, SummaryImport& result) {
  SummaryBuilder builder(source, fileName, result);
  ReadPlan<StructureSummary> plan;
  plan.threads = builder.threads();
  plan.work = [&](unsigned thread, GdsStructure& part, bool first, bool last,
                  StructureSummary& summary) {
    builder.summarize(thread, part, first, last, summary);
  };
  RecordReader reader(source);
  const bool whole =
      readLibrary(reader, plan, result.header, [&](ParsedStructure<StructureSummary>& parsed) {
        builder.take(parsed, std::move(parsed.result));
      });
  return builder.finish(whole);
}

}  // namespace tessel
