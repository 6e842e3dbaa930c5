// Reading a stream file for its hierarchy alone: every structure is summed up and let go as the
// file is read, so the memory grows with the hierarchy, not with the elements. The lines are
// those of an import into the model, the bounding-box calculation's included.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "hierarchy/bounding_box.h"
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

// More to do with each structure: `work` runs on the thread that parsed it, after its summary;
// `kept` on the reading thread, in file order, for each structure that enters the library (the
// first of each name).
struct SummaryHooks {
  StructureWork work;
  std::function<void(ParsedStructure&)> kept;
};

// Reads `source` into `result`. Returns kImported or kImportDamaged, as an import does.
int importSummaries(ByteSource& source, const std::string& fileName, SummaryImport& result,
                    const SummaryHooks& hooks = {});

}  // namespace tessel
