#include "hierarchy/diagram_picture.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/shared_string.h"

namespace tessel {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Limits of one picture. With the attributes below `dot` lays out a hierarchy of 1,000 boxes and
// 2,000 arrows in about a second of processor time; its time grows faster than the picture
// (1,500 and 3,000: 3 s; 3,000 and 6,000: 12 s; 33,000 arrows: minutes).
constexpr size_t kMaxBoxes = 1000;
constexpr size_t kMaxArrows = 2000;
// The image is rendered at 72 dpi, so a point is a pixel. Its sides stay within 16,000 pixels
// (what image viewers accept), with room for the estimate to be off.
constexpr double kMaxSide = 15000;

// The layout attributes written into the DOT text, and what the estimate assumes of them.
constexpr double kFontSize = 14;  // pixels: labels stay readable even if shrunk by 0.7
constexpr double kLineHeight = 1.2 * kFontSize;
constexpr double kCharWidth = 0.6 * kFontSize;  // wide enough for most fonts' average letter
constexpr double kMarginX = 0.08 * 72;
constexpr double kMarginY = 0.02 * 72;
constexpr double kMinBoxHeight = 0.3 * 72;
constexpr double kNodeSep = 0.1 * 72;
constexpr double kRankSep = 0.3 * 72;
constexpr const char* kGraphAttributes =
    "\tgraph [rankdir=LR, dpi=72, size=\"222,222\", ranksep=0.3, nodesep=0.1, mclimit=0.1, "
    "nslimit=2, nslimit1=2];\n"
    "\tnode [shape=box, fontsize=14, height=0.3, margin=\"0.08,0.02\"];\n"
    "\tedge [fontsize=14, arrowsize=0.6];\n";
constexpr const char* kSummaryBoxStyle = "style=\"rounded,filled\", fillcolor=\"#e8e8e8\"";

// Summary steps.
constexpr size_t kFoldChildlessFrom = 4;  // childless children of one parent
constexpr size_t kChainKeep = 2;          // boxes kept at each end of a long chain

// Longer names are drawn with their middle left out.
constexpr size_t kMaxNameChars = 40;

const std::string kEllipsis = "\xE2\x80\xA6";  // U+2026
const std::string kTimes = "\xC3\x97";         // U+00D7

// Names to their numbers in a list of names: open addressing over 8-byte slots that point into
// the list, so a million names cost 16 MB rather than a copy of each.
class NameNumbers {
 public:
  explicit NameNumbers(std::vector<std::string_view>& names) : names_(names) {}
  // The number of `name`, added at the end of the list when new, and whether it was added.
  std::pair<uint32_t, bool> add(std::string_view name) {
    if (2 * (names_.size() + 1) > slots_.size()) grow();
    const uint32_t hash = static_cast<uint32_t>(hashName(name) >> 32);
    size_t slot = hash & (slots_.size() - 1);
    for (; slots_[slot].number != kNone; slot = (slot + 1) & (slots_.size() - 1))
      if (slots_[slot].hash == hash && names_[slots_[slot].number] == name)
        return {slots_[slot].number, false};
    slots_[slot] = {static_cast<uint32_t>(names_.size()), hash};
    names_.push_back(name);
    return {slots_[slot].number, true};
  }
  void reserve(size_t count) {
    while (slots_.size() < 2 * count)
      grow();
  }

 private:
  struct Slot {
    uint32_t number = kNone;
    uint32_t hash = 0;
  };
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size());
    old.swap(slots_);
    for (const Slot& entry : old) {
      if (entry.number == kNone) continue;
      size_t slot = entry.hash & (slots_.size() - 1);
      while (slots_[slot].number != kNone)
        slot = (slot + 1) & (slots_.size() - 1);
      slots_[slot] = entry;
    }
  }
  std::vector<std::string_view>& names_;
  std::vector<Slot> slots_;
};

// Characters of UTF-8 text; bytes that are no UTF-8 count one each.
size_t charCount(std::string_view text) {
  size_t count = 0;
  for (char c : text)
    if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) ++count;
  return count;
}

// The first `count` characters (from the front) or the last ones (from the back).
std::string_view leadingChars(std::string_view text, size_t count) {
  size_t i = 0;
  for (size_t seen = 0; i < text.size(); ++i)
    if ((static_cast<uint8_t>(text[i]) & 0xC0) != 0x80 && seen++ == count) break;
  return text.substr(0, i);
}
std::string_view trailingChars(std::string_view text, size_t count) {
  size_t i = text.size();
  for (size_t seen = 0; i > 0 && seen < count;)
    if ((static_cast<uint8_t>(text[--i]) & 0xC0) != 0x80) ++seen;
  return text.substr(i);
}

std::string shortName(std::string_view name) {
  if (charCount(name) <= kMaxNameChars) return std::string(name);
  const size_t half = (kMaxNameChars - 1) / 2;
  std::string shortened(leadingChars(name, half));
  shortened += kEllipsis;
  shortened += trailingChars(name, kMaxNameChars - 1 - half);
  return shortened;
}

