#include "hierarchy/roots.h"

#include <string>
#include <string_view>
#include <unordered_set>

#include "model/flat_tables.h"
#include "stream/console.h"

namespace tessel {

std::vector<uint32_t> findRootStructures(const GdsLibrary& library) {
  printLine("Finding the root structures.");
  const size_t count = library.structures.size();
  // A structure is referenced when an SREF bears its name. Names read from one file share their
  // text, so each shared text is looked up once, through the index of structure names.
  std::vector<bool> referenced(count, false);
  HandleMap<bool> seen;
  for (const auto& structure : library.structures)
    for (const auto& sref : structure.srefs)
      if (seen.tryEmplace(sref.name.identity(), true).second) {
        const int32_t position = findStructure(library, sref.name);
        if (position >= 0) referenced[static_cast<size_t>(position)] = true;
      }
  // Structures the index does not designate (added without it, or sharing a name) are checked
  // by name.
  std::unordered_set<std::string_view> referencedNames;
  bool namesCollected = false;
  std::vector<uint32_t> roots;
  std::string line = "Root GDS structures: ";
  for (size_t p = 0; p < count; ++p) {
    const std::string& name = library.structures[p].name;
    bool isReferenced = referenced[p];
    if (findStructure(library, name) != static_cast<int32_t>(p)) {
      if (!namesCollected) {
        for (const auto& structure : library.structures)
          for (const auto& sref : structure.srefs)
            referencedNames.insert(sref.name.view());
        namesCollected = true;
      }
      isReferenced = referencedNames.count(name) != 0;
    }
    if (isReferenced) continue;
    roots.push_back(static_cast<uint32_t>(p));
    line.append("  ").append(name);
  }
  printLine(line);
  return roots;
}

}  // namespace tessel
