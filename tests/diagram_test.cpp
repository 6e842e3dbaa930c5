// `tessel -rs` end to end: the DOT text handed to `dot`, the private temporary files, failures of
// `dot`, runs side by side, and diagrams rendered by the real graphviz. And what is drawn: the
// graph read from the library, placement counts, the summary of hierarchies too large to draw.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hierarchy/diagram.h"
#include "hierarchy/diagram_picture.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

namespace fs = std::filesystem;

const std::string kRealDot = "/usr/bin/dot";

// A `dot` that keeps a copy of the DOT file and its arguments, writes "image" where it is asked
// to (after `pause` seconds) and exits with `status`.
void writeFakeDot(const fs::path& folder, int status, const std::string& pause = "0") {
  fs::create_directories(folder);
  const fs::path script = folder / "dot";
  std::ofstream(script) << "#!/bin/sh\n"
                           "cp \"$2\" dot-input.txt\n"
                           "echo \"$@\" > dot-arguments.txt\n"
                           "sleep "
                        << pause
                        << "\n"
                           "printf image > \"$4\"\n"
                           "exit "
                        << status << "\n";
  fs::permissions(script, fs::perms::owner_all);
}

std::string readText(const fs::path& path) {
  const Bytes bytes = readBytes(path.string());
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> result;
  for (std::string word; in >> word;)
    result.push_back(word);
  return result;
}

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

struct Drawing {
  RunResult run;
  bool dotRan = false;
  std::string dotInput;                // the DOT file as `dot` saw it
  std::vector<std::string> arguments;  // the arguments `dot` was given
  std::string image;                   // diagram.jpg afterwards
  std::set<std::string> files;         // the working folder afterwards
  std::set<std::string> temporary;     // $TMPDIR afterwards
};

// Runs `tessel -rs in.gds` on `file` with a fake `dot` first on PATH, a private $TMPDIR and,
// when given, an older diagram.jpg and a foo.dot of the user's.
Drawing draw(const Bytes& file, int dotStatus = 0, const std::string& oldImage = "") {
  TempDir dir;
  TempDir temporary;
  writeFakeDot(dir.path() / "bin", dotStatus);
  writeBytes(dir.file("in.gds"), file);
  writeBytes(dir.file("foo.dot"), {'m', 'i', 'n', 'e'});
  if (!oldImage.empty())
    writeBytes(dir.file("diagram.jpg"), Bytes(oldImage.begin(), oldImage.end()));
  Drawing drawing;
  drawing.run = runTessel({"-rs", "in.gds"}, dir.path().string(), dir.file("bin"),
                          "TMPDIR=" + shellQuote(temporary.path().string()));
  drawing.dotRan = fs::exists(dir.path() / "dot-input.txt");
  drawing.dotInput = readText(dir.path() / "dot-input.txt");
  drawing.arguments = words(readText(dir.path() / "dot-arguments.txt"));
  drawing.image = readText(dir.path() / "diagram.jpg");
  EXPECT_EQ(readText(dir.path() / "foo.dot"), "mine");  // the user's file is never touched
  drawing.files = namesIn(dir.path());
  drawing.temporary = namesIn(temporary.path());
  // What `dot` was given: a DOT file of its own in $TMPDIR, an image beside diagram.jpg.
  if (drawing.dotRan) {
    EXPECT_EQ(drawing.arguments.size(), 4u);
    drawing.arguments.resize(4);
    EXPECT_EQ(drawing.arguments[0], "-Tjpg");
    EXPECT_EQ(drawing.arguments[1].rfind(temporary.path().string() + "/tessel-", 0), 0u);
    EXPECT_EQ(drawing.arguments[2], "-o");
    EXPECT_EQ(fs::path(drawing.arguments[3]).filename().string().rfind(".diagram.jpg.", 0), 0u);
  }
  return drawing;
}

const std::vector<std::string> kImportLines = {"Importing \"in.gds\" into Tessel.",
                                               "Reached end of library.",
                                               "GDS file successfully imported."};
