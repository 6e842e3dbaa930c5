// Reading a stream file into the library model.
#pragma once

#include <string>

#include "model/library.h"
#include "stream/byte_source.h"

namespace tessel {

enum ImportResult : int {
  kImported = 0,          // read from the first record to ENDLIB
  kImportOpenFailed = 1,  // the file could not be opened; the library is unchanged
  kImportDamaged = 2,     // opened, but a record could not be read or the file ended early;
                          // what was read is in the library
};

// Adds the file's header values and structures to `library` and computes the bounding boxes.
int importStream(GdsLibrary& library, const std::string& fileName);
// The same over an open source; `fileName` is only used in the message lines.
int importStream(GdsLibrary& library, ByteSource& source, const std::string& fileName);

}  // namespace tessel
