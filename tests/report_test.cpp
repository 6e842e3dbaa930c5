// tessel -rt: the structure report, as a table on standard output and as JSON in a file, end to
// end against the built binary.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "stream/encode.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

// TOP places A twice and B in a 3 x 2 array; A has a boundary on 1/0 and a path of width 10
// on 2/5, B a text on 3/1 and a box on 4/2.
Bytes reportedLibrary() {
  return StreamBuilder()
      .libraryHeader()
      .beginStructure("A")
      .boundary(1, {0, 0, 10, 0, 10, 10, 0, 10, 0, 0})
      .none(rec::PATH)
      .int2(rec::LAYER, {2})
      .int2(rec::DATATYPE, {5})
      .int4(rec::WIDTH, {10})
      .int4(rec::XY, {0, 0, 100, 0})
      .none(rec::ENDEL)
      .endStructure()
      .beginStructure("B")
      .none(rec::TEXT)
      .int2(rec::LAYER, {3})
      .int2(rec::TEXTTYPE, {1})
      .int4(rec::XY, {-5, 7})
      .text(rec::STRING, "pin")
      .none(rec::ENDEL)
      .none(rec::BOX)
      .int2(rec::LAYER, {4})
      .int2(rec::BOXTYPE, {2})
      .int4(rec::XY, {0, 0, 20, 0, 20, 20, 0, 20, 0, 0})
      .none(rec::ENDEL)
      .endStructure()
      .beginStructure("TOP")
      .sref("A", 0, 0)
      .sref("A", 1000, 0)
      .none(rec::AREF)
      .text(rec::SNAME, "B")
      .int2(rec::COLROW, {3, 2})
      .int4(rec::XY, {0, 500, 300, 500, 0, 700})
      .none(rec::ENDEL)
      .endStructure()
      .endLibrary()
      .bytes();
}