const std::vector<std::string> kDiagramLines = {"Generating Dot file:\"diagram.jpg\" file",
                                                "Dot file done."};
// What every DOT text starts with: the layout that keeps wide levels and large hierarchies
// readable.
const std::string kDotHead =
    "digraph GDStree {\n"
    "\tgraph [rankdir=LR, dpi=72, size=\"222,222\", ranksep=0.3, nodesep=0.1, mclimit=0.1, "
    "nslimit=2, nslimit1=2];\n"
    "\tnode [shape=box, fontsize=14, height=0.3, margin=\"0.08,0.02\"];\n"
    "\tedge [fontsize=14, arrowsize=0.6];\n";

// The DOT text without the layout lines of its head.
std::string withoutLayout(const std::string& dot) {
  if (dot.rfind(kDotHead, 0) != 0) return "(no layout head) " + dot;
  return "digraph GDStree {\n" + dot.substr(kDotHead.size());
}
// What the folder holds after a run: nothing of Tessel's own but diagram.jpg.
const std::set<std::string> kFilesAfterwards = {
    "bin", "in.gds", "foo.dot", "diagram.jpg", "dot-input.txt", "dot-arguments.txt"};

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Diagram, WritesTheHierarchyThroughTemporaryFiles) {
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
  const Drawing drawing = draw(file, 0, "old image");
  EXPECT_EQ(drawing.run.exitCode, 0);
  EXPECT_EQ(drawing.run.linesAfterBanner(),
            joined(joined(kImportLines, kDiagramLines),
                   {"Drawing 3 structures and 2 references with dot."}));
  ASSERT_TRUE(drawing.dotRan);
  EXPECT_EQ(drawing.dotInput,
            kDotHead + "\t\"TOP\" -> \"A\" [label=\"\u00D72\"];\n\t\"TOP\" -> \"B\";\n}");
  EXPECT_EQ(drawing.image, "image");
  EXPECT_EQ(drawing.files, kFilesAfterwards);
  EXPECT_TRUE(drawing.temporary.empty());
}

// An AREF with one column and one row.
StreamBuilder& aref(StreamBuilder& file, const std::string& name) {
  return file.none(rec::AREF)
      .text(rec::SNAME, name)
      .int2(rec::COLROW, {1, 1})
      .int4(rec::XY, {0, 0, 1, 0, 0, 1})
      .none(rec::ENDEL);
}

