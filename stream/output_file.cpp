#include "stream/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tessel {

OutputFile::~OutputFile() {
  abandon();
}

bool OutputFile::open(const std::string& target) {
  abandon();
  target_ = target;
  replacesExisting_ = false;
  struct stat info;
  bool exists = ::stat(target.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) return false;
  if (exists && !S_ISREG(info.st_mode)) {
    fd_ = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd_ >= 0) startCompressing(target);
    return fd_ >= 0;
  }
  // Write beside the file a symbolic link points to, so the link itself survives.
  char resolved[PATH_MAX];
  if (exists && ::realpath(target.c_str(), resolved)) target_ = resolved;
  const size_t slash = target_.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    temporary_ = directory + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
                 std::to_string(attempt);
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temporary_.clear();
    return false;
  }
  if (exists) ::fchmod(fd_, info.st_mode & 07777);
  replacesExisting_ = exists;
  startCompressing(target);
  return true;
}

// The name as given decides, not the file a symbolic link of that name points to.
void OutputFile::startCompressing(const std::string& target) {
  if (!namesGzipFile(target)) return;
  compressor_ = std::make_unique<GzipSink>(fd_);
  if (replacesExisting_) compressor_->startWritebackEarly();
}

bool OutputFile::commit() {
  if (fd_ < 0) return false;
  const bool compressed = !compressor_ || compressor_->finish();
  compressor_.reset();
  const bool closed = ::close(fd_) == 0 && compressed;
  fd_ = -1;
  if (temporary_.empty()) return closed;
  if (!closed || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
    return false;
  }
  temporary_.clear();
  return true;
}

void OutputFile::abandon() {
  compressor_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

bool writeFileInPieces(const std::string& target,
                       const std::function<void(const TextSink&)>& produce) {
  OutputFile file;
  if (!file.open(target)) return false;
  // The buffered sink every written file goes through.
  auto sink = file.compressor() ? std::make_unique<RecordSink>(*file.compressor())
                                : std::make_unique<RecordSink>(file.fd());
  produce([&](std::string_view text) {
    sink->put(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  });
  if (!sink->flush()) {
    file.abandon();
    return false;
  }
  return file.commit();
}

}  // namespace tessel
