#include "hierarchy/structure_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>

namespace tessel {

namespace {

uint64_t layerKey(uint32_t layer, int32_t type) {
  return (uint64_t{layer} << 32) | static_cast<uint32_t>(type);
}

void widen(LayerUse& use, const BoundingBox& box) {
  if (use.elements == 0) {
    use.box = box;
  } else {
    use.box = {std::min(use.box[0], box[0]), std::min(use.box[1], box[1]),
               std::max(use.box[2], box[2]), std::max(use.box[3], box[3])};
  }
  ++use.elements;
}

int32_t clampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

uint64_t saturatingProduct(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
    return std::numeric_limits<uint64_t>::max();
  return a * b;
}

// What the report says of the library as a whole, worked out from the summaries.
struct Findings {
  std::vector<uint64_t> placed;     // per structure: the SREFs and AREF elements naming it
  std::vector<uint64_t> instances;  // per structure: its placements through the hierarchy
  std::vector<uint32_t> roots;
  std::vector<LayerUse> layers;  // of the whole library, in ascending order
};

Findings findingsOf(const ReportInput& input) {
  const SummaryList& structures = input.structures;
  const size_t count = structures.size();
  Findings found;
  found.placed.assign(count, 0);
  found.instances.assign(count, 0);
  std::vector<uint32_t> parents(count, 0);  // distinct parents not yet counted through
  for (const StructureSummary& structure : structures)
    for (const ChildReferences& child : structure.children) {
      if (child.target < 0) continue;
      const auto target = static_cast<size_t>(child.target);
      found.placed[target] =
          saturatingAdd(found.placed[target], saturatingAdd(child.srefs, child.arefElements));
      ++parents[target];
    }
  // Placements through the hierarchy, from the roots down: a structure is counted through once
  // every parent has been. Structures in a reference cycle keep what reached them from outside.
  std::vector<uint32_t> ready;
  for (size_t i = 0; i < count; ++i)
    if (parents[i] == 0) {
      found.roots.push_back(static_cast<uint32_t>(i));
      found.instances[i] = 1;
      ready.push_back(static_cast<uint32_t>(i));
    }
  while (!ready.empty()) {
    const uint32_t parent = ready.back();
    ready.pop_back();
    for (const ChildReferences& child : structures[parent].children) {
      if (child.target < 0) continue;
      const auto target = static_cast<size_t>(child.target);
      const uint64_t times = saturatingAdd(child.srefs, child.arefElements);
      found.instances[target] =
          saturatingAdd(found.instances[target], saturatingProduct(found.instances[parent], times));
      if (--parents[target] == 0) ready.push_back(static_cast<uint32_t>(target));
    }
  }
  std::map<uint64_t, LayerUse> layers;
  for (const StructureSummary& structure : structures) {
    if (!structure.statistics) continue;
    for (const LayerUse& use : structure.statistics->layers) {
      LayerUse& total = layers[layerKey(use.layer, use.type)];
      const uint64_t before = total.elements;
      widen(total, use.box);
      total.layer = use.layer;
      total.type = use.type;
      total.elements = saturatingAdd(before, use.elements);
    }
  }
  for (const auto& [key, use] : layers)
    found.layers.push_back(use);
  return found;
}

std::string number(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  return std::string(
      text, std::to_chars(text, text + sizeof text, value, std::chars_format::general, 12).ptr);
}

std::string boxText(const BoundingBox& box) {
  if (isEmptyBox(box)) return "null";
  return "[" + std::to_string(box[0]) + ", " + std::to_string(box[1]) + ", " +
         std::to_string(box[2]) + ", " + std::to_string(box[3]) + "]";
}

std::string userBoxText(const BoundingBox& box, double userUnit) {
  if (isEmptyBox(box)) return "null";
  return "[" + number(box[0] * userUnit) + ", " + number(box[1] * userUnit) + ", " +
         number(box[2] * userUnit) + ", " + number(box[3] * userUnit) + "]";
}

// A JSON string: quotes, backslashes and control characters escaped, and every byte above 127
// taken as the Latin-1 character of that code, so that any name gives valid JSON.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte >= 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

// The report's text, handed on a megabyte at a time, so that the report of a million
// structures is never held whole.
class Pieces {
 public:
  explicit Pieces(const TextSink& put) : put_(put) {}
  std::string& text() { return text_; }
  void handOnWhenFull() {
    if (text_.size() >= kPiece) handOn();
  }
  void handOn() {
    if (!text_.empty()) put_(text_);
    text_.clear();
  }

