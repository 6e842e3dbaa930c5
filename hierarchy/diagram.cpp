#include "hierarchy/diagram.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "export/output_file.h"
#include "stream/console.h"

namespace tessel {

namespace {

void appendQuoted(std::string& out, std::string_view name) {
  out.push_back('"');
  for (char c : name) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

struct EdgeHash {
  size_t operator()(const std::pair<std::string_view, std::string_view>& edge) const {
    const size_t h = std::hash<std::string_view>()(edge.first);
    return h ^ (std::hash<std::string_view>()(edge.second) + 0x9e3779b97f4a7c15ULL + (h << 6) +
                (h >> 2));
  }
};

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
  HierarchyGraph graph;
  using Edge = std::pair<std::string_view, std::string_view>;
  std::unordered_map<Edge, size_t, EdgeHash> edgeAt;  // edge to its place in graph.edges
  std::unordered_set<std::string_view> inEdges;
  auto add = [&](const GdsStructure& parent, std::string_view child, bool fromSref) {
    auto [entry, inserted] = edgeAt.try_emplace(Edge(parent.name, child), graph.edges.size());
    if (inserted) {
      graph.edges.push_back({parent.name, std::string(child), fromSref});
      inEdges.insert(parent.name);
      inEdges.insert(child);
    } else if (fromSref) {
      graph.edges[entry->second].fromSref = true;
    }
  };
  for (const auto& structure : library.structures) {
    for (const auto& sref : structure.srefs)
      add(structure, sref.name, true);
    for (const auto& aref : structure.arefs)
      add(structure, aref.name, false);
  }
  std::unordered_set<std::string_view> drawn;
  for (const auto& structure : library.structures)
    if (!inEdges.count(structure.name) && drawn.insert(structure.name).second)
      graph.loneNodes.push_back(structure.name);
  return graph;
}

HierarchyGraph collectGraph(const std::vector<StructureSummary>& structures,
                            const NameTable& names) {
  HierarchyGraph graph;
  std::vector<uint8_t> inEdge(structures.size(), 0);
  for (size_t p = 0; p < structures.size(); ++p)
    for (const ChildReferences& child : structures[p].children) {
      graph.edges.push_back(
          {names.name(structures[p].name), names.name(child.name), child.srefs > 0});
      inEdge[p] = 1;
      if (child.target >= 0) inEdge[static_cast<size_t>(child.target)] = 1;
    }
  for (size_t p = 0; p < structures.size(); ++p)
    if (!inEdge[p]) graph.loneNodes.push_back(names.name(structures[p].name));
  return graph;
}

std::string dotText(const HierarchyGraph& graph) {
  std::string text = "digraph GDStree {\n";
  for (const DiagramEdge& edge : graph.edges) {
    text.push_back('\t');
    appendQuoted(text, edge.parent);
    text.append(" -> ");
    appendQuoted(text, edge.child);
    text.append(edge.fromSref ? ";\n" : " [style=dashed];\n");
  }
  for (const std::string& name : graph.loneNodes) {
    text.push_back('\t');
    appendQuoted(text, name);
    text.append(";\n");
  }
  text.push_back('}');
  return text;
}

int writeHierarchyDiagram(const GdsLibrary& library, const std::string& imageFileName) {
  return writeHierarchyDiagram(collectGraph(library), imageFileName);
}

int writeHierarchyDiagram(const HierarchyGraph& graph, const std::string& imageFileName) {
  printQuoted("Generating Dot file:", imageFileName, " file");
  const std::string dotFile = writeTemporaryDotFile(dotText(graph));
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

}  // namespace tessel
