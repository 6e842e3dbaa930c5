// What every fuzz target shares: quiet standard output, a scratch file of its own, and the
// stream-aware mutator.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "gds_mutator.h"

namespace tessel::fuzz {

// A path in the temporary folder that belongs to this process alone.
inline std::string scratchPath(const char* what) {
  return "/tmp/tessel-fuzz-" + std::to_string(::getpid()) + "-" + what + ".gds";
}

inline bool writeScratch(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

}  // namespace tessel::fuzz

// The readers print a line per record or per problem; the fuzzers only care about faults.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}
