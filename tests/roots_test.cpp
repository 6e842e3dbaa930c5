// The root structures: the positions and the printed line, `tessel -r` end to end, and the real
// files of the corpus.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hierarchy/roots.h"
#include "hierarchy/structure_summary.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

// A structure with SREFs to `srefs` and AREFs to `arefs`.
GdsStructure cell(const std::string& name, const std::vector<std::string>& srefs = {},
                  const std::vector<std::string>& arefs = {}) {
  GdsStructure structure;
  structure.name = name;
  for (const auto& target : srefs)
    structure.srefs.emplace_back(target, 0, 0);
  for (const auto& target : arefs) {
    structure.arefs.emplace_back();
    structure.arefs.back().name = target;
  }
  return structure;
}

TEST(RootStructures, PositionsAndLine) {
  struct Case {
    const char* what;
    std::vector<GdsStructure> structures;
    std::string line;
    std::vector<uint32_t> roots;
  };
  const std::vector<Case> cases = {
      {"one top",
       {cell("TOP", {"A", "B"}), cell("A"), cell("B")},
       "Root GDS structures:   TOP",
       {0}},
      {"empty library", {}, "Root GDS structures: ", {}},
      {"unconnected", {cell("X"), cell("Y")}, "Root GDS structures:   X  Y", {0, 1}},
      {"top last",
       {cell("A"), cell("B", {"A"}), cell("TOP", {"B", "A", "B"})},
       "Root GDS structures:   TOP",
       {2}},
      {"self reference",
       {cell("SELF", {"SELF"}), cell("OTHER")},
       "Root GDS structures:   OTHER",
       {1}},
      {"an AREF references like an SREF",
       {cell("TOP", {}, {"A"}), cell("A")},
       "Root GDS structures:   TOP",
       {0}},
      {"a structure that places itself through an AREF",
       {cell("SELF", {}, {"SELF"}), cell("OTHER", {}, {"GHOST"})},
       "Root GDS structures:   OTHER",
       {1}},
      {"cycle", {cell("A", {"B"}), cell("B", {"A"})}, "Root GDS structures: ", {}},
      {"names are compared exactly",
       {cell("A"), cell("a ", {"a", "A "}), cell("Top", {"a "})},
       "Root GDS structures:   A  Top",
       {0, 2}},
      {"missing and nameless references change nothing",
       {cell("T", {"GHOST", ""}), cell("U")},
       "Root GDS structures:   T  U",
       {0, 1}},
      {"a nameless structure", {cell("", {"A"}), cell("A")}, "Root GDS structures:   ", {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GdsLibrary library;
    library.appendStructures(c.structures);
    std::vector<uint32_t> roots;
    const std::string output = captureOutput([&] { roots = findRootStructures(library); });
    EXPECT_EQ(output, "Finding the root structures.\n" + c.line + "\n");
    EXPECT_EQ(roots, c.roots);
  }
}

TEST(RootStructures, ManyReferences) {
  // Enough references to be scanned on every core.
  GdsLibrary library;
  std::string line = "Root GDS structures: ";
  std::vector<uint32_t> roots;
  for (int t = 0; t < 10; ++t) {
    std::vector<std::string> targets;
    for (int k = 0; k < 8000; ++k)
      targets.push_back("LEAF" + std::to_string((k * 7 + t) % 500));
    library.addStructure(cell("TOP" + std::to_string(t), targets, {"LEAF500"}));
    line += "  TOP" + std::to_string(t);
    roots.push_back(static_cast<uint32_t>(t));
  }
  for (int leaf = 0; leaf <= 500; ++leaf)
    library.addStructure(cell("LEAF" + std::to_string(leaf)));
  // LEAF500 is named by AREFs only: not a root either.
  std::vector<uint32_t> found;
  const std::string output = captureOutput([&] { found = findRootStructures(library); });
  EXPECT_EQ(output, "Finding the root structures.\n" + line + "\n");
  EXPECT_EQ(found, roots);
}

Bytes hierarchyFile() {
  return StreamBuilder()
      .libraryHeader()
      .beginStructure("A")
      .boundary(1, {0, 0, 10, 0, 10, 10, 0, 0})
      .endStructure()
      .beginStructure("TOP")
      .sref("A", 0, 0)
      .sref("B", 100, 0)
      .endStructure()
      .beginStructure("B")
      .sref("A", 5, 5)
      .endStructure()
      .beginStructure("LONE")
      .endStructure()
      .endLibrary()
      .bytes();
}

TEST(ReadCommand, ListsTheRoots) {
  TempDir dir;
  writeBytes(dir.file("in.gds"), hierarchyFile());
  const RunResult run = runTessel({"-r", "in.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(
      run.linesAfterBanner(),
      (std::vector<std::string>{"Importing \"in.gds\" into Tessel.", "Reached end of library.",
                                "GDS file successfully imported.", "Finding the root structures.",
                                "Root GDS structures:   TOP  LONE"}));
}

TEST(ReadCommand, WarningsKeepTheStatusDamageAndMissingFilesDoNot) {
  TempDir dir;
  // A missing structure is a warning; the exit status stays 0.
  writeBytes(dir.file("ghost.gds"), StreamBuilder()
                                        .libraryHeader()
                                        .beginStructure("TOP")
                                        .sref("GHOST", 0, 0)
                                        .endStructure()
                                        .endLibrary()
                                        .bytes());
  RunResult run = runTessel({"-r", "ghost.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(
      run.linesAfterBanner(),
      (std::vector<std::string>{"Importing \"ghost.gds\" into Tessel.", "Reached end of library.",
                                "Warning: Reference to missing structure \"GHOST\".",
                                "GDS file successfully imported.", "Finding the root structures.",
                                "Root GDS structures:   TOP"}));

  // A file that ends early still lists the roots of what was read.
  Bytes cut = hierarchyFile();
  cut.resize(cut.size() - 8);  // without the ENDSTR of LONE and ENDLIB
  writeBytes(dir.file("cut.gds"), cut);
  run = runTessel({"-r", "cut.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.linesAfterBanner(),
            (std::vector<std::string>{
                "Importing \"cut.gds\" into Tessel.", "Error: Unexpected end of file.",
                "  at byte 350, record 33, in structure \"LONE\".", "GDS file partly imported.",
                "Finding the root structures.", "Root GDS structures:   TOP  LONE"}));

  run = runTessel({"-r", "missing.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.linesAfterBanner(),
            (std::vector<std::string>{"Error: GDS file \"missing.gds\" FAILED to be opened.",
                                      "Finding the root structures.", "Root GDS structures: "}));
}

TEST(ReadCommand, EveryCorpusFileImports) {
  const auto files = corpusFiles();
  TESSEL_SKIP_WITHOUT_CORPUS(files);
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const RunResult run = runTessel({"-r", file.string()});
    EXPECT_EQ(run.exitCode, 0);
    const auto lines = run.linesAfterBanner();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines.front(), "Importing \"" + file.string() + "\" into Tessel.");
    EXPECT_EQ(lines[1], "Reached end of library.");
    EXPECT_EQ(lines[lines.size() - 2], "Finding the root structures.");
    EXPECT_EQ(lines.back().rfind("Root GDS structures: ", 0), 0u) << lines.back();
    for (const auto& line : lines)
      EXPECT_NE(line.rfind("Error", 0), 0u) << line;
  }
}

// Summaries are kept in blocks of growing, then fixed size: each index finds its own summary
// across every kind of block, and a summary never moves as the list grows.
TEST(SummaryList, IndicesAcrossBlocksAndStableAddresses) {
  SummaryList list;
  std::vector<const StructureSummary*> addresses;
  const size_t count = 3 * SummaryList::kBlockSize + 5000;
  for (size_t i = 0; i < count; ++i) {
    list.add().name = static_cast<uint32_t>(i);
    addresses.push_back(&list[i]);
  }
  ASSERT_EQ(list.size(), count);
  size_t i = 0;
  for (const StructureSummary& summary : list) {
    ASSERT_EQ(summary.name, i) << i;
    ASSERT_EQ(&summary, addresses[i]) << i;
    ++i;
  }
  EXPECT_EQ(i, count);
}

}  // namespace
}  // namespace tessel::testing