// 1234567 as "1,234,567".
std::string grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t i = digits.size(); i > 3; i -= 3)
    digits.insert(i - 3, 1, ',');
  return digits;
}

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// A label of several lines, each escaped, joined by DOT's centred line break.
void appendLabel(std::string& out, const std::vector<std::string>& lines) {
  out.append("label=\"");
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out.append("\\n");
    for (char c : lines[i]) {
      if (c == '"' || c == '\\') out.push_back('\\');
      out.push_back(c);
    }
  }
  out.push_back('"');
}

// The arrows of a picture by box, both ways.
class Adjacency {
 public:
  explicit Adjacency(const Picture& picture) {
    const size_t boxes = picture.boxes.size();
    outStart_.assign(boxes + 1, 0);
    inStart_.assign(boxes + 1, 0);
    for (const PictureArrow& arrow : picture.arrows) {
      ++outStart_[arrow.from + 1];
      ++inStart_[arrow.to + 1];
    }
    for (size_t b = 0; b < boxes; ++b) {
      outStart_[b + 1] += outStart_[b];
      inStart_[b + 1] += inStart_[b];
    }
    out_.resize(picture.arrows.size());
    in_.resize(picture.arrows.size());
    std::vector<uint32_t> outNext(outStart_.begin(), outStart_.end() - 1);
    std::vector<uint32_t> inNext(inStart_.begin(), inStart_.end() - 1);
    for (uint32_t a = 0; a < picture.arrows.size(); ++a) {
      out_[outNext[picture.arrows[a].from]++] = a;
      in_[inNext[picture.arrows[a].to]++] = a;
    }
  }
  struct Range {
    const uint32_t* first;
    const uint32_t* past;
    const uint32_t* begin() const { return first; }
    const uint32_t* end() const { return past; }
    size_t size() const { return static_cast<size_t>(past - first); }
  };
  // Arrow indexes, in arrow order.
  Range out(uint32_t box) const {
    return {out_.data() + outStart_[box], out_.data() + outStart_[box + 1]};
  }
  Range in(uint32_t box) const {
    return {in_.data() + inStart_[box], in_.data() + inStart_[box + 1]};
  }

 private:
  std::vector<uint32_t> outStart_, out_, inStart_, in_;
};

void addCounts(PictureArrow& into, const PictureArrow& arrow) {
  into.srefs += arrow.srefs;
  into.arefs += arrow.arefs;
  into.arefElements += arrow.arefElements;
}

// Arrows with their ends moved to other boxes among `boxes` (kNone drops the arrow); arrows that
// come to join the same pair become one, at the place of the first.
std::vector<PictureArrow> movedArrows(const std::vector<PictureArrow>& arrows,
                                      const std::vector<uint32_t>& boxOf, size_t boxes) {
  // The arrows by their new parent; each parent's children met a second time are found by a
  // stamp, so no table of pairs is needed.
  std::vector<uint32_t> start(boxes + 1, 0);
  for (const PictureArrow& arrow : arrows)
    if (boxOf[arrow.from] != kNone && boxOf[arrow.to] != kNone) ++start[boxOf[arrow.from] + 1];
  for (size_t b = 0; b < boxes; ++b)
    start[b + 1] += start[b];
  std::vector<uint32_t> byParent(start[boxes]);
  for (uint32_t a = 0; a < arrows.size(); ++a)
    if (boxOf[arrows[a].from] != kNone && boxOf[arrows[a].to] != kNone)
      byParent[start[boxOf[arrows[a].from]]++] = a;
  std::vector<uint32_t> firstOf(arrows.size(), kNone);  // an arrow's first of its pair
  std::vector<uint32_t> stamp(boxes, kNone), firstTo(boxes, 0);
  for (size_t b = 0, a = 0; b < boxes; ++b)
    for (; a < start[b]; ++a) {
      const uint32_t arrow = byParent[a], to = boxOf[arrows[arrow].to];
      if (stamp[to] != b) {
        stamp[to] = static_cast<uint32_t>(b);
        firstTo[to] = arrow;
      }
      firstOf[arrow] = firstTo[to];
    }
  std::vector<PictureArrow> moved;
  std::vector<uint32_t> movedAt(arrows.size(), kNone);
  for (uint32_t a = 0; a < arrows.size(); ++a) {
    if (firstOf[a] == kNone) continue;
    if (firstOf[a] == a) {
      movedAt[a] = static_cast<uint32_t>(moved.size());
      PictureArrow copy = arrows[a];
      copy.from = boxOf[copy.from];
      copy.to = boxOf[copy.to];
      moved.push_back(copy);
    } else {
      addCounts(moved[movedAt[firstOf[a]]], arrows[a]);
    }
  }
  return moved;
}

// A picture with the names of another, yet no boxes and no arrows.
Picture namesOf(const Picture& picture) {
  Picture empty;
  empty.names = picture.names;
  empty.summary = picture.summary;
  return empty;
}

