// -i on arbitrary bytes: the record reader, the decoder and the line formatting.
#include <span>

#include "fuzz_common.h"
#include "stream/byte_source.h"
#include "stream/interpreter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessel::MemorySource source(std::span<const uint8_t>(data, size));
  tessel::interpretStream(source, "fuzz.gds");
  return 0;
}
