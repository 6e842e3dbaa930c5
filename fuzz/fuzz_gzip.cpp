// The compressed path. Arbitrary bytes go through the inflater (behind the gzip magic when they
// lack it) and the dump; and the bytes compressed here must inflate back to themselves whole,
// and to a prefix of themselves ended by kDataDamaged when cut short.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "stream/byte_source.h"
#include "stream/gzip.h"
#include "stream/interpreter.h"

namespace {

// Everything the source hands out, and the value of the read that ended it.
long readAll(tessel::ByteSource& source, std::vector<uint8_t>& bytes) {
  uint8_t buffer[8192];
  for (;;) {
    const long count = source.read(buffer, sizeof buffer);
    if (count <= 0) return count;
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
}

std::unique_ptr<tessel::ByteSource> sourceOf(std::span<const uint8_t> bytes) {
  return tessel::inflateIfCompressed(std::make_unique<tessel::MemorySource>(bytes));
}

}  // namespace

// The dump prints a line per record; only faults matter here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> compressed;
  if (size < 2 || data[0] != 0x1F || data[1] != 0x8B) compressed = {0x1F, 0x8B};
  compressed.insert(compressed.end(), data, data + size);
  {
    auto source = sourceOf(compressed);
    tessel::interpretStream(*source, "fuzz.gds.gz");
  }

  tessel::GzipSink sink;
  if (!sink.write(data, size) || !sink.finish()) std::abort();
  const std::span<const uint8_t> packed = sink.bytes();
  std::vector<uint8_t> back;
  auto whole = sourceOf(packed);
  if (readAll(*whole, back) != 0 || back.size() != size ||
      (size > 0 && std::memcmp(back.data(), data, size) != 0))
    std::abort();

  // Cut anywhere after the magic: never more than the bytes, then the damage.
  const size_t cut = 2 + (size == 0 ? 0 : data[size / 2] * 7919u + size) % (packed.size() - 2);
  back.clear();
  auto cutShort = sourceOf(packed.first(cut));
  if (readAll(*cutShort, back) != tessel::kDataDamaged || back.size() > size ||
      (!back.empty() && std::memcmp(back.data(), data, back.size()) != 0))
    std::abort();
  return 0;
}
