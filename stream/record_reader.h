// The one record-reading routine behind the text dump, the importer and the structure copier.
// Records are handed out whole from a large buffer, so there is no system call per record, and
// a record is only handed out when every one of its bytes was read from the source.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "stream/byte_source.h"
#include "stream/record.h"

namespace tessel {

// One whole record, header included. Valid until the next call of RecordReader::next.
struct RecordView {
  const uint8_t* bytes = nullptr;
  uint16_t length = 0;

  RecordCode code() const { return (RecordCode{bytes[2]} << 8) | bytes[3]; }
  std::span<const uint8_t> span() const { return {bytes, length}; }
};

enum class ReadStatus {
  Record,     // `record` holds the next record
  End,        // the source ended exactly at a record boundary
  Truncated,  // the source ended inside a record
  BadLength,  // the length field is below 4, too short for the record's own header
  IoError,    // the source reported a read error
  Damaged,    // the source's compressed data is damaged or cut short
};

class RecordReader {
 public:
  explicit RecordReader(ByteSource& source, size_t bufferSize = size_t{1} << 20);
  ReadStatus next(RecordView& record) {
    // The common case, a whole record already in the buffer, stays inline.
    constexpr size_t kHeader = kRecordHeaderSize;
    const size_t buffered = end_ - begin_;
    if (buffered >= kHeader) {
      const size_t length = readBigEndian(buffer_.data(), static_cast<long>(begin_), 2);
      if (length >= kHeader && length <= buffered) {
        record.bytes = buffer_.data() + begin_;
        record.length = static_cast<uint16_t>(length);
        begin_ += length;
        return ReadStatus::Record;
      }
    }
    return nextAfterRefill(record);
  }
  // The bytes already read and not yet handed out, for a caller that walks whole records in
  // place; it then hands back what it used with skip(). The last record may be incomplete.
  std::span<const uint8_t> buffered() const { return {buffer_.data() + begin_, end_ - begin_}; }
  // Marks the first `count` bytes of buffered() as handed out.
  void skip(size_t count) { begin_ += std::min(count, end_ - begin_); }

 private:
  // Moves the unread bytes to the front and reads until the buffer is full or the source ends.
  void refill();
  ReadStatus nextAfterRefill(RecordView& record);

  ByteSource& source_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool sourceEnded_ = false;
  bool sourceFailed_ = false;
  ReadStatus failure_ = ReadStatus::IoError;  // what a failed source ended with
};

// The message line for a status other than Record: "Error: Unexpected end of file.",
// "Error: Invalid record length.", "Error: Compressed data is damaged." and so on.
const char* readStatusMessage(ReadStatus status);

}  // namespace tessel
