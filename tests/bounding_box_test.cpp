// Bounding boxes and levels: the contributions of each element kind, the placement of structure
// and array references, the order of the calculation, cycles, missing references, values at the
// ends of the 32-bit range and a very deep hierarchy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "hierarchy/bounding_box.h"
#include "import/importer.h"
#include "stream/byte_source.h"
#include "stream/encode.h"
#include "support/element_boxes.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

const std::string kUninitialized = "Warning: Inaccuracy due to structures not being initialized.";
const std::vector<std::string> kArefUninitialized = {
    "Warning: Structure being referenced for AREF does not have an initialized",
    "bounding box. Therefore, bounding boxes of references will be inaccurate.",
    "Calculate bounding boxes from the lowest level (unreferenced) upwards."};

std::string cycleWarning(const std::string& name) {
  return "Warning: Structure \"" + name + "\" is in or above a reference cycle.";
}
std::string missingWarning(const std::string& name) {
  return "Warning: Reference to missing structure \"" + name + "\".";
}

GdsStructure cell(const std::string& name) {
  GdsStructure structure;
  structure.name = name;
  return structure;
}

// A structure whose only element is a boundary spanning `box`.
GdsStructure leaf(const std::string& name, const BoundingBox& box) {
  GdsStructure structure = cell(name);
  structure.boundaries.emplace_back(1, box[0], box[1], box[2], box[3]);
  return structure;
}

GdsSref sref(const std::string& name, int32_t x, int32_t y) {
  return GdsSref(name, x, y);
}

struct Boxed {
  GdsLibrary library;
  std::vector<std::string> lines;

  const GdsStructure& operator[](const std::string& name) const {
    return library.structures.at(static_cast<size_t>(library.structureIndex.at(name)));
  }
};

// Adds the structures, registers the empty name as an import does, and runs the calculation.
Boxed computeBoxes(const std::vector<GdsStructure>& structures) {
  Boxed boxed;
  for (const auto& structure : structures)
    boxed.library.addStructure(structure);
  boxed.library.structureIndex.try_emplace("", kUnnamedStructurePosition);
  const std::string output =
      captureOutput([&] { EXPECT_EQ(computeBoundingBoxes(boxed.library), 0); });
  boxed.lines = splitLines(output);
  return boxed;
}

TEST(StructureBox, OwnGeometry) {
  GdsStructure top = cell("TOP");
  top.boundaries.emplace_back(1, 0, 0, 10, 10);
  top.boundaries.emplace_back();  // no points: contributes nothing
  GdsBox box;
  box.xCor = {-5, 2};
  box.yCor = {3, 4};
  top.boxes.push_back(box);
  top.paths.emplace_back(1, 4, Coordinates{20, 30}, Coordinates{0, 0});
  top.paths.emplace_back(1, 100, Coordinates{}, Coordinates{});
  GdsText text;  // texts and nodes never count
  text.xCor = 1000;
  text.yCor = 1000;
  top.texts.push_back(text);
  GdsNode node;
  node.xCor = {-1000};
  node.yCor = {-1000};
  top.nodes.push_back(node);

  const Boxed boxed = computeBoxes({top, cell("EMPTY")});
  EXPECT_TRUE(boxed.lines.empty());
  EXPECT_EQ(boxed["TOP"].bbox, (BoundingBox{-5, -2, 32, 10}));
  EXPECT_EQ(boxed["EMPTY"].bbox, (BoundingBox{0, 0, 0, 0}));
}

TEST(StructureBox, PathsAreWidenedByHalfTheirWidth) {
  struct Case {
    uint32_t width;
    BoundingBox expected;
  };
  const Case cases[] = {
      {10, {-5, -5, 105, 5}},
      {5, {-3, -3, 103, 3}},  // 2.5 rounds away from zero
      {0, {0, 0, 100, 0}},
      {1, {-1, -1, 101, 1}},
  };
  for (const Case& c : cases) {
    GdsStructure top = cell("TOP");
    top.paths.emplace_back(1, c.width, Coordinates{0, 100}, Coordinates{0, 0});
    EXPECT_EQ(computeBoxes({top})["TOP"].bbox, c.expected) << "width " << c.width;
  }
}

