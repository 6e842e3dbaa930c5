// Hostile and extreme inputs end to end: deep and cyclic hierarchies, missing structures,
// degenerate arrays, values at the ends of their ranges, the longest names and records, and
// files that are not stream files at all. Each must end with its messages and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <span>

#include "export/writer.h"
#include "hierarchy/bounding_box.h"
#include "import/importer.h"
#include "stream/byte_source.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

constexpr uint64_t kRealOne = 0x4110000000000000;
constexpr uint64_t kReal1e70 = 0x7A2F0AE5E9B3F9CF;     // about 1e70
constexpr uint64_t kLargestReal = 0x7FFFFFFFFFFFFFFF;  // just below 16^63

std::vector<std::string> expectedImport(const std::string& file,
                                        const std::vector<std::string>& middle,
                                        const std::string& roots) {
  std::vector<std::string> lines = {"Importing \"" + file + "\" into Tessel.",
                                    "Reached end of library."};
  lines.insert(lines.end(), middle.begin(), middle.end());
  lines.insert(lines.end(), {"GDS file successfully imported.", "Finding the root structures.",
                             "Root GDS structures: " + roots});
  return lines;
}

const GdsStructure& structureNamed(const GdsLibrary& library, const std::string& name) {
  const int32_t position = findStructure(library, name);
  EXPECT_GE(position, 0) << name;
  return library.structures.at(static_cast<size_t>(position < 0 ? 0 : position));
}

