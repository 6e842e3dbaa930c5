// The shared record reader: whole records, the end of the input, damaged framing, refills.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "stream/byte_source.h"
#include "stream/record_reader.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

// Hands out at most `chunk` bytes per read, as a pipe may; `failure` once `failAt` bytes were
// given.
class ChunkedSource final : public ByteSource {
 public:
  ChunkedSource(const Bytes& bytes, size_t chunk, size_t failAt = SIZE_MAX,
                long failure = kReadFailed)
      : bytes_(bytes), chunk_(chunk), failAt_(failAt), failure_(failure) {}
  long read(uint8_t* destination, size_t capacity) override {
    if (position_ >= failAt_) return failure_;
    size_t count = std::min({capacity, chunk_, bytes_.size() - position_, failAt_ - position_});
    std::memcpy(destination, bytes_.data() + position_, count);
    position_ += count;
    return static_cast<long>(count);
  }

 private:
  const Bytes& bytes_;
  size_t chunk_;
  size_t failAt_;
  long failure_;
  size_t position_ = 0;
};

struct ReadResult {
  std::vector<Bytes> records;
  ReadStatus last;
};

ReadResult readAll(ByteSource& source, size_t bufferSize = size_t{1} << 20) {
  RecordReader reader(source, bufferSize);
  ReadResult result;
  RecordView view;
  while ((result.last = reader.next(view)) == ReadStatus::Record) {
    EXPECT_EQ(view.length, view.span().size());
    EXPECT_EQ(view.length, readBigEndian(view.bytes, 0, 2));
    result.records.emplace_back(view.bytes, view.bytes + view.length);
  }
  return result;
}

ReadResult readAll(const Bytes& bytes, size_t bufferSize = size_t{1} << 20) {
  MemorySource source(bytes);
  return readAll(source, bufferSize);
}

// The input cut into records, each as the builder made it.
struct Input {
  Bytes bytes;
  std::vector<Bytes> records;
  void add(const Bytes& record) {
    bytes.insert(bytes.end(), record.begin(), record.end());
    records.push_back(record);
  }
};

Input smallInput() {
  Input input;
  input.add(StreamBuilder().int2(rec::HEADER, {600}).bytes());
  input.add(StreamBuilder().none(rec::BOUNDARY).bytes());  // length 4
  input.add(StreamBuilder().int4(rec::XY, {0, 0, 10, 0, 10, 10}).bytes());
  input.add(StreamBuilder().none(rec::ENDEL).bytes());
  input.add(StreamBuilder().text(rec::STRNAME, "ABC").bytes());
  input.add(StreamBuilder().none(rec::ENDLIB).bytes());
  return input;
}

TEST(RecordReader, WholeRecordsThenEndAtTheBoundary) {
  const Input input = smallInput();
  ReadResult result = readAll(input.bytes);
  EXPECT_EQ(result.records, input.records);
  EXPECT_EQ(result.last, ReadStatus::End);
  EXPECT_EQ(result.records[1], (Bytes{0x00, 0x04, 0x08, 0x00}));
}

TEST(RecordReader, EmptyInputEndsAtOnce) {
  EXPECT_EQ(readAll(Bytes{}).last, ReadStatus::End);
}

TEST(RecordReader, EndInsideARecordIsTruncated) {
  const Input input = smallInput();
  // Cuts inside a header (1 to 3 bytes of it) and inside a payload.
  size_t start = 0;
  for (size_t index = 0; index < input.records.size(); ++index) {
    const size_t length = input.records[index].size();
    for (size_t cut = start + 1; cut < start + length; ++cut) {
      SCOPED_TRACE(cut);
      ReadResult result = readAll(Bytes(input.bytes.begin(), input.bytes.begin() + cut));
      EXPECT_EQ(result.last, ReadStatus::Truncated);
      EXPECT_EQ(result.records,
                std::vector<Bytes>(input.records.begin(), input.records.begin() + index));
    }
    start += length;
    ReadResult atBoundary = readAll(Bytes(input.bytes.begin(), input.bytes.begin() + start));
    EXPECT_EQ(atBoundary.last, ReadStatus::End);
    EXPECT_EQ(atBoundary.records.size(), index + 1);
  }
}

TEST(RecordReader, LengthBelowFourIsBadLength) {
  for (uint8_t length = 0; length < 4; ++length) {
    SCOPED_TRACE(int{length});
    Bytes bytes = StreamBuilder().int2(rec::HEADER, {600}).bytes();
    bytes.insert(bytes.end(), {0x00, length, 0x11, 0x00, 0x00, 0x04, 0x04, 0x00});
    ReadResult result = readAll(bytes);
    EXPECT_EQ(result.records.size(), 1u);
    EXPECT_EQ(result.last, ReadStatus::BadLength);
  }
  EXPECT_STREQ(readStatusMessage(ReadStatus::BadLength), "Error: Invalid record length.");
  EXPECT_STREQ(readStatusMessage(ReadStatus::Truncated), "Error: Unexpected end of file.");
  EXPECT_STREQ(readStatusMessage(ReadStatus::End), "Error: Unexpected end of file.");
}

TEST(RecordReader, LongestRecord) {
  Input input;
  input.add(StreamBuilder().int2(rec::HEADER, {600}).bytes());
  input.add(StreamBuilder().text(rec::STRING, std::string(65531, 'x')).bytes());
  input.add(StreamBuilder().none(rec::ENDLIB).bytes());
  ASSERT_EQ(input.records[1].size(), 65536u);  // the builder pads: one byte too many
  input.records[1].pop_back();
  input.records[1][0] = 0xFF;
  input.records[1][1] = 0xFF;
  input.bytes = {};
  for (const Bytes& record : input.records)
    input.bytes.insert(input.bytes.end(), record.begin(), record.end());

  ReadResult result = readAll(input.bytes, 1);
  EXPECT_EQ(result.records, input.records);
  EXPECT_EQ(result.last, ReadStatus::End);

  Bytes cut(input.bytes.begin(), input.bytes.begin() + 6 + 65534);
  EXPECT_EQ(readAll(cut, 1).last, ReadStatus::Truncated);
}

