// The record-by-record text dump behind -i.
#pragma once

#include <string>

#include "stream/byte_source.h"
#include "stream/record_reader.h"

namespace tessel {

// Dumps `fileName` one line per record up to ENDLIB. Returns 0 when the dump reached ENDLIB,
// 1 when the file cannot be opened or the dump stopped early.
int interpretStream(const std::string& fileName);
// The same over an open source; `fileName` is only used in the message lines.
int interpretStream(ByteSource& source, const std::string& fileName);

// Prints one record's line. Returns 0 when printed, 1 when the dump must stop.
int printRecord(const RecordView& record);

}  // namespace tessel
