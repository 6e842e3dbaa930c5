// The root structures: those that no SREF or AREF names.
#pragma once

#include <cstdint>
#include <vector>

#include "hierarchy/structure_summary.h"
#include "model/library.h"

namespace tessel {

// Prints the root names on one line and returns their positions in ascending order. A root is
// a structure whose name no SREF or AREF gives.
std::vector<uint32_t> findRootStructures(const SummaryList& structures, const NameTable& names);
// The same for a library held in memory, through its summaries.
std::vector<uint32_t> findRootStructures(const GdsLibrary& library);

}  // namespace tessel