// Records of many sizes, the large ones crossing every refill of the smallest buffer.
Input largeInput() {
  Input input;
  const size_t sizes[] = {0, 1, 2, 3, 5, 11, 1000, 65530, 40001, 7, 65531, 30000, 2, 0, 65001};
  char letter = 'a';
  while (input.bytes.size() < 700000) {
    for (size_t size : sizes) {
      Bytes record = StreamBuilder().text(rec::STRING, std::string(size, letter)).bytes();
      if (size == 65531) {  // the full 65535 bytes, odd length, no pad
        record.pop_back();
        record[0] = record[1] = 0xFF;
      }
      input.add(record);
      input.add(
          StreamBuilder().int4(rec::XY, {static_cast<int32_t>(input.records.size())}).bytes());
      letter = letter == 'z' ? 'a' : static_cast<char>(letter + 1);
    }
  }
  input.add(StreamBuilder().none(rec::ENDLIB).bytes());
  return input;
}

TEST(RecordReader, RecordsAcrossRefills) {
  const Input input = largeInput();
  for (size_t bufferSize : {size_t{1}, size_t{131071}, size_t{200003}, size_t{1} << 20}) {
    SCOPED_TRACE(bufferSize);
    ReadResult result = readAll(input.bytes, bufferSize);
    EXPECT_EQ(result.last, ReadStatus::End);
    ASSERT_EQ(result.records.size(), input.records.size());
    EXPECT_TRUE(result.records == input.records);
  }
  // A source that gives a few bytes per read.
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{4093}}) {
    SCOPED_TRACE(chunk);
    ChunkedSource source(input.bytes, chunk);
    ReadResult result = readAll(source, 1);
    EXPECT_EQ(result.last, ReadStatus::End);
    EXPECT_TRUE(result.records == input.records);
  }
  // Cut inside the last large record: every whole record before it, then Truncated.
  Bytes cut(input.bytes.begin(), input.bytes.end() - 4 - 8 - 100);
  ReadResult truncated = readAll(cut, 1);
  EXPECT_EQ(truncated.last, ReadStatus::Truncated);
  EXPECT_EQ(truncated.records.size(), input.records.size() - 3);
}

TEST(RecordReader, HeldRecordsKeepTheirBytesAcrossRefills) {
  // Every record held while the reader reads on through many refills, some walked in runs and
  // some handed out one by one: the held bytes must still be the input's.
  const Input input = largeInput();
  for (size_t chunk : {size_t{4093}, size_t{1} << 20}) {
    SCOPED_TRACE(chunk);
    ChunkedSource source(input.bytes, chunk);
    RecordReader reader(source, 1);
    HeldRecords held;
    RecordView record;
    bool byWalk = true;
    for (ReadStatus status = ReadStatus::Record; status == ReadStatus::Record; byWalk = !byWalk) {
      if (byWalk) {
        size_t taken = 0;
        status =
            reader.walk([&](const RecordView&) { return ++taken > 50 ? Walk::Stop : Walk::Take; },
                        [&](std::span<const uint8_t> run) { held.add(reader, run); });
      } else if ((status = reader.next(record)) == ReadStatus::Record) {
        held.add(reader, record.span());
      }
    }
    Bytes joined;
    for (const HeldRecords::Run& run : held.runs())
      joined.insert(joined.end(), run.bytes.begin(), run.bytes.end());
    ASSERT_EQ(held.size(), input.bytes.size());
    EXPECT_TRUE(joined == input.bytes);

    // The bytes from an offset on are copied out and let go.
    const size_t offset = input.bytes.size() / 3 + 1;
    const Bytes tail = held.takeFrom(offset);
    EXPECT_TRUE(tail == Bytes(input.bytes.begin() + static_cast<long>(offset), input.bytes.end()));
    EXPECT_EQ(held.size(), offset);
    joined.clear();
    for (const HeldRecords::Run& run : held.runs())
      joined.insert(joined.end(), run.bytes.begin(), run.bytes.end());
    EXPECT_TRUE(joined ==
                Bytes(input.bytes.begin(), input.bytes.begin() + static_cast<long>(offset)));
  }
}

TEST(RecordReader, ReadErrorIsReported) {
  const Input input = smallInput();
  ChunkedSource source(input.bytes, 5, 12);
  ReadResult result = readAll(source);
  EXPECT_EQ(result.last, ReadStatus::IoError);
  EXPECT_EQ(result.records.size(), 2u);  // HEADER (6) and BOUNDARY (4) lie within 12 bytes
}

TEST(RecordReader, DamagedCompressedDataIsReportedWhereTheEndOfFileWouldBe) {
  const Input input = smallInput();
  for (const size_t failAt : {size_t{10}, size_t{12}}) {  // at a record boundary, and inside one
    ChunkedSource source(input.bytes, 5, failAt, kDataDamaged);
    ReadResult result = readAll(source);
    EXPECT_EQ(result.last, ReadStatus::Damaged);
    EXPECT_EQ(result.records.size(), 2u);
  }
  EXPECT_STREQ(readStatusMessage(ReadStatus::Damaged), "Error: Compressed data is damaged.");
}

}  // namespace
}  // namespace tessel::testing
