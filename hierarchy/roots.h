// The root structures: those that no SREF or AREF names.
#pragma once

#include <cstdint>
#include <vector>

#include "hierarchy/structure_summary.h"
#include "model/library.h"

namespace tessel {

// Prints the root names on one line and returns their positions in ascending order.
std::vector<uint32_t> findRootStructures(const GdsLibrary& library);
// The same for summarised structures, whose children's targets are set.
std::vector<uint32_t> findRootStructures(const SummaryList& structures, const NameTable& names);

}  // namespace tessel
