// Levels and bounding boxes of every structure, through the reference hierarchy.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "hierarchy/structure_summary.h"
#include "model/library.h"

namespace tessel {

// Orders the structures by their height in the reference hierarchy, sets every structure's
// `level` and `bbox` and raises the library's `maxLevel`. Structures in or above a reference
// cycle are reported and boxed last, at level 0. Returns 0.
int computeBoundingBoxes(GdsLibrary& library);

// Names already reported as missing during one run of the calculation.
using ReportedNames = std::unordered_set<std::string>;

// The box of structure `index` from its own geometry and the current boxes of the structures
// it references. A reference to a missing structure counts nothing; it is reported once per
// name, in this structure or, when `reported` is given, in all that share it. Returns 0.
int computeStructureBox(const GdsLibrary& library, int32_t index, BoundingBox& box,
                        ReportedNames* reported = nullptr);

// The box that a reference gives the structure it names, whose own box is `placed`: by the
// placement formula, or with `exact` by its exact placement (HierarchyBoxes::exact says how the
// two differ).
BoundingBox referenceBox(const GdsSref& sref, const BoundingBox& placed, bool exact = false);
// The same for an array of at least one column and one row.
BoundingBox arrayBox(const GdsAref& aref, const BoundingBox& placed, bool exact = false);

// The calculation for summarised structures, whose elements need not be held: every
// child's `target` is set. A structure whose details were let go, or whose lines depend on the
// order of its references (a missing or nameless child among them) without it kept, is summed
// up again, with that order, by `details`.
using SummaryDetails = std::function<void(size_t structure, StructureSummary& full)>;
struct HierarchyBoxes {
  std::vector<uint32_t> levels;
  std::vector<BoundingBox> boxes;
  uint32_t maxLevel = 0;
  // Boxes by each reference's exact placement, as the structure report gives them: an array's
  // elements where its lattice puts them, reflected and magnified, and any turn, negative or
  // not a quarter turn, applied to all four corners. Otherwise the boxes follow the placement
  // formula the root and diagram passes have always used, which takes only an array's extent
  // from its first element and turns two corners of a box. A structure with nothing in it
  // then has kEmptyBox, not a box of all zeros, and adds nothing where it is placed.
  bool exact = false;
};

// The exact rules' box of nothing: its low corner above its high one.
inline constexpr BoundingBox kEmptyBox = {1, 1, 0, 0};
inline bool isEmptyBox(const BoundingBox& box) {
  return box[0] > box[2];
}
void computeHierarchyBoxes(const SummaryList& structures, const NameTable& names,
                           const SummaryDetails& details, HierarchyBoxes& result);

// Settles a structure whose children are all settled (their targets set, their boxes final in
// `boxes`): its box and the counts of its lines are worked out now and its details let go.
void settleStructure(StructureSummary& structure, const std::vector<BoundingBox>& boxes,
                     bool exact = false);

// True when `names` holds `name` (same bytes).
bool containsName(const std::string& name, const std::vector<std::string>& names);

// Smallest and largest x and y of the points; false (box untouched) when there are none.
bool pointListBox(const Coordinates& xCor, const Coordinates& yCor, BoundingBox& box);

// Widens `box` (unset while `set` is false) by the boundaries, boxes and paths of `structure`;
// returns whether the box is set afterwards.
bool addGeometry(const GdsStructure& structure, BoundingBox& box, bool set);

// Turns (x, y) about the centre by `degrees` counter-clockwise and rounds both to whole numbers.
void rotatePoint(std::array<double, 2>& point, double centreX, double centreY, double degrees);

// An angle truncated to whole degrees, as the boxes use it.
int32_t wholeDegrees(double angle);

}  // namespace tessel
