// -r, -rs and -rw read a file without holding its elements: the lines, the boxes, the levels,
// the diagram and the written bytes must be exactly those of an import into the model. Random
// libraries of every awkward shape (references to structures not read yet, missing and nameless
// ones, empty structures, cycles, repeated names, arrays without columns, structures too large to
// hold, damage) are read both ways.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "export/rewrite.h"
#include "export/writer.h"
#include "hierarchy/diagram.h"
#include "hierarchy/roots.h"
#include "hierarchy/summary_import.h"
#include "import/importer.h"
#include "stream/byte_source.h"
#include "support/support.h"
#include "support/written.h"

namespace tessel::testing {
namespace {

// Bytes that can be read once only, as from a pipe.
class OnceSource final : public ByteSource {
 public:
  explicit OnceSource(const Bytes& bytes) : memory_(bytes) {}
  long read(uint8_t* destination, size_t capacity) override {
    return memory_.read(destination, capacity);
  }

 private:
  MemorySource memory_;
};

struct Outcome {
  int result = -1;
  std::vector<std::string> lines;
  std::vector<std::string> names;
  std::vector<BoundingBox> boxes;
  std::vector<uint32_t> levels;
  std::string dot;  // the diagram's DOT text
};

Outcome throughTheModel(const Bytes& bytes) {
  Outcome outcome;
  GdsLibrary library;
  outcome.lines = splitLines(captureOutput([&] {
    MemorySource source(bytes);
    outcome.result = importStream(library, source, "in.gds");
    findRootStructures(library);
  }));
  for (const auto& structure : library.structures) {
    outcome.names.push_back(structure.name);
    outcome.boxes.push_back(structure.bbox);
    outcome.levels.push_back(structure.level);
  }
  outcome.dot = dotText(collectGraph(library));
  return outcome;
}

Outcome throughSummaries(const Bytes& bytes, bool readTwice) {
  Outcome outcome;
  SummaryImport imported;
  outcome.lines = splitLines(captureOutput([&] {
    std::unique_ptr<ByteSource> source;
    if (readTwice)
      source = std::make_unique<MemorySource>(bytes);
    else
      source = std::make_unique<OnceSource>(bytes);
    outcome.result = importSummaries(*source, "in.gds", imported);
    findRootStructures(imported.structures, imported.names);
  }));
  for (const auto& structure : imported.structures)
    outcome.names.push_back(imported.names.name(structure.name));
  outcome.boxes = imported.boxes.boxes;
  outcome.levels = imported.boxes.levels;
  outcome.dot = dotText(collectGraph(imported.structures, imported.names));
  return outcome;
}

// A random library. Structures are named S0, S1, ...; references go to earlier and later ones,
// to missing and nameless ones; some structures are empty, some repeat a name.
Bytes randomLibrary(std::mt19937& random, bool large = false) {
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const int count = 2 + pick(12);
  auto name = [&] {
    if (chance(4)) return std::string();
    if (chance(5)) return "GHOST" + std::to_string(pick(3));
    return "S" + std::to_string(pick(count));
  };
  StreamBuilder file;
  file.libraryHeader();
  if (chance(10)) file.text(rec::REFLIBS, "other");
  for (int s = 0; s < count; ++s) {
    file.beginStructure(chance(5) ? "S" + std::to_string(pick(count)) : "S" + std::to_string(s));
    const int elements = chance(15) ? 0 : pick(12);
    for (int e = 0; e < elements; ++e) {
      const int x = pick(2000) - 1000, y = pick(2000) - 1000;
      switch (pick(6)) {
        case 0:
          file.boundary(1, {x, y, x + 5 + pick(50), y, x + 5, y + 7 + pick(50), x, y});
          break;
        case 1:
          file.none(rec::PATH).int2(rec::LAYER, {2}).int4(rec::WIDTH, {pick(20)});
          file.int4(rec::XY, {x, y, x + pick(300), y - pick(300)}).none(rec::ENDEL);
          break;
        case 2:
        case 3: {
          file.none(rec::SREF).text(rec::SNAME, name());
          if (chance(30)) file.bits(rec::STRANS, 0x8000);
          if (chance(20))
            file.real8(rec::MAG, {chance(50) ? 0x4120000000000000ULL : 0x4118000000000000ULL});
          if (chance(40))
            file.real8(rec::ANGLE, {chance(50) ? 0x425A000000000000ULL : 0x422D000000000000ULL});
          file.int4(rec::XY, {x, y}).none(rec::ENDEL);
          break;
        }
        case 4:
          file.none(rec::AREF).text(rec::SNAME, name());
          file.int2(rec::COLROW, {chance(10) ? 0 : 1 + pick(4), 1 + pick(3)});
          file.int4(rec::XY, {x, y, x + 100, y, x, y + 80}).none(rec::ENDEL);
          break;
        default:
          file.none(rec::TEXT).int2(rec::LAYER, {3}).int4(rec::XY, {x, y});
          file.text(rec::STRING, "t").none(rec::ENDEL);
          break;
      }
      if (chance(2)) file.raw({0x00, 0x06, 0x0D, 0x04, 0x00, 0x01});  // cannot be decoded
    }
    if (large && s == 0)  // more than a structure held whole
      for (int i = 0; i < 200000; ++i)
        file.sref("S" + std::to_string(1 + i % (count - 1)), i, -i);
    file.endStructure();
  }
  file.endLibrary();
  Bytes bytes = file.bytes();
  if (chance(10)) bytes.resize(bytes.size() - 1 - static_cast<size_t>(pick(40)));  // cut short
  return bytes;
}

void expectSame(const Outcome& model, const Outcome& summaries) {
  EXPECT_EQ(summaries.result, model.result);
  EXPECT_EQ(summaries.lines, model.lines);
  EXPECT_EQ(summaries.names, model.names);
  EXPECT_EQ(summaries.boxes, model.boxes);
  EXPECT_EQ(summaries.levels, model.levels);
  EXPECT_EQ(summaries.dot, model.dot);
}

TEST(Streaming, RandomLibrariesGiveTheModelsLinesAndBoxes) {
  std::mt19937 random(2026);
  for (int i = 0; i < 400; ++i) {
    SCOPED_TRACE(i);
    const Bytes bytes = randomLibrary(random);
    const Outcome model = throughTheModel(bytes);
    expectSame(model, throughSummaries(bytes, true));
    expectSame(model, throughSummaries(bytes, false));
  }
}

TEST(Streaming, StructuresTooLargeToHold) {
  std::mt19937 random(7);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const Bytes bytes = randomLibrary(random, true);
    ASSERT_GT(bytes.size(), size_t{4} << 20);
    const Outcome model = throughTheModel(bytes);
    expectSame(model, throughSummaries(bytes, true));
    expectSame(model, throughSummaries(bytes, false));
  }
}

// The order of the lines about an unboxed child and a missing one depends on the order of the
// references, which a structure naming one not read yet needs.
TEST(Streaming, LinesInTheOrderOfTheReferences) {
  const Bytes bytes = StreamBuilder()
                          .libraryHeader()
                          .beginStructure("TOP")
                          .sref("EMPTY", 0, 0)
                          .sref("GHOST", 0, 0)
                          .sref("EMPTY", 1, 1)
                          .sref("", 0, 0)
                          .sref("EMPTY", 2, 2)
                          .endStructure()
                          .beginStructure("EMPTY")
                          .endStructure()
                          .endLibrary()
                          .bytes();
  const Outcome model = throughTheModel(bytes);
  const std::string unboxed = "Warning: Inaccuracy due to structures not being initialized.";
  EXPECT_EQ(std::vector<std::string>(model.lines.begin() + 2, model.lines.begin() + 7),
            (std::vector<std::string>{unboxed, "Warning: Reference to missing structure \"GHOST\".",
                                      unboxed, "Error: reference to structure with no name.",
                                      "Terminating SREF bounding box check."}));
  expectSame(model, throughSummaries(bytes, true));
  expectSame(model, throughSummaries(bytes, false));
}

// -rw writes the bytes writeLibrary writes after an import, with the same lines.
TEST(Streaming, RewritesWhatTheModelWouldWrite) {
  std::mt19937 random(99);
  TempDir dir;
  std::vector<Bytes> inputs;
  for (int i = 0; i < 60; ++i)
    inputs.push_back(randomLibrary(random));
  inputs.push_back(randomLibrary(random, true));
  // The library's name and units after its first structure, with another length and the same.
  for (const std::string later : {"a much longer library name", "lib.db"})
    inputs.push_back(StreamBuilder()
                         .libraryHeader()
                         .beginStructure("A")
                         .boundary(1, {0, 0, 1, 1})
                         .endStructure()
                         .text(rec::LIBNAME, later)
                         .real8(rec::UNITS, {0x3F28F5C28F5C28F6ULL, 0x3A2AF31DC4611874ULL})
                         .endLibrary()
                         .bytes());
  // Structures of a few hundred kilobytes, larger and smaller in turn: their bytes are encoded
  // into buffers that earlier structures were written from.
  {
    StreamBuilder large;
    large.libraryHeader();
    int structure = 0;
    for (const int boundaries : {9000, 4000, 12000, 3000, 9000, 5000, 11000, 2000}) {
      large.beginStructure("S" + std::to_string(structure));
      for (int b = 0; b < boundaries; ++b)
        large.boundary(static_cast<uint32_t>(structure),
                       {b, 0, b + 1, 0, b + 1, structure + 1, b, structure + 1, b, 0});
      large.endStructure();
      ++structure;
    }
    inputs.push_back(large.endLibrary().bytes());
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string viaModel = dir.file("model.gds");
    const std::string viaStream = dir.file("stream.gds");
    int imported = -1, written = -1;
    const std::string modelLines = captureOutput([&] {
      GdsLibrary library;
      MemorySource source(inputs[i]);
      imported = importStream(library, source, "in.gds");
      written = writeLibrary(library, viaModel);
    });
    RewriteResult result;
    std::filesystem::remove(viaStream);
    std::string streamLines = captureOutput([&] {
      MemorySource source(inputs[i]);
      result = rewriteStream(source, "in.gds", viaStream);
    });
    const std::string needle = "stream.gds";
    for (size_t at; (at = streamLines.find(needle)) != std::string::npos;)
      streamLines.replace(at, needle.size(), "model.gds");
    EXPECT_EQ(result.imported, imported);
    if (imported == kImported) {
      EXPECT_EQ(streamLines, modelLines);
      EXPECT_EQ(result.written, written);
      EXPECT_EQ(maskTimestamps(readBytes(viaStream)), maskTimestamps(readBytes(viaModel)));
    } else {
      // The same lines up to the end of the import; then nothing is written.
      const std::string partly = "GDS file partly imported.\n";
      const size_t end = modelLines.rfind(partly);
      ASSERT_NE(end, std::string::npos);
      EXPECT_EQ(streamLines, modelLines.substr(0, end + partly.size()) +
                                 "Error: Nothing written to \"" + viaModel + "\".\n");
      EXPECT_EQ(result.written, 1);
      EXPECT_FALSE(std::filesystem::exists(viaStream));
    }
  }
}

}  // namespace
}  // namespace tessel::testing
