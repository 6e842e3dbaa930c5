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
  if (S_ISREG(info.st_mode)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::unique_ptr<FileSource>(new FileSource(fd));
}

FileSource::~FileSource() { ::close(fd_); }

long FileSource::read(uint8_t* destination, size_t capacity) {
  for (;;) {
    ssize_t count = ::read(fd_, destination, capacity);
    if (count >= 0) return static_cast<long>(count);
    if (errno != EINTR) return -1;
  }
}

long MemorySource::read(uint8_t* destination, size_t capacity) {
  size_t count = std::min(capacity, bytes_.size() - position_);
  if (count > 0) std::memcpy(destination, bytes_.data() + position_, count);
  position_ += count;
  return static_cast<long>(count);
}

}  // namespace tessel
