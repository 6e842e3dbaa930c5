// The command line end to end: banner, help, version, option and file-argument selection, exit
// statuses.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/support.h"

namespace tessel::testing {
namespace {

namespace fs = std::filesystem;

struct TextLine {
  const char* text;
  size_t length;
};

const TextLine kBanner[] = {
    {"              ___     ___", 25},
    {"             |   |   |   |", 26},
    {"             |___|   |___|", 26},
    {" __            |       |            __", 38},
    {"|  |___        |       |        ___|  |", 39},
    {"|__|   |     __|_______|__     |   |__|", 39},
    {"       |____|             |____|", 32},
    {" __         |             |         __", 38},
    {"|  |________|   Tessel    |________|  |", 39},
    {"|__|        |             |        |__|", 39},
    {"        ____|             |____", 31},
    {" __    |    |_____________|    |    __", 38},
    {"|  |___|       |       |       |___|  |", 39},
    {"|__|           |       |           |__|", 39},
    {"              _|_     _|_", 25},
    {"             |   |   |   |", 26},
    {"             |___|   |___|", 26},
};

const TextLine kHelp[] = {
    {"===============================================================================", 79},
    {"Usage: Tessel [ OPTION ] [ filenames ]", 38},
    {"-g(DS)          Does stuffs.", 28},
    {"                  [.gds/.gds2/ file] -o [.gds2 file]", 52},
    {"-i(nterpret)    Translates a GDS file directly to ASCII.", 56},
    {"                  [.gds/.gds2/ file]", 36},
    {"-r(ead)  \t\t   Reads in specified file.", 38},
    {"                  [.gds/.gds2/ file]", 36},
    {"-rw(read/write) Reads in a GDS file and writes out what is stored.", 66},
    {"                  [.gds/.gds2/ file] -o [.gds2 file]", 52},
    {"-rt(able)       Reports the structures, layers and roots of a GDS file.", 71},
    {"                  [.gds/.gds2/ file] [-o report.json/.txt]", 58},
    {"-v(ersion)    Displays the version number.", 42},
    {"-h(elp)       Help screen.", 26},
    {"===============================================================================", 79},
};

std::vector<std::string> texts(const TextLine* begin, const TextLine* end) {
  std::vector<std::string> lines;
  for (const TextLine* line = begin; line != end; ++line) {
    EXPECT_EQ(std::string(line->text).size(), line->length) << line->text;
    lines.push_back(line->text);
  }
  return lines;
}

std::vector<std::string> bannerLines() {
  return texts(std::begin(kBanner), std::end(kBanner));
}

std::vector<std::string> withBanner(const std::vector<std::string>& rest) {
  std::vector<std::string> lines = bannerLines();
  lines.insert(lines.end(), rest.begin(), rest.end());
  return lines;
}

// A small well-formed library with one structure.
Bytes smallLibrary() {
  return StreamBuilder()
      .libraryHeader()
      .beginStructure("TOP")
      .boundary(1, {0, 0, 10, 0, 10, 10, 0, 10, 0, 0})
      .endStructure()
      .endLibrary()
      .bytes();
}

std::vector<std::string> rewriteLines(const std::string& input, const std::string& output) {
  return {"Importing \"" + input + "\" into Tessel.", "Reached end of library.",
          "GDS file successfully imported.", "Creating \"" + output + "\" done."};
}

TEST(CommandLine, NoArgumentsPrintsOnlyTheBanner) {
  RunResult run = runTessel({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output.back(), '\n');
  EXPECT_EQ(run.lines(), bannerLines());
}

TEST(CommandLine, HelpPrintsBannerAndHelpScreen) {
  const std::vector<std::string> help = texts(std::begin(kHelp), std::end(kHelp));
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"-h"}, {"-h", "extra"}, {"-h", "a.gds", "-o", "b.gds"}, {"-v", "-h"}}) {
    SCOPED_TRACE(arguments.back());
    RunResult run = runTessel(arguments);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.lines().size(), 32u);
    EXPECT_EQ(run.lines(), withBanner(help));
  }
}

