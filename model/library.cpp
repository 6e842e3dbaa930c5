#include "model/library.h"

#include <utility>

namespace tessel {

GdsBoundary::GdsBoundary(uint32_t layer, Coordinates xCor, Coordinates yCor)
    : layer(layer), xCor(std::move(xCor)), yCor(std::move(yCor)) {}

GdsBoundary::GdsBoundary(uint32_t layer, int32_t x1, int32_t y1, int32_t x2, int32_t y2)
    : layer(layer), xCor{x1, x2, x2, x1, x1}, yCor{y1, y1, y2, y2, y1} {}

GdsPath::GdsPath(uint32_t layer, uint32_t width, Coordinates xCor, Coordinates yCor)
    : xCor(std::move(xCor)), yCor(std::move(yCor)), layer(layer), pathtype(2), width(width) {}

GdsSref::GdsSref(SharedString name, int32_t xCor, int32_t yCor)
    : name(std::move(name)), xCor(xCor), yCor(yCor) {}

GdsSref::GdsSref(SharedString name, int32_t xCor, int32_t yCor, bool reflection, double angle,
                 double scale)
    : name(std::move(name)),
      scale(scale),
      angle(angle),
      xCor(xCor),
      yCor(yCor),
      reflection(reflection) {}

int GdsLibrary::addStructure(const GdsStructure& structure) {
  GdsStructure copy = structure;
  return addStructure(std::move(copy));
}

int GdsLibrary::addStructure(GdsStructure&& structure) {
  auto [entry, inserted] =
      structureIndex.try_emplace(structure.name, static_cast<int32_t>(structures.size()));
  if (!inserted) return 1;
  structures.push_back(std::move(structure));
  return 0;
}

void GdsLibrary::appendStructures(const std::vector<GdsStructure>& list) {
  structures.insert(structures.end(), list.begin(), list.end());
}

void GdsLibrary::reset() {
  version = 7;
  generations = 3;
  userUnit = 0.001;
  meterUnit = 1e-9;
  structures.clear();
  structureIndex.clear();
  bgnlib.clear();
  name = "Untitled_library";
}

int32_t findStructure(const GdsLibrary& library, std::string_view name) {
  auto it = library.structureIndex.find(name);
  if (it == library.structureIndex.end()) return -1;
  if (it->second < 0 || static_cast<size_t>(it->second) >= library.structures.size()) return -1;
  return it->second;
}

}  // namespace tessel
