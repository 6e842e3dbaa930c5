// tessel-micro: micro-benchmarks of the hot paths (Google Benchmark).
//
//   build/release/bench/tessel-micro [--benchmark_filter=Reader]

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "export/writer.h"
#include "hierarchy/bounding_box.h"
#include "model/flat_tables.h"
#include "model/library.h"
#include "stream/byte_source.h"
#include "stream/decode.h"
#include "stream/encode.h"
#include "stream/record.h"
#include "stream/record_reader.h"

namespace {

using namespace tessel;

// splitmix64, so every run builds the same data.
struct Rng {
  uint64_t state = 0x1234567;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int32_t below(int32_t n) { return static_cast<int32_t>(next() % static_cast<uint64_t>(n)); }
};

GdsSref placedCell(Rng& rng, int cell) {
  const int orientation = rng.below(8);
  return GdsSref("stdcell_nand2_x1_" + std::to_string(100 + cell), rng.below(1000000),
                 rng.below(1000000), orientation >= 4, 90.0 * (orientation % 4), 1.0);
}

GdsPath routingPath(Rng& rng) {
  Coordinates xs, ys;
  int32_t x = rng.below(100000), y = rng.below(100000);
  for (int k = 0; k < 4; ++k) {
    xs.push_back(x);
    ys.push_back(y);
    (k % 2 ? y : x) += rng.below(20000) - 10000;
  }
  return GdsPath(9, 140, xs, ys);
}

// A block-like structure: mostly references, then routing and shapes.
GdsStructure sampleStructure(Rng& rng, const std::string& name) {
  GdsStructure s;
  s.name = name;
  for (int i = 0; i < 10000; ++i)
    s.srefs.push_back(placedCell(rng, rng.below(300)));
  for (int i = 0; i < 2500; ++i)
    s.paths.push_back(routingPath(rng));
  for (int i = 0; i < 1000; ++i) {
    const int32_t x = rng.below(100000), y = rng.below(100000);
    s.boundaries.emplace_back(7, x, y, x + 500, y + 300);
  }
  return s;
}

// About 1.5 MB of stream records, as the writer lays them out.
const std::vector<uint8_t>& sampleStream() {
  static const std::vector<uint8_t> bytes = [] {
    Rng rng;
    RecordSink sink;
    GdsWriter writer(sink);
    writer.writeLibraryHeader("Fernwall.db");
    writer.writeStructure(sampleStructure(rng, "blk_0000_alu"));
    sink.putHeader(4, rec::ENDLIB);
    return std::vector<uint8_t>(sink.bytes().begin(), sink.bytes().end());
  }();
  return bytes;
}

void BM_RecordReader(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = sampleStream();
  int64_t records = 0;
  for (auto _ : state) {
    MemorySource source(bytes);
    RecordReader reader(source);
    RecordView record;
    while (reader.next(record) == ReadStatus::Record) {
      benchmark::DoNotOptimize(record.bytes);
      ++records;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(records);
}
BENCHMARK(BM_RecordReader);

// Decodes every record once per iteration, with outputs reused as the readers reuse them.
void decodeLoop(benchmark::State& state, const std::vector<std::vector<uint8_t>>& records) {
  RecordCode code = 0;
  uint16_t bits = 0;
  std::vector<int32_t> ints;
  std::vector<double> reals;
  std::string text;
  for (auto _ : state) {
    for (const auto& record : records) {
      decodeRecord(record, code, bits, ints, reals, text);
      benchmark::DoNotOptimize(ints.data());
      benchmark::DoNotOptimize(reals.data());
      benchmark::DoNotOptimize(text.data());
    }
  }
}

// Decodes every record of one kind found in the sample stream.
void decodeAll(benchmark::State& state, RecordCode wanted) {
  std::vector<std::vector<uint8_t>> records;
  {
    MemorySource source(sampleStream());
    RecordReader reader(source);
    RecordView record;
    while (reader.next(record) == ReadStatus::Record && records.size() < 4096)
      if (record.code() == wanted) records.emplace_back(record.bytes, record.bytes + record.length);
  }
  decodeLoop(state, records);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.size()));
}

void BM_DecodeXY(benchmark::State& state) {
  decodeAll(state, rec::XY);
}
void BM_DecodeSNAME(benchmark::State& state) {
  decodeAll(state, rec::SNAME);
}
void BM_DecodeANGLE(benchmark::State& state) {
  decodeAll(state, rec::ANGLE);
}
BENCHMARK(BM_DecodeXY);
BENCHMARK(BM_DecodeSNAME);
BENCHMARK(BM_DecodeANGLE);

// MAG records: the writer emits them only for scaled references, so they are built here.
void BM_DecodeMAG(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> records;
  for (double mag : {0.5, 2.0, 1.25, 0.001, 10.0, 3.3333333333}) {
    RecordSink sink;
    writeRealRecord(sink, rec::MAG, {&mag, 1}, 1);
    records.emplace_back(sink.bytes().begin(), sink.bytes().end());
  }
  decodeLoop(state, records);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.size()));
}
BENCHMARK(BM_DecodeMAG);

