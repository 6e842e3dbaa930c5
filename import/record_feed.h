// Where the importer takes its records from: the reader itself (the library level), or the
// records of structures already cut from the file. Every feed says where its records stand in the
// file, for the lines about damaged records.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "stream/record_reader.h"

namespace tessel {

class RecordFeed {
 public:
  virtual ~RecordFeed() = default;
  virtual ReadStatus next(RecordView& record) = 0;
  // The last record handed out, and where the next one starts (or the file ended).
  virtual RecordPosition lastPosition() const = 0;
  virtual RecordPosition nextPosition() const = 0;
};

// The records straight from the reader.
class ReaderFeed final : public RecordFeed {
 public:
  explicit ReaderFeed(RecordReader& reader) : reader_(reader) {}
  ReadStatus next(RecordView& record) override {
    const ReadStatus status = reader_.next(record);
    if (status == ReadStatus::Record) last_ = record;
    return status;
  }
  RecordPosition lastPosition() const override { return reader_.lastPosition(); }
  RecordPosition nextPosition() const override { return reader_.nextPosition(); }
  // The record handed out last, until the reader reads on.
  const RecordView& last() const { return last_; }

 private:
  RecordReader& reader_;
  RecordView last_;
};

// Whole records held in memory, the first of which stands at `first` in the file. When they are
// used up, `more` may hand over the records that follow (in place of the first ones, returning
// Record) or the status the input ended with; without it the feed ends with `endStatus`.
class BytesFeed final : public RecordFeed {
 public:
  using More = std::function<ReadStatus(std::span<const uint8_t>& bytes)>;

  BytesFeed(std::span<const uint8_t> bytes, RecordPosition first, ReadStatus endStatus,
            More more = nullptr)
      : bytes_(bytes), first_(first), endStatus_(endStatus), more_(std::move(more)) {}

  ReadStatus next(RecordView& record) override {
    if (position_ >= bytes_.size() && !takeMore()) return endStatus_;
    if (position_ >= bytes_.size()) return endStatus_;
    record.bytes = bytes_.data() + position_;
    record.length = static_cast<uint16_t>(readBigEndian(record.bytes, 0, 2));
    advance(record.length);
    return ReadStatus::Record;
  }
  RecordPosition lastPosition() const override {
    return {first_.offset + position_ - lastLength_, first_.number + records_ - 1};
  }
  RecordPosition nextPosition() const override {
    return {first_.offset + position_, first_.number + records_};
  }
  // True when every record was handed out: those in memory, and those `more` still has.
  bool atEnd() { return position_ >= bytes_.size() && !takeMore(); }
  // The next record when it is already in memory, to be read in place and passed with advance().
  const uint8_t* peek() const {
    return position_ < bytes_.size() ? bytes_.data() + position_ : nullptr;
  }
  void advance(size_t length) {
    position_ += length;
    lastLength_ = length;
    ++records_;
  }

 private:
  // True when `more` handed over further records.
  bool takeMore() {
    if (!more_) return false;
    std::span<const uint8_t> bytes;
    const ReadStatus status = more_(bytes);
    if (status != ReadStatus::Record) {
      endStatus_ = status;
      more_ = nullptr;
      return false;
    }
    first_ = nextPosition();
    bytes_ = bytes;
    position_ = 0;
    records_ = 0;
    lastLength_ = 0;
    return true;
  }

  std::span<const uint8_t> bytes_;
  RecordPosition first_;
  ReadStatus endStatus_;
  More more_;
  size_t position_ = 0;
  size_t lastLength_ = 0;
  uint64_t records_ = 0;
};

// A feed of held records, one run after the other; it ends with `endStatus`.
inline BytesFeed recordsFeed(const HeldRecords& records, RecordPosition first,
                             ReadStatus endStatus) {
  const std::vector<HeldRecords::Run>& runs = records.runs();
  if (runs.empty()) return BytesFeed({}, first, endStatus);
  size_t next = 1;
  return BytesFeed(runs[0].bytes, first, endStatus,
                   [&runs, next, endStatus](std::span<const uint8_t>& bytes) mutable {
                     if (next == runs.size()) return endStatus;
                     bytes = runs[next++].bytes;
                     return ReadStatus::Record;
                   });
}

}  // namespace tessel