// Keeps the boxes `keep` marks, in order, with their arrows.
Picture keptBoxes(Picture picture, const std::vector<bool>& keep) {
  std::vector<uint32_t> boxOf(picture.boxes.size(), kNone);
  std::vector<PictureBox> boxes;
  for (uint32_t b = 0; b < picture.boxes.size(); ++b)
    if (keep[b]) {
      boxOf[b] = static_cast<uint32_t>(boxes.size());
      boxes.push_back(picture.boxes[b]);
    }
  picture.arrows = movedArrows(picture.arrows, boxOf, boxes.size());
  picture.boxes = std::move(boxes);
  return picture;
}

// A box that stands for `members` (boxes of `picture`, in order).
PictureBox foldedBox(const Picture& picture, BoxKind kind, const std::vector<uint32_t>& members) {
  PictureBox box;
  box.kind = kind;
  box.structures = 0;
  for (uint32_t member : members)
    box.structures += picture.boxes[member].structures;
  box.first = picture.boxes[members.front()].first;
  box.last = picture.boxes[members.back()].last;
  if (kind == BoxKind::kChain) box.levels = members.size();
  return box;
}

// What becomes of an arrow when some children of each parent fold into one box of its own.
enum class ArrowFate : uint8_t { kKept, kFolded, kDropped };

struct PerParentFolds {
  std::vector<PictureArrow> arrows;            // the folded ones replaced by one per parent
  std::vector<std::vector<uint32_t>> members;  // of each new box, numbered after the old ones
};

template <class Fate>
PerParentFolds foldPerParent(const Picture& picture, Fate&& fate) {
  const size_t boxes = picture.boxes.size();
  PerParentFolds folds;
  folds.arrows.reserve(picture.arrows.size());
  std::vector<uint32_t> foldArrow(boxes, kNone);  // of a parent, once made
  for (const PictureArrow& arrow : picture.arrows) {
    const ArrowFate what = fate(arrow);
    if (what == ArrowFate::kKept) folds.arrows.push_back(arrow);
    if (what != ArrowFate::kFolded) continue;
    uint32_t& at = foldArrow[arrow.from];
    if (at == kNone) {
      at = static_cast<uint32_t>(folds.arrows.size());
      folds.arrows.push_back(
          {arrow.from, static_cast<uint32_t>(boxes + folds.members.size()), 0, 0, 0});
      folds.members.emplace_back();
    }
    addCounts(folds.arrows[at], arrow);
    folds.members[folds.arrows[at].to - boxes].push_back(arrow.to);
  }
  return folds;
}

// Each box's level: the longest path to it from a box without parents, arrows that close a
// cycle left out (as `dot` reverses them). Levels are what `dot` lays out side by side.
std::vector<uint32_t> levels(const Picture& picture, const Adjacency& adjacency) {
  const size_t boxes = picture.boxes.size();
  std::vector<uint8_t> state(boxes, 0);  // 0 unseen, 1 on the path, 2 done
  std::vector<bool> back(picture.arrows.size(), false);
  std::vector<uint32_t> finished;
  finished.reserve(boxes);
  std::vector<std::pair<uint32_t, uint32_t>> path;  // box and how many of its arrows are seen
  auto walk = [&](uint32_t start) {
    if (state[start] != 0) return;
    state[start] = 1;
    path.push_back({start, 0});
    while (!path.empty()) {
      auto& [box, seen] = path.back();
      const auto arrows = adjacency.out(box);
      if (seen == arrows.size()) {
        state[box] = 2;
        finished.push_back(box);
        path.pop_back();
        continue;
      }
      const uint32_t arrow = arrows.begin()[seen++];
      const uint32_t child = picture.arrows[arrow].to;
      if (state[child] == 1) {
        back[arrow] = true;
      } else if (state[child] == 0) {
        state[child] = 1;
        path.push_back({child, 0});
      }
    }
  };
  for (uint32_t b = 0; b < boxes; ++b)
    if (adjacency.in(b).size() == 0) walk(b);
  for (uint32_t b = 0; b < boxes; ++b)
    walk(b);
  std::vector<uint32_t> level(boxes, 0);
  for (auto box = finished.rbegin(); box != finished.rend(); ++box)
    for (uint32_t arrow : adjacency.out(*box))
      if (!back[arrow]) {
        uint32_t& childLevel = level[picture.arrows[arrow].to];
        childLevel = std::max(childLevel, level[*box] + 1);
      }
  return level;
}

double textWidth(size_t chars) {
  return static_cast<double>(chars) * kCharWidth;
}

