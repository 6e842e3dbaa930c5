// `tessel -rs` end to end: the DOT file handed to `dot`, its removal, failures of `dot`, and one
// diagram rendered by the real graphviz.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/support.h"

namespace tessel::testing {
namespace {

namespace fs = std::filesystem;

const std::string kRealDot = "/usr/bin/dot";

// A `dot` that keeps a copy of the DOT file and its arguments and exits with `status`.
void writeFakeDot(const fs::path& folder, int status) {
  fs::create_directories(folder);
  const fs::path script = folder / "dot";
  std::ofstream(script) << "#!/bin/sh\n"
                           "cp foo.dot dot-input.txt\n"
                           "echo \"$@\" > dot-arguments.txt\n"
                           "exit "
                        << status << "\n";
  fs::permissions(script, fs::perms::owner_all);
}

std::string readText(const fs::path& path) {
  const Bytes bytes = readBytes(path.string());
  return std::string(bytes.begin(), bytes.end());
}

struct Drawing {
  RunResult run;
  bool dotRan = false;
  std::string dotInput;   // the DOT file as `dot` saw it
  std::string arguments;  // the arguments `dot` was given
  bool dotFileLeft = false;
};

// Runs `tessel -rs in.gds` on `file` with a fake `dot` first on PATH.
Drawing draw(const Bytes& file, int dotStatus = 0) {
  TempDir dir;
  writeFakeDot(dir.path() / "bin", dotStatus);
  writeBytes(dir.file("in.gds"), file);
  Drawing drawing;
  drawing.run = runTessel({"-rs", "in.gds"}, dir.path().string(), dir.file("bin"));
  drawing.dotRan = fs::exists(dir.path() / "dot-input.txt");
  drawing.dotInput = readText(dir.path() / "dot-input.txt");
  drawing.arguments = readText(dir.path() / "dot-arguments.txt");
  drawing.dotFileLeft = fs::exists(dir.path() / "foo.dot");
  return drawing;
}

const std::vector<std::string> kImportLines = {"Importing \"in.gds\" into Tessel.",
                                               "Reached end of library.",
                                               "GDS file successfully imported."};
const std::vector<std::string> kDiagramLines = {"Generating Dot file:\"diagram.jpg\" file",
                                                "Dot file done."};

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Diagram, WritesTheHierarchyAndRemovesTheDotFile) {
  const Bytes file = StreamBuilder()
                         .libraryHeader()
                         .beginStructure("TOP")
                         .sref("A", 0, 0)
                         .sref("B", 10, 0)
                         .sref("A", 20, 0)
                         .endStructure()
                         .beginStructure("A")
                         .boundary(1, {0, 0, 1, 0, 1, 1, 0, 0})
                         .endStructure()
                         .beginStructure("B")
                         .boundary(1, {0, 0, 2, 0, 2, 2, 0, 0})
                         .endStructure()
                         .endLibrary()
                         .bytes();
  const Drawing drawing = draw(file);
  EXPECT_EQ(drawing.run.exitCode, 0);
  EXPECT_EQ(drawing.run.linesAfterBanner(), joined(kImportLines, kDiagramLines));
  ASSERT_TRUE(drawing.dotRan);
  EXPECT_EQ(drawing.dotInput, "digraph GDStree {\n\t\"TOP\" -> \"A\";\n\t\"TOP\" -> \"B\";\n}");
  EXPECT_EQ(drawing.arguments, "-Tjpg foo.dot -o diagram.jpg\n");
  EXPECT_FALSE(drawing.dotFileLeft);
}

TEST(Diagram, DotContent) {
  struct Case {
    const char* what;
    StreamBuilder structures;
    std::string dot;
  };
  const std::vector<Case> cases = {
      {"no references",
       StreamBuilder()
           .beginStructure("A")
           .boundary(1, {0, 0, 1, 1})
           .endStructure()
           .beginStructure("B")
           .none(rec::AREF)
           .text(rec::SNAME, "A")
           .int2(rec::COLROW, {1, 1})
           .int4(rec::XY, {0, 0, 1, 0, 0, 1})
           .none(rec::ENDEL)
           .endStructure(),
       "digraph GDStree {\n}"},
      {"an empty library", StreamBuilder(), "digraph GDStree {\n}"},
      {"edges in structure and reference order, repeats once",
       StreamBuilder()
           .beginStructure("P1")
           .sref("C", 0, 0)
           .sref("D", 0, 0)
           .sref("C", 1, 1)
           .endStructure()
           .beginStructure("P2")
           .sref("D", 0, 0)
           .sref("C", 0, 0)
           .endStructure()
           .beginStructure("C")
           .endStructure()
           .beginStructure("D")
           .endStructure(),
       "digraph GDStree {\n\t\"P1\" -> \"C\";\n\t\"P1\" -> \"D\";\n\t\"P2\" -> \"D\";\n"
       "\t\"P2\" -> \"C\";\n}"},
      {"self reference and a missing structure",
       StreamBuilder().beginStructure("S").sref("S", 0, 0).sref("GHOST", 0, 0).endStructure(),
       "digraph GDStree {\n\t\"S\" -> \"S\";\n\t\"S\" -> \"GHOST\";\n}"},
      {"names that need quotes",
       StreamBuilder()
           .beginStructure("my cell-1")
           .sref("q\"uote", 0, 0)
           .sref("back\\slash", 0, 0)
           .endStructure(),
       "digraph GDStree {\n\t\"my cell-1\" -> \"q\\\"uote\";\n"
       "\t\"my cell-1\" -> \"back\\\\slash\";\n}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Drawing drawing =
        draw(StreamBuilder().libraryHeader().raw(c.structures.bytes()).endLibrary().bytes());
    EXPECT_EQ(drawing.run.exitCode, 0);  // reference warnings do not count as failures
    const auto lines = drawing.run.linesAfterBanner();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()), kDiagramLines);
    ASSERT_TRUE(drawing.dotRan);
    EXPECT_EQ(drawing.dotInput, c.dot);
    EXPECT_FALSE(drawing.dotFileLeft);
  }
}

