// -r, -rs, -rt and the model's import on arbitrary bytes: the importer, levels and bounding
// boxes, the root structures, the diagram's DOT text (dot itself is never run) and the report.
// Reading for the hierarchy alone, from a source that can be read again and from one that cannot,
// must give the model's structures, boxes, levels and diagram; a difference aborts.
#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz_common.h"
#include "hierarchy/diagram.h"
#include "hierarchy/roots.h"
#include "hierarchy/structure_report.h"
#include "hierarchy/summary_import.h"
#include "import/importer.h"
#include "stream/byte_source.h"
#include "support/report_text.h"

namespace {

// The bytes once only, as from a pipe.
class OnceSource final : public tessel::ByteSource {
 public:
  explicit OnceSource(std::span<const uint8_t> bytes) : memory_(bytes) {}
  long read(uint8_t* destination, size_t capacity) override {
    return memory_.read(destination, capacity);
  }

 private:
  tessel::MemorySource memory_;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "summaries differ from the model: %s\n", what);
  std::abort();
}

void compare(const tessel::GdsLibrary& library, int result, tessel::ByteSource& source) {
  tessel::SummaryImport imported;
  if (tessel::importSummaries(source, "fuzz.gds", imported) != result) fail("result");
  if (imported.structures.size() != library.structures.size()) fail("structure count");
  for (size_t p = 0; p < library.structures.size(); ++p) {
    if (imported.names.name(imported.structures[p].name) != library.structures[p].name)
      fail("name");
    if (imported.boxes.boxes[p] != library.structures[p].bbox) fail("box");
    if (imported.boxes.levels[p] != library.structures[p].level) fail("level");
  }
  if (tessel::dotText(tessel::collectGraph(imported.structures, imported.names)) !=
      tessel::dotText(tessel::collectGraph(library)))
    fail("diagram");
  tessel::findRootStructures(imported.structures, imported.names);
}

// The structure report (-rt) of the same bytes: its statistics, exact boxes, table and JSON.
void report(std::span<const uint8_t> bytes, int result) {
  tessel::MemorySource source(bytes);
  tessel::SummaryImport imported;
  imported.forReport = true;
  if (tessel::importSummaries(source, "fuzz.gds", imported) != result) fail("report");
  const tessel::ReportInput input{imported.header, imported.structures, imported.names,
                                  imported.boxes, result == tessel::kImported};
  if (tessel::structureReportTable(input).empty() || tessel::structureReportJson(input).empty())
    fail("report text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  tessel::MemorySource source(bytes);
  tessel::GdsLibrary library;
  const int result = tessel::importStream(library, source, "fuzz.gds");
  if (result != tessel::kImported && result != tessel::kImportDamaged) std::abort();
  tessel::findRootStructures(library);
  tessel::MemorySource again(bytes);
  compare(library, result, again);
  OnceSource once(bytes);
  compare(library, result, once);
  report(bytes, result);
  return 0;
}
