#include "hierarchy/bounding_box.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_map>

#include "model/flat_tables.h"
#include "stream/console.h"
#include "stream/parallel.h"

namespace tessel {

namespace {

constexpr double kPi = 3.141592653589;  // the value the boxes have always been computed with
constexpr int32_t kMissing = -1;
constexpr int32_t kUnnamed = -2;

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

// Where a reference leads: a position in `structures`, kUnnamed or kMissing.
int32_t resolveReference(const GdsLibrary& library, std::string_view name) {
  auto it = library.structureIndex.find(name);
  if (it == library.structureIndex.end()) return kMissing;
  if (it->second == kUnnamedStructurePosition) return kUnnamed;
  if (it->second < 0 || static_cast<size_t>(it->second) >= library.structures.size())
    return kMissing;
  return it->second;
}

void reportMissing(std::string_view name, ReportedNames* reported) {
  if (reported && !reported->insert(std::string(name)).second) return;
  printQuoted("Warning: Reference to missing structure ", name, ".");
}

bool isZero(const BoundingBox& box) {
  return box[0] == 0 && box[1] == 0 && box[2] == 0 && box[3] == 0;
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

BoundingBox srefContribution(const GdsSref& sref, const BoundingBox& placed,
                             const std::array<Turn, 360>& turns) {
  const int32_t degrees = toInt32(sref.angle);
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
    lowX = std::min(x1, x2);
    highX = std::max(x1, x2);
    lowY = std::min(y1, y2);
    highY = std::max(y1, y2);
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

// The box of one structure; `target(i)` gives where reference i leads (SREFs first, then AREFs).
// A `quiet` gathering prints nothing: it gives up, returning false, where a line would be due.
template <class Target>
bool gatherBox(const GdsLibrary& library, int32_t index, BoundingBox& box, Target&& target,
               ReportedNames* reported, bool quiet = false) {
  const GdsStructure& structure = library.structures[static_cast<size_t>(index)];
  RunningBox running;
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
  size_t ordinal = 0;
  const std::array<Turn, 360>& turns = turnTable();
  for (const auto& sref : structure.srefs) {
    const int32_t position = target(ordinal++, sref.name);
    if (quiet && (position < 0 || isZero(library.structures[static_cast<size_t>(position)].bbox)))
      return false;
    if (position == kUnnamed) {
      printLine("Error: reference to structure with no name.");
      printLine("Terminating SREF bounding box check.");
      break;
    }
    if (position == kMissing) {
      reportMissing(sref.name, reported);
      continue;
    }
    const BoundingBox& placed = library.structures[static_cast<size_t>(position)].bbox;
    if (isZero(placed)) printLine("Warning: Inaccuracy due to structures not being initialized.");
    running.add(srefContribution(sref, placed, turns));
  }
  ordinal = structure.srefs.size();
  for (const auto& aref : structure.arefs) {
    const int32_t position = target(ordinal++, aref.name);
    if (quiet && position < 0) return false;
    if (position == kUnnamed) {
      printLine("Error: reference to structure with no name.");
      printLine("Terminating AREF bounding box check.");
      break;
    }
    if (position == kMissing) {
      reportMissing(aref.name, reported);
      continue;
    }
    if (aref.columns <= 0 || aref.rows <= 0) continue;
    const BoundingBox& placed = library.structures[static_cast<size_t>(position)].bbox;
    if (isZero(placed)) {
      if (quiet) return false;
      printLine("Warning: Structure being referenced for AREF does not have an initialized");
      printLine("bounding box. Therefore, bounding boxes of references will be inaccurate.");
      printLine("Calculate bounding boxes from the lowest level (unreferenced) upwards.");
    }
    running.add(arefContribution(aref, placed));
  }
  box = running.set ? running.box : BoundingBox{};
  return true;
}

// Every structure's references resolved once: targets[offsets[p] + i] for reference i of
// structure p (SREFs first, then AREFs).
// The structures each one references, once each, are distinct[offsets[p] + k] for k below
// distinctCount[p]: the order of the calculation only needs those, not every reference.
struct ResolvedReferences {
  std::vector<size_t> offsets;
  std::vector<int32_t> targets;
  // Left uninitialised: only the first few places of each structure's range are written, so
  // most of its pages are never touched.
  std::unique_ptr<uint32_t[]> distinct;
  std::vector<uint32_t> distinctCount;
};

// Work below this many elements and references is not worth a thread.
constexpr size_t kParallelWork = size_t{1} << 15;

size_t workOf(const GdsStructure& structure) {
  return structure.boundaries.size() + structure.paths.size() + structure.boxes.size() +
         structure.srefs.size() + structure.arefs.size() + 1;
}

ResolvedReferences resolveAll(const GdsLibrary& library) {
  ResolvedReferences resolved;
  const size_t count = library.structures.size();
  resolved.offsets.resize(count + 1);
  size_t total = 0;
  for (size_t p = 0; p < count; ++p) {
    resolved.offsets[p] = total;
    total += library.structures[p].srefs.size() + library.structures[p].arefs.size();
  }
  resolved.offsets[count] = total;
  resolved.targets.resize(total);
  resolved.distinct = std::make_unique_for_overwrite<uint32_t[]>(total);
  resolved.distinctCount.resize(count);
  const unsigned threads = total < kParallelWork ? 1 : workThreads();
  // Names read from one file share their text, so most lookups hit this cache by handle.
  std::vector<HandleMap<int32_t>> byHandle(threads);
  // seenBy[thread][q] == p + 1 once structure p was found to reference q.
  std::vector<std::vector<uint32_t>> seenBy(threads, std::vector<uint32_t>(count, 0));
  parallelFor(count, std::max<size_t>(1, count / (64 * threads)), threads,
              [&](size_t p, unsigned thread) {
                const size_t first = resolved.offsets[p];
                size_t next = first;
                uint32_t distinct = 0;
                auto resolve = [&](const SharedString& name) {
                  auto [target, inserted] = byHandle[thread].tryEmplace(name.identity(), 0);
                  if (inserted) *target = resolveReference(library, name);
                  resolved.targets[next++] = *target;
                  if (*target < 0) return;
                  uint32_t& seen = seenBy[thread][static_cast<size_t>(*target)];
                  if (seen == p + 1) return;
                  seen = static_cast<uint32_t>(p + 1);
                  resolved.distinct[first + distinct++] = static_cast<uint32_t>(*target);
                };
                for (const auto& sref : library.structures[p].srefs)
                  resolve(sref.name);
                for (const auto& aref : library.structures[p].arefs)
                  resolve(aref.name);
                resolved.distinctCount[p] = distinct;
              });
  return resolved;
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

void rotatePoint(std::array<double, 2>& point, double centreX, double centreY, double degrees) {
  const double theta = degrees * kPi / 180;
  const double dx = point[0] - centreX;
  const double dy = point[1] - centreY;
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  point[0] = std::round(dx * c - dy * s + centreX);
  point[1] = std::round(dx * s + dy * c + centreY);
}

int computeStructureBox(const GdsLibrary& library, int32_t index, BoundingBox& box,
                        ReportedNames* reported) {
  gatherBox(
      library, index, box,
      [&](size_t, const SharedString& name) { return resolveReference(library, name); }, reported);
  return 0;
}

int computeBoundingBoxes(GdsLibrary& library) {
  const size_t count = library.structures.size();
  if (count == 0) return 0;
  const ResolvedReferences resolved = resolveAll(library);

  // Height: 0 without references, else one more than the highest structure referenced (at
  // least 1). Worked out from the leaves upwards, so deep chains need no recursion. References
  // to missing structures do not hold a structure back.
  std::vector<uint32_t> height(count, 0);
  std::vector<uint32_t> waitingFor(count, 0);
  std::vector<size_t> dependentStart(count + 1, 0);
  bool anyReferences = false;
  for (size_t p = 0; p < count; ++p) {
    const auto& structure = library.structures[p];
    if (!structure.srefs.empty() || !structure.arefs.empty()) {
      height[p] = 1;
      anyReferences = true;
    }
    const size_t first = resolved.offsets[p];
    waitingFor[p] = resolved.distinctCount[p];
    for (size_t i = first; i < first + resolved.distinctCount[p]; ++i)
      ++dependentStart[resolved.distinct[i] + 1];
  }
  for (size_t q = 0; q < count; ++q)
    dependentStart[q + 1] += dependentStart[q];
  std::vector<uint32_t> dependents(dependentStart[count]);
  {
    std::vector<size_t> fill(dependentStart.begin(), dependentStart.end() - 1);
    for (size_t p = 0; p < count; ++p) {
      const size_t first = resolved.offsets[p];
      for (size_t i = first; i < first + resolved.distinctCount[p]; ++i)
        dependents[fill[resolved.distinct[i]]++] = static_cast<uint32_t>(p);
    }
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

  // Box order: by height, `structures` order within a height; the unorderable last.
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
      printQuoted("Warning: Structure ", library.structures[p].name,
                  " is in or above a reference cycle.");
      height[p] = topHeight;
      order[cyclicFill++] = static_cast<uint32_t>(p);
    }
  }

  ReportedNames reported;
  auto box = [&](uint32_t p, bool quiet) {
    const size_t first = resolved.offsets[p];
    return gatherBox(
        library, static_cast<int32_t>(p), library.structures[p].bbox,
        [&](size_t ordinal, const SharedString&) { return resolved.targets[first + ordinal]; },
        &reported, quiet);
  };
  // The structures of one height only read the boxes of lower ones, so they are boxed side by
  // side. One whose box comes with lines is boxed again here, in order, so the lines come out
  // exactly as from a single pass. The structures in or above a cycle go one by one, last.
  std::vector<uint8_t> boxedQuietly(count, 0);
  for (uint32_t h = 0; h <= topHeight + 1; ++h) {
    const size_t begin = h <= topHeight ? heightStart[h] : ready.size();
    const size_t end = h <= topHeight ? heightStart[h + 1] : count;
    size_t work = 0;
    for (size_t i = begin; i < end && work < kParallelWork; ++i)
      work += workOf(library.structures[order[i]]);
    const bool parallel = h <= topHeight && work >= kParallelWork;
    if (parallel)
      parallelFor(end - begin, 16, workThreads(), [&](size_t i, unsigned) {
        boxedQuietly[order[begin + i]] = box(order[begin + i], true);
      });
    for (size_t i = begin; i < end; ++i) {
      const uint32_t p = order[i];
      GdsStructure& structure = library.structures[p];
      structure.level = topHeight - height[p];
      if (!parallel || !boxedQuietly[p]) box(p, false);
      if (structure.level > library.maxLevel) library.maxLevel = structure.level;
    }
  }
  return 0;
}

}  // namespace tessel