PictureSize estimatedSize(const Picture& picture, const std::vector<uint32_t>& level) {
  uint32_t deepest = 0;
  for (uint32_t l : level)
    deepest = std::max(deepest, l);
  const size_t levelCount = picture.boxes.empty() ? 0 : size_t{deepest} + 1;
  std::vector<double> columnHeight(levelCount, 0), columnWidth(levelCount, 0);
  std::vector<double> gapHeight(levelCount, 0), gapWidth(levelCount, 0);
  for (uint32_t b = 0; b < picture.boxes.size(); ++b) {
    const auto lines = boxLabel(picture, picture.boxes[b]);
    size_t widest = 0;
    for (const std::string& line : lines)
      widest = std::max(widest, charCount(line));
    const double height =
        std::max(kMinBoxHeight, static_cast<double>(lines.size()) * kLineHeight + 2 * kMarginY);
    columnHeight[level[b]] += height + kNodeSep;
    columnWidth[level[b]] = std::max(columnWidth[level[b]], textWidth(widest) + 2 * kMarginX);
  }
  // When arrows have labels, `dot` lays out a level between every two levels, where a label
  // takes as much room as a box and an arrow without one a little. An arrow that passes a level
  // takes a little room in it.
  std::vector<size_t> labelled(levelCount, 0), plain(levelCount, 0);
  std::vector<ptrdiff_t> passing(levelCount + 1, 0);  // arrows that begin and end to pass
  bool anyLabel = false;
  for (const PictureArrow& arrow : picture.arrows) {
    const uint32_t from = level[arrow.from], to = level[arrow.to];
    if (to <= from) continue;
    const std::string label = arrowLabel(arrow);
    if (label.empty()) {
      ++plain[from];
    } else {
      anyLabel = true;
      ++labelled[from];
      gapWidth[from] = std::max(gapWidth[from], textWidth(charCount(label)));
    }
    ++passing[from + 1];
    --passing[to];
  }
  for (size_t l = 1; l < levelCount; ++l) {
    passing[l] += passing[l - 1];
    columnHeight[l] += static_cast<double>(passing[l]) * kNodeSep;
  }
  for (size_t l = 0; anyLabel && l < levelCount; ++l)
    gapHeight[l] = static_cast<double>(labelled[l]) * (kMinBoxHeight + kNodeSep) +
                   static_cast<double>(plain[l]) * 2 * kNodeSep;
  PictureSize size;
  for (size_t l = 0; l < levelCount; ++l) {
    size.height = std::max({size.height, columnHeight[l], gapHeight[l]});
    size.width += columnWidth[l] + (l + 1 < levelCount ? kRankSep : 0);
    if (anyLabel && l + 1 < levelCount) size.width += gapWidth[l] + kRankSep;
  }
  return size;
}

bool fitsSize(const PictureSize& size) {
  return size.width <= kMaxSide && size.height <= kMaxSide;
}

// Step 1: the structures in no edge become one box.
Picture foldUnconnected(Picture picture) {
  const Adjacency adjacency(picture);
  std::vector<uint32_t> lone;
  for (uint32_t b = 0; b < picture.boxes.size(); ++b)
    if (adjacency.in(b).size() == 0 && adjacency.out(b).size() == 0) lone.push_back(b);
  if (lone.size() < 2) return picture;
  const PictureBox folded = foldedBox(picture, BoxKind::kUnconnected, lone);
  std::vector<bool> keep(picture.boxes.size(), true);
  for (uint32_t b : lone)
    keep[b] = false;
  picture = keptBoxes(std::move(picture), keep);
  picture.boxes.push_back(folded);
  return picture;
}

// Step 2: a parent's childless children, when it has enough of them, become one box of its own.
// A child that another parent still draws stays for that parent. The parents that may fold, the
// most children first.
std::vector<uint32_t> childlessFolds(const Picture& picture, std::vector<size_t>& childlessCount) {
  const Adjacency adjacency(picture);
  std::vector<uint32_t> parents;
  childlessCount.assign(picture.boxes.size(), 0);
  for (uint32_t b = 0; b < picture.boxes.size(); ++b) {
    for (uint32_t a : adjacency.out(b))
      if (adjacency.out(picture.arrows[a].to).size() == 0) ++childlessCount[b];
    if (childlessCount[b] >= kFoldChildlessFrom) parents.push_back(b);
  }
  std::stable_sort(parents.begin(), parents.end(),
                   [&](uint32_t a, uint32_t b) { return childlessCount[a] > childlessCount[b]; });
  return parents;
}

Picture foldChildless(const Picture& picture, const std::vector<uint32_t>& parents, size_t count) {
  const Adjacency adjacency(picture);
  const size_t boxes = picture.boxes.size();
  std::vector<bool> parentFolds(boxes, false);
  for (size_t i = 0; i < count; ++i)
    parentFolds[parents[i]] = true;
  PerParentFolds folds = foldPerParent(picture, [&](const PictureArrow& arrow) {
    return parentFolds[arrow.from] && adjacency.out(arrow.to).size() == 0 ? ArrowFate::kFolded
                                                                          : ArrowFate::kKept;
  });
  std::vector<uint32_t> stillPlaced(boxes, 0);  // arrows to the new boxes are not counted
  for (const PictureArrow& arrow : folds.arrows)
    if (arrow.to < boxes) ++stillPlaced[arrow.to];
  Picture folded = namesOf(picture);
  folded.boxes = picture.boxes;
  folded.arrows = std::move(folds.arrows);
  std::vector<bool> keep(boxes + folds.members.size(), true);
  for (const auto& children : folds.members) {
    for (uint32_t child : children)
      if (stillPlaced[child] == 0) keep[child] = false;
    folded.boxes.push_back(foldedBox(picture, BoxKind::kChildless, children));
  }
  return keptBoxes(std::move(folded), keep);
}