TEST(Diagram, DotContent) {
  struct Case {
    const char* what;
    StreamBuilder structures;
    std::string dot;  // without the layout lines
    std::string drawingLine;
  };
  StreamBuilder arefOnly;
  arefOnly.beginStructure("A").boundary(1, {0, 0, 1, 1}).endStructure().beginStructure("B");
  aref(arefOnly, "A").endStructure();
  StreamBuilder mixed;
  mixed.beginStructure("X").endStructure().beginStructure("P").sref("C", 0, 0);
  aref(mixed, "D");
  aref(mixed, "C").endStructure();
  mixed.beginStructure("Q");
  aref(mixed, "C").sref("C", 0, 0).endStructure();
  mixed.beginStructure("C").endStructure().beginStructure("D").endStructure();
  mixed.beginStructure("Y").sref("GHOST", 0, 0).endStructure().beginStructure("Z").endStructure();
  const std::vector<Case> cases = {
      {"a child placed only by an AREF is drawn dashed", arefOnly,
       "digraph GDStree {\n\t\"B\" -> \"A\" [style=dashed];\n}",
       "Drawing 2 structures and 1 reference with dot."},
      {"an empty library", StreamBuilder(), "digraph GDStree {\n}",
       "Drawing 0 structures and 0 references with dot."},
      {"a one-cell library draws its cell",
       StreamBuilder().beginStructure("ONLY").boundary(1, {0, 0, 1, 1}).endStructure(),
       "digraph GDStree {\n\t\"ONLY\";\n}", "Drawing 1 structure and 0 references with dot."},
      // SREFs before AREFs in each structure; an edge any SREF gives is solid; the structures
      // in no edge follow, in library order; a missing child gets no node line.
      {"SREFs, AREFs and lone structures", mixed,
       "digraph GDStree {\n\t\"P\" -> \"C\" [label=\"\u00D71, \u00D71 arrayed\"];\n"
       "\t\"P\" -> \"D\" [style=dashed];\n\t\"Q\" -> \"C\" [label=\"\u00D71, \u00D71 arrayed\"];\n"
       "\t\"Y\" -> \"GHOST\";\n\t\"X\";\n\t\"Z\";\n}",
       "Drawing 8 structures and 4 references with dot."},
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
       "digraph GDStree {\n\t\"P1\" -> \"C\" [label=\"\u00D72\"];\n\t\"P1\" -> \"D\";\n"
       "\t\"P2\" -> \"D\";\n\t\"P2\" -> \"C\";\n}",
       "Drawing 4 structures and 4 references with dot."},
      {"self reference and a missing structure",
       StreamBuilder().beginStructure("S").sref("S", 0, 0).sref("GHOST", 0, 0).endStructure(),
       "digraph GDStree {\n\t\"S\" -> \"S\";\n\t\"S\" -> \"GHOST\";\n}",
       "Drawing 2 structures and 2 references with dot."},
      {"names that need quotes",
       StreamBuilder()
           .beginStructure("my cell-1")
           .sref("q\"uote", 0, 0)
           .sref("back\\slash", 0, 0)
           .endStructure(),
       "digraph GDStree {\n\t\"my cell-1\" -> \"q\\\"uote\";\n"
       "\t\"my cell-1\" -> \"back\\\\slash\";\n}",
       "Drawing 3 structures and 2 references with dot."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Drawing drawing =
        draw(StreamBuilder().libraryHeader().raw(c.structures.bytes()).endLibrary().bytes());
    EXPECT_EQ(drawing.run.exitCode, 0);  // reference warnings do not count as failures
    const auto lines = drawing.run.linesAfterBanner();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              joined(kDiagramLines, {c.drawingLine}));
    ASSERT_TRUE(drawing.dotRan);
    EXPECT_EQ(withoutLayout(drawing.dotInput), c.dot);
    EXPECT_TRUE(drawing.temporary.empty());
  }
}

Bytes smallHierarchy() {
  return StreamBuilder()
      .libraryHeader()
      .beginStructure("TOP")
      .sref("A", 0, 0)
      .endStructure()
      .beginStructure("A")
      .boundary(1, {0, 0, 1, 1})
      .endStructure()
      .endLibrary()
      .bytes();
}

TEST(Diagram, AFailedRenderLeavesTheOldImage) {
  for (int status : {1, 3}) {
    SCOPED_TRACE(status);
    const Drawing drawing = draw(smallHierarchy(), status, "old image");
    EXPECT_EQ(drawing.run.exitCode, 1);
    EXPECT_EQ(drawing.run.linesAfterBanner(),
              joined(joined(kImportLines, kDiagramLines),
                     {"Drawing 2 structures and 1 reference with dot.",
                      "Error: Diagram \"diagram.jpg\" could not be rendered."}));
    EXPECT_TRUE(drawing.dotRan);
    EXPECT_EQ(drawing.image, "old image");
    EXPECT_EQ(drawing.files, kFilesAfterwards);  // the temporary image is gone too
    EXPECT_TRUE(drawing.temporary.empty());
  }
}

TEST(Diagram, TemporaryFileThatCannotBeCreated) {
  TempDir dir;
  writeFakeDot(dir.path() / "bin", 0);
  writeBytes(dir.file("in.gds"), smallHierarchy());
  const RunResult run = runTessel({"-rs", "in.gds"}, dir.path().string(), dir.file("bin"),
                                  "TMPDIR=" + shellQuote(dir.file("no such folder")));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.linesAfterBanner(),
            joined(kImportLines, {"Generating Dot file:\"diagram.jpg\" file",
                                  "Error: Cannot write the diagram's temporary file."}));
  EXPECT_FALSE(fs::exists(dir.path() / "dot-input.txt"));
  EXPECT_FALSE(fs::exists(dir.path() / "diagram.jpg"));
}