// Sharing the names of a block's references: a few hundred cell names, met in random order.
void BM_InternCellNames(benchmark::State& state) {
  Rng rng;
  std::vector<std::string> names;
  for (int cell = 0; cell < 400; ++cell)
    names.push_back("stdcell_nand2_x1_" + std::to_string(100 + cell));
  std::vector<const std::string*> met;
  for (int i = 0; i < 100000; ++i)
    met.push_back(&names[static_cast<size_t>(rng.below(400))]);
  InternTable table;
  for (auto _ : state)
    for (const std::string* name : met)
      benchmark::DoNotOptimize(table.intern(*name));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(met.size()));
}
BENCHMARK(BM_InternCellNames);

void BM_EncodeReal8(benchmark::State& state) {
  const double values[] = {0.001, 1e-9, 90.0, 180.0, 270.0, 0.5, 2.0, 123.456, -7.25, 1e-30};
  for (auto _ : state)
    for (double value : values)
      benchmark::DoNotOptimize(encodeReal8(value));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * std::size(values)));
}
BENCHMARK(BM_EncodeReal8);

// Writes `batch` elements into a fresh in-memory sink per iteration.
template <typename Element, typename Write>
void writeElements(benchmark::State& state, const std::vector<Element>& elements, Write write) {
  size_t bytes = 0;
  for (auto _ : state) {
    RecordSink sink;
    GdsWriter writer(sink);
    for (const Element& element : elements)
      write(writer, element);
    bytes += sink.bytes().size();
    benchmark::DoNotOptimize(sink.bytes().data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * elements.size()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

constexpr int kBatch = 1000;

void BM_WriteBoundary(benchmark::State& state) {
  std::vector<GdsBoundary> boundaries;
  for (int i = 0; i < kBatch; ++i)
    boundaries.emplace_back(7, i, i, i + 500, i + 300);
  writeElements(state, boundaries,
                [](GdsWriter& writer, const GdsBoundary& b) { writer.writeBoundary(b); });
}
BENCHMARK(BM_WriteBoundary);

void BM_WriteSref(benchmark::State& state) {
  Rng rng;
  std::vector<GdsSref> srefs;
  for (int i = 0; i < kBatch; ++i)
    srefs.push_back(placedCell(rng, i % 300));
  writeElements(state, srefs, [](GdsWriter& writer, const GdsSref& s) { writer.writeSref(s); });
}
BENCHMARK(BM_WriteSref);

void BM_WritePath(benchmark::State& state) {
  Rng rng;
  std::vector<GdsPath> paths;
  for (int i = 0; i < kBatch; ++i)
    paths.push_back(routingPath(rng));
  writeElements(state, paths, [](GdsWriter& writer, const GdsPath& p) { writer.writePath(p); });
}
BENCHMARK(BM_WritePath);

// 100 leaf cells and 10000 cells of 100 references each to the leaves, in all orientations.
void BM_ComputeBoundingBoxes(benchmark::State& state) {
  Rng rng;
  GdsLibrary library;
  for (int leaf = 0; leaf < 100; ++leaf) {
    GdsStructure s;
    s.name = "stdcell_nand2_x1_" + std::to_string(100 + leaf);
    s.boundaries.emplace_back(7, 0, 0, 400 + leaf * 20, 2000);
    s.boundaries.emplace_back(1, -60, 1000, 460 + leaf * 20, 2060);
    library.addStructure(std::move(s));
  }
  for (int cell = 0; cell < 10000; ++cell) {
    GdsStructure s;
    s.name = "blk_" + std::to_string(cell) + "_alu";
    for (int i = 0; i < 100; ++i)
      s.srefs.push_back(placedCell(rng, rng.below(100)));
    library.addStructure(std::move(s));
  }
  library.structureIndex[""] = kUnnamedStructurePosition;
  for (auto _ : state) {
    computeBoundingBoxes(library);
    benchmark::DoNotOptimize(library.structures.back().bbox);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 10000 * 100));
}
BENCHMARK(BM_ComputeBoundingBoxes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