TEST(StructureBox, StructureReferencePlacement) {
  struct Case {
    const char* what;
    BoundingBox leafBox;
    GdsSref reference;
    BoundingBox expected;
  };
  const std::vector<Case> cases = {
      {"plain shift", {0, 0, 10, 20}, sref("LEAF", 5, -5), {5, -5, 15, 15}},
      {"reflected, doubled, turned",
       {0, 0, 10, 20},
       GdsSref("LEAF", 1000, 0, true, 90, 2),
       {1000, 0, 1040, 20}},
      {"reflected", {0, 5, 10, 20}, GdsSref("LEAF", 0, 0, true, 0, 1), {0, -20, 10, -5}},
      {"halves round away from zero",
       {0, 0, 11, 21},
       GdsSref("LEAF", 0, 0, false, 0, 0.5),
       {0, 0, 6, 11}},
      {"negative halves too",
       {-11, -21, 0, 0},
       GdsSref("LEAF", 0, 0, false, 0, 0.5),
       {-6, -11, 0, 0}},
      {"90", {0, 0, 10, 20}, GdsSref("LEAF", 0, 0, false, 90, 1), {-20, 0, 0, 10}},
      {"450 is 90", {0, 0, 10, 20}, GdsSref("LEAF", 0, 0, false, 450, 1), {-20, 0, 0, 10}},
      {"90.9 is 90", {0, 0, 10, 20}, GdsSref("LEAF", 0, 0, false, 90.9, 1), {-20, 0, 0, 10}},
      {"-90 is not turned", {0, 0, 10, 20}, GdsSref("LEAF", 0, 0, false, -90, 1), {0, 0, 10, 20}},
      {"0.9 is not turned", {0, 0, 10, 20}, GdsSref("LEAF", 0, 0, false, 0.9, 1), {0, 0, 10, 20}},
      {"45 turns two corners only",
       {0, 0, 100, 100},
       GdsSref("LEAF", 5, 5, false, 45, 1),
       {5, 5, 5, 146}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GdsStructure top = cell("TOP");
    top.srefs.push_back(c.reference);
    const Boxed boxed = computeBoxes({top, leaf("LEAF", c.leafBox)});
    EXPECT_TRUE(boxed.lines.empty());
    EXPECT_EQ(boxed["TOP"].bbox, c.expected);
  }
}

// The placement formula in floating point, step by step: the reference for the integer
// shortcuts the calculation takes.
BoundingBox placeByFormula(const GdsSref& reference, const BoundingBox& placed) {
  const double pi = 3.141592653589;
  auto toInt = [](double v) -> int64_t {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return kMax;
    if (v <= -2147483648.0) return kMin;
    return static_cast<int64_t>(v);
  };
  auto clamp = [](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, kMin, kMax)); };
  double lowX = placed[0], lowY = placed[1], highX = placed[2], highY = placed[3];
  if (reference.reflection) {
    lowY = clamp(-int64_t{placed[3]});
    highY = clamp(-int64_t{placed[1]});
  }
  lowX *= reference.scale, lowY *= reference.scale;
  highX *= reference.scale, highY *= reference.scale;
  const int64_t turn = toInt(reference.angle);
  if (turn > 0) {
    const double theta = static_cast<double>(turn % 360) * pi / 180;
    const double c = std::cos(theta), s = std::sin(theta);
    const double x1 = lowX * c - lowY * s, y1 = lowX * s + lowY * c;
    const double x2 = highX * c - highY * s, y2 = highX * s + highY * c;
    lowX = std::min(x1, x2), highX = std::max(x1, x2);
    lowY = std::min(y1, y2), highY = std::max(y1, y2);
  }
  return {clamp(toInt(std::round(lowX)) + reference.xCor),
          clamp(toInt(std::round(lowY)) + reference.yCor),
          clamp(toInt(std::round(highX)) + reference.xCor),
          clamp(toInt(std::round(highY)) + reference.yCor)};
}

