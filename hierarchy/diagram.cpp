#include "hierarchy/diagram.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

#include "stream/console.h"

namespace tessel {

namespace {

constexpr const char* kDotFile = "foo.dot";

void appendQuoted(std::string& out, const std::string& name) {
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

bool writeFile(const char* path, const std::string& text) {
  std::FILE* file = std::fopen(path, "w");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return (std::fclose(file) == 0) && written;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> collectEdges(const GdsLibrary& library) {
  std::vector<std::pair<std::string, std::string>> edges;
  std::unordered_set<std::pair<std::string_view, std::string_view>, EdgeHash> seen;
  for (const auto& structure : library.structures)
    for (const auto& sref : structure.srefs)
      if (seen.emplace(structure.name, sref.name).second)
        edges.emplace_back(structure.name, sref.name);
  return edges;
}

std::string dotText(const std::vector<std::pair<std::string, std::string>>& edges) {
  std::string text = "digraph GDStree {\n";
  for (const auto& [parent, child] : edges) {
    text.push_back('\t');
    appendQuoted(text, parent);
    text.append(" -> ");
    appendQuoted(text, child);
    text.append(";\n");
  }
  text.push_back('}');
  return text;
}

int writeHierarchyDiagram(const GdsLibrary& library, const std::string& imageFileName) {
  printQuoted("Generating Dot file:", imageFileName, " file");
  if (!writeFile(kDotFile, dotText(collectEdges(library)))) {
    std::remove(kDotFile);
    printQuoted("Error: Cannot write ", kDotFile, ".");
    return 1;
  }
  printLine("Dot file done.");
  const std::string command = std::string("dot -Tjpg ") + kDotFile + " -o " + imageFileName;
  flushConsole();
  const int status = std::system(command.c_str());
  std::remove(kDotFile);
  if (status == -1) printQuoted("Bash command :", command, " error.");
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    printQuoted("Error: Diagram ", imageFileName, " could not be rendered.");
    return 1;
  }
  return 0;
}

}  // namespace tessel
