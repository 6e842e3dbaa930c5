#include "import/summary_import.h"

#include <memory>
#include <unordered_map>
#include <utility>

#include "import/importer.h"
#include "import/structure_cutter.h"
#include "import/structure_parser.h"
#include "model/name_index.h"
#include "stream/console.h"
#include "stream/parallel.h"
#include "stream/record_reader.h"

namespace tessel {

namespace {

// The references of a structure in file order, read again from the source: for the few
// structures whose lines depend on that order (a missing or nameless child among them).
void readOrderAgain(ByteSource& source, const StructureSummary& summary, ReferenceOrder& order) {
  const std::unique_ptr<ByteSource> again = source.reopenAt(summary.start.offset);
  if (!again) return;
  RecordReader reader(*again);
  RecordView bgnstr;
  if (reader.next(bgnstr) != ReadStatus::Record || bgnstr.code() != rec::BGNSTR) return;
  std::vector<uint8_t> bytes(bgnstr.bytes, bgnstr.bytes + bgnstr.length);
  StructureCut cut;
  cut.bytes = bgnstr.length;
  std::unordered_map<std::string_view, uint32_t> childByName;
  for (size_t c = 0; c < summary.children.size(); ++c)
    childByName.emplace(summary.children[c].name, static_cast<uint32_t>(c));
  const StructurePart parts = [&](GdsStructure& part, bool) {
    for (const GdsSref& sref : part.srefs)
      order.srefs.push_back(childByName.at(sref.name.view()));
    for (const GdsAref& aref : part.arefs) {
      order.arefs.push_back(childByName.at(aref.name.view()));
      order.arefValid.push_back(aref.columns > 0 && aref.rows > 0);
    }
  };
  StructureParser parser;
  std::string quiet;  // its lines were printed the first time
  MessageSink out(quiet);
  GdsStructure structure;
  readStructureInParts(reader, bytes, summary.start, cut, parser, out, structure, &parts);
}

}  // namespace

int importSummaries(ByteSource& source, const std::string& fileName, SummaryImport& result,
                    const SummaryHooks& hooks) {
  printQuoted("Importing ", fileName, " into Tessel.");
  // A source that can be read again is, for the few structures that need it; otherwise the
  // order of the references is kept for the structures that name one not read yet.
  const bool readAgain = source.reopenAt(0) != nullptr;
  std::vector<StructureSummarizer> summarizers(workThreads());
  ReadPlan plan;
  plan.threads = workThreads();
  plan.work = [&](unsigned thread, GdsStructure& part, bool first, bool last,
                  ParsedStructure& parsed) {
    StructureSummarizer& summarizer = summarizers[thread];
    if (first) summarizer.begin(!readAgain);
    summarizer.add(part);
    if (last) summarizer.finish(part, parsed.summary);
    if (hooks.work) hooks.work(thread, part, first, last, parsed);
  };
  NameIndex positions;  // of the structures so far
  RecordReader reader(source);
  const bool whole = readLibrary(reader, plan, result.header, [&](ParsedStructure& parsed) {
    const std::string& name = parsed.structure.name;
    auto [entry, added] =
        positions.try_emplace(name, static_cast<int32_t>(result.structures.size()));
    if (!added) {
      printQuoted("Warning: Structure ", name,
                  " defined more than once; the first definition is kept.");
      return;
    }
    StructureSummary& summary = result.structures.emplace_back(std::move(parsed.summary));
    summary.start = parsed.start;
    if (summary.orderKept) {
      // Only a structure naming one not read yet can meet a missing or nameless one.
      bool forward = false;
      for (const ChildReferences& child : summary.children)
        if (positions.find(child.name) == positions.end()) forward = true;
      if (!forward) {
        summary.order = ReferenceOrder();
        summary.orderKept = false;
      }
    }
    if (hooks.kept) hooks.kept(parsed);
  });
  // The empty name marks a reference without a name, unless a structure bears it.
  for (StructureSummary& summary : result.structures)
    for (ChildReferences& child : summary.children) {
      auto found = positions.find(child.name);
      if (found != positions.end())
        child.target = found->second;
      else
        child.target = child.name.empty() ? kUnnamedStructure : kMissingStructure;
    }
  computeHierarchyBoxes(
      result.structures,
      [&](size_t structure, ReferenceOrder& order) {
        readOrderAgain(source, result.structures[structure], order);
      },
      result.boxes);
  printLine(whole ? "GDS file successfully imported." : "GDS file partly imported.");
  return whole ? kImported : kImportDamaged;
}

}  // namespace tessel
