// The in-memory library: plain value types with public fields; copies are deep.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/name_index.h"
#include "model/shared_string.h"

namespace tessel {

using Coordinates = std::vector<int32_t>;
// Minimum x, minimum y, maximum x, maximum y in database units.
using BoundingBox = std::array<int32_t, 4>;

// One PROPATTR/PROPVALUE pair of an element.
struct GdsProperty {
  uint32_t propattr = 0;
  SharedString propvalue;

  friend bool operator==(const GdsProperty&, const GdsProperty&) = default;
};
using Properties = std::vector<GdsProperty>;

// Every element keeps its PLEX, its ELFLAGS bits and its properties in file order.
struct GdsBoundary {
  int32_t plex = 0;
  uint32_t layer = 0;
  int32_t datatype = 0;
  Coordinates xCor;
  Coordinates yCor;
  Properties properties;
  uint16_t elflags = 0;

  GdsBoundary() = default;
  GdsBoundary(uint32_t layer, Coordinates xCor, Coordinates yCor);
  // A closed rectangle through (x1, y1), (x2, y1), (x2, y2), (x1, y2), (x1, y1).
  GdsBoundary(uint32_t layer, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
};

// Millions of paths and references are held at once: their fields are laid out widest first, so
// no byte is lost to padding.
struct GdsPath {
  Coordinates xCor;
  Coordinates yCor;
  Properties properties;
  int32_t plex = 0;
  uint32_t layer = 0;
  int32_t datatype = 0;
  int32_t pathtype = 0;
  uint32_t width = 0;
  // How far the path reaches beyond its first and last point; written for path type 4 only.
  int32_t bgnextn = 0;
  int32_t endextn = 0;
  uint16_t elflags = 0;

  GdsPath() = default;
  // Path type 2, through the given points.
  GdsPath(uint32_t layer, uint32_t width, Coordinates xCor, Coordinates yCor);
};

struct GdsSref {
  SharedString name;
  Properties properties;
  double scale = 1.0;
  double angle = 0.0;
  int32_t plex = 0;
  int32_t xCor = 0;
  int32_t yCor = 0;
  // STRANS as read: 0x8000 reflection, 0x0004 absolute magnification, 0x0002 absolute angle.
  uint16_t strans = 0;
  uint16_t elflags = 0;
  bool reflection = false;

  GdsSref() = default;
  GdsSref(SharedString name, int32_t xCor, int32_t yCor);
  GdsSref(SharedString name, int32_t xCor, int32_t yCor, bool reflection, double angle,
          double scale);
};

struct GdsAref {
  int32_t plex = 0;
  SharedString name;
  uint16_t strans = 0;
  bool reflection = false;
  double angle = 0.0;
  double scale = 1.0;
  int32_t columns = 0;
  int32_t rows = 0;
  // Reference point, column displacement point, row displacement point: x and y of each.
  std::array<int32_t, 6> xy{};
  Properties properties;
  uint16_t elflags = 0;
};

// The optional records a text was read with, as bits of GdsText::records. A rewrite writes them
// as read: a text size (MAG) of 1 given in the file and one left out read differently in some
// tools, and so do a WIDTH of 0 and none.
namespace text_records {
constexpr uint8_t kRead = 0x01;  // read from a file: the bits below say what it had
constexpr uint8_t kPresentation = 0x02;
constexpr uint8_t kPathtype = 0x04;
constexpr uint8_t kWidth = 0x08;
constexpr uint8_t kStrans = 0x10;
constexpr uint8_t kMag = 0x20;
constexpr uint8_t kAngle = 0x40;
}  // namespace text_records

struct GdsText {
  int32_t plex = 0;
  uint16_t presentation = 0;
  SharedString textbody;
  uint32_t layer = 0;
  int32_t texttype = 0;
  int32_t pathtype = 0;
  int32_t width = 0;
  uint16_t strans = 0;
  double scale = 1.0;
  double angle = 0.0;
  int32_t xCor = 0;
  int32_t yCor = 0;
  Properties properties;
  uint16_t elflags = 0;
  // 0 for a text built in code, which writes PRESENTATION, WIDTH and STRANS, PATHTYPE when
  // not 0, MAG when not 1 and ANGLE when not 0.
  uint8_t records = 0;
};

struct GdsNode {
  int32_t plex = 0;
  uint32_t layer = 0;
  uint32_t nodetype = 0;
  Coordinates xCor;
  Coordinates yCor;
  Properties properties;
  uint16_t elflags = 0;
};

struct GdsBox {
  int32_t plex = 0;
  uint32_t layer = 0;
  int32_t boxtype = 0;
  Coordinates xCor;
  Coordinates yCor;
  Properties properties;
  uint16_t elflags = 0;
};

struct GdsStructure {
  std::string name;
  uint32_t level = 0;
  BoundingBox bbox{};
  std::vector<int32_t> bgnstr;
  std::vector<GdsBoundary> boundaries;
  std::vector<GdsPath> paths;
  std::vector<GdsSref> srefs;
  std::vector<GdsAref> arefs;
  std::vector<GdsText> texts;
  std::vector<GdsNode> nodes;
  std::vector<GdsBox> boxes;
};

// The position under which the empty name is registered after an import: it designates no
// structure and marks a reference to a structure without a name.
inline constexpr int32_t kUnnamedStructurePosition = 1000000000;

// Structure name to position in `structures`.
using StructureIndex = NameIndex;

struct GdsLibrary {
  int32_t version = 7;
  int32_t generations = 3;
  uint32_t maxLevel = 0;
  double userUnit = 0.001;
  double meterUnit = 1e-9;
  StructureIndex structureIndex;
  std::vector<int32_t> bgnlib;
  std::string name = "Untitled_library";
  std::vector<std::string> sourceFiles;
  std::vector<GdsStructure> structures;

  // Adds the structure unless its name is already indexed. Returns 0 when added, 1 when the
  // name was taken (the library is then unchanged, and a structure passed by move is left as
  // it was, so the caller can still report it).
  int addStructure(const GdsStructure& structure);
  int addStructure(GdsStructure&& structure);
  // Appends every structure without touching structureIndex.
  void appendStructures(const std::vector<GdsStructure>& list);
  // Back to the defaults except maxLevel and sourceFiles.
  void reset();
  double getUserUnit() const { return userUnit; }
  double getMeterUnit() const { return meterUnit; }
};

// The position of the structure that `name` designates, or -1 when no structure bears it (the
// empty name's mark and positions beyond the list included).
int32_t findStructure(const GdsLibrary& library, std::string_view name);

}  // namespace tessel