TEST(CommandLine, VersionAlone) {
  RunResult run = runTessel({"-v"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines(), withBanner({"Version: 0.9"}));
}

struct ArgumentCase {
  std::vector<std::string> arguments;
  std::vector<std::string> lines;  // after the banner
  int exitCode;
};

// Runs in an empty folder: every named stream file is missing.
TEST(CommandLine, ArgumentSelection) {
  const std::string argumentError = "Input argument error.";
  auto failedToOpen = [](const std::string& name) {
    return "Error: GDS file \"" + name + "\" FAILED to be opened.";
  };
  const ArgumentCase cases[] = {
      {{"foo"}, {"Invalid."}, 2},
      {{"a.gds"}, {"Invalid."}, 2},
      {{"-I", "a.gds"}, {"Invalid."}, 2},
      {{"-ix", "a.gds"}, {"Invalid."}, 2},
      {{"-rws", "a.gds"}, {"Invalid."}, 2},
      {{"-o", "a.gds"}, {"Invalid."}, 2},
      {{"-v", "x"}, {argumentError}, 2},
      {{"x", "-v"}, {argumentError}, 2},
      {{"-h", "-v"}, {argumentError}, 2},
      {{"-i"}, {argumentError}, 2},
      {{"-i", "file.txt"}, {argumentError}, 2},
      {{"-r"}, {argumentError}, 2},
      {{"-rs", "a.gd"}, {argumentError}, 2},
      {{"-rw"}, {argumentError}, 2},
      {{"-rw", "a.gds"}, {argumentError}, 2},
      {{"-rw", "a.gds", "-o"}, {argumentError}, 2},
      {{"-o", "out", "-rw"}, {argumentError}, 2},
      // The last option wins.
      {{"-r", "-i", "a.gds"}, {failedToOpen("a.gds")}, 1},
      {{"-v", "a.gds", "-i"}, {failedToOpen("a.gds")}, 1},
      // The first argument containing ".gds" anywhere is the file.
      {{"-i", "a.gds2"}, {failedToOpen("a.gds2")}, 1},
      {{"-i", "one.gds", "two.gds"}, {failedToOpen("one.gds")}, 1},
      {{"-i", "x.gdsfile"}, {failedToOpen("x.gdsfile")}, 1},
      // In any letter case.
      {{"-i", "FILE.GDS"}, {failedToOpen("FILE.GDS")}, 1},
      {{"-i", "a.Gds2"}, {failedToOpen("a.Gds2")}, 1},
      {{"notes.txt", "-i", "dir/.gds.bak", "a.gds"}, {failedToOpen("dir/.gds.bak")}, 1},
      // "-" is standard input only when no argument names a stream file; nothing else is.
      {{"-i", "-", "a.gds"}, {failedToOpen("a.gds")}, 1},
      {{"-i", "--"}, {argumentError}, 2},
      {{"-i", "-x"}, {argumentError}, 2},
      {{"-i", "./-"}, {argumentError}, 2},
      {{"-r", "a.gds"},
       {failedToOpen("a.gds"), "Finding the root structures.", "Root GDS structures: "},
       1},
      {{"-rs", "a.gds"}, {failedToOpen("a.gds")}, 1},
      // -rs draws into "diagram.jpg" only, and says so when given an output.
      {{"-rs", "a.gds", "-o", "x.png"},
       {"Note: -o \"x.png\" is ignored: -rs always draws \"diagram.jpg\".", failedToOpen("a.gds")},
       1},
      // The -o operand is never read: named before the input file, it is refused.
      {{"-rw", "-o", "out.gds", "in.gds"},
       {"Error: \"out.gds\" is the output file, not a file to read."},
       2},
  };
  for (const ArgumentCase& c : cases) {
    TempDir dir;
    std::string trace;
    for (const auto& argument : c.arguments)
      trace += argument + " ";
    SCOPED_TRACE(trace);
    RunResult run = runTessel(c.arguments, dir.path().string());
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.lines(), withBanner(c.lines));
    EXPECT_TRUE(fs::is_empty(dir.path())) << "no file may be written";
  }
}

