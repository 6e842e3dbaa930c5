#include "hierarchy/roots.h"

#include <string>

#include "stream/console.h"

namespace tessel {

std::vector<uint32_t> findRootStructures(const GdsLibrary& library) {
  NameTable names;
  SummaryList structures;
  summarizeLibrary(library, names, structures);
  return findRootStructures(structures, names);
}

std::vector<uint32_t> findRootStructures(const SummaryList& structures, const NameTable& names) {
  printLine("Finding the root structures.");
  // By name rather than by target: a library built in code may hold structures its index does
  // not designate, and a second structure of a name is no root when the name is placed.
  std::vector<uint8_t> referenced(names.size(), 0);
  for (const StructureSummary& structure : structures)
    for (const ChildReferences& child : structure.children)
      referenced[child.name] = 1;
  std::vector<uint32_t> roots;
  std::string line = "Root GDS structures: ";
  for (size_t p = 0; p < structures.size(); ++p) {
    if (referenced[structures[p].name]) continue;
    roots.push_back(static_cast<uint32_t>(p));
    line.append("  ").append(names.name(structures[p].name));
  }
  printLine(line);
  return roots;
}

}  // namespace tessel