TEST(Diagram, TwoRunsInOneFolderAtOnce) {
  TempDir dir;
  writeFakeDot(dir.path() / "bin", 0, "0.3");  // slow enough for the runs to overlap
  writeBytes(dir.file("in.gds"), smallHierarchy());
  const std::string run = "PATH=" + shellQuote(dir.file("bin")) + ":\"$PATH\" " +
                          shellQuote(TESSEL_BINARY) + " -rs in.gds > /dev/null; echo $? > ";
  const std::string command =
      "cd " + shellQuote(dir.path().string()) + "; (" + run + "first) & (" + run + "second) & wait";
  ASSERT_EQ(std::system(("sh -c " + shellQuote(command)).c_str()), 0);
  EXPECT_EQ(readText(dir.path() / "first"), "0\n");
  EXPECT_EQ(readText(dir.path() / "second"), "0\n");
  EXPECT_EQ(readText(dir.path() / "diagram.jpg"), "image");
}

TEST(Diagram, DamagedAndMissingInput) {
  // What was read before the file ended is drawn; the status says the file was damaged.
  const Bytes cut = StreamBuilder().libraryHeader().beginStructure("TOP").sref("A", 0, 0).bytes();
  const Drawing drawing = draw(cut);
  EXPECT_EQ(drawing.run.exitCode, 1);
  EXPECT_EQ(drawing.run.linesAfterBanner(),
            joined({"Importing \"in.gds\" into Tessel.", "Error: Unexpected end of file.",
                    at(126, 11, "TOP"), "Warning: Reference to missing structure \"A\".",
                    "GDS file partly imported."},
                   joined(kDiagramLines, {"Drawing 2 structures and 1 reference with dot."})));
  EXPECT_EQ(withoutLayout(drawing.dotInput), "digraph GDStree {\n\t\"TOP\" -> \"A\";\n}");

  // A file that cannot be opened draws nothing and leaves an earlier diagram alone.
  TempDir dir;
  writeFakeDot(dir.path() / "bin", 0);
  writeBytes(dir.file("diagram.jpg"), {1, 2, 3});
  const RunResult run = runTessel({"-rs", "missing.gds"}, dir.path().string(), dir.file("bin"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.linesAfterBanner(),
            std::vector<std::string>{"Error: GDS file \"missing.gds\" FAILED to be opened."});
  EXPECT_FALSE(fs::exists(dir.path() / "dot-input.txt"));
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
  EXPECT_EQ(run.linesAfterBanner(), joined(joined(kImportLines, kDiagramLines),
                                           {"Drawing 3 structures and 3 references with dot."}));
  const Bytes image = readBytes(dir.file("diagram.jpg"));
  ASSERT_GE(image.size(), 3u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 3), (Bytes{0xFF, 0xD8, 0xFF}));
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"in.gds", "diagram.jpg"}));
}

// A JPEG's width and height from its frame header; {0, 0} when there is none.
std::pair<int, int> jpegSides(const Bytes& image) {
  for (size_t i = 2; i + 9 < image.size();) {
    if (image[i] != 0xFF) return {0, 0};
    const uint8_t marker = image[i + 1];
    if (marker >= 0xC0 && marker <= 0xC2)
      return {image[i + 7] << 8 | image[i + 8], image[i + 5] << 8 | image[i + 6]};
    i += 2 + static_cast<size_t>(image[i + 2] << 8 | image[i + 3]);
  }
  return {0, 0};
}

std::string dotOf(const Bytes& file) {
  return withoutLayout(dotText(collectGraph(importBytes(file).library)));
}

std::string numbered(const std::string& prefix, int number, int digits) {
  std::string text = std::to_string(number);
  return prefix + std::string(digits - std::min<int>(digits, text.size()), '0') + text;
}

