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
  size_t lineSize = 0;
  for (size_t p = 0; p < structures.size(); ++p) {
    if (referenced[structures[p].name]) continue;
    roots.push_back(static_cast<uint32_t>(p));
    lineSize += 2 + names.name(structures[p].name).size();
  }
  // A library of a million roots makes a line of many megabytes: it is made at its size once.
  std::string line = "Root GDS structures: ";
  line.reserve(line.size() + lineSize);
  for (const uint32_t p : roots)
    line.append("  ").append(names.name(structures[p].name));
  printLine(line);
  return roots;
}

}  // namespace tessel
