#include "model/dump.h"

#include <cstdio>
#include <string>

#include "stream/console.h"

namespace tessel {

namespace {

// Doubles print as an output stream prints them by default: 6 significant digits.
std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string boxText(const BoundingBox& box) {
  return std::to_string(box[0]) + ", " + std::to_string(box[1]) + "; " + std::to_string(box[2]) +
         ", " + std::to_string(box[3]);
}

void printPoints(const Coordinates& xCor, const Coordinates& yCor) {
  printLine("  xCor:\tyCor:");
  const size_t count = xCor.size() < yCor.size() ? xCor.size() : yCor.size();
  for (size_t i = 0; i < count; ++i)
    printLine(std::to_string(xCor[i]) + "\t" + std::to_string(yCor[i]));
}

}  // namespace

void print(const GdsLibrary& library) {
  printLine("Tessel class:");
  for (const auto& structure : library.structures)
    print(structure);
}

void print(const GdsStructure& structure) {
  printLine("GDS STR class:");
  printLine("  Name: " + structure.name);
  printLine("  BBox: " + boxText(structure.bbox));
  for (const auto& sref : structure.srefs)
    print(sref);
  for (const auto& boundary : structure.boundaries)
    print(boundary);
  for (const auto& path : structure.paths)
    print(path);
  for (const auto& node : structure.nodes)
    print(node);
  for (const auto& text : structure.texts)
    print(text);
}

void print(const GdsSref& sref) {
  printLine("GDS REF class:");
  printLine("  Name: " + sref.name);
  printLine(std::string("  reflection: ") + (sref.reflection ? "1" : "0"));
  printLine("  angle: " + number(sref.angle));
  printLine("  scale: " + number(sref.scale));
  printLine("  xCor: " + std::to_string(sref.xCor));
  printLine("  yCor: " + std::to_string(sref.yCor));
}

void print(const GdsBoundary& boundary) {
  printLine("GDS BOUNDARY class:");
  printLine("  layer: " + std::to_string(boundary.layer));
  printPoints(boundary.xCor, boundary.yCor);
}

void print(const GdsPath& path) {
  printLine("GDS PATH class:");
  printLine("  layer: " + std::to_string(path.layer));
  printLine("  width: " + std::to_string(path.width));
  printPoints(path.xCor, path.yCor);
}

void print(const GdsNode& node) {
  printLine("GDS NODE class:");
  printLine("  layer: " + std::to_string(node.layer));
  printLine("  nodetype: " + std::to_string(node.nodetype));
  // One pair of lines per property; a node without any shows the empty property.
  if (node.properties.empty()) {
    printLine("  propattr: 0");
    printLine("  propvalue: ");
  }
  for (const GdsProperty& property : node.properties) {
    printLine("  propattr: " + std::to_string(property.propattr));
    printLine("  propvalue: " + property.propvalue);
  }
  printPoints(node.xCor, node.yCor);
}

void print(const GdsText& text) {
  printLine("GDS TEXT class:");
  printLine("  layer: " + std::to_string(text.layer));
  printLine("  textbody: " + text.textbody);
  printLine("  scale: " + number(text.scale));
  printLine("  xCor: " + std::to_string(text.xCor));
  printLine("  yCor: " + std::to_string(text.yCor));
}

void printBoundingBoxes(const GdsLibrary& library) {
  for (const auto& structure : library.structures)
    printBoundingBox(structure);
}

void printBoundingBox(const GdsStructure& structure) {
  printLine(structure.name + " BBox: " + boxText(structure.bbox));
}

}  // namespace tessel
