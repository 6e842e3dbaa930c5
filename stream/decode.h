// Decoding one record's payload into its values.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "stream/console.h"
#include "stream/diagnostics.h"
#include "stream/record.h"

namespace tessel {

// Defined here so the readers' record loops can inline them.

// The value of the 8-byte real at `bytes`.
inline double decodeReal8(const uint8_t* bytes) {
  const bool negative = (bytes[0] & 0x80) != 0;
  const int exponent = bytes[0] & 0x7F;
  const uint64_t mantissa = readBigEndian64(bytes, 1, 7);
  const double fraction = static_cast<double>(mantissa) * 1.3877787807814457e-17;  // 2^-56
  // Scaling by a power of two is exact: the same value as exp2(4 * (exponent - 64)) * fraction.
  double value = std::ldexp(fraction, 4 * (exponent - 64));
  return negative ? -value : value;
}

// Appends the payload bytes to `text`, dropping every NUL byte.
inline void appendText(std::span<const uint8_t> payload, std::string& text) {
  const uint8_t* p = payload.data();
  const uint8_t* end = p + payload.size();
  while (p < end) {
    const void* nul = std::memchr(p, 0, static_cast<size_t>(end - p));
    const uint8_t* stop = nul ? static_cast<const uint8_t*>(nul) : end;
    text.append(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
    p = stop + (nul ? 1 : 0);
  }
}

namespace decoding {

// What a payload must be for its data type to decode: a whole number of values (its length a
// multiple of mask + 1) and at least `least` bytes; a data type that does not decode asks for
// more bytes than any record holds. One table lookup, not a branch per data type: the readers
// ask this of every record.
struct PayloadRule {
  uint32_t mask = 0;
  uint32_t least = kMaxRecordLength + 1;
};

constexpr std::array<PayloadRule, 256> buildPayloadRules() {
  std::array<PayloadRule, 256> rules{};
  rules[dtype::NONE] = {0, 0};
  rules[dtype::ASCII] = {0, 0};
  rules[dtype::BITS] = {0, 2};
  rules[dtype::INT2] = {1, 0};
  rules[dtype::INT4] = {3, 0};
  rules[dtype::REAL8] = {7, 0};
  return rules;
}

inline constexpr std::array<PayloadRule, 256> kPayloadRules = buildPayloadRules();

}  // namespace decoding

// True when decodeRecord would decode the whole record of `length` bytes at `record`: what a
// record holds can be told from its header alone.
inline bool isDecodable(const uint8_t* record, size_t length) {
  const decoding::PayloadRule& rule = decoding::kPayloadRules[record[3]];
  const size_t payload = length - kRecordHeaderSize;
  return (payload & rule.mask) == 0 && payload >= rule.least;
}

// Decodes a whole record (header included). The record's own length field is the authority;
// a record longer than `record` is refused. Returns 0 when decoded, 1 when not: data type 4,
// a data type above 6 (after printing "Unknown data type."), a length below 4, a payload that is
// not a whole number of values, or a bit array with fewer than 2 payload bytes. The outputs are
// reset on every call, keeping their storage.
// "Unknown data type." goes to `messages`, or to standard output without one.
inline int decodeRecord(std::span<const uint8_t> record, RecordCode& code, uint16_t& bits,
                        std::vector<int32_t>& ints, std::vector<double>& reals, std::string& text,
                        MessageSink* messages = nullptr) {
  bits = 0;
  ints.clear();
  reals.clear();
  text.clear();
  code = 0;
  if (record.size() < kRecordHeaderSize) return 1;
  const uint8_t* bytes = record.data();
  code = (RecordCode{bytes[2]} << 8) | bytes[3];
  const int dataType = bytes[3];
  if (dataType > dtype::ASCII) {
    if (messages)
      messages->line("Unknown data type.");
    else
      printLine("Unknown data type.");
    return 1;
  }
  const size_t length = readBigEndian(bytes, 0, 2);
  if (length < kRecordHeaderSize || length > record.size()) return 1;
  // The one statement of what decodes, which the structure cutter and the dump rely on too.
  if (!isDecodable(bytes, length)) return 1;
  const size_t payload = length - kRecordHeaderSize;
  switch (dataType) {
    case dtype::NONE:
      return 0;
    case dtype::BITS:
      bits = static_cast<uint16_t>(readBigEndian(bytes, 4, 2));
      return 0;
    case dtype::INT2:
      ints.resize(payload / 2);
      for (size_t i = 0; i < ints.size(); ++i)
        ints[i] = static_cast<int32_t>(readBigEndian(bytes, static_cast<long>(4 + 2 * i), 2));
      return 0;
    case dtype::INT4:
      ints.resize(payload / 4);
      for (size_t i = 0; i < ints.size(); ++i)
        ints[i] = static_cast<int32_t>(readBigEndian(bytes, static_cast<long>(4 + 4 * i), 4));
      return 0;
    case dtype::REAL8:
      reals.resize(payload / 8);
      for (size_t i = 0; i < reals.size(); ++i)
        reals[i] = decodeReal8(bytes + 4 + 8 * i);
      return 0;
    default:  // ASCII
      appendText(record.subspan(4, payload), text);
      return 0;
  }
}

}  // namespace tessel
