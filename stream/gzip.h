// gzip-compressed stream files, read and written with Intel's ISA-L (igzip): its inflate runs
// at twice the speed of zlib's, and its fastest deflate level at six times zlib's fastest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <thread>

#include "stream/byte_source.h"
#include "stream/encode.h"
#include "stream/parallel.h"

struct isal_zstream;

namespace tessel {

// The inflated bytes of a gzip file (every member of it, one after the other). A thread of its
// own reads the compressed bytes and inflates them ahead of the reader, a few blocks at most;
// the blocks go back and forth through two channels, so each is written by one thread and read
// by the other only after it was handed over whole. Damaged or cut-short compressed data ends
// the bytes with kDataDamaged after every byte inflated before the damage.
class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(std::unique_ptr<ByteSource> compressed);
  // Stops the inflating thread and waits for it.
  ~GzipSource() override;
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;
  long read(uint8_t* destination, size_t capacity) override;

  struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    bool last = false;  // no block follows; reads then return `result`
    long result = 0;    // 0 at a clean end, kReadFailed or kDataDamaged
  };

 private:
  Channel<Block> empty_;
  Channel<Block> full_;
  Block current_;  // the block being read from
  size_t position_ = 0;
  std::thread thread_;
};

// The compression level of written .gz files: ISA-L's level 1, about 700 MB/s on generated
// layouts, a quarter of the time of -rw itself. Its levels 2 and 3 make files 0.4 % and 1.7 %
// smaller for 3 % and 110 % more time; gzip -6 makes them a quarter smaller at twenty times the
// time, which a user who wants that can spend afterwards.
constexpr int kGzipLevel = 1;

// Compresses what it is given into one gzip member and writes that to a file descriptor in large
// blocks (through a RecordSink of its own). Without a file descriptor (fd < 0) it keeps the
// compressed bytes in memory, for bytes().
class GzipSink final : public ByteSink {
 public:
  explicit GzipSink(int fd = -1);
  ~GzipSink() override;
  GzipSink(const GzipSink&) = delete;
  GzipSink& operator=(const GzipSink&) = delete;

  bool write(const uint8_t* data, size_t size) override;
  // Ends the member (the last deflate block and the gzip trailer) and writes everything out;
  // false when any write failed.
  bool finish();
  void startWritebackEarly() { file_.startWritebackEarly(); }
  std::span<const uint8_t> bytes() const { return file_.bytes(); }

 private:
  // Deflates the input set in the stream, handing each full output block to the file.
  void deflate();

  RecordSink file_;
  std::unique_ptr<isal_zstream> stream_;
  std::unique_ptr<uint8_t[]> levelBuffer_;
  std::unique_ptr<uint8_t[]> output_;
  bool failed_ = false;
};

// True for names that end in ".gz" in any case: such output files are written compressed.
bool namesGzipFile(std::string_view name);

}  // namespace tessel
