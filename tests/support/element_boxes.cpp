#include "support/element_boxes.h"

#include <algorithm>
#include <string>

#include "hierarchy/structure_summary.h"
#include "stream/console.h"

namespace tessel::testing {

namespace {

bool isUnboxed(const BoundingBox& box) {
  return box == BoundingBox{} || isEmptyBox(box);
}

void warnUnboxedSref() {
  printLine("Warning: Inaccuracy due to structures not being initialized.");
}
void warnUnboxedAref() {
  printLine("Warning: Structure being referenced for AREF does not have an initialized");
  printLine("bounding box. Therefore, bounding boxes of references will be inaccurate.");
  printLine("Calculate bounding boxes from the lowest level (unreferenced) upwards.");
}

// False when the reference names nothing and ends its list; true with `placed` set when it
// names a structure, and true with `placed` null when that structure is missing.
bool target(const GdsLibrary& library, const SharedString& name, const char* kind,
            ReportedNames* reported, const BoundingBox*& placed) {
  placed = nullptr;
  const int32_t position = resolveReference(library, name);
  if (position == kUnnamedStructure) {
    printLine("Error: reference to structure with no name.");
    printLine(std::string("Terminating ") + kind + " bounding box check.");
    return false;
  }
  if (position == kMissingStructure) {
    if (!reported || reported->insert(name.str()).second)
      printQuoted("Warning: Reference to missing structure ", name, ".");
    return true;
  }
  placed = &library.structures[static_cast<size_t>(position)].bbox;
  return true;
}

}  // namespace

BoundingBox elementByElementBox(const GdsLibrary& library, int32_t index, ReportedNames* reported) {
  const GdsStructure& structure = library.structures[static_cast<size_t>(index)];
  BoundingBox box{};
  bool set = addGeometry(structure, box, false);
  auto add = [&](const BoundingBox& part) {
    if (!set) {
      box = part;
      set = true;
      return;
    }
    box = {std::min(box[0], part[0]), std::min(box[1], part[1]), std::max(box[2], part[2]),
           std::max(box[3], part[3])};
  };
  const BoundingBox* placed = nullptr;
  for (const GdsSref& sref : structure.srefs) {
    if (!target(library, sref.name, "SREF", reported, placed)) break;
    if (!placed) continue;
    if (isUnboxed(*placed)) warnUnboxedSref();
    add(referenceBox(sref, *placed));
  }
  for (const GdsAref& aref : structure.arefs) {
    if (!target(library, aref.name, "AREF", reported, placed)) break;
    if (!placed || aref.columns <= 0 || aref.rows <= 0) continue;
    if (isUnboxed(*placed)) warnUnboxedAref();
    add(arrayBox(aref, *placed));
  }
  return set ? box : BoundingBox{};
}

}  // namespace tessel::testing
