#include "hierarchy/diagram.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "hierarchy/diagram_picture.h"
#include "stream/console.h"
#include "stream/output_file.h"

namespace tessel {

namespace {

// A shell word that stands for `text` exactly, whatever characters it holds.
std::string shellQuoted(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted.push_back(c);
  }
  quoted.push_back('\'');
  return quoted;
}

// The DOT text in a new file of this run's own in $TMPDIR, else /tmp; its path, or "" when it
// cannot be created or written (nothing is left behind then).
std::string writeTemporaryDotFile(const std::string& text) {
  const char* directory = std::getenv("TMPDIR");
  std::string path = directory && *directory ? directory : "/tmp";
  path += "/tessel-XXXXXX.dot";
  const int fd = ::mkstemps(path.data(), 4);
  if (fd < 0) return "";
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count <= 0) break;
    written += static_cast<size_t>(count);
  }
  if (::close(fd) != 0 || written != text.size()) {
    ::unlink(path.c_str());
    return "";
  }
  return path;
}

}  // namespace

HierarchyGraph collectGraph(const GdsLibrary& library) {
  NameTable names;
  SummaryList structures;
  summarizeLibrary(library, names, structures);
  return collectGraph(structures, names);
}

HierarchyGraph collectGraph(const SummaryList& structures, const NameTable& names) {
  HierarchyGraph graph;
  graph.structures.resize(structures.size());
  for (size_t p = 0; p < structures.size(); ++p) {
    DiagramStructure& entry = graph.structures[p];
    entry.name = names.name(structures[p].name);
    entry.children.reserve(structures[p].children.size());
    for (const ChildReferences& child : structures[p].children)
      entry.children.push_back(
          {names.name(child.name), child.srefs, child.arefs, child.arefElements});
  }
  return graph;
}

DiagramText diagramText(const HierarchyGraph& graph) {
  Picture whole = wholePicture(graph);
  DiagramText text;
  text.structures = whole.boxes.size();
  text.references = whole.arrows.size();
  const Picture drawn = drawnPicture(std::move(whole));
  text.summary = drawn.summary;
  text.boxes = drawn.boxes.size();
  text.arrows = drawn.arrows.size();
  text.dot = pictureDot(drawn);
  return text;
}

namespace {

// What is about to be drawn, so that a long render is not silent.
std::string drawingLine(const DiagramText& text) {
  const std::string hierarchy = counted(text.structures, "structure", "structures") + " and " +
                                counted(text.references, "reference", "references");
  if (!text.summary) return "Drawing " + hierarchy + " with dot.";
  return "Drawing a summary of " + hierarchy + " with dot: " + counted(text.boxes, "box", "boxes") +
         " and " + counted(text.arrows, "arrow", "arrows") + ".";
}

}  // namespace

int writeHierarchyDiagram(const HierarchyGraph& graph, const std::string& imageFileName) {
  printQuoted("Generating Dot file:", imageFileName, " file");
  const DiagramText text = diagramText(graph);
  const std::string dotFile = writeTemporaryDotFile(text.dot);
  if (dotFile.empty()) {
    printLine("Error: Cannot write the diagram's temporary file.");
    return 1;
  }
  printLine("Dot file done.");
  auto renderFailed = [&] {
    printQuoted("Error: Diagram ", imageFileName, " could not be rendered.");
    return 1;
  };
  // `dot` writes a temporary image beside the old one, which it replaces only when complete.
  OutputFile image;
  if (!image.open(imageFileName)) {
    ::unlink(dotFile.c_str());
    return renderFailed();
  }
  printLine(drawingLine(text));
  const std::string command =
      "dot -Tjpg " + shellQuoted(dotFile) + " -o " + shellQuoted(image.path());
  flushConsole();
  const int status = std::system(command.c_str());
  ::unlink(dotFile.c_str());
  if (status == -1) printQuoted("Bash command :", command, " error.");
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !image.commit()) {
    image.abandon();
    return renderFailed();
  }
  return 0;
}

int writeHierarchyDiagram(const GdsLibrary& library, const std::string& imageFileName) {
  return writeHierarchyDiagram(collectGraph(library), imageFileName);
}

}  // namespace tessel
