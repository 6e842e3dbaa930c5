// Levels and bounding boxes of every structure, through the reference hierarchy.
#pragma once

#include <array>
#include <string>
#include <unordered_set>
#include <vector>

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
// name when `reported` is given, at every meeting otherwise. Returns 0.
int computeStructureBox(const GdsLibrary& library, int32_t index, BoundingBox& box,
                        ReportedNames* reported = nullptr);

// True when `names` holds `name` (same bytes).
bool containsName(const std::string& name, const std::vector<std::string>& names);

// Smallest and largest x and y of the points; false (box untouched) when there are none.
bool pointListBox(const Coordinates& xCor, const Coordinates& yCor, BoundingBox& box);

// Turns (x, y) about the centre by `degrees` counter-clockwise and rounds both to whole numbers.
void rotatePoint(std::array<double, 2>& point, double centreX, double centreY, double degrees);

}  // namespace tessel
