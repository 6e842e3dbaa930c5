// -r and the diagram on arbitrary bytes: the importer, levels and bounding boxes, the root
// structures and the diagram's edges and DOT text (dot itself is never run).
#include <span>

#include "fuzz_common.h"
#include "hierarchy/diagram.h"
#include "hierarchy/roots.h"
#include "import/importer.h"
#include "stream/byte_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessel::MemorySource source(std::span<const uint8_t>(data, size));
  tessel::GdsLibrary library;
  const int result = tessel::importStream(library, source, "fuzz.gds");
  if (result != tessel::kImported && result != tessel::kImportDamaged) std::abort();
  tessel::findRootStructures(library);
  const std::string text = tessel::dotText(tessel::collectGraph(library));
  if (text.empty()) std::abort();
  return 0;
}