const std::vector<std::string> kImported = {"Importing \"in.gds\" into Tessel.",
                                            "Reached end of library.",
                                            "GDS file successfully imported."};

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(StructureReport, TableOfStructuresLayersAndRoots) {
  TempDir dir;
  writeBytes(dir.file("in.gds"), reportedLibrary());
  const RunResult run = runTessel({"-rt", "in.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  std::vector<std::string> expected = kImported;
  for (const char* line : {
           "Library \"lib.db\": user unit 0.001, database unit 1e-09 m; 3 structures, 4 layers, "
           "1 root.",
           "Structures:",
           "  Name  Level  Placed  Instances  Boundaries  Paths  Texts  SREFs  AREFs  Nodes  Boxes"
           "  Points  Box (database units)               Box (user units)",
           "  A         1       2          2           1      1      0      0      0      0      0"
           "       7     [-5, -5, 105, 10]  [-0.005, -0.005, 0.105, 0.01]",
           "  B         1       6          6           0      0      1      0      0      0      1"
           "       5        [0, 0, 20, 20]             [0, 0, 0.02, 0.02]",
           "  TOP       0       0          1           0      0      0      2      1      0      0"
           "       0   [-5, -5, 1105, 620]  [-0.005, -0.005, 1.105, 0.62]",
           "Layers:",
           "  Layer  Type  Elements  Box (database units)                Box (user units)",
           "      1     0         1        [0, 0, 10, 10]              [0, 0, 0.01, 0.01]",
           "      2     5         1      [-5, -5, 105, 5]  [-0.005, -0.005, 0.105, 0.005]",
           "      3     1         1        [-5, 7, -5, 7]  [-0.005, 0.007, -0.005, 0.007]",
           "      4     2         1        [0, 0, 20, 20]              [0, 0, 0.02, 0.02]",
           "Roots:",
           "  Name  Box (database units)               Box (user units)",
           "  TOP    [-5, -5, 1105, 620]  [-0.005, -0.005, 1.105, 0.62]",
       })
    expected.push_back(line);
  EXPECT_EQ(run.linesAfterBanner(), expected);
}

TEST(StructureReport, JsonForScriptsInAFile) {
  TempDir dir;
  writeBytes(dir.file("in.gds"), reportedLibrary());
  const RunResult run = runTessel({"-rt", "in.gds", "-o", "report.JSON"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  std::vector<std::string> expected = kImported;
  expected.push_back("Creating \"report.JSON\" done.");
  EXPECT_EQ(run.linesAfterBanner(), expected);
  EXPECT_EQ(
      text(readBytes(dir.file("report.JSON"))),
      "{\n"
      "  \"library\": {\"name\": \"lib.db\", \"userUnit\": 0.001, \"meterUnit\": 1e-09, "
      "\"complete\": true},\n"
      "  \"structures\": [\n"
      "    {\"name\": \"A\", \"level\": 1, \"placed\": 2, \"instances\": 2, \"boundaries\": 1, "
      "\"paths\": 1, \"texts\": 0, \"srefs\": 0, \"arefs\": 0, \"nodes\": 0, \"boxes\": 0, "
      "\"points\": 7, \"box\": [-5, -5, 105, 10], \"boxUser\": [-0.005, -0.005, 0.105, 0.01], "
      "\"children\": []},\n"
      "    {\"name\": \"B\", \"level\": 1, \"placed\": 6, \"instances\": 6, \"boundaries\": 0, "
      "\"paths\": 0, \"texts\": 1, \"srefs\": 0, \"arefs\": 0, \"nodes\": 0, \"boxes\": 1, "
      "\"points\": 5, \"box\": [0, 0, 20, 20], \"boxUser\": [0, 0, 0.02, 0.02], \"children\": "
      "[]},\n"
      "    {\"name\": \"TOP\", \"level\": 0, \"placed\": 0, \"instances\": 1, \"boundaries\": 0, "
      "\"paths\": 0, \"texts\": 0, \"srefs\": 2, \"arefs\": 1, \"nodes\": 0, \"boxes\": 0, "
      "\"points\": 0, \"box\": [-5, -5, 1105, 620], \"boxUser\": [-0.005, -0.005, 1.105, 0.62], "
      "\"children\": [{\"name\": \"A\", \"placed\": 2}, {\"name\": \"B\", \"placed\": 6}]}\n"
      "  ],\n"
      "  \"layers\": [\n"
      "    {\"layer\": 1, \"type\": 0, \"elements\": 1, \"box\": [0, 0, 10, 10], \"boxUser\": [0, "
      "0, 0.01, 0.01]},\n"
      "    {\"layer\": 2, \"type\": 5, \"elements\": 1, \"box\": [-5, -5, 105, 5], \"boxUser\": "
      "[-0.005, -0.005, 0.105, 0.005]},\n"
      "    {\"layer\": 3, \"type\": 1, \"elements\": 1, \"box\": [-5, 7, -5, 7], \"boxUser\": "
      "[-0.005, 0.007, -0.005, 0.007]},\n"
      "    {\"layer\": 4, \"type\": 2, \"elements\": 1, \"box\": [0, 0, 20, 20], \"boxUser\": [0, "
      "0, 0.02, 0.02]}\n"
      "  ],\n"
      "  \"roots\": [\n"
      "    {\"name\": \"TOP\", \"box\": [-5, -5, 1105, 620], \"boxUser\": [-0.005, -0.005, 1.105, "
      "0.62]}\n"
      "  ]\n"
      "}\n");
}

// Placements multiply down the hierarchy, and any name gives valid JSON.
TEST(StructureReport, InstancesThroughTheHierarchyAndAwkwardNames) {
  TempDir dir;
  StreamBuilder file;
  file.libraryHeader().beginStructure("LEAF \"q\"\\\x01\xE9").boundary(1, {0, 0, 1, 1});
  file.endStructure().beginStructure("MID");
  for (int i = 0; i < 3; ++i)
    file.sref("LEAF \"q\"\\\x01\xE9", i, 0);
  file.endStructure().beginStructure("TOP");
  for (int i = 0; i < 4; ++i)
    file.sref("MID", 0, i);
  file.sref("LEAF \"q\"\\\x01\xE9", 9, 9).endStructure().endLibrary();
  writeBytes(dir.file("in.gds"), file.bytes());
  const RunResult run = runTessel({"-rt", "in.gds", "-o", "r.json"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  const std::string json = text(readBytes(dir.file("r.json")));
  EXPECT_NE(json.find("{\"name\": \"LEAF \\\"q\\\"\\\\\\u0001\\u00e9\", \"level\": 2, \"placed\": "
                      "4, \"instances\": 13,"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"name\": \"MID\", \"level\": 1, \"placed\": 4, \"instances\": 4,"),
            std::string::npos)
      << json;
}

// The report's boxes place every reference exactly: an array's elements where its lattice puts
// them, reflected and magnified, any turn applied to the whole box, and a structure with nothing
// in it adds nothing where it is placed.
TEST(StructureReport, BoxesFollowEveryPlacementExactly) {
  struct Case {
    const char* what;
    std::vector<int32_t> leafBox;  // the corners of LEAF's one boundary
    std::function<void(StreamBuilder&)> place;
    std::string topBox;
  };
  const std::vector<Case> cases = {
      {"array of a box off the origin",
       {10, 10, 60, 50},
       [](StreamBuilder& b) {
         b.none(rec::AREF).text(rec::SNAME, "LEAF").int2(rec::COLROW, {3, 2});
         b.int4(rec::XY, {0, 0, 300, 0, 0, 200}).none(rec::ENDEL);
       },
       "[10, 10, 260, 150]"},
      {"reflected and magnified array",
       {10, 10, 60, 50},
       [](StreamBuilder& b) {
         b.none(rec::AREF).text(rec::SNAME, "LEAF").bits(rec::STRANS, 0x8000);
         b.real8(rec::MAG, {encodeReal8(2.0)}).int2(rec::COLROW, {3, 2});
         b.int4(rec::XY, {0, 0, 300, 0, 0, 200}).none(rec::ENDEL);
       },
       "[20, -100, 320, 80]"},
      {"turned by -90",
       {0, 0, 10, 20},
       [](StreamBuilder& b) {
         b.none(rec::SREF).text(rec::SNAME, "LEAF").bits(rec::STRANS, 0);
         b.real8(rec::ANGLE, {encodeReal8(-90.0)}).int4(rec::XY, {0, 0}).none(rec::ENDEL);
       },
       "[0, -10, 20, 0]"},
      {"turned by 45",
       {0, 0, 100, 100},
       [](StreamBuilder& b) {
         b.none(rec::SREF).text(rec::SNAME, "LEAF").bits(rec::STRANS, 0);
         b.real8(rec::ANGLE, {encodeReal8(45.0)}).int4(rec::XY, {5, 5}).none(rec::ENDEL);
       },
       "[-66, 5, 76, 146]"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamBuilder file;
    const std::vector<int32_t>& b = c.leafBox;
    file.libraryHeader().beginStructure("LEAF");
    file.boundary(1, {b[0], b[1], b[2], b[1], b[2], b[3], b[0], b[3], b[0], b[1]}).endStructure();
    file.beginStructure("TOP");
    c.place(file);
    file.endStructure().endLibrary();
    writeBytes(dir.file("in.gds"), file.bytes());
    const RunResult run = runTessel({"-rt", "in.gds", "-o", "r.json"}, dir.path().string());
    EXPECT_EQ(run.exitCode, 0);
    const std::string json = text(readBytes(dir.file("r.json")));
    EXPECT_NE(json.find("{\"name\": \"TOP\", \"box\": " + c.topBox), std::string::npos) << json;
  }

  StreamBuilder file;
  file.libraryHeader().beginStructure("EMPTY").endStructure().beginStructure("TOP");
  file.boundary(1, {0, 0, 1, 0, 1, 1, 0, 0}).sref("EMPTY", 1000, 1000).endStructure().endLibrary();
  writeBytes(dir.file("in.gds"), file.bytes());
  const RunResult run = runTessel({"-rt", "in.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  const std::string table = run.output;
  EXPECT_NE(table.find("  EMPTY      1       1          1           0      0      0      0      0"
                       "      0      0       0                  none                  none\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("  TOP        0       0          1           1      0      0      1      0"
                       "      0      0       4          [0, 0, 1, 1]  [0, 0, 0.001, 0.001]\n"),
            std::string::npos)
      << table;
}

// A report of many megabytes leaves in pieces: every piece arrives, once and in order, on
// standard output and in a file alike.
TEST(StructureReport, LargeReportsArriveWhole) {
  TempDir dir;
  constexpr int kStructures = 12000;  // a table of about 1.7 MB
  StreamBuilder builder;
  builder.libraryHeader();
  for (int i = 0; i < kStructures; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "cell%05d", i);
    builder.beginStructure(name).boundary(1, {0, 0, i, 0, i, 1, 0, 0}).endStructure();
  }
  writeBytes(dir.file("in.gds"), builder.endLibrary().bytes());

  const RunResult printed = runTessel({"-rt", "in.gds"}, dir.path().string());
  ASSERT_EQ(printed.exitCode, 0);
  const RunResult written = runTessel({"-rt", "in.gds", "-o", "r.txt"}, dir.path().string());
  ASSERT_EQ(written.exitCode, 0);
  const std::string table = text(readBytes(dir.file("r.txt")));
  const size_t reportStart = printed.output.find("Library \"");
  ASSERT_NE(reportStart, std::string::npos);
  EXPECT_EQ(printed.output.substr(reportStart), table);
  // The structures, then the one layer, then every structure again as a root.
  const std::string lastStructure =
      "  cell11999      0       0          1           1      0      0      0      0      0      0"
      "       4      [0, 0, 11999, 1]  [0, 0, 11.999, 0.001]\nLayers:\n";
  EXPECT_NE(table.find(lastStructure), std::string::npos);
  const std::string lastRoot = "  cell11999      [0, 0, 11999, 1]  [0, 0, 11.999, 0.001]\n";
  EXPECT_TRUE(table.ends_with(lastRoot)) << table.substr(table.size() - 200);

  const RunResult json = runTessel({"-rt", "in.gds", "-o", "r.json"}, dir.path().string());
  ASSERT_EQ(json.exitCode, 0);
  const std::string document = text(readBytes(dir.file("r.json")));
  size_t names = 0;
  for (size_t at = 0; (at = document.find("{\"name\": \"cell", at)) != std::string::npos; ++at)
    ++names;
  EXPECT_EQ(names, 2u * kStructures);  // once as a structure, once as a root
  EXPECT_TRUE(document.ends_with(
      "},\n    {\"name\": \"cell11999\", \"box\": [0, 0, 11999, 1], \"boxUser\": [0, 0, "
      "11.999, 0.001]}\n  ]\n}\n"));
}

// Bad input gives the lines and the status of -r, then the report of what was read.
TEST(StructureReport, DamagedAndMissingInput) {
  TempDir dir;
  Bytes cut = reportedLibrary();
  cut.resize(cut.size() - 20);  // inside TOP
  writeBytes(dir.file("in.gds"), cut);
  const RunResult damaged = runTessel({"-rt", "in.gds"}, dir.path().string());
  EXPECT_EQ(damaged.exitCode, 1);
  const auto lines = damaged.linesAfterBanner();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[1], "Error: Unexpected end of file.");
  EXPECT_EQ(lines[3], "GDS file partly imported.");
  EXPECT_EQ(lines[5], "The library was read only in part: this is what was read.");

  const RunResult json = runTessel({"-rt", "in.gds", "-o", "r.json"}, dir.path().string());
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_NE(text(readBytes(dir.file("r.json"))).find("\"complete\": false"), std::string::npos);

  // The report never goes over the layout it reports on.
  const RunResult over = runTessel({"-rt", "in.gds", "-o", "in.gds"}, dir.path().string());
  EXPECT_EQ(over.exitCode, 2);
  EXPECT_EQ(
      over.linesAfterBanner(),
      (std::vector<std::string>{"Error: \"in.gds\" is the file to read, not a report to write."}));
  EXPECT_EQ(readBytes(dir.file("in.gds")), cut);

  const RunResult missing = runTessel({"-rt", "missing.gds"}, dir.path().string());
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.linesAfterBanner(),
            (std::vector<std::string>{"Error: GDS file \"missing.gds\" FAILED to be opened."}));
  const RunResult noFile = runTessel({"-rt"}, dir.path().string());
  EXPECT_EQ(noFile.exitCode, 2);
  EXPECT_EQ(noFile.linesAfterBanner(), (std::vector<std::string>{"Input argument error."}));
}

}  // namespace
}  // namespace tessel::testing
