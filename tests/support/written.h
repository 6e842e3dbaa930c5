// The bytes the writer puts around every file and structure, for tests that build a written
// file's expected bytes, and a mask for timestamps written by another process.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "stream/encode.h"
#include "stream/record.h"
#include "support/support.h"

namespace tessel::testing {

// A BGNLIB or BGNSTR record carrying `stamp`, each value as two bytes.
inline Bytes stampedRecord(RecordCode code, const std::array<int32_t, 12>& stamp) {
  Bytes bytes{0x00, 0x1C, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
  for (int32_t value : stamp) {
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

// HEADER 600, BGNLIB, LIBNAME and the default UNITS, as written in this run; a library built in
// code is named "Untitled_library" until it is given a name.
inline Bytes writtenLibraryHeader(const std::string& name = "Untitled_library",
                                  const std::array<int32_t, 12>& stamp = currentTimestamp()) {
  return StreamBuilder()
      .int2(rec::HEADER, {600})
      .raw(stampedRecord(rec::BGNLIB, stamp))
      .text(rec::LIBNAME, name)
      .real8(rec::UNITS, {0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL})
      .bytes();
}

// BGNSTR and STRNAME of a structure, as written in this run.
inline Bytes writtenStructureStart(const std::string& name,
                                   const std::array<int32_t, 12>& stamp = currentTimestamp()) {
  return StreamBuilder().raw(stampedRecord(rec::BGNSTR, stamp)).text(rec::STRNAME, name).bytes();
}

// The code and the length of every whole record of `bytes`, in order; stops where the framing
// breaks.
inline std::vector<std::pair<RecordCode, size_t>> recordList(const Bytes& bytes) {
  std::vector<std::pair<RecordCode, size_t>> records;
  size_t at = 0;
  while (at + 4 <= bytes.size()) {
    const size_t length = (size_t{bytes[at]} << 8) | bytes[at + 1];
    if (length < 4 || at + length > bytes.size()) break;
    records.emplace_back((RecordCode{bytes[at + 2]} << 8) | bytes[at + 3], length);
    at += length;
  }
  return records;
}

// Zeroes the payload of every BGNLIB and BGNSTR record, so files written by another process
// compare with bytes built here. Stops at a record whose length cannot be framed.
inline Bytes maskTimestamps(Bytes bytes) {
  size_t at = 0;
  while (at + 4 <= bytes.size()) {
    const size_t length = (size_t{bytes[at]} << 8) | bytes[at + 1];
    const RecordCode code = (RecordCode{bytes[at + 2]} << 8) | bytes[at + 3];
    if (length < 4 || at + length > bytes.size()) break;
    if (code == rec::BGNLIB || code == rec::BGNSTR)
      for (size_t i = at + 4; i < at + length; ++i)
        bytes[i] = 0;
    at += length;
  }
  return bytes;
}

}  // namespace tessel::testing
