// The box of one structure worked out element by element from the library model, with the
// lines it prints as it meets each reference: the plain reading of the box rules, against which
// the summarised calculation is checked.
#pragma once

#include "hierarchy/bounding_box.h"
#include "model/library.h"

namespace tessel::testing {

// The box of structure `index` from its own geometry and the current boxes of the structures
// it references. A reference to a missing structure counts nothing; it is reported once per
// name when `reported` is given, at every meeting otherwise.
BoundingBox elementByElementBox(const GdsLibrary& library, int32_t index,
                                ReportedNames* reported = nullptr);

}  // namespace tessel::testing