TEST(Diagram, FailuresOfDotAreReported) {
  const Bytes file = StreamBuilder()
                         .libraryHeader()
                         .beginStructure("TOP")
                         .sref("A", 0, 0)
                         .endStructure()
                         .beginStructure("A")
                         .boundary(1, {0, 0, 1, 1})
                         .endStructure()
                         .endLibrary()
                         .bytes();
  for (int status : {1, 3}) {
    const Drawing drawing = draw(file, status);
    EXPECT_EQ(drawing.run.exitCode, 1) << status;
    EXPECT_EQ(drawing.run.linesAfterBanner(),
              joined(joined(kImportLines, kDiagramLines),
                     {"Error: Diagram \"diagram.jpg\" could not be rendered."}));
    EXPECT_TRUE(drawing.dotRan);
    EXPECT_FALSE(drawing.dotFileLeft);
  }
}

TEST(Diagram, DamagedAndMissingInput) {
  // What was read before the file ended is drawn; the status says the file was damaged.
  const Bytes cut = StreamBuilder().libraryHeader().beginStructure("TOP").sref("A", 0, 0).bytes();
  const Drawing drawing = draw(cut);
  EXPECT_EQ(drawing.run.exitCode, 1);
  EXPECT_EQ(
      drawing.run.linesAfterBanner(),
      joined({"Importing \"in.gds\" into Tessel.", "Error: Unexpected end of file.",
              "Warning: Reference to missing structure \"A\".", "GDS file successfully imported."},
             kDiagramLines));
  EXPECT_EQ(drawing.dotInput, "digraph GDStree {\n\t\"TOP\" -> \"A\";\n}");
  EXPECT_FALSE(drawing.dotFileLeft);

  // A file that cannot be opened draws nothing and leaves an earlier diagram alone.
  TempDir dir;
  writeFakeDot(dir.path() / "bin", 0);
  writeBytes(dir.file("diagram.jpg"), {1, 2, 3});
  const RunResult run = runTessel({"-rs", "missing.gds"}, dir.path().string(), dir.file("bin"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.linesAfterBanner(),
            std::vector<std::string>{"Error: GDS file \"missing.gds\" FAILED to be opened."});
  EXPECT_FALSE(fs::exists(dir.path() / "dot-input.txt"));
  EXPECT_FALSE(fs::exists(dir.path() / "foo.dot"));
  EXPECT_EQ(readBytes(dir.file("diagram.jpg")), (Bytes{1, 2, 3}));
}

TEST(Diagram, RendersAJpegWithGraphviz) {
  if (!fs::exists(kRealDot))
    GTEST_SKIP() << kRealDot << " is absent; install graphviz to render a real diagram.";
  TempDir dir;
  writeBytes(dir.file("in.gds"), StreamBuilder()
                                     .libraryHeader()
                                     .beginStructure("top cell-1")
                                     .sref("q\"uote", 0, 0)
                                     .sref("LEAF", 0, 0)
                                     .endStructure()
                                     .beginStructure("q\"uote")
                                     .sref("LEAF", 5, 5)
                                     .endStructure()
                                     .beginStructure("LEAF")
                                     .boundary(1, {0, 0, 1, 1})
                                     .endStructure()
                                     .endLibrary()
                                     .bytes());
  const RunResult run = runTessel({"-rs", "in.gds"}, dir.path().string(), "/usr/bin");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.linesAfterBanner(), joined(kImportLines, kDiagramLines));
  const Bytes image = readBytes(dir.file("diagram.jpg"));
  ASSERT_GE(image.size(), 3u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 3), (Bytes{0xFF, 0xD8, 0xFF}));
  EXPECT_FALSE(fs::exists(dir.path() / "foo.dot"));
}

}  // namespace
}  // namespace tessel::testing
