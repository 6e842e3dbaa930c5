#include "stream/record_reader.h"

#include <algorithm>
#include <cstring>

#include "stream/decode.h"

namespace tessel {

namespace {

// Room for two of the longest records at least, unless the whole source fits: then no more than
// it holds (and one byte to see its end).
size_t bufferSizeFor(const ByteSource& source, size_t wanted) {
  wanted = std::max<size_t>(wanted, 2 * kMaxRecordLength);
  const uint64_t size = source.sizeHint();
  if (size > 0 && size < wanted) return static_cast<size_t>(size) + 1;
  return wanted;
}

// True when the record header at `header` has a record type and a data type that GDSII defines:
// every stream file starts with one, and text or other files almost never do.
bool namesRecordType(const uint8_t* header) {
  constexpr uint8_t kLastDataType = 0x06;
  return isDefinedRecordType((RecordCode{header[2]} << 8) | header[3]) &&
         header[3] <= kLastDataType;
}

}  // namespace

RecordReader::RecordReader(ByteSource& source, size_t bufferSize)
    : source_(source), capacity_(bufferSizeFor(source, bufferSize)) {
  buffer_ = std::make_unique_for_overwrite<uint8_t[]>(capacity_);
}

void RecordReader::refill() {
  size_t pending = end_ - begin_;
  if (begin_ > 0 && pending > 0) std::memmove(buffer_.get(), buffer_.get() + begin_, pending);
  begin_ = 0;
  end_ = pending;
  while (!sourceEnded_ && end_ < capacity_) {
    long count = source_.read(buffer_.get() + end_, capacity_ - end_);
    if (count < 0) {
      sourceFailed_ = true;
      sourceEnded_ = true;
      failure_ = count == kDataDamaged ? ReadStatus::Damaged : ReadStatus::IoError;
    } else if (count == 0) {
      sourceEnded_ = true;
    } else {
      end_ += static_cast<size_t>(count);
    }
  }
}

ReadStatus RecordReader::fill() {
  if (end_ - begin_ < 2) {
    refill();
    if (end_ == begin_) return sourceFailed_ ? failure_ : ReadStatus::End;
    if (end_ - begin_ < 2) return sourceFailed_ ? failure_ : ReadStatus::Truncated;
  }
  if (offset_ == 0 && end_ - begin_ >= kRecordHeaderSize &&
      !namesRecordType(buffer_.get() + begin_)) {
    // Nothing of it is read as records: from here on the input reads as ended.
    begin_ = end_;
    sourceEnded_ = sourceFailed_ = true;
    failure_ = ReadStatus::NotStream;
    return failure_;
  }
  const size_t length = readBigEndian(buffer_.get(), static_cast<long>(begin_), 2);
  if (length < kRecordHeaderSize) return ReadStatus::BadLength;
  if (end_ - begin_ < length) {
    refill();
    if (end_ - begin_ < length) return sourceFailed_ ? failure_ : ReadStatus::Truncated;
  }
  return ReadStatus::Record;
}

std::string positionLine(RecordPosition position, std::optional<std::string_view> structure) {
  std::string line = "  at byte " + std::to_string(position.offset) + ", record " +
                     std::to_string(position.number);
  if (structure) line.append(", in structure \"").append(*structure).append("\"");
  line.push_back('.');
  return line;
}

void StructureNameTracker::see(const RecordView& record) {
  switch (record.code()) {
    case rec::BGNSTR:
    case rec::ENDSTR:
      inside_ = record.code() == rec::BGNSTR;
      name_.reset();
      break;
    case rec::STRNAME:
      if (inside_) {
        name_.emplace();
        appendText(record.span().subspan(kRecordHeaderSize), *name_);
      }
      break;
    default:
      break;
  }
}

const char* readStatusMessage(ReadStatus status) {
  switch (status) {
    case ReadStatus::BadLength:
      return "Error: Invalid record length.";
    case ReadStatus::IoError:
      return "Error: File could not be read.";
    case ReadStatus::Damaged:
      return "Error: Compressed data is damaged.";
    case ReadStatus::NotStream:
      return "Error: Not a GDSII stream file.";
    default:
      return "Error: Unexpected end of file.";
  }
}

}  // namespace tessel
