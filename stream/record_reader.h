// The one record-reading routine behind the text dump, the importer and the structure copier.
// Records are handed out whole from a large buffer, so there is no system call per record, and
// a record is only handed out when every one of its bytes was read from the source. The reader
// counts what it hands out, so every reader can say where in its input a record stands.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stream/byte_source.h"
#include "stream/diagnostics.h"
#include "stream/large_array.h"
#include "stream/record.h"

namespace tessel {

// One whole record, header included. Valid until the reader reads on.
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
  NotStream,  // the first record's header is no GDSII record type (a text file, say)
  // A record was read whole but its values do not decode; reading goes on after it.
  Undecodable,
};

// True when nothing more can be read: the input ended or its framing broke.
inline bool stopsReading(ReadStatus status) {
  return status != ReadStatus::Record && status != ReadStatus::Undecodable;
}

// The structure a walk over records stands in, for the position line: named once its STRNAME
// has been read, from BGNSTR to ENDSTR.
class StructureNameTracker {
 public:
  void see(const RecordView& record);
  const std::optional<std::string>& name() const { return name_; }

 private:
  bool inside_ = false;
  std::optional<std::string> name_;
};

// What a walk does with the record it is shown.
enum class Walk {
  Take,         // hand it out and go on
  TakeAndStop,  // hand it out and stop
  Stop,         // stop before it; it stays for the next read
};

// Buffers of one size, handed out again once let go (on any thread).
struct BufferPool {
  size_t size = 0;
  std::mutex mutex;
  std::vector<LargeBuffer> free;
};

class RecordReader {
 public:
  // The buffer holds `bufferSize` bytes, or less for a source known to be smaller. 2 MB, one
  // huge page where the system gives them.
  explicit RecordReader(ByteSource& source, size_t bufferSize = size_t{2} << 20);

  ReadStatus next(RecordView& record) {
    // The common case, a whole record already in the buffer, stays inline.
    size_t length = wholeRecordAt(begin_);
    if (length == 0) {
      const ReadStatus status = fill();
      if (status != ReadStatus::Record) return status;
      length = wholeRecordAt(begin_);
    }
    record = handOut(length);
    return ReadStatus::Record;
  }

  // Walks the records from here in place, without a copy: `visit(record)` decides for each
  // record (Walk), and `run(bytes)` receives the records taken, as runs of consecutive whole
  // records, in order (the bytes are valid until the reader reads on). Returns Record when
  // `visit` stopped the walk, or the status of the input's end.
  template <class Visit, class Run>
  ReadStatus walk(Visit&& visit, Run&& run) {
    for (;;) {
      // The counters are brought up to date once per run, not per record.
      const size_t from = begin_;
      size_t at = begin_;
      uint64_t taken = 0;
      size_t lastLength = lastLength_;
      Walk decision = Walk::Take;
      while (const size_t length = wholeRecordAt(at)) {
        decision = visit(RecordView{buffer_ + at, static_cast<uint16_t>(length)});
        if (decision == Walk::Stop) break;
        at += length;
        ++taken;
        lastLength = length;
        if (decision == Walk::TakeAndStop) break;
      }
      if (at > from) {
        begin_ = at;
        offset_ += at - from;
        records_ += taken;
        lastLength_ = lastLength;
        run(std::span<const uint8_t>(buffer_ + from, at - from));
      }
      if (decision != Walk::Take) return ReadStatus::Record;
      const ReadStatus status = fill();
      if (status != ReadStatus::Record) return status;
    }
  }

  // Keeps the buffer of the records handed out last from being written again while the hold
  // lasts: records held so need no copy to outlive the next read. Once a buffer is lent, the
  // reader reads on into another one from its pool.
  const uint8_t* buffer() const { return buffer_; }
  std::shared_ptr<const uint8_t> hold() {
    lent_ = true;
    return held_;
  }

  // The position of the last record handed out.
  RecordPosition lastPosition() const { return {offset_ - lastLength_, records_}; }
  // The position of the next record: where the input ended or broke, after a status other than
  // Record.
  RecordPosition nextPosition() const { return {offset_, records_ + 1}; }

 private:
  // The length of the whole, well-framed record at `at` in the buffer, or 0.
  size_t wholeRecordAt(size_t at) const {
    if (end_ - at < kRecordHeaderSize) return 0;
    const size_t length = readBigEndian(buffer_, static_cast<long>(at), 2);
    return length >= kRecordHeaderSize && length <= end_ - at ? length : 0;
  }
  RecordView handOut(size_t length) {
    RecordView record{buffer_ + begin_, static_cast<uint16_t>(length)};
    begin_ += length;
    offset_ += length;
    lastLength_ = length;
    ++records_;
    return record;
  }
  // Reads until the next record is whole in the buffer; otherwise the status of the input's end.
  ReadStatus fill();
  // Moves the unread bytes to the front and reads until the buffer is full or the source ends.
  void refill();

  ByteSource& source_;
  size_t capacity_;
  // The buffers the reader reads into. One goes back to the pool only once nobody holds it, so
  // the reader never writes into bytes that another thread may still be reading.
  std::shared_ptr<BufferPool> pool_;
  std::shared_ptr<uint8_t> held_;  // the buffer being read, held by the reader itself
  bool lent_ = false;              // held by others too, since it was last read into
  // Not cleared when made: only bytes read from the source are ever looked at.
  uint8_t* buffer_ = nullptr;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool sourceEnded_ = false;
  bool sourceFailed_ = false;
  uint64_t offset_ = 0;   // bytes handed out
  uint64_t records_ = 0;  // records handed out
  size_t lastLength_ = 0;
  ReadStatus failure_ = ReadStatus::IoError;  // what a failed source ended with
};

// Whole records kept past the reader's next read without a copy: runs of records, each with a
// hold on the reader's buffer it lies in (RecordReader::hold), so the bytes stay as they are
// until the runs are let go, on whichever thread that happens.
class HeldRecords {
 public:
  struct Run {
    std::shared_ptr<const uint8_t> owner;
    std::span<const uint8_t> bytes;
  };

  // A run of whole records that `reader` has just handed out.
  void add(RecordReader& reader, std::span<const uint8_t> run);
  void clear() {
    runs_.clear();
    size_ = 0;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::vector<Run>& runs() const { return runs_; }
  // Copies out the bytes from `offset` on and lets them go.
  std::vector<uint8_t> takeFrom(size_t offset);

 private:
  std::vector<Run> runs_;
  size_t size_ = 0;
};

// The message line for a status other than Record: "Error: Unexpected end of file.",
// "Error: Invalid record length.", "Error: Compressed data is damaged." and so on.
const char* readStatusMessage(ReadStatus status);

}  // namespace tessel
