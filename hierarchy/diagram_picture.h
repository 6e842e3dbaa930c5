// What the hierarchy diagram draws. The whole hierarchy while it fits: few enough boxes and
// arrows for `dot` to lay them out in about a second, and a layout whose sides stay within
// 16,000 pixels with every label at its full size. Beyond that a summary, made by these steps in
// turn until it fits; steps 2 to 4 fold the largest sets first and stop as soon as it fits:
//   1. the structures in no edge become one box that says how many;
//   2. a parent with four or more childless children draws them as one box of its own;
//   3. structures with the same parents and the same children become one box;
//   4. a run of more than five boxes each with one parent and one child keeps its first two and
//      last two, and one box says how many levels it leaves out;
//   5. only the levels nearest the top that fit are drawn (and of the next level the first boxes
//      that fit); below each box whose children are not drawn, a box says how many they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hierarchy/diagram.h"

namespace tessel {

enum class BoxKind : uint8_t {
  kStructure,    // one structure (or a child name that is no structure)
  kUnconnected,  // the structures in no edge
  kChildless,    // childless children of one parent
  kAlike,        // structures with the same parents and children
  kChain,        // levels of a long chain left out
  kNotDrawn,     // what lies below the last level drawn
};

struct PictureBox {
  BoxKind kind = BoxKind::kStructure;
  uint64_t structures = 1;  // how many structures it stands for
  uint64_t levels = 0;      // for kChain: how many levels it leaves out
  uint32_t first = 0;       // in Picture::names: the structure, or the first one it stands for
  uint32_t last = 0;        // and the last one
};

// One arrow per distinct pair of boxes; the counts are summed over the references it stands for.
struct PictureArrow {
  uint32_t from = 0;
  uint32_t to = 0;
  uint64_t srefs = 0;
  uint64_t arefs = 0;
  uint64_t arefElements = 0;
};

struct Picture {
  std::vector<std::string_view> names;  // every name, structures first; views into the graph
  std::vector<PictureBox> boxes;
  std::vector<PictureArrow> arrows;
  bool summary = false;
};

// Every structure and every distinct reference, in the order of the graph: one box per name
// (structures in library order, then child names that are no structure), one arrow per pair.
Picture wholePicture(const HierarchyGraph& graph);

// The whole picture when it fits, else the summary.
Picture drawnPicture(Picture whole);

// The layout `dot` is expected to give the picture, in pixels.
struct PictureSize {
  double width = 0;
  double height = 0;
};
PictureSize estimatedSize(const Picture& picture);
bool fitsOnePicture(const Picture& picture);

// The DOT text: names as node names for the whole picture, numbered boxes with labels for a
// summary.
std::string pictureDot(const Picture& picture);

// The lines of a box's label, as drawn.
std::vector<std::string> boxLabel(const Picture& picture, const PictureBox& box);
// What an arrow's label says ("" when the child is placed once).
std::string arrowLabel(const PictureArrow& arrow);

// "1 box", "1,234 boxes".
std::string counted(uint64_t count, const char* one, const char* many);

}  // namespace tessel
