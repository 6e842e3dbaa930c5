// Writing records: the buffered record sink, the record emitters, the 8-byte real encoders and
// the run's timestamp.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stream/diagnostics.h"
#include "stream/record.h"

namespace tessel {

// Where a RecordSink's blocks go instead of a file descriptor: a compressor, say.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes all `size` bytes; false once anything has failed.
  virtual bool write(const uint8_t* data, size_t size) = 0;
};

// Collects output bytes and hands them to a file descriptor, or to a ByteSink, in large blocks.
// Without either (fd < 0) it keeps every byte in memory, which tests read back through bytes().
class RecordSink {
 public:
  explicit RecordSink(int fd = -1);
  explicit RecordSink(ByteSink& next);
  ~RecordSink();
  RecordSink(const RecordSink&) = delete;
  RecordSink& operator=(const RecordSink&) = delete;

  void put(const uint8_t* data, size_t size);
  void put(std::span<const uint8_t> data) { put(data.data(), data.size()); }
  void putByte(uint8_t value) { *grab(1) = value; }
  void put16(uint32_t value) {
    uint8_t* at = grab(2);
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
  }
  void put32(uint32_t value) {
    uint8_t* at = grab(4);
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
  }
  void put64(uint64_t value) {
    put32(static_cast<uint32_t>(value >> 32));
    put32(static_cast<uint32_t>(value));
  }
  void putHeader(size_t length, RecordCode code) {
    uint8_t* at = grab(4);
    at[0] = static_cast<uint8_t>(length >> 8);
    at[1] = static_cast<uint8_t>(length);
    at[2] = static_cast<uint8_t>(code >> 8);
    at[3] = static_cast<uint8_t>(code);
  }
  // Hands the buffer to the file once it holds a block's worth; call between records.
  void maybeFlush() {
    if (writesOut() && size_ >= kFlushSize) flush();
  }
  // Writes the buffered bytes out; returns false once any write has failed.
  bool flush();
  // Asks the system to start writing the file's blocks to the disk as they are written, for a
  // file that will replace another.
  void startWritebackEarly() { startWriteback_ = true; }
  bool failed() const { return failed_; }
  // The bytes held: all that was put, for a sink without a file.
  std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }
  // Forgets the bytes held and the lines kept, keeping the storage.
  void clear() {
    size_ = 0;
    kept_.clear();
  }

  // A sink filled on a helper thread keeps the emitters' refusal lines with its bytes, so they
  // can be printed in order when the bytes are written; any other sink prints them at once.
  void keepMessages() { messages_ = MessageSink(kept_); }
  void report(std::string_view line) { messages_.line(line); }
  const std::string& messages() const { return kept_; }

 private:
  // Room for `count` more bytes, counted as put.
  uint8_t* grab(size_t count) {
    if (capacity_ - size_ < count) grow(count);
    uint8_t* at = data_.get() + size_;
    size_ += count;
    return at;
  }
  void grow(size_t count);
  bool writesOut() const { return fd_ >= 0 || next_; }
  void writeOut(const uint8_t* data, size_t size);

  static constexpr size_t kFlushSize = size_t{1} << 20;
  static constexpr size_t kFirstSize = size_t{64} << 10;
  static constexpr size_t kWritebackStep = size_t{8} << 20;
  bool startWriteback_ = false;
  size_t written_ = 0;    // bytes written to the file
  size_t startedTo_ = 0;  // bytes whose writing to the disk has been started
  int fd_;
  ByteSink* next_ = nullptr;
  bool failed_ = false;
  // Plain storage rather than a vector: bytes are put a few at a time, hundreds of millions of
  // times, and each put should cost one bounds check.
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  MessageSink messages_;
  std::string kept_;
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
