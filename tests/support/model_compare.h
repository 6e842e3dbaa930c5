// Comparing two libraries field by field, for round trips through the writer.
#pragma once

#include <string>

#include "model/library.h"

namespace tessel {

// The first difference between `a` and `b` as a readable line, or "" when they agree on every
// field the writer carries: the library's name and units, structure names and order, levels and
// boxes, and every element field, properties, PLEX, ELFLAGS and STRANS bits included (a path's
// extensions only for path type 4, the one type that has them). Library version, generations,
// BGNLIB and each structure's BGNSTR are header values the writer replaces, and are not
// compared. MAG and ANGLE values may differ by `relativeTolerance` (the classic 8-byte real
// conversion truncates).
std::string firstRoundTripDifference(const GdsLibrary& a, const GdsLibrary& b,
                                     double relativeTolerance = 0);

}  // namespace tessel
