// -rw without holding the model: every structure is encoded on the thread that parsed it and
// written in file order while the file is still being read, so the memory grows with the
// hierarchy and the largest structure, not with the file.
#pragma once

#include <string>

#include "stream/byte_source.h"

namespace tessel {

struct RewriteResult {
  int imported = 0;  // kImported or kImportDamaged
  int written = 0;   // 0 when the output was written, 1 when it could not be
};

// Reads `source` and writes what an import into the model and writeLibrary would write, with the
// same lines.
RewriteResult rewriteStream(ByteSource& source, const std::string& inputName,
                            const std::string& outputName);

}  // namespace tessel
