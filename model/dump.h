// Indented text dump of a library for inspection.
#pragma once

#include "model/library.h"

namespace tessel {

void print(const GdsLibrary& library);
void print(const GdsStructure& structure);
void print(const GdsSref& sref);
void print(const GdsBoundary& boundary);
void print(const GdsPath& path);
void print(const GdsNode& node);
void print(const GdsText& text);
void printBoundingBoxes(const GdsLibrary& library);
void printBoundingBox(const GdsStructure& structure);

}  // namespace tessel
