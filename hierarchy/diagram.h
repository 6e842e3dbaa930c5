// The reference hierarchy as a graphviz diagram.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hierarchy/structure_summary.h"
#include "model/library.h"

namespace tessel {

// One distinct child of a structure, with how often the structure places it.
struct DiagramEdge {
  std::string child;
  uint64_t srefs = 0;         // SREFs that place the child (an edge no SREF gives is dashed)
  uint64_t arefs = 0;         // AREFs that place it
  uint64_t arefElements = 0;  // columns x rows, summed over those AREFs
};

// What the diagram needs of one structure; it depends on that structure alone.
struct DiagramStructure {
  std::string name;
  // Each distinct child once: first those of the SREFs in their order, then those only AREFs
  // name, in the order of the AREFs.
  std::vector<DiagramEdge> children;
};

// The hierarchy as the diagram sees it. A name given to a second structure adds that
// structure's children to the first one of the name.
struct HierarchyGraph {
  std::vector<DiagramStructure> structures;  // in library order
};

// Each structure's name and the names, kinds and sizes of its references.
HierarchyGraph collectGraph(const SummaryList& structures, const NameTable& names);
// The same for a library held in memory, through its summaries.
HierarchyGraph collectGraph(const GdsLibrary& library);

// The DOT text of what is drawn, and how much of the hierarchy it stands for.
struct DiagramText {
  std::string dot;
  bool summary = false;     // false: every structure and every edge drawn as itself
  uint64_t structures = 0;  // in the hierarchy: every structure and every child name
  uint64_t references = 0;  // in the hierarchy: distinct (parent, child) pairs
  uint64_t boxes = 0;       // drawn
  uint64_t arrows = 0;      // drawn
};

// The whole hierarchy while it can be laid out quickly and read at 100 % zoom, else a summary
// (hierarchy/diagram_picture.h says what it folds).
DiagramText diagramText(const HierarchyGraph& graph);
inline std::string dotText(const HierarchyGraph& graph) {
  return diagramText(graph).dot;
}

// Writes the DOT text to a private temporary file, has `dot` render it into a temporary image
// beside `imageFileName` and renames that over `imageFileName` only when `dot` succeeded.
// Returns 0 when the image was rendered, 1 otherwise.
int writeHierarchyDiagram(const HierarchyGraph& graph, const std::string& imageFileName);
int writeHierarchyDiagram(const GdsLibrary& library, const std::string& imageFileName);

}  // namespace tessel
