#include "stream/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tessel {

std::unique_ptr<FileSource> FileSource::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const bool regular = S_ISREG(info.st_mode);
  if (regular) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::unique_ptr<FileSource>(new FileSource(fd, regular));
}

std::unique_ptr<ByteSource> FileSource::reopenAt(uint64_t offset) {
  if (!regular_) return nullptr;
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  // The copy shares the file position, which nothing else uses once the first reading is done.
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<FileSource>(new FileSource(fd, true));
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

std::unique_ptr<ByteSource> MemorySource::reopenAt(uint64_t offset) {
  return std::make_unique<MemorySource>(bytes_.subspan(std::min<size_t>(offset, bytes_.size())));
}

long MemorySource::read(uint8_t* destination, size_t capacity) {
  size_t count = std::min(capacity, bytes_.size() - position_);
  if (count > 0) std::memcpy(destination, bytes_.data() + position_, count);
  position_ += count;
  return static_cast<long>(count);
}

}  // namespace tessel
