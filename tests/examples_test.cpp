// tessel -g end to end: its console lines, the bytes of both example files, and what importing
// them gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "examples/examples.h"
#include "import/importer.h"
#include "support/support.h"
#include "support/written.h"

namespace tessel::testing {
namespace {

constexpr std::array<int32_t, 12> kMasked{};

Bytes arrowBoxBody() {
  return StreamBuilder()
      .text(rec::STRNAME, "arrow_box")
      .none(rec::BOUNDARY)
      .int2(rec::LAYER, {2})
      .int2(rec::DATATYPE, {0})
      .int4(rec::XY, {0,   0,   150, 0,   150, 250, 250, 250, 250, 150, 150,
                      150, 150, 0,   400, 0,   400, 400, 0,   400, 0,   0})
      .none(rec::ENDEL)
      .none(rec::PATH)
      .int2(rec::LAYER, {1})
      .int2(rec::DATATYPE, {0})
      .int2(rec::PATHTYPE, {2})
      .int4(rec::WIDTH, {5})
      .int4(rec::XY, {0, 700, 200, 900, 400, 700})
      .none(rec::ENDEL)
      .none(rec::PATH)
      .int2(rec::LAYER, {1})
      .int2(rec::DATATYPE, {0})
      .int2(rec::PATHTYPE, {2})
      .int4(rec::WIDTH, {5})
      .int4(rec::XY, {200, 900, 200, 0})
      .none(rec::ENDEL)
      .endStructure()
      .bytes();
}

Bytes sref(int32_t x, int32_t y) {
  return StreamBuilder()
      .none(rec::SREF)
      .text(rec::SNAME, "arrow_box")
      .bits(rec::STRANS, 0)
      .int4(rec::XY, {x, y})
      .none(rec::ENDEL)
      .bytes();
}

// Both files with zeroed timestamps.
Bytes expectedExample1() {
  return StreamBuilder()
      .raw(writtenLibraryHeader(kExampleLibraryName, kMasked))
      .raw(stampedRecord(rec::BGNSTR, kMasked))
      .raw(arrowBoxBody())
      .endLibrary()
      .bytes();
}

Bytes expectedExample2() {
  return StreamBuilder()
      .raw(writtenLibraryHeader(kExampleLibraryName, kMasked))
      .raw(stampedRecord(rec::BGNSTR, kMasked))
      .raw(arrowBoxBody())
      .raw(writtenStructureStart("example2", kMasked))
      .raw(sref(0, 0))
      .raw(sref(500, 500))
      .endStructure()
      .endLibrary()
      .bytes();
}

// The payloads of every BGNLIB and BGNSTR record in `bytes`.
std::vector<Bytes> timestamps(const Bytes& bytes) {
  std::vector<Bytes> stamps;
  size_t at = 0;
  for (const auto& [code, length] : recordList(bytes)) {
    if (code == rec::BGNLIB || code == rec::BGNSTR)
      stamps.emplace_back(bytes.begin() + at + 4, bytes.begin() + at + length);
    at += length;
  }
  return stamps;
}

const std::vector<std::string> kConsoleLines = {
    "Creating \"example1.gds\" done.",  "Copying GDS binaries from \"example1.gds\"",
    "Structure: \"arrow_box\" copying", "Copying GDS binaries of \"example1.gds\" done.",
    "Creating \"example2.gds\" done.",
};

void expectExampleFiles(const TempDir& dir) {
  const Bytes first = readBytes(dir.file("example1.gds"));
  const Bytes second = readBytes(dir.file("example2.gds"));
  EXPECT_EQ(maskTimestamps(first), expectedExample1());
  EXPECT_EQ(maskTimestamps(second), expectedExample2());

  // One run, one timestamp: every BGNLIB and BGNSTR of both files carries the same moment twice.
  std::vector<Bytes> stamps = timestamps(first);
  const std::vector<Bytes> more = timestamps(second);
  stamps.insert(stamps.end(), more.begin(), more.end());
  ASSERT_EQ(stamps.size(), 5u);
  for (const Bytes& stamp : stamps)
    EXPECT_EQ(stamp, stamps[0]);
  EXPECT_TRUE(std::equal(stamps[0].begin(), stamps[0].begin() + 12, stamps[0].begin() + 12));
}

TEST(Examples, GenerateWritesBothFiles) {
  TempDir dir;
  const RunResult run = runTessel({"-g"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.linesAfterBanner(), kConsoleLines);
  expectExampleFiles(dir);

  // A second run rewrites both files the same way.
  const RunResult again = runTessel({"-g"}, dir.path().string());
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.linesAfterBanner(), kConsoleLines);
  expectExampleFiles(dir);
}

TEST(Examples, ImportGivesTheExampleStructures) {
  TempDir dir;
  ASSERT_EQ(runTessel({"-g"}, dir.path().string()).exitCode, 0);
  GdsLibrary first;
  GdsLibrary second;
  captureOutput([&] {
    EXPECT_EQ(importStream(first, dir.file("example1.gds")), kImported);
    EXPECT_EQ(importStream(second, dir.file("example2.gds")), kImported);
  });

  ASSERT_EQ(first.structures.size(), 1u);
  const GdsStructure& arrow = first.structures[0];
  EXPECT_EQ(arrow.name, "arrow_box");
  ASSERT_EQ(arrow.boundaries.size(), 1u);
  EXPECT_EQ(arrow.boundaries[0].layer, 2u);
  EXPECT_EQ(arrow.boundaries[0].xCor,
            (Coordinates{0, 150, 150, 250, 250, 150, 150, 400, 400, 0, 0}));
  EXPECT_EQ(arrow.boundaries[0].yCor, (Coordinates{0, 0, 250, 250, 150, 150, 0, 0, 400, 400, 0}));
  ASSERT_EQ(arrow.paths.size(), 2u);
  const Coordinates pathX[] = {{0, 200, 400}, {200, 200}};
  const Coordinates pathY[] = {{700, 900, 700}, {900, 0}};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(arrow.paths[i].layer, 1u);
    EXPECT_EQ(arrow.paths[i].width, 5u);
    EXPECT_EQ(arrow.paths[i].pathtype, 2);
    EXPECT_EQ(arrow.paths[i].xCor, pathX[i]);
    EXPECT_EQ(arrow.paths[i].yCor, pathY[i]);
  }
  EXPECT_TRUE(arrow.srefs.empty() && arrow.arefs.empty() && arrow.texts.empty() &&
              arrow.nodes.empty() && arrow.boxes.empty());

  ASSERT_EQ(second.structures.size(), 2u);
  EXPECT_EQ(second.structures[0].name, "arrow_box");
  EXPECT_EQ(second.structures[0].boundaries[0].xCor, arrow.boundaries[0].xCor);
  EXPECT_EQ(second.structures[0].paths.size(), 2u);
  const GdsStructure& top = second.structures[1];
  EXPECT_EQ(top.name, "example2");
  ASSERT_EQ(top.srefs.size(), 2u);
  const int32_t at[] = {0, 500};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(top.srefs[i].name, "arrow_box");
    EXPECT_EQ(top.srefs[i].xCor, at[i]);
    EXPECT_EQ(top.srefs[i].yCor, at[i]);
    EXPECT_FALSE(top.srefs[i].reflection);
    EXPECT_EQ(top.srefs[i].scale, 1.0);
    EXPECT_EQ(top.srefs[i].angle, 0.0);
  }
}

}  // namespace
}  // namespace tessel::testing
