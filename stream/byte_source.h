// Where record bytes come from. Every reader goes through this seam: a file, standard input,
// memory, and in front of any of them the inflater of gzip-compressed input (stream/gzip.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tessel {

// What read() returns instead of a count when the bytes stop early.
constexpr long kReadFailed = -1;   // the system reported a read error
constexpr long kDataDamaged = -2;  // compressed data that is damaged or cut short

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `capacity` bytes; returns the count, 0 at the end, or kReadFailed or
  // kDataDamaged, after which there is nothing more to read.
  virtual long read(uint8_t* destination, size_t capacity) = 0;
  // The same bytes again from `offset`, at most `length` of them, as a new source, when they can
  // be read twice (a regular file); null otherwise (a pipe, standard input).
  virtual std::unique_ptr<ByteSource> reopenAt(uint64_t /*offset*/,
                                               uint64_t /*length*/ = UINT64_MAX) {
    return nullptr;
  }
  // How many bytes are left to read when that is known (a regular file, memory), else 0.
  virtual uint64_t sizeHint() const { return 0; }
};

// A regular file (or pipe) read with plain read(2) calls.
class FileSource final : public ByteSource {
 public:
  // Null when the file cannot be opened for reading (missing, unreadable, a directory).
  static std::unique_ptr<FileSource> open(const std::string& path);
  // Standard input, read through a descriptor of its own; null when it is closed.
  static std::unique_ptr<FileSource> standardInput();
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  long read(uint8_t* destination, size_t capacity) override;
  std::unique_ptr<ByteSource> reopenAt(uint64_t offset, uint64_t length = UINT64_MAX) override;
  uint64_t sizeHint() const override { return size_; }

 private:
  FileSource(int fd, bool regular, uint64_t size) : fd_(fd), regular_(regular), size_(size) {}
  static std::unique_ptr<FileSource> adopt(int fd);
  int fd_;
  bool regular_;
  uint64_t size_;  // of a regular file when opened, else 0
};

// Bytes already in memory (tests, fuzzers). The bytes must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  long read(uint8_t* destination, size_t capacity) override;
  std::unique_ptr<ByteSource> reopenAt(uint64_t offset, uint64_t length = UINT64_MAX) override;
  uint64_t sizeHint() const override { return bytes_.size() - position_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

// The input a reader names: standard input for "-", the file otherwise; inflated as it is read
// when it begins with the gzip magic, whatever its name. Null when it cannot be opened.
std::unique_ptr<ByteSource> openInput(const std::string& name);
// openInput for the stream file of an option: when it cannot be opened, the line that says so,
// and null.
std::unique_ptr<ByteSource> openStreamFile(const std::string& name);
// The bytes of `source`, inflated when its first two bytes are the gzip magic 1F 8B. The first
// bytes are read to tell, and handed out again, so a pipe works as well as a file.
std::unique_ptr<ByteSource> inflateIfCompressed(std::unique_ptr<ByteSource> source);

}  // namespace tessel
