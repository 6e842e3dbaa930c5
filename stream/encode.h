// Writing records: the buffered record sink, the record emitters, the 8-byte real encoders and
// the run's timestamp.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stream/record.h"

namespace tessel {

// Collects output bytes and hands them to a file descriptor in large blocks. Without a file
// descriptor (fd < 0) it keeps every byte in memory, which tests read back through bytes().
class RecordSink {
 public:
  explicit RecordSink(int fd = -1);
  ~RecordSink();
  RecordSink(const RecordSink&) = delete;
  RecordSink& operator=(const RecordSink&) = delete;

  void put(const uint8_t* data, size_t size);
  void put(std::span<const uint8_t> data) { put(data.data(), data.size()); }
  void putByte(uint8_t value) { buffer_.push_back(value); }
  void put16(uint32_t value) {
    buffer_.push_back(static_cast<uint8_t>(value >> 8));
    buffer_.push_back(static_cast<uint8_t>(value));
  }
  void put32(uint32_t value) {
    put16(value >> 16);
    put16(value & 0xFFFF);
  }
  void put64(uint64_t value) {
    put32(static_cast<uint32_t>(value >> 32));
    put32(static_cast<uint32_t>(value));
  }
  void putHeader(size_t length, RecordCode code) {
    put16(static_cast<uint32_t>(length));
    put16(static_cast<uint32_t>(code));
  }
  // Hands the buffer to the file once it holds a block's worth; call between records.
  void maybeFlush() {
    if (fd_ >= 0 && buffer_.size() >= kFlushSize) flush();
  }
  // Writes the buffered bytes out; returns false once any write has failed.
  bool flush();
  bool failed() const { return failed_; }
  const std::vector<uint8_t>& bytes() const { return buffer_; }

 private:
  static constexpr size_t kFlushSize = size_t{1} << 20;
  int fd_;
  bool failed_ = false;
  std::vector<uint8_t> buffer_;
};

// The emitters return 0 when the record was written, 1 when refused (nothing written, the
// message line printed).
int writeIntegerRecord(RecordSink& out, RecordCode code, std::span<const int32_t> values,
                       int count);
// Odd-length strings get one NUL appended to `text` before writing. Strings that do not fit in
// one record (more than 65530 bytes) are refused.
int writeStringRecord(RecordSink& out, RecordCode code, std::string& text);
// The same bytes without touching the caller's text: the pad NUL is written, not appended.
int writeTextRecord(RecordSink& out, RecordCode code, std::string_view text);
// Values that an 8-byte real cannot hold (infinite, NaN, beyond 16^63) are refused.
int writeRealRecord(RecordSink& out, RecordCode code, std::span<const double> values, int count);

// The 8-byte real of `x` by the stream's classic conversion: fraction bits beyond 2^-64 and the
// 8 low bits of the working mantissa are dropped, not rounded. Magnitudes of 2^64 and more get
// encodeReal8Normalized.
uint64_t encodeReal8(double x);
// A normalised 8-byte real (first mantissa digit non-zero), mantissa rounded to nearest, ties to
// even, so any value read from such a real with at most 53 significant bits is written back with
// its own bytes.
uint64_t encodeReal8Normalized(double x);
// True when `x` is finite and within the range of an 8-byte real.
bool fitsReal8(double x);

// Year, month, day, hour, minute, second, twice: the moment of the first call, for the whole run.
const std::array<int32_t, 12>& currentTimestamp();

// A BGNLIB or BGNSTR record carrying the run's timestamp, each value as 2 bytes.
void writeTimestampRecord(RecordSink& out, RecordCode code);

// Prints "<prefix>0x<code in lowercase hex>".
void printCodeMessage(const char* prefix, RecordCode code);

}  // namespace tessel