TEST(Diagram, CountsPlacementsOnEdges) {
  // SREFs first in their order, then children only AREFs place; instances and array elements
  // counted apart; a damaged array places nothing.
  GdsLibrary library;
  GdsStructure parent;
  parent.name = "P";
  parent.arefs = {arrayReference("ARR", 2, 3, {0, 0, 20, 0, 0, 30}),
                  arrayReference("BOTH", 3, 1, {0, 0, 30, 0, 0, 1}),
                  arrayReference("ARR", 4, 1, {0, 0, 40, 0, 0, 1}),
                  arrayReference("ONE", 1, 1, {0, 0, 1, 0, 0, 1}),
                  arrayReference("BROKEN", -2, 5, {0, 0, 1, 0, 0, 1})};
  parent.srefs = {GdsSref("THREE", 0, 0),  GdsSref("BOTH", 0, 0),  GdsSref("THREE", 5, 0),
                  GdsSref("SINGLE", 0, 0), GdsSref("THREE", 9, 0), GdsSref("BOTH", 1, 1)};
  library.structures.push_back(parent);
  library.structures.emplace_back().name = "THREE";

  const HierarchyGraph graph = collectGraph(library);
  ASSERT_EQ(graph.structures.size(), 2u);
  EXPECT_EQ(graph.structures[0].name, "P");
  EXPECT_EQ(graph.structures[1].name, "THREE");
  EXPECT_TRUE(graph.structures[1].children.empty());
  struct Child {
    std::string name;
    uint64_t srefs, arefs, arefElements;
  };
  const std::vector<Child> expected = {{"THREE", 3, 0, 0}, {"BOTH", 2, 1, 3}, {"SINGLE", 1, 0, 0},
                                       {"ARR", 0, 2, 10},  {"ONE", 0, 1, 1},  {"BROKEN", 0, 1, 0}};
  const auto& children = graph.structures[0].children;
  ASSERT_EQ(children.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(children[i].child, expected[i].name);
    EXPECT_EQ(children[i].srefs, expected[i].srefs);
    EXPECT_EQ(children[i].arefs, expected[i].arefs);
    EXPECT_EQ(children[i].arefElements, expected[i].arefElements);
  }
  // A label only where a child is placed more than once; dashed where no SREF places it.
  EXPECT_EQ(withoutLayout(dotText(graph)),
            "digraph GDStree {\n"
            "\t\"P\" -> \"THREE\" [label=\"\u00D73\"];\n"
            "\t\"P\" -> \"BOTH\" [label=\"\u00D72, \u00D73 arrayed\"];\n"
            "\t\"P\" -> \"SINGLE\";\n"
            "\t\"P\" -> \"ARR\" [style=dashed, label=\"\u00D710 arrayed\"];\n"
            "\t\"P\" -> \"ONE\" [style=dashed];\n"
            "\t\"P\" -> \"BROKEN\" [style=dashed];\n}");
  // Large counts are grouped by thousands.
  EXPECT_EQ(arrowLabel({0, 1, 1234567, 2, 40000}), "\u00D71,234,567, \u00D740,000 arrayed");
}

TEST(Diagram, AGraphFilledByHandJoinsWhatBelongsTogether) {
  // A name borne by two structures is one box with the children of both; a child listed twice
  // is one edge with the counts of both; a name of more than 40 characters is drawn shortened.
  const std::string longName = "L" + std::string(50, 'x') + "\u00E9nd";
  HierarchyGraph graph;
  graph.structures = {{"A", {{"B", 1, 0, 0}, {"C", 1, 0, 0}}},
                      {"B", {{"C", 1, 0, 0}, {"C", 0, 1, 6}}},
                      {"A", {{"C", 2, 0, 0}, {longName, 1, 0, 0}}}};
  EXPECT_EQ(withoutLayout(dotText(graph)),
            "digraph GDStree {\n"
            "\t\"A\" -> \"B\";\n"
            "\t\"A\" -> \"C\" [label=\"\u00D73\"];\n"
            "\t\"B\" -> \"C\" [label=\"\u00D71, \u00D76 arrayed\"];\n"
            "\t\"A\" -> \"" +
                longName + "\";\n\t\"" + longName + "\" [label=\"L" + std::string(18, 'x') +
                "\u2026" + std::string(17, 'x') + "\u00E9nd\"];\n}");
}

