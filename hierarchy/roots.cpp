#include "hierarchy/roots.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>

#include "model/flat_tables.h"
#include "stream/console.h"
#include "stream/parallel.h"

namespace tessel {

std::vector<uint32_t> findRootStructures(const GdsLibrary& library) {
  printLine("Finding the root structures.");
  const size_t count = library.structures.size();
  // A structure is referenced when an SREF or an AREF bears its name. Names read from one file
  // share their text, so each shared text is looked up once, through the index of structure
  // names. Millions of references are scanned on every core, each thread with its own marks.
  size_t references = 0;
  for (const auto& structure : library.structures)
    references += structure.srefs.size() + structure.arefs.size();
  const unsigned threads = references < (size_t{1} << 16) ? 1 : workThreads();
  std::vector<std::vector<uint8_t>> marks(threads, std::vector<uint8_t>(count, 0));
  std::vector<HandleMap<bool>> seen(threads);
  parallelFor(count, std::max<size_t>(1, count / (64 * threads)), threads,
              [&](size_t p, unsigned thread) {
                auto mark = [&](const SharedString& name) {
                  if (!seen[thread].tryEmplace(name.identity(), true).second) return;
                  const int32_t position = findStructure(library, name);
                  if (position >= 0) marks[thread][static_cast<size_t>(position)] = 1;
                };
                for (const auto& sref : library.structures[p].srefs)
                  mark(sref.name);
                for (const auto& aref : library.structures[p].arefs)
                  mark(aref.name);
              });
  std::vector<bool> referenced(count, false);
  for (const auto& threadMarks : marks)
    for (size_t p = 0; p < count; ++p)
      if (threadMarks[p]) referenced[p] = true;
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
        for (const auto& structure : library.structures) {
          for (const auto& sref : structure.srefs)
            referencedNames.insert(sref.name.view());
          for (const auto& aref : structure.arefs)
            referencedNames.insert(aref.name.view());
        }
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

std::vector<uint32_t> findRootStructures(const SummaryList& structures, const NameTable& names) {
  printLine("Finding the root structures.");
  std::vector<uint8_t> referenced(structures.size(), 0);
  for (const StructureSummary& structure : structures)
    for (const ChildReferences& child : structure.children)
      if (child.target >= 0) referenced[static_cast<size_t>(child.target)] = 1;
  std::vector<uint32_t> roots;
  std::string line = "Root GDS structures: ";
  for (size_t p = 0; p < structures.size(); ++p) {
    if (referenced[p]) continue;
    roots.push_back(static_cast<uint32_t>(p));
    line.append("  ").append(names.name(structures[p].name));
  }
  printLine(line);
  return roots;
}

}  // namespace tessel
