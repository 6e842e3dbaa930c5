#include "stream/encode.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>

#include "stream/console.h"

namespace tessel {

// The buffer starts small and doubles up to a block and a record or two: a small file never
// pays for a block.
RecordSink::RecordSink(int fd) : fd_(fd) {
  if (fd_ >= 0) grow(kFirstSize);
}

RecordSink::RecordSink(ByteSink& next) : fd_(-1), next_(&next) {
  grow(kFirstSize);
}

RecordSink::~RecordSink() = default;

void RecordSink::grow(size_t count) {
  const size_t capacity = std::max({capacity_ * 2, size_ + count, size_t{4096}});
  auto data = std::make_unique_for_overwrite<uint8_t[]>(capacity);
  if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

void RecordSink::put(const uint8_t* data, size_t size) {
  if (writesOut() && size >= kFlushSize) {  // a large block goes out without a copy
    flush();
    writeOut(data, size);
    return;
  }
  if (size > 0) std::memcpy(grab(size), data, size);
  maybeFlush();
}

void RecordSink::writeOut(const uint8_t* data, size_t size) {
  if (next_) {
    if (!failed_ && !next_->write(data, size)) failed_ = true;
    return;
  }
  size_t done = 0;
  while (!failed_ && done < size) {
    ssize_t count = ::write(fd_, data + done, size - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
    } else {
      done += static_cast<size_t>(count);
    }
  }
#ifdef __linux__
  // A file written to replace another is flushed whole by some file systems (ext4, XFS) when it
  // is renamed over the old one; starting each block on its way to the disk as it is written
  // spreads that work over the writing instead of making the rename wait for all of it.
  written_ += size;
  if (startWriteback_ && !failed_ && written_ - startedTo_ >= kWritebackStep) {
    ::sync_file_range(fd_, static_cast<off_t>(startedTo_),
                      static_cast<off_t>(written_ - startedTo_), SYNC_FILE_RANGE_WRITE);
    startedTo_ = written_;
  }
#endif
}

bool RecordSink::flush() {
  if (!writesOut()) return !failed_;
  writeOut(data_.get(), size_);
  size_ = 0;
  return !failed_;
}

namespace {

std::string codeMessage(const char* prefix, RecordCode code) {
  char digits[16];
  auto result = std::to_chars(digits, digits + sizeof digits, static_cast<uint32_t>(code), 16);
  std::string line(prefix);
  line.append("0x").append(digits, result.ptr);
  return line;
}

void reportCode(RecordSink& out, const char* prefix, RecordCode code) {
  out.report(codeMessage(prefix, code));
}

}  // namespace

void printCodeMessage(const char* prefix, RecordCode code) {
  printLine(codeMessage(prefix, code));
}

int writeIntegerRecord(RecordSink& out, RecordCode code, std::span<const int32_t> values,
                       int count) {
  const int dataType = code & 0xFF;
  int width = -1;
  if (dataType == dtype::INT2 && count > 0) width = 2;
  if (dataType == dtype::INT4 && count > 0) width = 4;
  if (dataType == dtype::NONE && count == 0) width = 0;
  const size_t length = kRecordHeaderSize + static_cast<size_t>(count) * (width < 0 ? 0 : width);
  if (width < 0 || static_cast<size_t>(count) > values.size() || length > kMaxRecordLength) {
    reportCode(out, "Incorrect parameters for record: ", code);
    return 1;
  }
  out.putHeader(length, code);
  for (int i = 0; i < count; ++i) {
    if (width == 2)
      out.put16(static_cast<uint32_t>(values[i]) & 0xFFFF);
    else
      out.put32(static_cast<uint32_t>(values[i]));
  }
  return 0;
}

int writeTextRecord(RecordSink& out, RecordCode code, std::string_view text) {
  if ((code & 0xFF) != dtype::ASCII) {
    reportCode(out, "Incorrect record: ", code);
    return 1;
  }
  if (text.size() > kMaxRecordLength - kRecordHeaderSize - 1) {
    reportCode(out, "Incorrect parameters for record: ", code);
    return 1;
  }
  const size_t padded = text.size() + text.size() % 2;
  out.putHeader(kRecordHeaderSize + padded, code);
  out.put(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (padded != text.size()) out.putByte(0);
  return 0;
}

int writeStringRecord(RecordSink& out, RecordCode code, std::string& text) {
  const int result = writeTextRecord(out, code, text);
  if (result == 0 && text.size() % 2 != 0) text.push_back('\0');
  return result;
}

int writeRealRecord(RecordSink& out, RecordCode code, std::span<const double> values, int count) {
  bool valid = (code & 0xFF) == dtype::REAL8 && count >= 1 &&
               static_cast<size_t>(count) <= values.size() &&
               kRecordHeaderSize + 8 * static_cast<size_t>(count) <= kMaxRecordLength;
  for (int i = 0; valid && i < count; ++i)
    valid = fitsReal8(values[i]);
  if (!valid) {
    reportCode(out, "Incorrect parameters for record: ", code);
    return 1;
  }
  out.putHeader(kRecordHeaderSize + 8 * static_cast<size_t>(count), code);
  for (int i = 0; i < count; ++i)
    out.put64(encodeReal8(values[i]));
  return 0;
}

// Every 8-byte real lies below 16^63 = 2^252, but the largest ones read as 2^252 itself (the
// nearest double), which is written as the largest 8-byte real so that it can be written back.
bool fitsReal8(double x) {
  return std::isfinite(x) && std::fabs(x) <= 0x1p252;
}

uint64_t encodeReal8(double x) {
  if (x == 0) return 0;
  const double magnitude = std::fabs(x);
  if (!(magnitude < 18446744073709551616.0)) return encodeReal8Normalized(x);  // 2^64
  const uint64_t integerPart = static_cast<uint64_t>(magnitude);
  double fraction = magnitude - static_cast<double>(integerPart);
  uint64_t fractionBits = 0;
  for (int n = 63; n >= 0 && fraction != 0; --n) {
    fraction += fraction;
    if (fraction >= 1) {
      fractionBits |= uint64_t{1} << n;
      fraction -= 1;
    }
  }
  uint64_t working = integerPart;
  uint64_t exponent = 80;
  if (working < (uint64_t{1} << 59)) {
    for (int digit = 0; digit < 16; ++digit) {
      --exponent;
      const uint64_t old = working;
      working = (working << 4) | ((fractionBits >> (60 - 4 * digit)) & 0xF);
      if (old >= (uint64_t{1} << 55)) break;
    }
  }
  const uint64_t sign = x < 0 ? 1 : 0;
  return (sign << 63) | (exponent << 56) | (working >> 8);
}

uint64_t encodeReal8Normalized(double x) {
  if (x == 0 || !std::isfinite(x)) return 0;
  const uint64_t sign = std::signbit(x) ? 1 : 0;
  int binaryExponent = 0;
  // magnitude = m * 2^binaryExponent with 0.5 <= m < 1.
  const double m = std::frexp(std::fabs(x), &binaryExponent);
  // Hex exponent e with value = f * 16^e, 1/16 <= f < 1.
  int hexExponent = binaryExponent >= 0 ? (binaryExponent + 3) / 4 : -((-binaryExponent) / 4);
  int shift = binaryExponent - 4 * hexExponent;  // in (-4, 0]
  // f = m * 2^shift; mantissa = f * 2^56, rounded to nearest even.
  long double scaled = std::ldexp(static_cast<long double>(m), 56 + shift);
  uint64_t mantissa = static_cast<uint64_t>(std::nearbyintl(scaled));
  if (mantissa >> 56) {  // rounding carried into a new hex digit
    mantissa >>= 4;
    ++hexExponent;
  }
  const int stored = hexExponent + 64;
  if (stored > 127) return (sign << 63) | (uint64_t{127} << 56) | ((uint64_t{1} << 56) - 1);
  if (stored < 0) return 0;
  return (sign << 63) | (static_cast<uint64_t>(stored) << 56) | mantissa;
}

void writeTimestampRecord(RecordSink& out, RecordCode code) {
  out.putHeader(kRecordHeaderSize + 24, code);
  for (int32_t value : currentTimestamp())
    out.put16(static_cast<uint32_t>(value) & 0xFFFF);
}

const std::array<int32_t, 12>& currentTimestamp() {
  static const std::array<int32_t, 12> stamp = [] {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::array<int32_t, 12> values{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                   local.tm_hour,        local.tm_min,     local.tm_sec};
    for (int i = 0; i < 6; ++i)
      values[6 + i] = values[i];
    return values;
  }();
  return stamp;
}

}  // namespace tessel
