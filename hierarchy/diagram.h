// The reference hierarchy as a graphviz diagram.
#pragma once

#include <string>
#include <vector>

#include "hierarchy/structure_summary.h"
#include "model/library.h"

namespace tessel {

// One distinct (parent, child) pair of references.
struct DiagramEdge {
  std::string parent;
  std::string child;
  bool fromSref = false;  // some SREF places the child; otherwise only AREFs do (drawn dashed)
};

struct HierarchyGraph {
  // Per structure in library order, first from its SREFs, then from its AREFs, in order.
  std::vector<DiagramEdge> edges;
  // The structures that are in no edge at all, in library order.
  std::vector<std::string> loneNodes;
};

HierarchyGraph collectGraph(const GdsLibrary& library);
// The same for summarised structures (one structure per name).
HierarchyGraph collectGraph(const std::vector<StructureSummary>& structures,
                            const NameTable& names);

// The DOT text of the graph, every name quoted.
std::string dotText(const HierarchyGraph& graph);

// Writes the DOT text to a private temporary file, has `dot` render it into a temporary image
// beside `imageFileName` and renames that over `imageFileName` only when `dot` succeeded.
// Returns 0 when the image was rendered, 1 otherwise.
int writeHierarchyDiagram(const HierarchyGraph& graph, const std::string& imageFileName);
int writeHierarchyDiagram(const GdsLibrary& library, const std::string& imageFileName);

}  // namespace tessel
