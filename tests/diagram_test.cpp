// `tessel -rs` end to end: the DOT text handed to `dot`, the private temporary files, failures of
// `dot`, runs side by side, and one diagram rendered by the real graphviz.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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
  EXPECT_EQ(drawing.run.linesAfterBanner(), joined(kImportLines, kDiagramLines));
  ASSERT_TRUE(drawing.dotRan);
  EXPECT_EQ(drawing.dotInput, "digraph GDStree {\n\t\"TOP\" -> \"A\";\n\t\"TOP\" -> \"B\";\n}");
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
    std::string dot;
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
       "digraph GDStree {\n\t\"B\" -> \"A\" [style=dashed];\n}"},
      {"an empty library", StreamBuilder(), "digraph GDStree {\n}"},
      {"a one-cell library draws its cell",
       StreamBuilder().beginStructure("ONLY").boundary(1, {0, 0, 1, 1}).endStructure(),
       "digraph GDStree {\n\t\"ONLY\";\n}"},
      // SREFs before AREFs in each structure; an edge any SREF gives is solid; the structures
      // in no edge follow, in library order; a missing child gets no node line.
      {"SREFs, AREFs and lone structures", mixed,
       "digraph GDStree {\n\t\"P\" -> \"C\";\n\t\"P\" -> \"D\" [style=dashed];\n"
       "\t\"Q\" -> \"C\";\n\t\"Y\" -> \"GHOST\";\n\t\"X\";\n\t\"Z\";\n}"},
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
                     {"Error: Diagram \"diagram.jpg\" could not be rendered."}));
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
                   kDiagramLines));
  EXPECT_EQ(drawing.dotInput, "digraph GDStree {\n\t\"TOP\" -> \"A\";\n}");

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
  EXPECT_EQ(run.linesAfterBanner(), joined(kImportLines, kDiagramLines));
  const Bytes image = readBytes(dir.file("diagram.jpg"));
  ASSERT_GE(image.size(), 3u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 3), (Bytes{0xFF, 0xD8, 0xFF}));
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"in.gds", "diagram.jpg"}));
}

}  // namespace
}  // namespace tessel::testing