 private:
  static constexpr size_t kPiece = size_t{1} << 20;
  const TextSink& put_;
  std::string text_;
};

// Rows of cells printed in columns two spaces apart, indented by two: numbers right-aligned,
// a first column of names left-aligned. `row(i, cells)` makes row i (the heading is row 0) into
// `cells`; it is asked twice for each row, once to measure the columns and once to print them,
// so that a table of a million rows is never held whole.
template <class Row>
void printTable(bool namesFirst, size_t rows, Row&& row, Pieces& out) {
  std::vector<std::string> cells;
  std::vector<size_t> widths;
  for (size_t i = 0; i < rows; ++i) {
    row(i, cells);
    if (widths.size() < cells.size()) widths.resize(cells.size(), 0);
    for (size_t c = 0; c < cells.size(); ++c)
      widths[c] = std::max(widths[c], cells[c].size());
  }
  std::string line;
  for (size_t i = 0; i < rows; ++i) {
    row(i, cells);
    line.clear();
    for (size_t c = 0; c < cells.size(); ++c) {
      const size_t padding = widths[c] - cells[c].size();
      line += "  ";
      if (c == 0 && namesFirst) {
        line += cells[c];
        line.append(padding, ' ');
      } else {
        line.append(padding, ' ');
        line += cells[c];
      }
    }
    while (!line.empty() && line.back() == ' ')
      line.pop_back();
    out.text() += line;
    out.text() += '\n';
    out.handOnWhenFull();
  }
}

// Sets `cells` to `texts`, each moved or copied into the cell's own storage: a row made twice
// for each of a million structures then costs no list of temporary copies.
template <class... Texts>
void setCells(std::vector<std::string>& cells, Texts&&... texts) {
  cells.resize(sizeof...(texts));
  size_t c = 0;
  ((cells[c++] = std::forward<Texts>(texts)), ...);
}

std::string counted(size_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

void StatisticsCollector::begin() {
  current_ = StructureStatistics();
  layerIndex_.clear();
}

LayerUse& StatisticsCollector::layerOf(uint32_t layer, int32_t type) {
  auto [at, inserted] = layerIndex_.try_emplace(layerKey(layer, type), current_.layers.size());
  if (inserted) {
    current_.layers.emplace_back();
    current_.layers.back().layer = layer;
    current_.layers.back().type = type;
  }
  return current_.layers[at->second];
}

void StatisticsCollector::add(const GdsStructure& part) {
  BoundingBox box;
  auto points = [&](const Coordinates& xCor, const Coordinates& yCor) {
    current_.points += std::min(xCor.size(), yCor.size());
  };
  for (const GdsBoundary& boundary : part.boundaries) {
    points(boundary.xCor, boundary.yCor);
    if (pointListBox(boundary.xCor, boundary.yCor, box))
      widen(layerOf(boundary.layer, boundary.datatype), box);
  }
  for (const GdsPath& path : part.paths) {
    points(path.xCor, path.yCor);
    if (!pointListBox(path.xCor, path.yCor, box)) continue;
    const int64_t half = std::llround(static_cast<double>(path.width) * 0.5);
    widen(layerOf(path.layer, path.datatype),
          {clampToInt32(box[0] - half), clampToInt32(box[1] - half), clampToInt32(box[2] + half),
           clampToInt32(box[3] + half)});
  }
  for (const GdsText& text : part.texts)
    widen(layerOf(text.layer, text.texttype), {text.xCor, text.yCor, text.xCor, text.yCor});
  for (const GdsNode& node : part.nodes) {
    points(node.xCor, node.yCor);
    if (pointListBox(node.xCor, node.yCor, box))
      widen(layerOf(node.layer, static_cast<int32_t>(node.nodetype)), box);
  }
  for (const GdsBox& element : part.boxes) {
    points(element.xCor, element.yCor);
    if (pointListBox(element.xCor, element.yCor, box))
      widen(layerOf(element.layer, static_cast<int32_t>(element.boxtype)), box);
  }
  current_.boundaries += part.boundaries.size();
  current_.paths += part.paths.size();
  current_.texts += part.texts.size();
  current_.srefs += part.srefs.size();
  current_.arefs += part.arefs.size();
  current_.nodes += part.nodes.size();
  current_.boxes += part.boxes.size();
}

void StatisticsCollector::finish(StructureStatistics& statistics) {
  std::sort(current_.layers.begin(), current_.layers.end(),
            [](const LayerUse& a, const LayerUse& b) {
              return layerKey(a.layer, a.type) < layerKey(b.layer, b.type);
            });
  statistics = std::move(current_);
  begin();
}

void gatherStatistics(StatisticsCollector& collector, const GdsStructure& part, bool first,
                      bool last, StructureSummary& summary) {
  if (first) collector.begin();
  collector.add(part);
  if (!last) return;
  summary.statistics = std::make_unique<StructureStatistics>();
  collector.finish(*summary.statistics);
}

void writeStructureReportTable(const ReportInput& input, const TextSink& put) {
  const Findings found = findingsOf(input);
  const double unit = input.header.userUnit;
  // A structure with nothing in it has no box.
  auto boxText = [](const BoundingBox& box) {
    return isEmptyBox(box) ? std::string("none") : tessel::boxText(box);
  };
  auto userBoxText = [](const BoundingBox& box, double userUnit) {
    return isEmptyBox(box) ? std::string("none") : tessel::userBoxText(box, userUnit);
  };
  Pieces pieces(put);
  std::string& out = pieces.text();
  out += "Library \"" + input.header.name + "\": user unit " + number(unit) + ", database unit " +
         number(input.header.meterUnit) + " m; " +
         counted(input.structures.size(), "structure", "structures") + ", " +
         counted(found.layers.size(), "layer", "layers") + ", " +
         counted(found.roots.size(), "root", "roots") + ".\n";
  if (!input.complete) out += "The library was read only in part: this is what was read.\n";

  out += "Structures:\n";
  printTable(
      true, input.structures.size() + 1,
      [&](size_t row, std::vector<std::string>& cells) {
        if (row == 0) {
          setCells(cells, "Name", "Level", "Placed", "Instances", "Boundaries", "Paths", "Texts",
                   "SREFs", "AREFs", "Nodes", "Boxes", "Points", "Box (database units)",
                   "Box (user units)");
          return;
        }
        const size_t i = row - 1;
        const StructureSummary& structure = input.structures[i];
        const StructureStatistics none;
        const StructureStatistics& s = structure.statistics ? *structure.statistics : none;
        const BoundingBox& box = input.boxes.boxes[i];
        setCells(cells, input.names.name(structure.name), std::to_string(input.boxes.levels[i]),
                 std::to_string(found.placed[i]), std::to_string(found.instances[i]),
                 std::to_string(s.boundaries), std::to_string(s.paths), std::to_string(s.texts),
                 std::to_string(s.srefs), std::to_string(s.arefs), std::to_string(s.nodes),
                 std::to_string(s.boxes), std::to_string(s.points), boxText(box),
                 userBoxText(box, unit));
      },
      pieces);

  out += "Layers:\n";
  printTable(
      false, found.layers.size() + 1,
      [&](size_t row, std::vector<std::string>& cells) {
        if (row == 0) {
          setCells(cells, "Layer", "Type", "Elements", "Box (database units)", "Box (user units)");
          return;
        }
        const LayerUse& use = found.layers[row - 1];
        setCells(cells, std::to_string(use.layer), std::to_string(use.type),
                 std::to_string(use.elements), boxText(use.box), userBoxText(use.box, unit));
      },
      pieces);

  out += "Roots:\n";
  printTable(
      true, found.roots.size() + 1,
      [&](size_t row, std::vector<std::string>& cells) {
        if (row == 0) {
          setCells(cells, "Name", "Box (database units)", "Box (user units)");
          return;
        }
        const uint32_t root = found.roots[row - 1];
        setCells(cells, input.names.name(input.structures[root].name),
                 boxText(input.boxes.boxes[root]), userBoxText(input.boxes.boxes[root], unit));
      },
      pieces);
  pieces.handOn();
}

void writeStructureReportJson(const ReportInput& input, const TextSink& put) {
  const Findings found = findingsOf(input);
  const double unit = input.header.userUnit;
  auto boxes = [&](const BoundingBox& box) {
    return "\"box\": " + boxText(box) + ", \"boxUser\": " + userBoxText(box, unit);
  };
  Pieces pieces(put);
  std::string& out = pieces.text();
  out += "{\n  \"library\": {\"name\": " + jsonString(input.header.name) +
         ", \"userUnit\": " + number(unit) + ", \"meterUnit\": " + number(input.header.meterUnit) +
         ", \"complete\": " + (input.complete ? "true" : "false") + "},\n";
  out += "  \"structures\": [";
  for (size_t i = 0; i < input.structures.size(); ++i) {
    const StructureSummary& structure = input.structures[i];
    const StructureStatistics none;
    const StructureStatistics& s = structure.statistics ? *structure.statistics : none;
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"name\": " + jsonString(input.names.name(structure.name)) +
           ", \"level\": " + std::to_string(input.boxes.levels[i]) +
           ", \"placed\": " + std::to_string(found.placed[i]) +
           ", \"instances\": " + std::to_string(found.instances[i]) +
           ", \"boundaries\": " + std::to_string(s.boundaries) +
           ", \"paths\": " + std::to_string(s.paths) + ", \"texts\": " + std::to_string(s.texts) +
           ", \"srefs\": " + std::to_string(s.srefs) + ", \"arefs\": " + std::to_string(s.arefs) +
           ", \"nodes\": " + std::to_string(s.nodes) + ", \"boxes\": " + std::to_string(s.boxes) +
           ", \"points\": " + std::to_string(s.points) + ", " + boxes(input.boxes.boxes[i]) +
           ", \"children\": [";
    for (size_t c = 0; c < structure.children.size(); ++c) {
      const ChildReferences& child = structure.children[c];
      out += (c == 0 ? "" : ", ");
      out += "{\"name\": " + jsonString(input.names.name(child.name)) +
             ", \"placed\": " + std::to_string(saturatingAdd(child.srefs, child.arefElements)) +
             "}";
    }
    out += "]}";
    pieces.handOnWhenFull();
  }
  out += input.structures.empty() ? "],\n" : "\n  ],\n";
  out += "  \"layers\": [";
  for (size_t i = 0; i < found.layers.size(); ++i) {
    const LayerUse& use = found.layers[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"layer\": " + std::to_string(use.layer) +
           ", \"type\": " + std::to_string(use.type) +
           ", \"elements\": " + std::to_string(use.elements) + ", " + boxes(use.box) + "}";
    pieces.handOnWhenFull();
  }
  out += found.layers.empty() ? "],\n" : "\n  ],\n";
  out += "  \"roots\": [";
  for (size_t i = 0; i < found.roots.size(); ++i) {
    const uint32_t root = found.roots[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"name\": " + jsonString(input.names.name(input.structures[root].name)) + ", " +
           boxes(input.boxes.boxes[root]) + "}";
    pieces.handOnWhenFull();
  }
  out += found.roots.empty() ? "]\n" : "\n  ]\n";
  out += "}\n";
  pieces.handOn();
}

}  // namespace tessel