TEST(StructureBox, PlacementMatchesTheFormulaEverywhere) {
  const std::vector<BoundingBox> boxes = {{0, 0, 10, 20},
                                          {-7, -3, 40, 25},
                                          {5, 9, -5, -9},  // out of order
                                          {kMin, kMin, kMax, kMax},
                                          {kMax, 0, kMax, 1},
                                          {-1, kMin, 1, kMin + 1},
                                          {0, 0, 0, 0},
                                          {123456789, -987654321, 1234567890, 987654321}};
  const std::vector<double> angles = {0, -90, 90, 180, 270, 360, 450, 990, 89.5, 45, 30, 271};
  const std::vector<double> scales = {1, 0.5, 2, -1};
  const std::vector<std::pair<int32_t, int32_t>> positions = {{0, 0}, {-3, 17}, {kMax, kMin}};
  GdsLibrary library;
  library.addStructure(cell("TOP"));
  library.addStructure(cell("LEAF"));
  for (const BoundingBox& placed : boxes)
    for (double angle : angles)
      for (double scale : scales)
        for (bool reflection : {false, true})
          for (const auto& [x, y] : positions) {
            const GdsSref reference("LEAF", x, y, reflection, angle, scale);
            library.structures[0].srefs = {reference};
            library.structures[1].bbox = placed;
            BoundingBox box{};
            captureOutput([&] { box = elementByElementBox(library, 0); });
            ASSERT_EQ(box, placeByFormula(reference, placed))
                << "angle " << angle << " scale " << scale << " reflection " << reflection << " at "
                << x << "," << y << " box " << placed[0] << "," << placed[1] << "," << placed[2]
                << "," << placed[3];
          }
}

