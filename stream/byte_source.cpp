#include "stream/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "stream/console.h"
#include "stream/gzip.h"

namespace tessel {

std::unique_ptr<FileSource> FileSource::open(const std::string& path) {
  return adopt(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

std::unique_ptr<FileSource> FileSource::standardInput() {
  // A descriptor of its own, so closing the source leaves standard input open.
  return adopt(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
}

std::unique_ptr<FileSource> FileSource::adopt(int fd) {
  if (fd < 0) return nullptr;
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const bool regular = S_ISREG(info.st_mode);
  if (regular) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const uint64_t size = regular ? static_cast<uint64_t>(info.st_size) : 0;
  return std::unique_ptr<FileSource>(new FileSource(fd, regular, size));
}

namespace {

// A regular file read again from a position of its own, which the first reading's does not
// move: pread on a descriptor of its own.
class FileAgainSource final : public ByteSource {
 public:
  FileAgainSource(int fd, uint64_t offset, uint64_t length)
      : fd_(fd), offset_(offset), left_(length) {}
  ~FileAgainSource() override { ::close(fd_); }
  FileAgainSource(const FileAgainSource&) = delete;
  FileAgainSource& operator=(const FileAgainSource&) = delete;
  long read(uint8_t* destination, size_t capacity) override {
    capacity = static_cast<size_t>(std::min<uint64_t>(capacity, left_));
    if (capacity == 0) return 0;
    for (;;) {
      const ssize_t count = ::pread(fd_, destination, capacity, static_cast<off_t>(offset_));
      if (count >= 0) {
        offset_ += static_cast<uint64_t>(count);
        left_ -= static_cast<uint64_t>(count);
        return static_cast<long>(count);
      }
      if (errno != EINTR) return kReadFailed;
    }
  }
  std::unique_ptr<ByteSource> reopenAt(uint64_t offset, uint64_t length) override {
    const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    return std::make_unique<FileAgainSource>(fd, offset, length);
  }
  uint64_t sizeHint() const override { return left_ == UINT64_MAX ? 0 : left_; }

 private:
  int fd_;
  uint64_t offset_;
  uint64_t left_;  // bytes it may still hand out
};

}  // namespace

std::unique_ptr<ByteSource> FileSource::reopenAt(uint64_t offset, uint64_t length) {
  if (!regular_) return nullptr;
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  return std::make_unique<FileAgainSource>(fd, offset, length);
}

FileSource::~FileSource() {
  ::close(fd_);
}

long FileSource::read(uint8_t* destination, size_t capacity) {
  for (;;) {
    ssize_t count = ::read(fd_, destination, capacity);
    if (count >= 0) return static_cast<long>(count);
    if (errno != EINTR) return -1;
  }
}

std::unique_ptr<ByteSource> MemorySource::reopenAt(uint64_t offset, uint64_t length) {
  const size_t from = static_cast<size_t>(std::min<uint64_t>(offset, bytes_.size()));
  const size_t count = static_cast<size_t>(std::min<uint64_t>(length, bytes_.size() - from));
  return std::make_unique<MemorySource>(bytes_.subspan(from, count));
}

long MemorySource::read(uint8_t* destination, size_t capacity) {
  size_t count = std::min(capacity, bytes_.size() - position_);
  if (count > 0) std::memcpy(destination, bytes_.data() + position_, count);
  position_ += count;
  return static_cast<long>(count);
}

namespace {

// The first bytes of a source, read to tell what it holds, handed out again before the rest.
class ReplaySource final : public ByteSource {
 public:
  ReplaySource(std::unique_ptr<ByteSource> rest, std::span<const uint8_t> first, long failure)
      : rest_(std::move(rest)), count_(first.size()), failure_(failure) {
    std::memcpy(first_, first.data(), std::min(first.size(), sizeof first_));
  }
  long read(uint8_t* destination, size_t capacity) override {
    if (position_ < count_) {
      const size_t count = std::min(capacity, count_ - position_);
      std::memcpy(destination, first_ + position_, count);
      position_ += count;
      return static_cast<long>(count);
    }
    return failure_ != 0 ? failure_ : rest_->read(destination, capacity);
  }
  std::unique_ptr<ByteSource> reopenAt(uint64_t offset, uint64_t length) override {
    return rest_->reopenAt(offset, length);
  }
  uint64_t sizeHint() const override {
    const uint64_t rest = rest_->sizeHint();
    return rest == 0 ? 0 : rest + (count_ - position_);
  }

 private:
  std::unique_ptr<ByteSource> rest_;
  uint8_t first_[2];
  size_t count_;
  size_t position_ = 0;
  long failure_;  // what the reading of the first bytes ended with, 0 when they were read
};

}  // namespace

std::unique_ptr<ByteSource> inflateIfCompressed(std::unique_ptr<ByteSource> source) {
  // A pipe may hand out one byte at a time.
  uint8_t first[2];
  size_t count = 0;
  long failure = 0;
  while (count < sizeof first) {
    const long read = source->read(first + count, sizeof first - count);
    if (read <= 0) {
      failure = read;
      break;
    }
    count += static_cast<size_t>(read);
  }
  const bool compressed = count == 2 && first[0] == 0x1F && first[1] == 0x8B;
  auto replay = std::make_unique<ReplaySource>(std::move(source), std::span(first, count), failure);
  if (!compressed) return replay;
  return std::make_unique<GzipSource>(std::move(replay));
}

std::unique_ptr<ByteSource> openInput(const std::string& name) {
  std::unique_ptr<ByteSource> source;
  if (name == "-")
    source = FileSource::standardInput();
  else
    source = FileSource::open(name);
  if (!source) return nullptr;
  return inflateIfCompressed(std::move(source));
}

std::unique_ptr<ByteSource> openStreamFile(const std::string& name) {
  auto source = openInput(name);
  if (!source) printQuoted("Error: GDS file ", name, " FAILED to be opened.");
  return source;
}

}  // namespace tessel
