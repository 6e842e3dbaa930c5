// The reference hierarchy as a graphviz diagram.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "model/library.h"

namespace tessel {

// Distinct (parent, child) pairs of SREFs, in the order the references stand.
std::vector<std::pair<std::string, std::string>> collectEdges(const GdsLibrary& library);

// The DOT text for the edges, every name quoted.
std::string dotText(const std::vector<std::pair<std::string, std::string>>& edges);

// Writes "foo.dot", has `dot` render it into `imageFileName` and removes "foo.dot" again.
// Returns 0 when the image was rendered, 1 otherwise.
int writeHierarchyDiagram(const GdsLibrary& library, const std::string& imageFileName);

}  // namespace tessel
