#include "import/importer.h"

#include <string>
#include <utility>
#include <variant>

#include "hierarchy/bounding_box.h"
#include "import/library_reader.h"
#include "stream/console.h"
#include "stream/record_reader.h"

namespace tessel {

int importStream(GdsLibrary& library, ByteSource& source, const std::string& fileName) {
  printQuoted("Importing ", fileName, " into Tessel.");
  RecordReader reader(source);
  ReadPlan<std::monostate> plan;  // the structures themselves are the result
  plan.keepStructures = true;
  const bool whole =
      readLibrary(reader, plan, library, [&](ParsedStructure<std::monostate>& parsed) {
        if (library.addStructure(std::move(parsed.structure)) != 0)
          printQuoted("Warning: Structure ", parsed.structure.name,
                      " defined more than once; the first definition is kept.");
      });
  library.structureIndex.try_emplace(std::string(), kUnnamedStructurePosition);
  computeBoundingBoxes(library);
  printLine(whole ? "GDS file successfully imported." : "GDS file partly imported.");
  return whole ? kImported : kImportDamaged;
}

int importStream(GdsLibrary& library, const std::string& fileName) {
  auto source = openStreamFile(fileName);
  return source ? importStream(library, *source, fileName) : kImportOpenFailed;
}

}  // namespace tessel