// TOP places P0, P1 and P2, each of which places 400 childless structures of its own (P1 each
// twice, P2 through 2 x 2 arrays); P0 and X also place SHARED; LONE1 and LONE2 are in no edge.
Bytes wideLibrary() {
  StreamBuilder file;
  file.libraryHeader();
  file.beginStructure("TOP").sref("P0", 0, 0).sref("P1", 0, 0).sref("P2", 0, 0).endStructure();
  for (int p = 0; p < 3; ++p) {
    file.beginStructure("P" + std::to_string(p));
    for (int c = 0; c < 400; ++c) {
      const std::string leaf = numbered("L" + std::to_string(p) + "_", c, 3);
      if (p == 0) file.sref(leaf, 0, 0);
      if (p == 1) file.sref(leaf, 0, 0).sref(leaf, 10, 0);
      if (p == 2)
        file.none(rec::AREF)
            .text(rec::SNAME, leaf)
            .int2(rec::COLROW, {2, 2})
            .int4(rec::XY, {0, 0, 20, 0, 0, 20})
            .none(rec::ENDEL);
    }
    if (p == 0) file.sref("SHARED", 0, 0);
    file.endStructure();
  }
  file.beginStructure("X").sref("SHARED", 0, 0).endStructure();
  file.beginStructure("LONE1").endStructure().beginStructure("LONE2").endStructure();
  for (int p = 0; p < 3; ++p)
    for (int c = 0; c < 400; ++c)
      file.beginStructure(numbered("L" + std::to_string(p) + "_", c, 3)).endStructure();
  file.beginStructure("SHARED").endStructure();
  return file.endLibrary().bytes();
}

// C0000 places C0001, which places C0002, and so on to C1999; C0002 places C0003 three times.
Bytes deepLibrary() {
  StreamBuilder file;
  file.libraryHeader();
  for (int i = 0; i < 2000; ++i) {
    file.beginStructure(numbered("C", i, 4));
    if (i + 1 < 2000) file.sref(numbered("C", i + 1, 4), 0, 0);
    if (i == 2) file.sref("C0003", 1, 0).sref("C0003", 2, 0);
    file.endStructure();
  }
  return file.endLibrary().bytes();
}

const char* const kFolded = ", style=\"rounded,filled\", fillcolor=\"#e8e8e8\"]";

TEST(Diagram, SummaryOfAWideLibrary) {
  // The structures in no edge become one box, then each parent's childless children; SHARED
  // stays for X, which places only it.
  const std::string f = kFolded;
  EXPECT_EQ(dotOf(wideLibrary()),
            "digraph GDStree {\n"
            "\tb0 [label=\"TOP\"];\n\tb1 [label=\"P0\"];\n\tb2 [label=\"P1\"];\n"
            "\tb3 [label=\"P2\"];\n\tb4 [label=\"X\"];\n\tb5 [label=\"SHARED\"];\n"
            "\tb6 [label=\"2 unconnected structures\\nLONE1, LONE2\"" +
                f +
                ";\n"
                "\tb7 [label=\"401 childless structures\\nL0_000 \u2026 SHARED\"" +
                f +
                ";\n"
                "\tb8 [label=\"400 childless structures\\nL1_000 \u2026 L1_399\"" +
                f +
                ";\n"
                "\tb9 [label=\"400 childless structures\\nL2_000 \u2026 L2_399\"" +
                f +
                ";\n"
                "\tb0 -> b1;\n\tb0 -> b2;\n\tb0 -> b3;\n"
                "\tb1 -> b7 [label=\"\u00D7401\"];\n"
                "\tb2 -> b8 [label=\"\u00D7800\"];\n"
                "\tb3 -> b9 [style=dashed, label=\"\u00D71,600 arrayed\"];\n"
                "\tb4 -> b5;\n}");
}

