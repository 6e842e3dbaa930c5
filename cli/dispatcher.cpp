#include "cli/dispatcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "cli/console_texts.h"
#include "cli/version.h"
#include "examples/examples.h"
#include "export/rewrite.h"
#include "hierarchy/diagram.h"
#include "hierarchy/roots.h"
#include "hierarchy/structure_report.h"
#include "hierarchy/summary_import.h"
#include "import/importer.h"
#include "stream/byte_source.h"
#include "stream/console.h"
#include "stream/interpreter.h"
#include "stream/output_file.h"

namespace tessel {

namespace {

constexpr std::string_view kOptions[] = {"-g", "-i", "-r", "-rw", "-rs", "-rt", "-v", "-h"};

bool isOption(std::string_view argument) {
  for (auto option : kOptions)
    if (argument == option) return true;
  return false;
}

// True when the argument holds ".gds" in any letter case ("CHIP.GDS", "a.Gds2").
bool namesStreamFile(std::string_view argument) {
  constexpr std::string_view kName = ".gds";
  auto sameLetter = [](char given, char lower) {
    return (given >= 'A' && given <= 'Z' ? given - 'A' + 'a' : given) == lower;
  };
  return std::search(argument.begin(), argument.end(), kName.begin(), kName.end(), sameLetter) !=
         argument.end();
}

// The argument "-", standard input, or -1.
int standardInputIndex(int argc, const char* const* argv) {
  for (int i = 0; i < argc; ++i)
    if (std::string_view(argv[i]) == "-") return i;
  return -1;
}

// Where the stream file stands among the arguments: the first argument (the program's path
// included) that names one, or, when none does, standard input given as "-"; -1 when neither.
int fileArgumentIndex(int argc, const char* const* argv) {
  for (int i = 0; i < argc; ++i)
    if (namesStreamFile(argv[i])) return i;
  return standardInputIndex(argc, argv);
}

bool followsOutputFlag(int index, const char* const* argv) {
  return index > 0 && std::string_view(argv[index - 1]) == "-o";
}

int argumentError() {
  printLine("Input argument error.");
  return kExitUsage;
}

int importStatus(int importResult) {
  return importResult == kImported ? kExitOk : kExitFailed;
}

// True when both names lead to one existing file (through links too).
bool sameFile(const std::string& first, const std::string& second) {
  struct stat a, b;
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True for a name that ends in ".json" (any letter case), before an optional ".gz".
bool namesJsonFile(std::string_view name) {
  if (namesGzipFile(name)) name.remove_suffix(3);
  constexpr std::string_view kEnd = ".json";
  if (name.size() < kEnd.size()) return false;
  const std::string_view end = name.substr(name.size() - kEnd.size());
  return std::equal(end.begin(), end.end(), kEnd.begin(), [](char given, char lower) {
    return (given >= 'A' && given <= 'Z' ? given - 'A' + 'a' : given) == lower;
  });
}

// -rt: the structure report, printed as a table, or written to `outputFile` (as JSON for a
// ".json" name).
int reportStructures(ByteSource& source, const std::string& fileName,
                     const std::string& outputFile) {
  SummaryImport imported;
  imported.forReport = true;
  const int status = importSummaries(source, fileName, imported);
  const ReportInput input{imported.header, imported.structures, imported.names, imported.boxes,
                          status == kImported};
  if (outputFile.empty()) {
    writeStructureReportTable(input, [](std::string_view text) { printText(text); });
    return importStatus(status);
  }
  const bool json = namesJsonFile(outputFile);
  if (!writeFileInPieces(outputFile, [&](const TextSink& put) {
        if (json)
          writeStructureReportJson(input, put);
        else
          writeStructureReportTable(input, put);
      })) {
    printQuoted("Error: Cannot write ", outputFile, ".");
    return kExitFailed;
  }
  printQuoted("Creating ", outputFile, " done.");
  return importStatus(status);
}

int dispatch(int argc, const char* const* argv) {
  printBanner();
  if (argc <= 1) return kExitOk;

  std::string option;
  for (int i = 0; i < argc; ++i)
    if (isOption(argv[i])) option = argv[i];
  if (option.empty()) {
    printLine("Invalid.");
    return kExitUsage;
  }
  int fileIndex = fileArgumentIndex(argc, argv);
  std::string outputFile;
  for (int i = 0; i + 1 < argc; ++i)
    if (std::string_view(argv[i]) == "-o") outputFile = argv[i + 1];

  // The input is never the output: an -o operand that stands first among the stream files
  // gives way to standard input, or the run is refused.
  if ((option == "-rw" || option == "-rt") && followsOutputFlag(fileIndex, argv)) {
    const int standardInput = standardInputIndex(argc, argv);
    if (standardInput < 0) {
      printQuoted("Error: ", argv[fileIndex], " is the output file, not a file to read.");
      return kExitUsage;
    }
    fileIndex = standardInput;
  }
  const std::string fileArgument = fileIndex < 0 ? "" : argv[fileIndex];

  if (option == "-g") {
    const int first = writeExample1("example1.gds");
    const int second = writeExample2("example1.gds", "example2.gds");
    return first == 0 && second == 0 ? kExitOk : kExitFailed;
  }
  if (option == "-i") {
    if (fileArgument.empty()) return argumentError();
    return interpretStream(fileArgument) == 0 ? kExitOk : kExitFailed;
  }
  if (option == "-r") {
    if (fileArgument.empty()) return argumentError();
    auto source = openStreamFile(fileArgument);
    if (!source) {
      findRootStructures(SummaryList(), NameTable());
      return kExitFailed;
    }
    SummaryImport imported;
    const int status = importSummaries(*source, fileArgument, imported);
    findRootStructures(imported.structures, imported.names);
    return importStatus(status);
  }
  if (option == "-rs") {
    if (fileArgument.empty()) return argumentError();
    if (!outputFile.empty())
      printQuoted("Note: -o ", outputFile, " is ignored: -rs always draws \"diagram.jpg\".");
    // A file that cannot be opened must not replace an existing diagram with an empty one.
    auto source = openStreamFile(fileArgument);
    if (!source) return kExitFailed;
    HierarchyGraph graph;
    int status = kImported;
    {
      SummaryImport imported;
      status = importSummaries(*source, fileArgument, imported);
      graph = collectGraph(imported.structures, imported.names);
    }  // the summaries go before the picture is made
    const int drawn = writeHierarchyDiagram(graph, "diagram.jpg");
    return status == kImported && drawn == 0 ? kExitOk : kExitFailed;
  }
  if (option == "-rw") {
    if (fileArgument.empty() || outputFile.empty()) return argumentError();
    auto source = openStreamFile(fileArgument);
    if (!source) return kExitFailed;
    const RewriteResult result = rewriteStream(*source, fileArgument, outputFile);
    return result.imported == kImported && result.written == 0 ? kExitOk : kExitFailed;
  }
  if (option == "-rt") {
    if (fileArgument.empty()) return argumentError();
    if (!outputFile.empty() && sameFile(fileArgument, outputFile)) {
      // A report written over the layout it reports on would lose the layout.
      printQuoted("Error: ", outputFile, " is the file to read, not a report to write.");
      return kExitUsage;
    }
    auto source = openStreamFile(fileArgument);
    if (!source) return kExitFailed;
    return reportStructures(*source, fileArgument, outputFile);
  }
  if (option == "-v") {
    if (argc != 2) return argumentError();
    printLine(std::string("Version: ") + kVersion);
    return kExitOk;
  }
  printHelp();  // -h
  return kExitOk;
}

}  // namespace

int runCommand(int argc, const char* const* argv) {
  const int status = dispatch(argc, argv);
  flushConsole();
  if (consoleFailed()) {
    // The one message that cannot go to standard output.
    std::fputs("Error: Cannot write standard output.\n", stderr);
    return kExitFailed;
  }
  return status;
}

}  // namespace tessel
