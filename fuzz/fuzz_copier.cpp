// The structure copier on an arbitrary source file, writing into memory.
#include "export/writer.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = tessel::fuzz::scratchPath("copier");
  if (!tessel::fuzz::writeScratch(path, data, size)) std::abort();
  // The set of copied names lives for the whole run; one run per input keeps memory bounded.
  tessel::copiedStructureNames().clear();
  tessel::RecordSink sink;
  tessel::GdsWriter writer(sink);
  writer.copyStructures(path);
  // Every copied byte came from the input, apart from one new BGNSTR (28 bytes) per structure.
  if (sink.bytes().size() > size + 28 * (size / 4 + 1)) std::abort();
  return 0;
}
