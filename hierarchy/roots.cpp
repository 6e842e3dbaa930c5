#include "hierarchy/roots.h"

#include <string>
#include <string_view>
#include <unordered_set>

#include "stream/console.h"

namespace tessel {

std::vector<uint32_t> findRootStructures(const GdsLibrary& library) {
  printLine("Finding the root structures.");
  // Names read from one file share their text: look each shared text up once.
  std::unordered_set<const void*> seenHandles;
  std::unordered_set<std::string_view> referenced;
  for (const auto& structure : library.structures)
    for (const auto& sref : structure.srefs)
      if (seenHandles.insert(sref.name.identity()).second) referenced.insert(sref.name.view());
  std::vector<uint32_t> roots;
  std::string line = "Root GDS structures: ";
  for (size_t p = 0; p < library.structures.size(); ++p) {
    const std::string& name = library.structures[p].name;
    if (referenced.count(name)) continue;
    roots.push_back(static_cast<uint32_t>(p));
    line.append("  ").append(name);
  }
  printLine(line);
  return roots;
}

}  // namespace tessel