// Step 3: boxes with the same parents and the same children; the sets that save the most arrows
// first.
std::vector<std::vector<uint32_t>> alikeGroups(const Picture& picture,
                                               std::vector<size_t>& arrowsSaved) {
  const Adjacency adjacency(picture);
  const size_t boxes = picture.boxes.size();
  // Each box's parents and children, sorted, one after the other.
  std::vector<uint32_t> neighbours;
  std::vector<size_t> start(boxes + 1, 0);
  std::vector<size_t> parents(boxes, 0);
  for (uint32_t b = 0; b < boxes; ++b) {
    start[b] = neighbours.size();
    for (uint32_t a : adjacency.in(b))
      neighbours.push_back(picture.arrows[a].from);
    std::sort(neighbours.begin() + static_cast<ptrdiff_t>(start[b]), neighbours.end());
    parents[b] = neighbours.size() - start[b];
    const size_t childStart = neighbours.size();
    for (uint32_t a : adjacency.out(b))
      neighbours.push_back(picture.arrows[a].to);
    std::sort(neighbours.begin() + static_cast<ptrdiff_t>(childStart), neighbours.end());
  }
  start[boxes] = neighbours.size();
  auto same = [&](uint32_t a, uint32_t b) {
    return parents[a] == parents[b] &&
           std::equal(neighbours.begin() + static_cast<ptrdiff_t>(start[a]),
                      neighbours.begin() + static_cast<ptrdiff_t>(start[a + 1]),
                      neighbours.begin() + static_cast<ptrdiff_t>(start[b]),
                      neighbours.begin() + static_cast<ptrdiff_t>(start[b + 1]));
  };
  // The first box of each kind, by the hash of its parents and children (open addressing).
  size_t capacity = 16;
  while (capacity < 2 * boxes)
    capacity *= 2;
  std::vector<std::pair<uint64_t, uint32_t>> firstOfKind(capacity, {0, kNone});
  std::vector<uint32_t> groupOf(boxes, kNone);
  std::vector<std::vector<uint32_t>> groups;
  for (uint32_t b = 0; b < boxes; ++b) {
    if (start[b] == start[b + 1]) continue;  // in no arrow
    uint64_t hash = parents[b] * 0x9E3779B97F4A7C15ULL;
    for (size_t i = start[b]; i < start[b + 1]; ++i)
      hash = (hash ^ neighbours[i]) * 0xBF58476D1CE4E5B9ULL + i - start[b];
    size_t slot = hash & (capacity - 1);
    while (firstOfKind[slot].second != kNone &&
           (firstOfKind[slot].first != hash || !same(firstOfKind[slot].second, b)))
      slot = (slot + 1) & (capacity - 1);
    if (firstOfKind[slot].second == kNone) {
      firstOfKind[slot] = {hash, b};
      continue;
    }
    const uint32_t first = firstOfKind[slot].second;
    if (groupOf[first] == kNone) {
      groupOf[first] = static_cast<uint32_t>(groups.size());
      groups.push_back({first});
    }
    groupOf[b] = groupOf[first];
    groups[groupOf[b]].push_back(b);
  }
  auto saved = [&](const std::vector<uint32_t>& group) {
    return (group.size() - 1) * (start[group[0] + 1] - start[group[0]]);
  };
  std::stable_sort(groups.begin(), groups.end(),
                   [&](const auto& a, const auto& b) { return saved(a) > saved(b); });
  arrowsSaved.clear();
  for (const auto& group : groups)
    arrowsSaved.push_back(saved(group));
  return groups;
}

// Step 4: runs of more than five boxes that each have one parent and one child keep their
// first and last two; the boxes between them, the longest runs first.
std::vector<std::vector<uint32_t>> longChains(const Picture& picture,
                                              std::vector<size_t>& lengths) {
  const Adjacency adjacency(picture);
  const size_t boxes = picture.boxes.size();
  auto parentOf = [&](uint32_t b) { return picture.arrows[*adjacency.in(b).begin()].from; };
  auto childOf = [&](uint32_t b) { return picture.arrows[*adjacency.out(b).begin()].to; };
  std::vector<bool> link(boxes);
  for (uint32_t b = 0; b < boxes; ++b)
    link[b] = adjacency.in(b).size() == 1 && adjacency.out(b).size() == 1 && parentOf(b) != b &&
              childOf(b) != b;
  std::vector<std::vector<uint32_t>> middles;
  std::vector<uint32_t> run;
  for (uint32_t b = 0; b < boxes; ++b) {
    if (!link[b] || link[parentOf(b)]) continue;  // runs start below a box that is no link
    run.clear();
    for (uint32_t at = b; link[at] && (run.empty() || at != b); at = childOf(at))
      run.push_back(at);
    if (run.size() > 2 * kChainKeep + 1)
      middles.emplace_back(run.begin() + kChainKeep, run.end() - kChainKeep);
  }
  std::stable_sort(middles.begin(), middles.end(),
                   [](const auto& a, const auto& b) { return a.size() > b.size(); });
  lengths.clear();
  for (const auto& middle : middles)
    lengths.push_back(middle.size());
  return middles;
}