TEST(CommandLine, ReadWriteImportsTheEarlierFileAndWritesTheLastOutput) {
  TempDir dir;
  writeBytes(dir.file("in.gds"), smallLibrary());
  RunResult run = runTessel({"-rw", "in.gds", "missing.gds", "-o", "x.gds", "-o", "y.gds"},
                            dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.linesAfterBanner(), rewriteLines("in.gds", "y.gds"));
  EXPECT_TRUE(fs::exists(dir.file("y.gds")));
  EXPECT_FALSE(fs::exists(dir.file("x.gds")));
  EXPECT_FALSE(fs::exists(dir.file("missing.gds")));
}

TEST(CommandLine, OutputOperandBeforeTheInputIsRefused) {
  TempDir dir;
  writeBytes(dir.file("first.gds"), smallLibrary());
  writeBytes(dir.file("second.gds"), smallLibrary());
  RunResult run = runTessel({"-rw", "-o", "first.gds", "second.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(
      run.linesAfterBanner(),
      (std::vector<std::string>{"Error: \"first.gds\" is the output file, not a file to read."}));
  EXPECT_EQ(readBytes(dir.file("first.gds")), smallLibrary());
}

// Runs `command` with the shell in `folder`; its exit status and what it wrote to standard error.
struct ShellRun {
  int status = -1;
  std::string errors;
};
ShellRun runShell(const std::string& folder, const std::string& command) {
  const std::string line = "cd " + shellQuote(folder) + " && { " + command + "; } 2> errors.txt";
  ShellRun run;
  const int status = std::system(("sh -c " + shellQuote(line)).c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes errors = readBytes(folder + "/errors.txt");
  run.errors.assign(errors.begin(), errors.end());
  return run;
}

TEST(CommandLine, StandardOutputThatCannotBeWritten) {
  TempDir dir;
  // A dump far larger than a pipe holds.
  StreamBuilder big;
  big.libraryHeader();
  for (int i = 0; i < 100000; ++i)
    big.int4(rec::XY, {i, -i});
  writeBytes(dir.file("big.gds"), big.endLibrary().bytes());
  writeBytes(dir.file("in.gds"), smallLibrary());
  const std::string tessel = shellQuote(TESSEL_BINARY);
  const std::string failed = "Error: Cannot write standard output.\n";
  for (const std::string arguments :
       {"-i big.gds", "-i in.gds", "-r in.gds", "-h", "-v", "", "nothing", "-i"}) {
    SCOPED_TRACE(arguments);
    const ShellRun full = runShell(dir.path().string(), tessel + " " + arguments + " > /dev/full");
    EXPECT_EQ(full.status, 1);  // also where the run would have ended with 2
    EXPECT_EQ(full.errors, failed);
  }
  // A reader that goes away while SIGPIPE is ignored.
  const ShellRun pipe = runShell(
      dir.path().string(),
      "trap '' PIPE; (" + tessel + " -i big.gds; echo $? > status.txt) | head -c 100 > /dev/null");
  EXPECT_EQ(pipe.errors, failed);
  EXPECT_EQ(readBytes(dir.file("status.txt")), (Bytes{'1', '\n'}));
  // Nothing goes to standard error when the output can be written.
  const ShellRun fine = runShell(dir.path().string(), tessel + " -i big.gds > /dev/null");
  EXPECT_EQ(fine.status, 0);
  EXPECT_EQ(fine.errors, "");
}

TEST(CommandLine, GenerateWritesIntoTheWorkingDirectoryWhateverTheOutputOperand) {
  TempDir dir;
  fs::create_directory(dir.path() / "other");
  RunResult run = runTessel({"-g", "-o", "other/elsewhere.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(fs::exists(dir.file("example1.gds")));
  EXPECT_TRUE(fs::exists(dir.file("example2.gds")));
  EXPECT_FALSE(fs::exists(dir.file("other/elsewhere.gds")));
  EXPECT_TRUE(fs::is_empty(dir.path() / "other"));
  EXPECT_EQ(run.linesAfterBanner().back(), "Creating \"example2.gds\" done.");
}

}  // namespace
}  // namespace tessel::testing
