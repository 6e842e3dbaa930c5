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

// A buffer of the pool's size: a free one, or a new one. It goes back to the pool when the last
// hold on it ends, on whichever thread; the pool's lock orders every read of it before it is
// written again.
std::shared_ptr<uint8_t> takeBuffer(const std::shared_ptr<BufferPool>& pool) {
  LargeBuffer storage;
  {
    std::lock_guard lock(pool->mutex);
    if (!pool->free.empty()) {
      storage = std::move(pool->free.back());
      pool->free.pop_back();
    }
  }
  if (!storage) storage = makeLargeBuffer(pool->size);
  return std::shared_ptr<uint8_t>(storage.release(), [pool](uint8_t* buffer) {
    LargeBuffer returned(buffer);
    std::lock_guard lock(pool->mutex);
    try {
      pool->free.push_back(std::move(returned));
    } catch (...) {  // no room to keep it: it is freed
    }
  });
}

}  // namespace

RecordReader::RecordReader(ByteSource& source, size_t bufferSize)
    : source_(source), capacity_(bufferSizeFor(source, bufferSize)) {
  pool_ = std::make_shared<BufferPool>();
  pool_->size = capacity_;
  held_ = takeBuffer(pool_);
  buffer_ = held_.get();
}

void RecordReader::refill() {
  size_t pending = end_ - begin_;
  if (lent_) {
    // Records of this buffer may still be held: the unread bytes move to a buffer from the
    // pool, which nobody holds.
    std::shared_ptr<uint8_t> next = takeBuffer(pool_);
    if (pending > 0) std::memcpy(next.get(), buffer_ + begin_, pending);
    held_ = std::move(next);
    buffer_ = held_.get();
    lent_ = false;
  } else if (begin_ > 0 && pending > 0) {
    std::memmove(buffer_, buffer_ + begin_, pending);
  }
  begin_ = 0;
  end_ = pending;
  while (!sourceEnded_ && end_ < capacity_) {
    long count = source_.read(buffer_ + end_, capacity_ - end_);
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
  if (offset_ == 0 && end_ - begin_ >= kRecordHeaderSize && !namesRecordType(buffer_ + begin_)) {
    // Nothing of it is read as records: from here on the input reads as ended.
    begin_ = end_;
    sourceEnded_ = sourceFailed_ = true;
    failure_ = ReadStatus::NotStream;
    return failure_;
  }
  const size_t length = readBigEndian(buffer_, static_cast<long>(begin_), 2);
  if (length < kRecordHeaderSize) return ReadStatus::BadLength;
  if (end_ - begin_ < length) {
    refill();
    if (end_ - begin_ < length) return sourceFailed_ ? failure_ : ReadStatus::Truncated;
  }
  return ReadStatus::Record;
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

void HeldRecords::add(RecordReader& reader, std::span<const uint8_t> run) {
  if (run.empty()) return;
  size_ += run.size();
  if (!runs_.empty()) {
    // Read on in the buffer the last run holds already: that run grows.
    Run& last = runs_.back();
    if (last.owner.get() == reader.buffer() &&
        last.bytes.data() + last.bytes.size() == run.data()) {
      last.bytes = {last.bytes.data(), last.bytes.size() + run.size()};
      return;
    }
  }
  runs_.push_back({reader.hold(), run});
}

std::vector<uint8_t> HeldRecords::takeFrom(size_t offset) {
  std::vector<uint8_t> tail;
  size_t at = 0;  // where the run starts among the held bytes
  size_t kept = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const std::span<const uint8_t> bytes = runs_[i].bytes;
    if (at + bytes.size() > offset) {
      const size_t skip = offset > at ? offset - at : 0;
      tail.insert(tail.end(), bytes.begin() + static_cast<long>(skip), bytes.end());
      if (skip > 0) runs_[kept++] = {runs_[i].owner, bytes.first(skip)};
    } else {
      runs_[kept++] = runs_[i];
    }
    at += bytes.size();
  }
  runs_.resize(kept);
  size_ = std::min(size_, offset);
  return tail;
}

}  // namespace tessel