// The boxes of each of the first `count` groups become one box, where the first of them stood.
// The arrows between the boxes of a chain go with them.
Picture joinGroups(const Picture& picture, const std::vector<std::vector<uint32_t>>& groups,
                   size_t count, BoxKind kind) {
  const size_t boxes = picture.boxes.size();
  std::vector<uint32_t> groupOf(boxes, kNone);
  for (size_t g = 0; g < count; ++g)
    for (uint32_t member : groups[g])
      groupOf[member] = static_cast<uint32_t>(g);
  std::vector<uint32_t> boxOf(boxes, kNone), groupAt(count, kNone);
  Picture joined = namesOf(picture);
  for (uint32_t b = 0; b < boxes; ++b) {
    const uint32_t group = groupOf[b];
    if (group == kNone) {
      boxOf[b] = static_cast<uint32_t>(joined.boxes.size());
      joined.boxes.push_back(picture.boxes[b]);
      continue;
    }
    if (groupAt[group] == kNone) {
      groupAt[group] = static_cast<uint32_t>(joined.boxes.size());
      joined.boxes.push_back(foldedBox(picture, kind, groups[group]));
    }
    boxOf[b] = groupAt[group];
  }
  if (kind != BoxKind::kChain) {
    joined.arrows = movedArrows(picture.arrows, boxOf, joined.boxes.size());
    return joined;
  }
  std::vector<PictureArrow> arrows;
  arrows.reserve(picture.arrows.size());
  for (const PictureArrow& arrow : picture.arrows)
    if (groupOf[arrow.from] == kNone || groupOf[arrow.from] != groupOf[arrow.to])
      arrows.push_back(arrow);
  joined.arrows = movedArrows(arrows, boxOf, joined.boxes.size());
  return joined;
}

// Step 5: the boxes of the levels above `partLevel`, the first `partCount` boxes of that level,
// and one box for what each box drawn places below; when the top level is cut, one box more for
// the tops left out.
Picture topLevels(const Picture& picture, const std::vector<uint32_t>& level, uint32_t partLevel,
                  size_t partCount) {
  const size_t boxes = picture.boxes.size();
  std::vector<bool> keep(boxes, false);
  std::vector<uint32_t> topsLeftOut;
  for (uint32_t b = 0; b < boxes; ++b) {
    if (level[b] < partLevel || (level[b] == partLevel && partCount > 0)) {
      keep[b] = true;
      if (level[b] == partLevel) --partCount;
    } else if (level[b] == 0) {
      topsLeftOut.push_back(b);
    }
  }
  PerParentFolds below = foldPerParent(picture, [&](const PictureArrow& arrow) {
    if (!keep[arrow.from]) return ArrowFate::kDropped;
    return keep[arrow.to] ? ArrowFate::kKept : ArrowFate::kFolded;
  });
  Picture top = namesOf(picture);
  top.boxes = picture.boxes;
  top.arrows = std::move(below.arrows);
  if (!topsLeftOut.empty()) below.members.push_back(std::move(topsLeftOut));
  for (const auto& hidden : below.members) {
    top.boxes.push_back(foldedBox(picture, BoxKind::kNotDrawn, hidden));
    keep.push_back(true);
  }
  return keptBoxes(std::move(top), keep);
}

bool fits(const Picture& picture) {
  if (picture.boxes.size() > kMaxBoxes || picture.arrows.size() > kMaxArrows) return false;
  const Adjacency adjacency(picture);
  return fitsSize(estimatedSize(picture, levels(picture, adjacency)));
}

// The largest value in [low, high] for which `good` holds, `low` when none does; `good` is
// taken to hold up to some value and not beyond.
template <class Good>
size_t largestGood(size_t low, size_t high, Good&& good) {
  while (low < high) {
    const size_t middle = low + (high - low + 1) / 2;
    if (good(middle))
      low = middle;
    else
      high = middle - 1;
  }
  return low;
}

// The first folds of a step, which come the largest first: the fewest that make the picture
// fit, all of them when none do. Folds of the same size (`sizes`, falling) go together, so that
// alike parts of the hierarchy are drawn alike. `boxesAtLeast(count)` bounds the boxes the first
// `count` folds leave, so that pictures with too many boxes are never made.
template <class Fold, class BoxesAtLeast>
Picture fewestFolds(const std::vector<size_t>& sizes, Fold&& fold, BoxesAtLeast&& boxesAtLeast) {
  const size_t folds = sizes.size();
  Picture all = fold(folds);
  if (folds == 0 || !fits(all)) return all;
  std::vector<size_t> counts;  // where the size changes
  for (size_t count = 1; count < folds; ++count)
    if (sizes[count] != sizes[count - 1]) counts.push_back(count);
  counts.push_back(folds);
  auto good = [&](size_t count) { return boxesAtLeast(count) <= kMaxBoxes && fits(fold(count)); };
  size_t low = 0, high = counts.size() - 1;  // counts[high] fits
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (good(counts[middle]))
      high = middle;
    else
      low = middle + 1;
  }
  return counts[high] == folds ? all : fold(counts[high]);
}

