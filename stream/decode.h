// Decoding one record's payload into its values.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stream/record.h"

namespace tessel {

// Decodes a whole record (header included). The record's own length field is the authority;
// a record longer than `record` is refused. Returns 0 when decoded, 1 when not: data type 4,
// a data type above 6 (after printing "Unknown data type."), a length below 4, a payload that is
// not a whole number of values, or a bit array with fewer than 2 payload bytes. The outputs are
// reset on every call, keeping their storage.
int decodeRecord(std::span<const uint8_t> record, RecordCode& code, uint16_t& bits,
                 std::vector<int32_t>& ints, std::vector<double>& reals, std::string& text);

// The value of the 8-byte real at `bytes`.
double decodeReal8(const uint8_t* bytes);

// Appends the payload bytes to `text`, dropping every NUL byte.
void appendText(std::span<const uint8_t> payload, std::string& text);

}  // namespace tessel