TEST(Pathological, MillionNestedReferencesListOneRoot) {
  constexpr int kDepth = 1000000;
  StreamBuilder file;
  file.libraryHeader();
  for (int i = 0; i < kDepth; ++i) {
    file.beginStructure("S" + std::to_string(i));
    if (i + 1 < kDepth)
      file.sref("S" + std::to_string(i + 1), 0, 0);
    else
      file.boundary(1, {0, 0, 10, 0, 10, 10, 0, 10, 0, 0});
    file.endStructure();
  }
  TempDir dir;
  writeBytes(dir.file("chain.gds"), file.endLibrary().bytes());
  RunResult run = runTessel({"-r", "chain.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.linesAfterBanner(), expectedImport("chain.gds", {}, "  S0"));
}

TEST(Pathological, ReferenceCyclesAreReportedAndEnd) {
  TempDir dir;
  const auto cycle = [](const std::string& name) {
    return "Warning: Structure \"" + name + "\" is in or above a reference cycle.";
  };
  const std::string zeroBox = "Warning: Inaccuracy due to structures not being initialized.";
  writeBytes(dir.file("self.gds"), StreamBuilder()
                                       .libraryHeader()
                                       .beginStructure("SELF")
                                       .sref("SELF", 5, 5)
                                       .endStructure()
                                       .endLibrary()
                                       .bytes());
  RunResult self = runTessel({"-r", "self.gds"}, dir.path().string());
  EXPECT_EQ(self.exitCode, 0);
  EXPECT_EQ(self.linesAfterBanner(), expectedImport("self.gds", {cycle("SELF"), zeroBox}, ""));

  StreamBuilder three;
  three.libraryHeader();
  for (auto [name, next] : {std::pair{"TOP", "A"}, {"A", "B"}, {"B", "C"}, {"C", "A"}})
    three.beginStructure(name).sref(next, 0, 0).endStructure();
  writeBytes(dir.file("three.gds"), three.endLibrary().bytes());
  RunResult run = runTessel({"-r", "three.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.linesAfterBanner(), expectedImport("three.gds",
                                                   {cycle("TOP"), cycle("A"), cycle("B"),
                                                    cycle("C"), zeroBox, zeroBox, zeroBox, zeroBox},
                                                   "  TOP"));
}

TEST(Pathological, HundredThousandReferencesToOneMissingStructureWarnOnce) {
  StreamBuilder file;
  file.libraryHeader();
  for (int i = 0; i < 100000; ++i)
    file.beginStructure("C" + std::to_string(i)).sref("MISSING", i, i).endStructure();
  TempDir dir;
  writeBytes(dir.file("missing.gds"), file.endLibrary().bytes());
  RunResult run = runTessel({"-r", "missing.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  const auto lines = run.linesAfterBanner();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[2], "Warning: Reference to missing structure \"MISSING\".");
  std::string roots = "Root GDS structures: ";
  for (int i = 0; i < 100000; ++i)
    roots += "  C" + std::to_string(i);
  EXPECT_EQ(lines[5], roots);
}

TEST(Pathological, ArraysWithoutColumnsOrRowsContributeNothing) {
  // COLROW holds unsigned 16-bit values in a file; negative counts only arise in code.
  for (auto [columns, rows] : {std::pair{0, 0}, {0, 3}, {3, 0}}) {
    SCOPED_TRACE(std::to_string(columns) + " columns, " + std::to_string(rows) + " rows");
    const Bytes bytes = StreamBuilder()
                            .libraryHeader()
                            .beginStructure("LEAF")
                            .boundary(1, {0, 0, 50, 0, 50, 50, 0, 0})
                            .endStructure()
                            .beginStructure("TOP")
                            .boundary(1, {0, 0, 10, 0, 10, 10, 0, 0})
                            .none(rec::AREF)
                            .text(rec::SNAME, "LEAF")
                            .int2(rec::COLROW, {columns, rows})
                            .int4(rec::XY, {0, 0, 300, 0, 0, 200})
                            .none(rec::ENDEL)
                            .endStructure()
                            .endLibrary()
                            .bytes();
    Imported imported = importBytes(bytes);
    EXPECT_EQ(imported.result, kImported);
    EXPECT_EQ(structureNamed(imported.library, "TOP").bbox, (BoundingBox{0, 0, 10, 10}));
  }
  GdsLibrary library;
  GdsStructure leaf;
  leaf.name = "LEAF";
  leaf.boundaries.emplace_back(1, 0, 0, 50, 50);
  GdsStructure top;
  top.name = "TOP";
  top.boundaries.emplace_back(1, 0, 0, 10, 10);
  for (auto [columns, rows] : {std::pair{-1, 2}, {2, -1}, {INT_MIN, INT_MIN}}) {
    GdsAref aref;
    aref.name = "LEAF";
    aref.columns = columns;
    aref.rows = rows;
    aref.xy = {0, 0, 300, 0, 0, 200};
    top.arefs.push_back(aref);
  }
  library.addStructure(leaf);
  library.addStructure(top);
  captureOutput([&] { computeBoundingBoxes(library); });
  EXPECT_EQ(structureNamed(library, "TOP").bbox, (BoundingBox{0, 0, 10, 10}));
}

// An SREF to LEAF (box 0, 0, 10, 10) with the given MAG and ANGLE bytes.
Bytes transformedReference(uint64_t mag, uint64_t angle) {
  return StreamBuilder()
      .libraryHeader()
      .beginStructure("LEAF")
      .boundary(1, {0, 0, 10, 0, 10, 10, 0, 0})
      .endStructure()
      .beginStructure("TOP")
      .none(rec::SREF)
      .text(rec::SNAME, "LEAF")
      .bits(rec::STRANS, 0)
      .real8(rec::MAG, {mag})
      .real8(rec::ANGLE, {angle})
      .int4(rec::XY, {0, 0})
      .none(rec::ENDEL)
      .endStructure()
      .endLibrary()
      .bytes();
}

TEST(Pathological, HugeMagnificationAndAngleSaturateTheBox) {
  Imported imported = importBytes(transformedReference(kReal1e70, kRealOne));
  EXPECT_EQ(imported.result, kImported);
  EXPECT_EQ(structureNamed(imported.library, "TOP").bbox,
            (BoundingBox{0, 0, INT_MAX, INT_MAX}));  // turned by 1 degree, then saturated
  // An angle of 1e300 cannot stand in a file; in a model it is boxed and refused by the writer.
  GdsLibrary library;
  GdsStructure leaf;
  leaf.name = "LEAF";
  leaf.boundaries.emplace_back(1, 0, 0, 10, 10);
  GdsStructure top;
  top.name = "TOP";
  top.srefs.emplace_back("LEAF", 0, 0, false, 1e300, 1e70);
  library.addStructure(leaf);
  library.addStructure(top);
  captureOutput([&] { computeBoundingBoxes(library); });
  TempDir dir;
  int written = -1;
  const auto lines =
      splitLines(captureOutput([&] { written = writeLibrary(library, dir.file("out.gds")); }));
  EXPECT_EQ(written, 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"Incorrect parameters for record: 0x1c05",
                                             "Creating \"" + dir.file("out.gds") + "\" done."}));
}

TEST(Pathological, LargestRealReadFromAFileIsWrittenBack) {
  // The largest 8-byte reals read as 16^63, the nearest double; the writer must take that value
  // back as the largest 8-byte real instead of refusing the MAG and ANGLE records.
  TempDir dir;
  writeBytes(dir.file("in.gds"), transformedReference(kLargestReal, kLargestReal));
  RunResult run = runTessel({"-rw", "in.gds", "-o", "out.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  for (const auto& line : run.lines())
    EXPECT_EQ(line.find("Incorrect parameters"), std::string::npos);
  const Bytes out = readBytes(dir.file("out.gds"));
  const Bytes largestMag = {0x00, 0x0C, 0x1B, 0x05, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_NE(std::search(out.begin(), out.end(), largestMag.begin(), largestMag.end()), out.end());
}

TEST(Pathological, WidthWithTheTopBitSetAndCoordinatesAtTheEnds) {
  StreamBuilder file;
  file.libraryHeader().beginStructure("WIDE");
  for (int32_t width : {INT_MIN, -1}) {
    file.none(rec::PATH).int2(rec::LAYER, {1}).int4(rec::WIDTH, {width});
    file.int4(rec::XY, {0, 0, 100, 0}).none(rec::ENDEL);
  }
  file.endStructure().beginStructure("EDGES");
  file.boundary(2, {INT_MIN, INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MAX, INT_MIN, INT_MIN});
  file.endStructure().beginStructure("TOP").sref("EDGES", INT_MAX, INT_MIN);
  file.none(rec::AREF).text(rec::SNAME, "EDGES").int2(rec::COLROW, {65535, 65535});
  file.int4(rec::XY, {INT_MIN, INT_MAX, INT_MAX, INT_MAX, INT_MIN, INT_MIN}).none(rec::ENDEL);
  const Bytes bytes = file.endStructure().endLibrary().bytes();

  Imported imported = importBytes(bytes);
  EXPECT_EQ(imported.result, kImported);
  const GdsLibrary& library = imported.library;
  EXPECT_EQ(structureNamed(library, "WIDE").bbox,
            (BoundingBox{-INT_MAX, -INT_MAX, INT_MAX, INT_MAX}));
  EXPECT_EQ(structureNamed(library, "EDGES").bbox,
            (BoundingBox{INT_MIN, INT_MIN, INT_MAX, INT_MAX}));
  EXPECT_EQ(structureNamed(library, "TOP").bbox, (BoundingBox{INT_MIN, INT_MIN, INT_MAX, INT_MAX}));

  // -rw carries every extreme value whole.
  TempDir dir;
  writeBytes(dir.file("in.gds"), bytes);
  RunResult run = runTessel({"-rw", "in.gds", "-o", "out.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  Imported again = importBytes(readBytes(dir.file("out.gds")));
  EXPECT_EQ(again.result, kImported);
  const GdsPath& path = structureNamed(again.library, "WIDE").paths.at(0);
  EXPECT_EQ(path.width, 0x80000000u);
  EXPECT_EQ(structureNamed(again.library, "TOP").srefs.at(0).xCor, INT_MAX);
  EXPECT_EQ(structureNamed(again.library, "TOP").arefs.at(0).columns, 65535);
  EXPECT_EQ(structureNamed(again.library, "TOP").bbox,
            (BoundingBox{INT_MIN, INT_MIN, INT_MAX, INT_MAX}));
}

TEST(Pathological, StructureNameOfSixtyThousandBytes) {
  const std::string name(60000, 'N');
  TempDir dir;
  writeBytes(dir.file("long.gds"), StreamBuilder()
                                       .libraryHeader()
                                       .beginStructure(name)
                                       .boundary(1, {0, 0, 1, 0, 1, 1, 0, 0})
                                       .endStructure()
                                       .endLibrary()
                                       .bytes());
  RunResult roots = runTessel({"-r", "long.gds"}, dir.path().string());
  EXPECT_EQ(roots.exitCode, 0);
  EXPECT_EQ(roots.linesAfterBanner(), expectedImport("long.gds", {}, "  " + name));
  RunResult copy = runTessel({"-rw", "long.gds", "-o", "out.gds"}, dir.path().string());
  EXPECT_EQ(copy.exitCode, 0);
  Imported again = importBytes(readBytes(dir.file("out.gds")));
  EXPECT_EQ(again.result, kImported);
  ASSERT_EQ(again.library.structures.size(), 1u);
  EXPECT_EQ(again.library.structures[0].name, name);
}

TEST(Pathological, LongestRecordsOfEveryDataType) {
  struct Case {
    RecordCode code;
    size_t length;
    int exitCode;        // of -i
    std::string ending;  // the last line before the done line
  };
  const std::string text(65531, 'T');
  const std::string stopped = at(6, 2);  // after "GDS read error"
  const Case cases[] = {
      {rec::ENDEL, 65535, 0, "[ENDLIB]"},
      {rec::STRANS, 65535, 0, "[ENDLIB]"},
      {rec::LAYER, 65535, 1, stopped},  // odd payload: no whole number of values
      {rec::LAYER, 65532, 0, "[ENDLIB]"},
      {rec::XY, 65535, 1, stopped},
      {rec::XY, 65532, 0, "[ENDLIB]"},
      {0x1B04, 65532, 1, stopped},  // 4-byte reals are not read
      {rec::MAG, 65535, 1, stopped},
      {rec::MAG, 65532, 0, "[ENDLIB]"},
      {rec::STRING, 65535, 0, "[ENDLIB]"},
      {0x1907, 65535, 1, stopped},  // after "Unknown data type."
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " of " + std::to_string(c.length) + " bytes");
    Bytes record = {static_cast<uint8_t>(c.length >> 8), static_cast<uint8_t>(c.length),
                    static_cast<uint8_t>(c.code >> 8), static_cast<uint8_t>(c.code)};
    record.resize(c.length, 'T');
    writeBytes(dir.file("big.gds"),
               StreamBuilder().int2(rec::HEADER, {600}).raw(record).endLibrary().bytes());
    RunResult dump = runTessel({"-i", "big.gds"}, dir.path().string());
    EXPECT_EQ(dump.exitCode, c.exitCode);
    const auto lines = dump.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], c.ending);
    EXPECT_EQ(lines.back(), std::string("Converting \"big.gds\" to ASCII ") +
                                (c.exitCode == 0 ? "done." : "stopped early."));
    RunResult roots = runTessel({"-r", "big.gds"}, dir.path().string());
    EXPECT_EQ(roots.exitCode, c.exitCode);
    EXPECT_EQ(roots.lines().back(), "Root GDS structures: ");
  }
}

TEST(Pathological, FilesThatAreNoStreamFiles) {
  TempDir dir;
  writeBytes(dir.file("zeros.gds"), Bytes(4096, 0));
  std::mt19937 random(7);
  Bytes noise(65536);
  for (auto& byte : noise)
    byte = static_cast<uint8_t>(random());
  writeBytes(dir.file("noise.gds"), noise);

  const std::string text = "Notes on the chip\nLayer 1 is metal\n";
  writeBytes(dir.file("notes.gds"), Bytes(text.begin(), text.end()));

  for (const std::string file : {"zeros.gds", "noise.gds", "notes.gds"}) {
    SCOPED_TRACE(file);
    RunResult dump = runTessel({"-i", file}, dir.path().string());
    EXPECT_EQ(dump.exitCode, 1);
    EXPECT_EQ(dump.lines().back(), "Converting \"" + file + "\" to ASCII stopped early.");
    RunResult roots = runTessel({"-r", file}, dir.path().string());
    EXPECT_EQ(roots.exitCode, 1);
    EXPECT_EQ(roots.lines().back().rfind("Root GDS structures: ", 0), 0u);
    RunResult copy = runTessel({"-rw", file, "-o", "out.gds"}, dir.path().string());
    EXPECT_EQ(copy.exitCode, 1);
    EXPECT_EQ(copy.lines().back(), "Error: Nothing written to \"out.gds\".");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.gds")));
  }
  // A text file is said not to be a stream file, whatever option reads it.
  RunResult notes = runTessel({"-i", "notes.gds"}, dir.path().string());
  EXPECT_EQ(notes.linesAfterBanner(),
            (std::vector<std::string>{"Converting \"notes.gds\" to ASCII.",
                                      "Error: Not a GDSII stream file.", "GDS read error", at(0, 1),
                                      "Converting \"notes.gds\" to ASCII stopped early."}));
  RunResult notesRoots = runTessel({"-r", "notes.gds"}, dir.path().string());
  EXPECT_EQ(
      notesRoots.linesAfterBanner(),
      (std::vector<std::string>{
          "Importing \"notes.gds\" into Tessel.", "Error: Not a GDSII stream file.", at(0, 1),
          "GDS file partly imported.", "Finding the root structures.", "Root GDS structures: "}));
  // A file of zero bytes has a record length of 0 at its start.
  RunResult zeros = runTessel({"-i", "zeros.gds"}, dir.path().string());
  EXPECT_EQ(zeros.linesAfterBanner(),
            (std::vector<std::string>{"Converting \"zeros.gds\" to ASCII.",
                                      "Error: Invalid record length.", "GDS read error", at(0, 1),
                                      "Converting \"zeros.gds\" to ASCII stopped early."}));
}

}  // namespace
}  // namespace tessel::testing