// As many whole levels from the top as fit, then as many boxes of the next level as fit.
Picture cutToFit(const Picture& picture) {
  const Adjacency adjacency(picture);
  const std::vector<uint32_t> level = levels(picture, adjacency);
  std::vector<size_t> perLevel;
  for (uint32_t l : level) {
    if (l >= perLevel.size()) perLevel.resize(l + 1, 0);
    ++perLevel[l];
  }
  if (perLevel.empty()) return picture;
  std::vector<size_t> above(perLevel.size() + 1, 0);  // boxes above each level
  for (size_t l = 0; l < perLevel.size(); ++l)
    above[l + 1] = above[l] + perLevel[l];
  // Too many boxes is told without drawing them.
  const size_t wholeLevels = largestGood(0, perLevel.size() - 1, [&](size_t count) {
    return above[count] <= kMaxBoxes &&
           fits(topLevels(picture, level, static_cast<uint32_t>(count), 0));
  });
  const uint32_t partLevel = static_cast<uint32_t>(wholeLevels);
  // At least one box is drawn, even when a single one is too large.
  const size_t partCount =
      largestGood(partLevel == 0 ? 1 : 0, perLevel[partLevel] - 1, [&](size_t count) {
        return above[partLevel] + count <= kMaxBoxes &&
               fits(topLevels(picture, level, partLevel, count));
      });
  return topLevels(picture, level, partLevel, partCount);
}

}  // namespace

std::string counted(uint64_t count, const char* one, const char* many) {
  return grouped(count) + " " + (count == 1 ? one : many);
}

std::vector<std::string> boxLabel(const Picture& picture, const PictureBox& box) {
  const std::string first = shortName(picture.names[box.first]);
  if (box.kind == BoxKind::kStructure) return {first};
  std::string heading;
  switch (box.kind) {
    case BoxKind::kUnconnected:
      heading = counted(box.structures, "unconnected structure", "unconnected structures");
      break;
    case BoxKind::kChildless:
      heading = counted(box.structures, "childless structure", "childless structures");
      break;
    case BoxKind::kAlike:
      heading = counted(box.structures, "structure", "structures") + " placed alike";
      break;
    case BoxKind::kChain:
      heading = counted(box.levels, "level", "levels") + " left out";
      if (box.structures != box.levels)
        heading += ", " + counted(box.structures, "structure", "structures");
      break;
    case BoxKind::kNotDrawn:
      heading = counted(box.structures, "structure", "structures") + " not drawn";
      break;
    case BoxKind::kStructure:
      break;
  }
  if (box.structures == 1 && box.first == box.last) return {heading, first};
  const std::string last = shortName(picture.names[box.last]);
  return {heading, first + (box.structures == 2 ? ", " : " " + kEllipsis + " ") + last};
}

std::string arrowLabel(const PictureArrow& arrow) {
  if (arrow.srefs + arrow.arefElements <= 1) return "";
  std::string label;
  if (arrow.srefs > 0) label = kTimes + grouped(arrow.srefs);
  if (arrow.arefElements > 0) {
    if (!label.empty()) label += ", ";
    label += kTimes + grouped(arrow.arefElements) + " arrayed";
  }
  return label;
}

Picture wholePicture(const HierarchyGraph& graph) {
  Picture picture;
  NameNumbers numbers(picture.names);
  numbers.reserve(graph.structures.size());
  std::vector<uint32_t> numberOf;  // of each structure
  numberOf.reserve(graph.structures.size());
  for (const DiagramStructure& structure : graph.structures)
    numberOf.push_back(numbers.add(structure.name).first);
  const size_t names = picture.names.size();
  size_t references = 0;
  for (const DiagramStructure& structure : graph.structures)
    references += structure.children.size();
  picture.arrows.reserve(references);
  // One arrow per distinct pair. A parent that one structure names finds its children met
  // before by a stamp; the rare name that several structures bear, through a table.
  std::vector<bool> repeated(names, false);
  {
    std::vector<bool> seen(names, false);
    for (uint32_t number : numberOf) {
      if (seen[number]) repeated[number] = true;
      seen[number] = true;
    }
  }
  std::vector<uint32_t> stampOf(names, kNone), arrowOf(names, 0);
  std::unordered_map<uint64_t, uint32_t> repeatedPairs;
  for (size_t s = 0; s < graph.structures.size(); ++s) {
    const uint32_t parent = numberOf[s];
    for (const DiagramEdge& edge : graph.structures[s].children) {
      const uint32_t child = numbers.add(edge.child).first;
      if (child >= stampOf.size()) {
        stampOf.push_back(kNone);
        arrowOf.push_back(0);
      }
      const PictureArrow arrow{parent, child, edge.srefs, edge.arefs, edge.arefElements};
      const uint32_t next = static_cast<uint32_t>(picture.arrows.size());
      uint32_t at = next;
      if (repeated[parent]) {
        at = repeatedPairs.try_emplace(uint64_t{parent} << 32 | child, next).first->second;
      } else if (stampOf[child] == parent) {
        at = arrowOf[child];
      } else {
        stampOf[child] = parent;
        arrowOf[child] = next;
      }
      if (at == next)
        picture.arrows.push_back(arrow);
      else
        addCounts(picture.arrows[at], arrow);  // the same child again
    }
  }
  picture.boxes.resize(picture.names.size());
  for (uint32_t b = 0; b < picture.boxes.size(); ++b)
    picture.boxes[b].first = picture.boxes[b].last = b;
  return picture;
}

