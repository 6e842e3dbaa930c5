#include "hierarchy/bounding_box.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "model/flat_tables.h"
#include "stream/console.h"

namespace tessel {

namespace {

constexpr double kPi = 3.141592653589;  // the value the boxes have always been computed with
constexpr int32_t kMissing = kMissingStructure;
constexpr int32_t kUnnamed = kUnnamedStructure;

int32_t toInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// toInt32(std::round(value)) without the library call: halves go away from zero.
int32_t roundToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  int64_t whole = static_cast<int64_t>(value);                 // toward zero
  const double fraction = value - static_cast<double>(whole);  // exact
  if (fraction >= 0.5)
    ++whole;
  else if (fraction <= -0.5)
    --whole;
  return static_cast<int32_t>(whole);
}

int32_t saturate(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

struct RunningBox {
  BoundingBox box{};
  bool set = false;

  void add(const BoundingBox& contribution) {
    if (!set) {
      box = contribution;
      set = true;
      return;
    }
    box[0] = std::min(box[0], contribution[0]);
    box[1] = std::min(box[1], contribution[1]);
    box[2] = std::max(box[2], contribution[2]);
    box[3] = std::max(box[3], contribution[3]);
  }
};

void reportMissing(std::string_view name, ReportedNames* reported) {
  if (reported && !reported->insert(std::string(name)).second) return;
  printQuoted("Warning: Reference to missing structure ", name, ".");
}

// A box of all zeros, what the placement formula gives a structure with nothing in it, or the
// empty box the exact rules give it: the references to it get the lines about unboxed
// structures.
bool isUnboxed(const BoundingBox& box) {
  return (box[0] == 0 && box[1] == 0 && box[2] == 0 && box[3] == 0) || isEmptyBox(box);
}

// cos and sin of every whole number of degrees below 360, worked out once.
struct Turn {
  double c;
  double s;
};
const std::array<Turn, 360>& turnTable() {
  static const std::array<Turn, 360> table = [] {
    std::array<Turn, 360> turns{};
    for (int32_t degrees = 0; degrees < 360; ++degrees) {
      const double theta = degrees * kPi / 180;
      turns[static_cast<size_t>(degrees)] = {std::cos(theta), std::sin(theta)};
    }
    return turns;
  }();
  return table;
}

// An unscaled reference turned by whole quarter turns, or not at all, worked out in integers.
// The table's cosine and sine of 90, 180 and 270 degrees are 0 and 1 in size to within 2e-12,
// so the general formula lands within a hundredth of these integers and rounds onto them.
BoundingBox quarterTurnContribution(const GdsSref& sref, const BoundingBox& placed, int32_t turn) {
  const int64_t lowX = placed[0];
  const int64_t highX = placed[2];
  int64_t lowY = placed[1];
  int64_t highY = placed[3];
  if (sref.reflection) {
    lowY = saturate(-static_cast<int64_t>(placed[3]));
    highY = saturate(-static_cast<int64_t>(placed[1]));
  }
  int64_t x1 = lowX, y1 = lowY, x2 = highX, y2 = highY;
  if (turn > 0) {
    switch (turn % 360) {
      case 90:
        x1 = -lowY, y1 = lowX, x2 = -highY, y2 = highX;
        break;
      case 180:
        x1 = -lowX, y1 = -lowY, x2 = -highX, y2 = -highY;
        break;
      case 270:
        x1 = lowY, y1 = -lowX, x2 = highY, y2 = -highX;
        break;
      default:
        break;
    }
    // A turned box is put in order again, as the general formula does.
    const int64_t left = std::min(x1, x2), right = std::max(x1, x2);
    const int64_t bottom = std::min(y1, y2), top = std::max(y1, y2);
    x1 = left, x2 = right, y1 = bottom, y2 = top;
  }
  return {saturate(int64_t{saturate(x1)} + sref.xCor), saturate(int64_t{saturate(y1)} + sref.yCor),
          saturate(int64_t{saturate(x2)} + sref.xCor), saturate(int64_t{saturate(y2)} + sref.yCor)};
}

// With `exact`, a turn the other way round (-90) is the rest of a whole turn (270), and a turn
// that is no quarter turn turns all four corners of the box, not two.
BoundingBox srefContribution(const GdsSref& sref, const BoundingBox& placed,
                             const std::array<Turn, 360>& turns, bool exact = false) {
  const int32_t degrees = exact ? (toInt32(sref.angle) % 360 + 360) % 360 : toInt32(sref.angle);
  if (sref.scale == 1.0 && (degrees <= 0 || degrees % 90 == 0))
    return quarterTurnContribution(sref, placed, degrees);
  double lowX = placed[0];
  double highX = placed[2];
  double lowY = placed[1];
  double highY = placed[3];
  if (sref.reflection) {  // reflection about the x axis
    lowY = saturate(-static_cast<int64_t>(placed[3]));
    highY = saturate(-static_cast<int64_t>(placed[1]));
  }
  if (sref.scale != 1.0) {
    lowX *= sref.scale;
    highX *= sref.scale;
    lowY *= sref.scale;
    highY *= sref.scale;
  }
  const int32_t turn = degrees;
  if (turn > 0) {
    const Turn& rotation = turns[static_cast<size_t>(turn % 360)];
    const double c = rotation.c;
    const double s = rotation.s;
    const double x1 = lowX * c - lowY * s;
    const double y1 = lowX * s + lowY * c;
    const double x2 = highX * c - highY * s;
    const double y2 = highX * s + highY * c;
    if (exact) {
      const double x3 = lowX * c - highY * s;
      const double y3 = lowX * s + highY * c;
      const double x4 = highX * c - lowY * s;
      const double y4 = highX * s + lowY * c;
      lowX = std::min({x1, x2, x3, x4});
      highX = std::max({x1, x2, x3, x4});
      lowY = std::min({y1, y2, y3, y4});
      highY = std::max({y1, y2, y3, y4});
    } else {
      lowX = std::min(x1, x2);
      highX = std::max(x1, x2);
      lowY = std::min(y1, y2);
      highY = std::max(y1, y2);
    }
  }
  return {saturate(int64_t{roundToInt32(lowX)} + sref.xCor),
          saturate(int64_t{roundToInt32(lowY)} + sref.yCor),
          saturate(int64_t{roundToInt32(highX)} + sref.xCor),
          saturate(int64_t{roundToInt32(highY)} + sref.yCor)};
}

BoundingBox arefContribution(const GdsAref& aref, const BoundingBox& placed) {
  const int32_t turn = toInt32(aref.angle);
  const double x1 = aref.xy[0];
  const double y1 = aref.xy[1];
  std::array<double, 2> columnPoint{static_cast<double>(aref.xy[2]),
                                    static_cast<double>(aref.xy[3])};
  std::array<double, 2> rowPoint{static_cast<double>(aref.xy[4]), static_cast<double>(aref.xy[5])};
  rotatePoint(columnPoint, x1, y1, -static_cast<double>(turn));
  rotatePoint(rowPoint, x1, y1, -static_cast<double>(turn));
  const double cx = columnPoint[0];
  const double ry = rowPoint[1];
  const double columnPitch = (cx - x1) / aref.columns;
  const double rowPitch = (ry - y1) / aref.rows;
  const int32_t width = saturate(int64_t{placed[2]} - placed[0]);
  const int32_t height = saturate(int64_t{placed[3]} - placed[1]);
  const double xe = (cx - columnPitch) + width;
  const double ye = (ry - rowPitch) + height;
  std::array<std::array<double, 2>, 4> corners = {{{x1, y1}, {xe, y1}, {xe, ye}, {x1, ye}}};
  double lowX = 0, lowY = 0, highX = 0, highY = 0;
  for (size_t i = 0; i < corners.size(); ++i) {
    rotatePoint(corners[i], x1, y1, turn);
    if (i == 0 || corners[i][0] < lowX) lowX = corners[i][0];
    if (i == 0 || corners[i][0] > highX) highX = corners[i][0];
    if (i == 0 || corners[i][1] < lowY) lowY = corners[i][1];
    if (i == 0 || corners[i][1] > highY) highY = corners[i][1];
  }
  return {toInt32(lowX), toInt32(lowY), toInt32(highX), toInt32(highY)};
}

// Every element of an array is the structure placed as an SREF with the array's transform
// would place it, at one point of the lattice its columns and rows span: the box of the whole
// array is that of the elements at the lattice's four corners.
BoundingBox exactArefContribution(const GdsAref& aref, const BoundingBox& placed,
                                  const std::array<Turn, 360>& turns) {
  const double originX = aref.xy[0];
  const double originY = aref.xy[1];
  const double columnX = (aref.xy[2] - originX) / aref.columns;
  const double columnY = (aref.xy[3] - originY) / aref.columns;
  const double rowX = (aref.xy[4] - originX) / aref.rows;
  const double rowY = (aref.xy[5] - originY) / aref.rows;
  GdsSref element;
  element.reflection = aref.reflection;
  element.scale = aref.scale;
  element.angle = aref.angle;
  RunningBox running;
  for (const int32_t column : {0, aref.columns - 1})
    for (const int32_t row : {0, aref.rows - 1}) {
      element.xCor = roundToInt32(originX + column * columnX + row * rowX);
      element.yCor = roundToInt32(originY + column * columnY + row * rowY);
      running.add(srefContribution(element, placed, turns, true));
    }
  return running.box;
}

// The lines about a reference to an unboxed or empty structure.
void warnUninitialisedSref() {
  printLine("Warning: Inaccuracy due to structures not being initialized.");
}
void warnUninitialisedAref() {
  printLine("Warning: Structure being referenced for AREF does not have an initialized");
  printLine("bounding box. Therefore, bounding boxes of references will be inaccurate.");
  printLine("Calculate bounding boxes from the lowest level (unreferenced) upwards.");
}
void reportUnnamed(const char* kind) {
  printLine("Error: reference to structure with no name.");
  printLine(std::string("Terminating ") + kind + " bounding box check.");
}

// Whether the lines of a structure's references depend on their order: only when a missing or
// nameless child stands beside another child. Otherwise the counts say it all.
bool linesNeedOrder(const StructureSummary& structure) {
  if (structure.children.size() < 2) return false;
  for (const ChildReferences& child : structure.children)
    if (child.target < 0) return true;
  return false;
}

// The lines of one summarised structure's references, which the element-by-element calculation
// prints as it meets them: from the order of its references when it matters, else from the
// counts (the warnings about unboxed children are alike, and a lone child's lines follow from
// its counts).
void summaryLines(const StructureSummary& structure, const ReferenceDetails* details,
                  const std::vector<BoundingBox>& boxes, const NameTable& names,
                  ReportedNames& reported) {
  const std::vector<ChildReferences>& children = structure.children;
  // The lines of `unboxedWarnings` references of one kind to one child; false when the child is
  // the nameless mark, which ends the list.
  auto childLines = [&](const ChildReferences& child, const char* kind, uint64_t unboxedWarnings,
                        void (*warnUnboxed)()) {
    if (child.target == kUnnamed) {
      reportUnnamed(kind);
      return false;
    }
    if (child.target == kMissing)
      reportMissing(names.name(child.name), &reported);
    else if (isUnboxed(boxes[static_cast<size_t>(child.target)]))
      for (uint64_t i = 0; i < unboxedWarnings; ++i)
        warnUnboxed();
    return true;
  };
  if (!linesNeedOrder(structure)) {
    for (const ChildReferences& child : children)
      if (child.srefs > 0 && !childLines(child, "SREF", child.srefs, warnUninitialisedSref)) break;
    for (const ChildReferences& child : children)
      if (child.arefs > 0 && !childLines(child, "AREF", child.validArefs, warnUninitialisedAref))
        break;
    return;
  }
  const ReferenceOrder& order = *details->order;
  for (uint32_t c : order.srefs)
    if (!childLines(children[c], "SREF", 1, warnUninitialisedSref)) break;
  for (size_t i = 0; i < order.arefs.size(); ++i)
    if (!childLines(children[order.arefs[i]], "AREF", order.arefValid[i] ? 1 : 0,
                    warnUninitialisedAref))
      break;
}

// The box of one summarised structure. The SREFs of one child and transform contribute the
// contribution of their lowest reference point joined with that of their highest: a
// contribution only moves with its point, and rounding and the limits of the range keep the
// order of the points.
BoundingBox summaryBox(const StructureSummary& structure, const ReferenceDetails& details,
                       const std::vector<BoundingBox>& boxes, bool exact) {
  RunningBox running;
  if (structure.hasGeometry) running.add(structure.ownBox);
  // A reference to the nameless mark ends the list it stands in.
  const bool emptyNameUnnamed =
      structure.emptyNameChild >= 0 &&
      structure.children[static_cast<size_t>(structure.emptyNameChild)].target == kUnnamed;
  const std::array<Turn, 360>& turns = turnTable();
  for (const SrefGroup& group : details.srefGroups) {
    const int32_t target = structure.children[group.child].target;
    if (target < 0 || (emptyNameUnnamed && group.afterEmptyName)) continue;
    GdsSref reference;
    reference.reflection = group.reflection;
    reference.scale = group.scale;
    reference.angle = group.degrees;
    const BoundingBox& placed = boxes[static_cast<size_t>(target)];
    if (exact && isEmptyBox(placed)) continue;  // nothing to place
    reference.xCor = group.minX;
    reference.yCor = group.minY;
    const BoundingBox low = srefContribution(reference, placed, turns, exact);
    reference.xCor = group.maxX;
    reference.yCor = group.maxY;
    const BoundingBox high = srefContribution(reference, placed, turns, exact);
    running.add({low[0], low[1], high[2], high[3]});
  }
  for (const ArefPlacement& placement : details.arefs) {
    const int32_t target = structure.children[placement.child].target;
    if (target < 0 || (emptyNameUnnamed && placement.afterEmptyName)) continue;
    if (placement.columns <= 0 || placement.rows <= 0) continue;
    GdsAref array;
    array.angle = placement.degrees;
    array.reflection = placement.reflection;
    array.scale = placement.scale;
    array.columns = placement.columns;
    array.rows = placement.rows;
    array.xy = placement.xy;
    const BoundingBox& placed = boxes[static_cast<size_t>(target)];
    if (exact && isEmptyBox(placed)) continue;
    running.add(exact ? exactArefContribution(array, placed, turns)
                      : arefContribution(array, placed));
  }
  if (running.set) return running.box;
  return exact ? kEmptyBox : BoundingBox{};
}

}  // namespace

bool containsName(const std::string& name, const std::vector<std::string>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool pointListBox(const Coordinates& xCor, const Coordinates& yCor, BoundingBox& box) {
  const size_t count = std::min(xCor.size(), yCor.size());
  if (count == 0) return false;
  auto [minX, maxX] = std::minmax_element(xCor.begin(), xCor.begin() + static_cast<long>(count));
  auto [minY, maxY] = std::minmax_element(yCor.begin(), yCor.begin() + static_cast<long>(count));
  box = {*minX, *minY, *maxX, *maxY};
  return true;
}

bool addGeometry(const GdsStructure& structure, BoundingBox& box, bool set) {
  RunningBox running{box, set};
  BoundingBox contribution;
  for (const auto& boundary : structure.boundaries)
    if (pointListBox(boundary.xCor, boundary.yCor, contribution)) running.add(contribution);
  for (const auto& element : structure.boxes)
    if (pointListBox(element.xCor, element.yCor, contribution)) running.add(contribution);
  for (const auto& path : structure.paths) {
    if (!pointListBox(path.xCor, path.yCor, contribution)) continue;
    const int64_t half = roundToInt32(static_cast<double>(path.width) * 0.5);
    running.add({saturate(contribution[0] - half), saturate(contribution[1] - half),
                 saturate(contribution[2] + half), saturate(contribution[3] + half)});
  }
  box = running.box;
  return running.set;
}

void rotatePoint(std::array<double, 2>& point, double centreX, double centreY, double degrees) {
  const double theta = degrees * kPi / 180;
  const double dx = point[0] - centreX;
  const double dy = point[1] - centreY;
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  point[0] = std::round(dx * c - dy * s + centreX);
  point[1] = std::round(dx * s + dy * c + centreY);
}

BoundingBox referenceBox(const GdsSref& sref, const BoundingBox& placed, bool exact) {
  return srefContribution(sref, placed, turnTable(), exact);
}

BoundingBox arrayBox(const GdsAref& aref, const BoundingBox& placed, bool exact) {
  return exact ? exactArefContribution(aref, placed, turnTable()) : arefContribution(aref, placed);
}

int32_t wholeDegrees(double angle) {
  return toInt32(angle);
}

int computeStructureBox(const GdsLibrary& library, int32_t index, BoundingBox& box,
                        ReportedNames* reported) {
  const GdsStructure& structure = library.structures[static_cast<size_t>(index)];
  NameTable names;
  StructureSummarizer summarizer(names);
  summarizer.begin(true);
  summarizer.add(structure);
  StructureSummary summary;
  summarizer.finish(structure, summary);
  // The children's current boxes, each child pointing at its own.
  std::vector<BoundingBox> childBoxes;
  for (ChildReferences& child : summary.children) {
    child.target = resolveReference(library, names.name(child.name));
    if (child.target < 0) continue;
    childBoxes.push_back(library.structures[static_cast<size_t>(child.target)].bbox);
    child.target = static_cast<int32_t>(childBoxes.size() - 1);
  }
  ReportedNames once;
  summaryLines(summary, summary.details.get(), childBoxes, names, reported ? *reported : once);
  box = summaryBox(summary, *summary.details, childBoxes, false);
  return 0;
}

void settleStructure(StructureSummary& structure, const std::vector<BoundingBox>& boxes,
                     bool exact) {
  structure.box = summaryBox(structure, *structure.details, boxes, exact);
  for (const ChildReferences& child : structure.children) {
    if (!isUnboxed(boxes[static_cast<size_t>(child.target)])) continue;
    structure.unboxedSrefs += child.srefs;
    structure.unboxedArefs += child.validArefs;
  }
  structure.settled = true;
  structure.details.reset();
}

void computeHierarchyBoxes(const SummaryList& structures, const NameTable& names,
                           const SummaryDetails& details, HierarchyBoxes& result) {
  const size_t count = structures.size();
  result.levels.assign(count, 0);
  // Boxes given beforehand are the current ones, which a structure in a cycle meets.
  if (result.boxes.size() != count) result.boxes.assign(count, BoundingBox{});
  if (count == 0) return;

  // Height: 0 without references, else one more than the highest structure referenced (at
  // least 1). Worked out from the leaves upwards, so deep chains need no recursion. References
  // to missing structures do not hold a structure back.
  std::vector<uint32_t> height(count, 0);
  std::vector<uint32_t> waitingFor(count, 0);
  std::vector<size_t> dependentStart(count + 1, 0);
  std::vector<uint32_t> seenBy(count, 0);  // seenBy[q] == p + 1 once p was found to reference q
  bool anyReferences = false;
  auto distinctTargets = [&](size_t p, auto&& each) {
    for (const ChildReferences& child : structures[p].children) {
      if (child.target < 0) continue;
      const auto q = static_cast<size_t>(child.target);
      if (seenBy[q] == p + 1) continue;
      seenBy[q] = static_cast<uint32_t>(p + 1);
      each(q);
    }
  };
  for (size_t p = 0; p < count; ++p) {
    if (structures[p].hasReferences) {
      height[p] = 1;
      anyReferences = true;
    }
    distinctTargets(p, [&](size_t q) {
      ++waitingFor[p];
      ++dependentStart[q + 1];
    });
  }
  for (size_t q = 0; q < count; ++q)
    dependentStart[q + 1] += dependentStart[q];
  std::vector<uint32_t> dependents(dependentStart[count]);
  {
    std::fill(seenBy.begin(), seenBy.end(), 0);
    std::vector<size_t> fill(dependentStart.begin(), dependentStart.end() - 1);
    for (size_t p = 0; p < count; ++p)
      distinctTargets(p, [&](size_t q) { dependents[fill[q]++] = static_cast<uint32_t>(p); });
  }
  std::vector<uint32_t> ready;
  ready.reserve(count);
  for (size_t p = 0; p < count; ++p)
    if (waitingFor[p] == 0) ready.push_back(static_cast<uint32_t>(p));
  for (size_t next = 0; next < ready.size(); ++next) {
    const uint32_t q = ready[next];
    for (size_t i = dependentStart[q]; i < dependentStart[q + 1]; ++i) {
      const uint32_t p = dependents[i];
      height[p] = std::max(height[p], height[q] + 1);
      if (--waitingFor[p] == 0) ready.push_back(p);
    }
  }

  uint32_t topHeight = anyReferences ? 1 : 0;
  for (uint32_t p : ready)
    topHeight = std::max(topHeight, height[p]);

  // Box order: by height, library order within a height; the unorderable last.
  std::vector<size_t> heightStart(topHeight + 2, 0);
  for (uint32_t p : ready)
    ++heightStart[height[p] + 1];
  for (uint32_t h = 0; h <= topHeight; ++h)
    heightStart[h + 1] += heightStart[h];
  std::vector<uint32_t> order(count);
  std::vector<size_t> fill(heightStart.begin(), heightStart.end() - 1);
  size_t cyclicFill = ready.size();
  for (size_t p = 0; p < count; ++p) {
    if (waitingFor[p] == 0) {
      order[fill[height[p]]++] = static_cast<uint32_t>(p);
    } else {
      printQuoted("Warning: Structure ", names.name(structures[p].name),
                  " is in or above a reference cycle.");
      height[p] = topHeight;
      order[cyclicFill++] = static_cast<uint32_t>(p);
    }
  }

  ReportedNames reported;
  StructureSummary fetched;
  for (const uint32_t p : order) {
    result.levels[p] = topHeight - height[p];
    result.maxLevel = std::max(result.maxLevel, result.levels[p]);
    const StructureSummary& structure = structures[p];
    if (structure.settled) {
      for (uint64_t i = 0; i < structure.unboxedSrefs; ++i)
        warnUninitialisedSref();
      for (uint64_t i = 0; i < structure.unboxedArefs; ++i)
        warnUninitialisedAref();
      result.boxes[p] = structure.box;
      continue;
    }
    const ReferenceDetails* kept = structure.details.get();
    if (!kept || (linesNeedOrder(structure) && !kept->order)) {
      // Summed up again from the same records: the same children, in the same order.
      fetched = StructureSummary();
      details(p, fetched);
      kept = fetched.details.get();
    }
    summaryLines(structure, kept, result.boxes, names, reported);
    result.boxes[p] = summaryBox(structure, *kept, result.boxes, result.exact);
  }
}

int computeBoundingBoxes(GdsLibrary& library) {
  const size_t count = library.structures.size();
  if (count == 0) return 0;
  NameTable names;
  SummaryList summaries;
  summarizeLibrary(library, names, summaries);
  HierarchyBoxes boxes;
  for (const GdsStructure& structure : library.structures)
    boxes.boxes.push_back(structure.bbox);
  StructureSummarizer summarizer(names);
  computeHierarchyBoxes(
      summaries, names,
      [&](size_t p, StructureSummary& full) {
        summarizer.begin(true);
        summarizer.add(library.structures[p]);
        summarizer.finish(library.structures[p], full);
      },
      boxes);
  for (size_t p = 0; p < count; ++p) {
    library.structures[p].level = boxes.levels[p];
    library.structures[p].bbox = boxes.boxes[p];
  }
  library.maxLevel = std::max(library.maxLevel, boxes.maxLevel);
  return 0;
}

}  // namespace tessel