TEST(Diagram, SummaryOfADeepLibrary) {
  // A long chain keeps its first two and last two links; the counts of the edges that remain
  // are those of the references they stand for.
  const std::string f = kFolded;
  EXPECT_EQ(dotOf(deepLibrary()),
            "digraph GDStree {\n"
            "\tb0 [label=\"C0000\"];\n\tb1 [label=\"C0001\"];\n\tb2 [label=\"C0002\"];\n"
            "\tb3 [label=\"1,994 levels left out\\nC0003 \u2026 C1996\"" +
                f +
                ";\n"
                "\tb4 [label=\"C1997\"];\n\tb5 [label=\"C1998\"];\n\tb6 [label=\"C1999\"];\n"
                "\tb0 -> b1;\n\tb1 -> b2;\n\tb2 -> b3 [label=\"\u00D73\"];\n\tb3 -> b4;\n"
                "\tb4 -> b5;\n\tb5 -> b6;\n}");
}

TEST(Diagram, SummaryJoinsStructuresPlacedAlike) {
  // Three blocks place the same 300 cells twice each, every cell places VIA: 900 labelled edges
  // side by side are too tall to draw, the cells become one box.
  StreamBuilder file;
  file.libraryHeader();
  file.beginStructure("TOP").sref("B0", 0, 0).sref("B1", 0, 0).sref("B2", 0, 0).endStructure();
  for (int b = 0; b < 3; ++b) {
    file.beginStructure("B" + std::to_string(b));
    for (int c = 0; c < 300; ++c)
      file.sref(numbered("CELL", c, 3), 0, 0).sref(numbered("CELL", c, 3), 9, 0);
    file.endStructure();
  }
  for (int c = 0; c < 300; ++c)
    file.beginStructure(numbered("CELL", c, 3)).sref("VIA", 0, 0).endStructure();
  file.beginStructure("VIA").endStructure().endLibrary();
  const std::string f = kFolded;
  EXPECT_EQ(dotOf(file.bytes()),
            "digraph GDStree {\n"
            "\tb0 [label=\"TOP\"];\n\tb1 [label=\"B0\"];\n\tb2 [label=\"B1\"];\n"
            "\tb3 [label=\"B2\"];\n"
            "\tb4 [label=\"300 structures placed alike\\nCELL000 \u2026 CELL299\"" +
                f +
                ";\n"
                "\tb5 [label=\"VIA\"];\n"
                "\tb0 -> b1;\n\tb0 -> b2;\n\tb0 -> b3;\n"
                "\tb1 -> b4 [label=\"\u00D7600\"];\n\tb2 -> b4 [label=\"\u00D7600\"];\n"
                "\tb3 -> b4 [label=\"\u00D7600\"];\n\tb4 -> b5 [label=\"\u00D7300\"];\n}");
}

TEST(Diagram, SummaryDrawsTheLevelsThatFit) {
  // ROOT places 1,200 structures that each place one of their own: nothing folds, so the top
  // levels are drawn as far as they fit and a box says what is left out below each one.
  HierarchyGraph graph;
  graph.structures.push_back({"ROOT", {}});
  for (int i = 0; i < 1200; ++i) {
    graph.structures[0].children.push_back({numbered("M", i, 4), 1, 0, 0});
    graph.structures.push_back({numbered("M", i, 4), {{numbered("K", i, 4), 1, 0, 0}}});
    graph.structures.push_back({numbered("K", i, 4), {}});
  }
  const Picture drawn = drawnPicture(wholePicture(graph));
  EXPECT_TRUE(drawn.summary);
  EXPECT_TRUE(fitsOnePicture(drawn));
  size_t middles = 0, belowMiddles = 0;
  uint64_t belowRoot = 0;
  for (const PictureBox& box : drawn.boxes) {
    const std::string first(drawn.names[box.first]);
    if (box.kind == BoxKind::kStructure) {
      middles += first[0] == 'M';
      EXPECT_NE(first[0], 'K');
    } else {
      ASSERT_EQ(box.kind, BoxKind::kNotDrawn);
      if (first[0] == 'K') {
        ++belowMiddles;
        EXPECT_EQ(box.structures, 1u);
      } else {
        belowRoot = box.structures;
        EXPECT_EQ(boxLabel(drawn, box)[0],
                  std::to_string(box.structures) + " structures not drawn");
      }
    }
  }
  EXPECT_GT(middles, 100u);
  EXPECT_EQ(belowMiddles, middles);
  EXPECT_EQ(belowRoot + middles, 1200u);
  EXPECT_EQ(drawn.boxes.size(), 2 + 2 * middles);
}