PictureSize estimatedSize(const Picture& picture) {
  const Adjacency adjacency(picture);
  return estimatedSize(picture, levels(picture, adjacency));
}

bool fitsOnePicture(const Picture& picture) {
  return fits(picture);
}

Picture drawnPicture(Picture whole) {
  if (fits(whole)) return whole;
  Picture picture = std::move(whole);
  picture.summary = true;
  picture = foldUnconnected(std::move(picture));
  if (fits(picture)) return picture;

  std::vector<size_t> childlessCount;
  const std::vector<uint32_t> parents = childlessFolds(picture, childlessCount);
  // A parent's fold takes at most its childless children away and adds one box.
  std::vector<size_t> lost(parents.size() + 1, 0), sizes(parents.size());
  for (size_t i = 0; i < parents.size(); ++i) {
    sizes[i] = childlessCount[parents[i]];
    lost[i + 1] = lost[i] + sizes[i] - 1;
  }
  // Shared children may be counted by several parents: the bound does not go below nothing.
  auto boxesLeft = [&](size_t count) {
    return picture.boxes.size() - std::min(picture.boxes.size(), lost[count]);
  };
  if (!parents.empty()) {
    picture = fewestFolds(
        sizes, [&](size_t count) { return foldChildless(picture, parents, count); }, boxesLeft);
    if (fits(picture)) return picture;
  }

  for (BoxKind kind : {BoxKind::kAlike, BoxKind::kChain}) {
    std::vector<size_t> saved;
    const auto groups =
        kind == BoxKind::kAlike ? alikeGroups(picture, saved) : longChains(picture, saved);
    lost.assign(groups.size() + 1, 0);  // a group of n boxes becomes one
    for (size_t g = 0; g < groups.size(); ++g)
      lost[g + 1] = lost[g] + groups[g].size() - 1;
    if (groups.empty()) continue;
    picture = fewestFolds(
        saved, [&](size_t count) { return joinGroups(picture, groups, count, kind); }, boxesLeft);
    if (fits(picture)) return picture;
  }
  return cutToFit(picture);
}

std::string pictureDot(const Picture& picture) {
  std::string text = "digraph GDStree {\n";
  text += kGraphAttributes;
  auto appendArrow = [&](std::string& out, const PictureArrow& arrow) {
    const std::string label = arrowLabel(arrow);
    const bool dashed = arrow.srefs == 0;
    if (!dashed && label.empty()) {
      out.append(";\n");
      return;
    }
    out.append(" [");
    if (dashed) out.append("style=dashed");
    if (!label.empty()) {
      if (dashed) out.append(", ");
      appendLabel(out, {label});
    }
    out.append("];\n");
  };
  if (!picture.summary) {
    // Every name is its node's name; a name too long to read gets a shorter label.
    std::vector<bool> inArrow(picture.boxes.size(), false);
    for (const PictureArrow& arrow : picture.arrows) {
      text.push_back('\t');
      appendQuoted(text, picture.names[arrow.from]);
      text.append(" -> ");
      appendQuoted(text, picture.names[arrow.to]);
      appendArrow(text, arrow);
      inArrow[arrow.from] = inArrow[arrow.to] = true;
    }
    for (uint32_t b = 0; b < picture.boxes.size(); ++b) {
      const std::string_view name = picture.names[picture.boxes[b].first];
      const bool shortened = charCount(name) > kMaxNameChars;
      if (inArrow[b] && !shortened) continue;
      text.push_back('\t');
      appendQuoted(text, name);
      if (shortened) {
        text.append(" [");
        appendLabel(text, {shortName(name)});
        text.push_back(']');
      }
      text.append(";\n");
    }
    text.push_back('}');
    return text;
  }
  for (uint32_t b = 0; b < picture.boxes.size(); ++b) {
    const PictureBox& box = picture.boxes[b];
    text.append("\tb").append(std::to_string(b)).append(" [");
    appendLabel(text, boxLabel(picture, box));
    if (box.kind != BoxKind::kStructure) text.append(", ").append(kSummaryBoxStyle);
    text.append("];\n");
  }
  for (const PictureArrow& arrow : picture.arrows) {
    text.append("\tb").append(std::to_string(arrow.from));
    text.append(" -> b").append(std::to_string(arrow.to));
    appendArrow(text, arrow);
  }
  text.push_back('}');
  return text;
}

}  // namespace tessel
