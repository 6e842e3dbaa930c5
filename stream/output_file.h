// An output file that replaces its target only when complete: the bytes go to a temporary file
// beside the target, which is renamed over it at the end. Targets that are not regular files
// (devices, pipes) are written directly. A target named ".gz" is written gzip-compressed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "stream/gzip.h"

namespace tessel {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False when the file cannot be created.
  bool open(const std::string& target);
  int fd() const { return fd_; }
  // The path being written: the temporary file, or the target itself when written directly.
  const std::string& path() const { return temporary_.empty() ? target_ : temporary_; }
  // True when the bytes go to a temporary file (not straight to a device or a pipe).
  bool writesTemporary() const { return !temporary_.empty(); }
  // What the bytes must go through instead of fd() when the file is compressed; null otherwise.
  ByteSink* compressor() { return compressor_.get(); }
  // True when the file is written beside an existing one that it will replace.
  bool replacesExisting() const { return replacesExisting_; }
  // Ends the compressed data, closes the file and puts it in place; false when that fails (the
  // target is then untouched).
  bool commit();
  // Closes and removes the temporary file; the target is untouched.
  void abandon();

 private:
  void startCompressing(const std::string& target);

  int fd_ = -1;
  std::string target_;
  std::string temporary_;  // empty when writing to the target directly
  bool replacesExisting_ = false;
  std::unique_ptr<GzipSink> compressor_;
};

// Receives text a piece at a time, in order.
using TextSink = std::function<void(std::string_view text)>;

// Writes what `produce` hands its sink, piece after piece, to `target` through an OutputFile
// (compressed for a ".gz" name); false when it cannot be written, the target then untouched.
bool writeFileInPieces(const std::string& target,
                       const std::function<void(const TextSink&)>& produce);

}  // namespace tessel