TEST(Diagram, EveryShapeEndsInOnePicture) {
  // Hierarchies no summary step folds, cycles included: the picture still fits and draws the
  // structures nearest the top.
  struct Case {
    const char* what;
    HierarchyGraph graph;
  };
  std::vector<Case> cases(4);
  cases[0].what = "a ring of 3,000 structures";
  cases[1].what = "3,000 structures placing themselves and another";
  cases[2].what = "5,000 tops with a child each";
  cases[3].what = "200,000 structures in no edge";
  for (int i = 0; i < 3000; ++i) {
    cases[0].graph.structures.push_back(
        {numbered("R", i, 4), {{numbered("R", (i + 1) % 3000, 4), 1, 0, 0}}});
    cases[1].graph.structures.push_back(
        {numbered("S", i, 4),
         {{numbered("S", i, 4), 1, 0, 0}, {numbered("S", (i * 7 + 1) % 3000, 4), 1, 0, 0}}});
  }
  for (int i = 0; i < 5000; ++i) {
    cases[2].graph.structures.push_back({numbered("T", i, 4), {{numbered("K", i, 4), 1, 0, 0}}});
    cases[2].graph.structures.push_back({numbered("K", i, 4), {}});
  }
  for (int i = 0; i < 200000; ++i)
    cases[3].graph.structures.push_back({numbered("F", i, 6), {}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Picture drawn = drawnPicture(wholePicture(c.graph));
    EXPECT_TRUE(drawn.summary);
    EXPECT_TRUE(fitsOnePicture(drawn));
    ASSERT_FALSE(drawn.boxes.empty());
    EXPECT_EQ(drawn.names[drawn.boxes[0].first], c.graph.structures[0].name);
  }
}

TEST(Diagram, SaysWhatItDrawsBeforeDotStarts) {
  const Drawing whole = draw(smallHierarchy());
  EXPECT_EQ(whole.run.linesAfterBanner().back(), "Drawing 2 structures and 1 reference with dot.");
  const Drawing wide = draw(wideLibrary());
  EXPECT_EQ(wide.run.exitCode, 0);
  EXPECT_EQ(wide.run.linesAfterBanner().back(),
            "Drawing a summary of 1,208 structures and 1,205 references with dot: 10 boxes and "
            "7 arrows.");
  EXPECT_EQ(wide.dotInput.rfind(kDotHead, 0), 0u);
}

TEST(Diagram, RendersSummariesWithGraphviz) {
  if (!fs::exists(kRealDot))
    GTEST_SKIP() << kRealDot << " is absent; install graphviz to render a real diagram.";
  for (const Bytes& file : {wideLibrary(), deepLibrary()}) {
    TempDir dir;
    writeBytes(dir.file("in.gds"), file);
    const RunResult run = runTessel({"-rs", "in.gds"}, dir.path().string(), "/usr/bin");
    EXPECT_EQ(run.exitCode, 0);
    const auto [width, height] = jpegSides(readBytes(dir.file("diagram.jpg")));
    EXPECT_GT(width, 0);
    EXPECT_LE(width, 16000);
    EXPECT_GT(height, 0);
    EXPECT_LE(height, 16000);
  }
}

}  // namespace
}  // namespace tessel::testing