TEST(StructureBox, ArrayReferencePlacement) {
  GdsAref turned = arrayReference("LEAF", 3, 2, {0, 0, 300, 0, 0, 200});
  turned.reflection = true;
  turned.scale = 7;
  struct Case {
    const char* what;
    BoundingBox leafBox;
    GdsAref reference;
    BoundingBox expected;
  };
  const std::vector<Case> cases = {
      {"3 by 2",
       {0, 0, 50, 40},
       arrayReference("LEAF", 3, 2, {0, 0, 300, 0, 0, 200}),
       {0, 0, 250, 140}},
      {"only the size of the placed box counts",
       {10, 10, 60, 50},
       arrayReference("LEAF", 3, 2, {0, 0, 300, 0, 0, 200}),
       {0, 0, 250, 140}},
      {"turned by 90",
       {0, 0, 50, 40},
       arrayReference("LEAF", 3, 2, {0, 0, 0, 300, -200, 0}, 90),
       {-140, 0, 0, 250}},
      {"turned by 225",
       {0, 0, 100, 100},
       arrayReference("LEAF", 1, 1, {0, 0, -71, -71, 71, -71}, 225),
       {-71, -141, 71, 0}},
      {"reflection and scale change nothing", {0, 0, 50, 40}, turned, {0, 0, 250, 140}},
      {"shifted",
       {0, 0, 10, 10},
       arrayReference("LEAF", 2, 1, {100, 200, 140, 200, 100, 250}),
       {100, 200, 130, 210}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GdsStructure top = cell("TOP");
    top.arefs.push_back(c.reference);
    const Boxed boxed = computeBoxes({top, leaf("LEAF", c.leafBox)});
    EXPECT_TRUE(boxed.lines.empty());
    EXPECT_EQ(boxed["TOP"].bbox, c.expected);
  }
}

TEST(StructureBox, ArraysWithoutColumnsOrRowsContributeNothing) {
  const std::array<int32_t, 2> counts[] = {{0, 2}, {3, 0}, {-1, 2}, {3, -3}, {0, 0}};
  for (const auto& [columns, rows] : counts) {
    GdsStructure top = leaf("TOP", {1, 1, 2, 2});
    top.arefs.push_back(arrayReference("LEAF", columns, rows, {-500, -500, 500, -500, -500, 500}));
    top.arefs.push_back(arrayReference("EMPTY", columns, rows, {0, 0, 10, 0, 0, 10}));
    const Boxed boxed = computeBoxes({top, leaf("LEAF", {0, 0, 10, 10}), cell("EMPTY")});
    EXPECT_TRUE(boxed.lines.empty()) << columns << " by " << rows;
    EXPECT_EQ(boxed["TOP"].bbox, (BoundingBox{1, 1, 2, 2})) << columns << " by " << rows;
  }
}

TEST(StructureBox, ReferencesToEmptyStructuresPlaceTheirPoint) {
  GdsStructure empty = cell("EMPTY");
  empty.texts.emplace_back();
  empty.nodes.emplace_back();
  empty.nodes.back().xCor = {5};
  empty.nodes.back().yCor = {5};
  GdsStructure top = cell("TOP");
  top.srefs.push_back(sref("EMPTY", 7, -3));
  top.srefs.push_back(sref("EMPTY", 9, 4));
  top.arefs.push_back(arrayReference("EMPTY", 3, 2, {0, 0, 300, 0, 0, 200}));

  const Boxed boxed = computeBoxes({top, empty});
  std::vector<std::string> expected = {kUninitialized, kUninitialized};
  expected.insert(expected.end(), kArefUninitialized.begin(), kArefUninitialized.end());
  EXPECT_EQ(boxed.lines, expected);
  EXPECT_EQ(boxed["EMPTY"].bbox, (BoundingBox{0, 0, 0, 0}));
  // The array's zero-sized copies reach from (0, 0) to the last pitch.
  EXPECT_EQ(boxed["TOP"].bbox, (BoundingBox{0, -3, 200, 100}));
}

TEST(StructureBox, ReferenceToANamelessStructureEndsItsList) {
  GdsStructure srefs = cell("SREFS");
  srefs.srefs.push_back(sref("LEAF", 0, 0));
  srefs.srefs.push_back(sref("", 0, 0));
  srefs.srefs.push_back(sref("LEAF", 1000, 1000));  // skipped
  srefs.arefs.push_back(
      arrayReference("LEAF", 1, 1, {-50, -50, -40, -50, -50, -40}));  // still counts

  GdsStructure arefs = leaf("AREFS", {0, 0, 1, 1});
  arefs.arefs.push_back(arrayReference("LEAF", 1, 1, {20, 20, 30, 20, 20, 30}));
  arefs.arefs.push_back(arrayReference("", 1, 1, {0, 0, 1, 0, 0, 1}));
  arefs.arefs.push_back(arrayReference("LEAF", 1, 1, {900, 900, 910, 900, 900, 910}));  // skipped

  GdsStructure nothing = cell("NOTHING");
  nothing.arefs.push_back(arrayReference("", 1, 1, {5, 5, 6, 5, 5, 6}));

  const Boxed boxed = computeBoxes({srefs, arefs, nothing, leaf("LEAF", {0, 0, 10, 10})});
  EXPECT_EQ(
      boxed.lines,
      (std::vector<std::string>{
          "Error: reference to structure with no name.", "Terminating SREF bounding box check.",
          "Error: reference to structure with no name.", "Terminating AREF bounding box check.",
          "Error: reference to structure with no name.", "Terminating AREF bounding box check."}));
  EXPECT_EQ(boxed["SREFS"].bbox, (BoundingBox{-50, -50, 10, 10}));
  EXPECT_EQ(boxed["AREFS"].bbox, (BoundingBox{0, 0, 30, 30}));
  EXPECT_EQ(boxed["NOTHING"].bbox, (BoundingBox{0, 0, 0, 0}));
}

TEST(StructureBox, MissingStructuresAreReportedOnceAndCountNothing) {
  GdsStructure top = cell("TOP");
  top.srefs.push_back(sref("GHOST", -900, -900));
  top.srefs.push_back(sref("GHOST", 900, 900));
  top.srefs.push_back(sref("LEAF", 100, 100));
  top.arefs.push_back(arrayReference("PHANTOM", 1, 1, {-900, -900, 900, -900, -900, 900}));
  top.arefs.push_back(arrayReference("LEAF", 1, 1, {-10, -10, 0, -10, -10, 0}));
  GdsStructure other = leaf("OTHER", {0, 0, 1, 1});
  other.srefs.push_back(sref("GHOST", 0, 0));
  other.srefs.push_back(sref("ghost", 0, 0));  // names are case sensitive

  const Boxed boxed = computeBoxes({top, other, leaf("LEAF", {0, 0, 10, 10})});
  EXPECT_EQ(boxed.lines,
            (std::vector<std::string>{missingWarning("GHOST"), missingWarning("PHANTOM"),
                                      missingWarning("ghost")}));
  EXPECT_EQ(boxed["TOP"].bbox, (BoundingBox{-10, -10, 110, 110}));
  EXPECT_EQ(boxed["OTHER"].bbox, (BoundingBox{0, 0, 1, 1}));
  // A missing name holds nobody back and is not registered.
  EXPECT_EQ(boxed["TOP"].level, 0u);
  EXPECT_EQ(boxed["OTHER"].level, 0u);
  EXPECT_EQ(boxed["LEAF"].level, 1u);
  EXPECT_EQ(boxed.library.structureIndex.count("GHOST"), 0u);
  EXPECT_EQ(boxed.library.structureIndex.count("PHANTOM"), 0u);
  EXPECT_EQ(boxed.library.structures.size(), 3u);
}

TEST(StructureBox, ValuesSaturateAtTheEndsOfTheRange) {
  struct Case {
    const char* what;
    GdsStructure top;
    BoundingBox leafBox;
    BoundingBox expected;
  };
  auto with = [](auto add) {
    GdsStructure top = cell("TOP");
    add(top);
    return top;
  };
  const std::vector<Case> cases = {
      {"huge magnification",
       with([](GdsStructure& t) { t.srefs.emplace_back("LEAF", 5, 5, false, 0, 1e300); }),
       {0, 0, 10, 20},
       {5, 5, kMax, kMax}},
      {"huge magnification, reflected",
       with([](GdsStructure& t) { t.srefs.emplace_back("LEAF", 0, 0, true, 0, 1e300); }),
       {0, 0, 10, 20},
       {0, kMin, kMax, 0}},
      {"huge magnification, turned",
       with([](GdsStructure& t) { t.srefs.emplace_back("LEAF", 0, 0, false, 90, 1e300); }),
       {0, 0, 10, 20},
       {kMin, 0, 0, kMax}},
      {"reflection of the lowest y",
       with([](GdsStructure& t) { t.srefs.emplace_back("LEAF", 0, 0, true, 0, 1); }),
       {0, kMin, 10, 0},
       {0, 0, 10, kMax}},
      {"reference point at the ends",
       with([](GdsStructure& t) { t.srefs.emplace_back("LEAF", kMax, kMin); }),
       {0, 0, 10, 20},
       {kMax, kMin, kMax, kMin + 20}},
      {"path width with the top bit set",
       with([](GdsStructure& t) {
         t.paths.emplace_back(1, 0xFFFFFFFFu, Coordinates{-10, 10}, Coordinates{-10, 10});
       }),
       {0, 0, 1, 1},
       {kMin, kMin, kMax, kMax}},
      {"path width 2^31",
       with([](GdsStructure& t) {
         t.paths.emplace_back(1, 0x80000000u, Coordinates{0}, Coordinates{0});
       }),
       {0, 0, 1, 1},
       {-(1 << 30), -(1 << 30), 1 << 30, 1 << 30}},
      {"boundary at the ends",
       with([](GdsStructure& t) { t.boundaries.emplace_back(1, kMin, kMin, kMax, kMax); }),
       {0, 0, 1, 1},
       {kMin, kMin, kMax, kMax}},
      {"array beyond the largest x",
       with([](GdsStructure& t) {
         t.arefs.push_back(arrayReference("LEAF", 1, 1, {kMax - 10, 0, kMax, 0, kMax - 10, 10}));
       }),
       {0, 0, 100, 100},
       {kMax - 10, 0, kMax, 100}},
      {"array of a structure spanning the whole range",
       with([](GdsStructure& t) {
         t.arefs.push_back(arrayReference("LEAF", 1, 1, {0, 0, 10, 0, 0, 10}));
       }),
       {kMin, kMin, kMax, kMax},
       {0, 0, kMax, kMax}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Boxed boxed = computeBoxes({c.top, leaf("LEAF", c.leafBox)});
    EXPECT_TRUE(boxed.lines.empty());
    EXPECT_EQ(boxed["TOP"].bbox, c.expected);
  }
}

TEST(StructureBox, HelperOperations) {
  std::array<double, 2> point{10, 0};
  rotatePoint(point, 0, 0, 90);
  EXPECT_EQ(point, (std::array<double, 2>{0, 10}));
  point = {12, 5};
  rotatePoint(point, 2, 5, 180);
  EXPECT_EQ(point, (std::array<double, 2>{-8, 5}));
  point = {0.5, -0.5};
  rotatePoint(point, 0, 0, 0);
  EXPECT_EQ(point, (std::array<double, 2>{1, -1}));  // halves away from zero

  BoundingBox box{7, 7, 7, 7};
  EXPECT_FALSE(pointListBox({}, {}, box));
  EXPECT_EQ(box, (BoundingBox{7, 7, 7, 7}));
  EXPECT_TRUE(pointListBox({3, -1, 2}, {0, 9, -4}, box));
  EXPECT_EQ(box, (BoundingBox{-1, -4, 3, 9}));

  EXPECT_TRUE(containsName("B", {"A", "B"}));
  EXPECT_FALSE(containsName("b", {"A", "B"}));
  EXPECT_FALSE(containsName("B ", {"A", "B"}));

  // One structure on its own reads the current boxes of the structures it references.
  GdsLibrary library;
  GdsStructure top = cell("TOP");
  top.srefs.push_back(sref("LEAF", 1, 1));
  library.addStructure(top);
  GdsStructure placed = cell("LEAF");
  placed.bbox = {0, 0, 4, 4};
  library.addStructure(placed);
  EXPECT_EQ(elementByElementBox(library, 0), (BoundingBox{1, 1, 5, 5}));
}

TEST(BoundingBoxes, EmptyLibraryAndLibraryWithoutReferences) {
  Boxed empty = computeBoxes({});
  EXPECT_TRUE(empty.lines.empty());
  EXPECT_EQ(empty.library.maxLevel, 0u);

  const Boxed flat = computeBoxes({leaf("A", {0, 0, 1, 2}), cell("B"), leaf("C", {-3, -3, 0, 0})});
  EXPECT_TRUE(flat.lines.empty());
  EXPECT_EQ(flat["A"].bbox, (BoundingBox{0, 0, 1, 2}));
  EXPECT_EQ(flat["C"].bbox, (BoundingBox{-3, -3, 0, 0}));
  for (const auto& structure : flat.library.structures)
    EXPECT_EQ(structure.level, 0u);
  EXPECT_EQ(flat.library.maxLevel, 0u);
}

TEST(BoundingBoxes, ChainsAreBoxedFromTheBottomUpInAnyStoredOrder) {
  GdsStructure s1 = cell("S1");
  s1.srefs.push_back(sref("S2", 0, 100));
  GdsStructure s2 = cell("S2");
  s2.srefs.push_back(sref("S3", 100, 0));
  const GdsStructure s3 = leaf("S3", {0, 0, 10, 10});
  std::vector<GdsStructure> order = {s1, s2, s3};
  std::sort(order.begin(), order.end(),
            [](const GdsStructure& a, const GdsStructure& b) { return a.name < b.name; });
  do {
    std::vector<GdsStructure> stored = order;
    stored.push_back(leaf("S4", {0, 0, 1, 1}));
    const Boxed boxed = computeBoxes(stored);
    const std::string names =
        stored[0].name + " " + stored[1].name + " " + stored[2].name + " " + stored[3].name;
    // A structure boxed before the one it references would meet a zero box and say so.
    EXPECT_TRUE(boxed.lines.empty()) << names;
    EXPECT_EQ(boxed["S1"].level, 0u) << names;
    EXPECT_EQ(boxed["S2"].level, 1u) << names;
    EXPECT_EQ(boxed["S3"].level, 2u) << names;
    EXPECT_EQ(boxed["S4"].level, 2u) << names;
    EXPECT_EQ(boxed.library.maxLevel, 2u) << names;
    EXPECT_EQ(boxed["S3"].bbox, (BoundingBox{0, 0, 10, 10})) << names;
    EXPECT_EQ(boxed["S2"].bbox, (BoundingBox{100, 0, 110, 10})) << names;
    EXPECT_EQ(boxed["S1"].bbox, (BoundingBox{100, 100, 110, 110})) << names;
  } while (std::next_permutation(
      order.begin(), order.end(),
      [](const GdsStructure& a, const GdsStructure& b) { return a.name < b.name; }));
}

TEST(BoundingBoxes, TheLongestChainSetsTheLevel) {
  GdsStructure s1 = cell("S1");
  s1.srefs.push_back(sref("S3", 0, 0));
  s1.arefs.push_back(arrayReference("S2", 1, 1, {0, 0, 1, 0, 0, 1}));
  GdsStructure s2 = cell("S2");
  s2.srefs.push_back(sref("S3", 50, 50));
  Boxed boxed = computeBoxes({s1, s2, leaf("S3", {0, 0, 10, 10})});
  EXPECT_TRUE(boxed.lines.empty());
  EXPECT_EQ(boxed["S1"].level, 0u);
  EXPECT_EQ(boxed["S2"].level, 1u);
  EXPECT_EQ(boxed["S3"].level, 2u);
  EXPECT_EQ(boxed["S1"].bbox, (BoundingBox{0, 0, 10, 10}));

  // A second run boxes afresh and never lowers maxLevel.
  boxed.library.maxLevel = 7;
  boxed.library.structures[0].bbox = {1, 2, 3, 4};
  const std::string output = captureOutput([&] { computeBoundingBoxes(boxed.library); });
  EXPECT_EQ(output, "");
  EXPECT_EQ(boxed.library.maxLevel, 7u);
  EXPECT_EQ(boxed["S1"].bbox, (BoundingBox{0, 0, 10, 10}));
}

TEST(BoundingBoxes, SelfReference) {
  GdsStructure self = leaf("SELF", {0, 0, 10, 10});
  self.srefs.push_back(sref("SELF", 50, 50));
  const Boxed boxed = computeBoxes({self, leaf("OTHER", {0, 0, 1, 1})});
  EXPECT_EQ(boxed.lines, (std::vector<std::string>{cycleWarning("SELF"), kUninitialized}));
  EXPECT_EQ(boxed["SELF"].level, 0u);
  EXPECT_EQ(boxed["SELF"].bbox, (BoundingBox{0, 0, 50, 50}));
  EXPECT_EQ(boxed["OTHER"].bbox, (BoundingBox{0, 0, 1, 1}));
}

TEST(BoundingBoxes, CyclesAndStructuresAboveThemJoinTheTopLevel) {
  GdsStructure top = cell("TOP");  // above the cycle
  top.srefs.push_back(sref("A", 0, 0));
  GdsStructure a = cell("A");
  a.srefs.push_back(sref("B", 0, 0));
  a.srefs.push_back(sref("LEAF", 100, 0));
  GdsStructure b = cell("B");
  b.srefs.push_back(sref("C", 0, 0));
  GdsStructure c = cell("C");
  c.srefs.push_back(sref("A", 1, 1));
  GdsStructure fine = cell("FINE");
  fine.srefs.push_back(sref("LEAF", 0, 0));

  const Boxed boxed = computeBoxes({top, a, b, c, leaf("LEAF", {0, 0, 10, 10}), fine});
  // Reported before any box is computed; then boxed after the orderable structures, in stored
  // order, so TOP meets A and A meets B still unboxed, while C meets A's final box.
  EXPECT_EQ(boxed.lines, (std::vector<std::string>{
                             cycleWarning("TOP"), cycleWarning("A"), cycleWarning("B"),
                             cycleWarning("C"), kUninitialized, kUninitialized, kUninitialized}));
  for (const char* name : {"TOP", "A", "B", "C", "FINE"})
    EXPECT_EQ(boxed[name].level, 0u) << name;
  EXPECT_EQ(boxed["LEAF"].level, 1u);
  EXPECT_EQ(boxed.library.maxLevel, 1u);
  EXPECT_EQ(boxed["FINE"].bbox, (BoundingBox{0, 0, 10, 10}));
  EXPECT_EQ(boxed["TOP"].bbox, (BoundingBox{0, 0, 0, 0}));
  EXPECT_EQ(boxed["A"].bbox, (BoundingBox{0, 0, 110, 10}));
  EXPECT_EQ(boxed["B"].bbox, (BoundingBox{0, 0, 0, 0}));
  EXPECT_EQ(boxed["C"].bbox, (BoundingBox{1, 1, 111, 11}));
}

TEST(BoundingBoxes, DeepChainWithoutRecursion) {
  constexpr int kDepth = 100000;
  GdsLibrary library;
  for (int i = 0; i < kDepth; ++i) {
    GdsStructure structure = cell("S" + std::to_string(i));
    if (i + 1 < kDepth)
      structure.srefs.emplace_back("S" + std::to_string(i + 1), 1, 0);
    else
      structure.boundaries.emplace_back(1, 0, 0, 10, 10);
    library.addStructure(std::move(structure));
  }
  library.structureIndex.try_emplace("", kUnnamedStructurePosition);
  const std::string output = captureOutput([&] { computeBoundingBoxes(library); });
  EXPECT_EQ(output, "");
  EXPECT_EQ(library.maxLevel, static_cast<uint32_t>(kDepth - 1));
  for (int i = 0; i < kDepth; ++i) {
    const GdsStructure& structure = library.structures[static_cast<size_t>(i)];
    ASSERT_EQ(structure.level, static_cast<uint32_t>(i)) << structure.name;
    const int32_t shift = kDepth - 1 - i;
    ASSERT_EQ(structure.bbox, (BoundingBox{shift, 0, shift + 10, 10})) << structure.name;
  }
}

TEST(BoundingBoxes, WideLevelsMatchBoxingOneByOne) {
  // Levels wide enough to be shared among threads, with references that bring lines (to
  // missing structures, to an empty one): the lines and boxes must be those of boxing each
  // structure in turn.
  std::vector<GdsStructure> structures = {leaf("LEAF", {-7, -3, 40, 25}), cell("EMPTY")};
  GdsStructure top = cell("TOP");
  for (int m = 0; m < 300; ++m) {
    GdsStructure middle = cell("MID" + std::to_string(m));
    for (int i = 0; i < 150; ++i)
      middle.srefs.emplace_back("LEAF", 1000 * i - m, 37 * m, i % 2 == 1, 90.0 * (i % 4),
                                i % 3 == 0 ? 1.5 : 1.0);
    if (m % 40 == 7) middle.srefs.emplace_back("GONE" + std::to_string(m % 3), 0, 0);
    if (m % 90 == 11) middle.srefs.emplace_back("EMPTY", 5, 5);
    top.srefs.emplace_back(middle.name, 0, 100000 * m);
    structures.push_back(std::move(middle));
  }
  structures.push_back(std::move(top));
  const Boxed boxed = computeBoxes(structures);

  // Each structure in turn, read element by element and through computeStructureBox alike.
  for (const bool summarised : {false, true}) {
    SCOPED_TRACE(summarised ? "computeStructureBox" : "element by element");
    Boxed oneByOne;
    for (const auto& structure : structures)
      oneByOne.library.addStructure(structure);
    oneByOne.library.structureIndex.try_emplace("", kUnnamedStructurePosition);
    ReportedNames reported;
    const std::string output = captureOutput([&] {
      for (auto& structure : oneByOne.library.structures) {
        const int32_t index = findStructure(oneByOne.library, structure.name);
        if (summarised)
          computeStructureBox(oneByOne.library, index, structure.bbox, &reported);
        else
          structure.bbox = elementByElementBox(oneByOne.library, index, &reported);
      }
    });
    EXPECT_EQ(boxed.lines, splitLines(output));
    EXPECT_EQ(boxed.lines.size(), 7u);  // three missing names, four meetings of the empty one
    for (const auto& structure : structures)
      EXPECT_EQ(boxed[structure.name].bbox, oneByOne[structure.name].bbox) << structure.name;
  }
  EXPECT_EQ(boxed["TOP"].level, 0u);
  EXPECT_EQ(boxed["MID0"].level, 1u);
  EXPECT_EQ(boxed["LEAF"].level, 2u);
}

TEST(BoundingBoxes, ComputedAtTheEndOfAnImport) {
  const Bytes bytes = StreamBuilder()
                          .libraryHeader()
                          .beginStructure("TOP")
                          .none(rec::AREF)
                          .text(rec::SNAME, "LEAF")
                          .bits(rec::STRANS, 0x8000)
                          .real8(rec::MAG, {encodeReal8(3.0)})
                          .real8(rec::ANGLE, {encodeReal8(90.0)})
                          .int2(rec::COLROW, {3, 2})
                          .int4(rec::XY, {0, 0, 0, 300, -200, 0})
                          .none(rec::ENDEL)
                          .none(rec::SREF)
                          .text(rec::SNAME, "LEAF")
                          .bits(rec::STRANS, 0x8000)
                          .real8(rec::MAG, {encodeReal8(2.0)})
                          .real8(rec::ANGLE, {encodeReal8(90.0)})
                          .int4(rec::XY, {1000, 0})
                          .none(rec::ENDEL)
                          .endStructure()
                          .beginStructure("LEAF")
                          .boundary(1, {0, 0, 50, 0, 50, 40, 0, 40, 0, 0})
                          .endStructure()
                          .endLibrary()
                          .bytes();
  GdsLibrary library;
  const std::string output = captureOutput([&] {
    MemorySource source(bytes);
    EXPECT_EQ(importStream(library, source, "in.gds"), kImported);
  });
  EXPECT_EQ(splitLines(output), (std::vector<std::string>{"Importing \"in.gds\" into Tessel.",
                                                          "Reached end of library.",
                                                          "GDS file successfully imported."}));
  ASSERT_EQ(library.structures.size(), 2u);
  EXPECT_EQ(library.structures[1].bbox, (BoundingBox{0, 0, 50, 40}));
  // The array contributes -140, 0, 0, 250; the reference 1000, 0, 1080, 100.
  EXPECT_EQ(library.structures[0].bbox, (BoundingBox{-140, 0, 1080, 250}));
  EXPECT_EQ(library.structures[0].level, 0u);
  EXPECT_EQ(library.structures[1].level, 1u);
  EXPECT_EQ(library.maxLevel, 1u);
}

}  // namespace
}  // namespace tessel::testing
