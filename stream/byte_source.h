// Where record bytes come from. Every reader goes through this seam, so another kind of source
// (a compressed file, say) only needs a new ByteSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tessel {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `capacity` bytes; returns the count, 0 at the end, -1 on a read error.
  virtual long read(uint8_t* destination, size_t capacity) = 0;
  // The same bytes again from `offset`, as a new source, when they can be read twice (a regular
  // file); null otherwise (a pipe, standard input).
  virtual std::unique_ptr<ByteSource> reopenAt(uint64_t /*offset*/) { return nullptr; }
};

// A regular file (or pipe) read with plain read(2) calls.
class FileSource final : public ByteSource {
 public:
  // Null when the file cannot be opened for reading (missing, unreadable, a directory).
  static std::unique_ptr<FileSource> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  long read(uint8_t* destination, size_t capacity) override;
  std::unique_ptr<ByteSource> reopenAt(uint64_t offset) override;

 private:
  FileSource(int fd, bool regular) : fd_(fd), regular_(regular) {}
  int fd_;
  bool regular_;
};

// Bytes already in memory (tests, fuzzers). The bytes must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  long read(uint8_t* destination, size_t capacity) override;
  std::unique_ptr<ByteSource> reopenAt(uint64_t offset) override;

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

}  // namespace tessel
