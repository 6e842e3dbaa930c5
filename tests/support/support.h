// Shared helpers for the tests: stream bytes built in the test, temporary folders, running the
// built binary, capturing standard output, the real-file corpus.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "model/library.h"
#include "stream/record.h"

namespace tessel::testing {

using Bytes = std::vector<uint8_t>;

// Builds stream bytes record by record: StreamBuilder().int2(rec::HEADER, {600}).bytes().
class StreamBuilder {
 public:
  StreamBuilder& raw(std::initializer_list<uint8_t> bytes);
  StreamBuilder& raw(const Bytes& bytes);
  StreamBuilder& none(RecordCode code);
  StreamBuilder& bits(RecordCode code, uint16_t value);
  StreamBuilder& int2(RecordCode code, std::initializer_list<int32_t> values);
  StreamBuilder& int4(RecordCode code, const std::vector<int32_t>& values);
  StreamBuilder& real8(RecordCode code, std::initializer_list<uint64_t> encodedValues);
  StreamBuilder& text(RecordCode code, const std::string& text);  // NUL-padded to even length

  // HEADER 600, BGNLIB, LIBNAME "lib.db", UNITS 0.001 / 1e-9.
  StreamBuilder& libraryHeader();
  // BGNSTR with a fixed date and STRNAME.
  StreamBuilder& beginStructure(const std::string& name);
  StreamBuilder& endStructure() { return none(rec::ENDSTR); }
  StreamBuilder& endLibrary() { return none(rec::ENDLIB); }
  // BOUNDARY, LAYER, DATATYPE 0, XY, ENDEL.
  StreamBuilder& boundary(uint32_t layer, const std::vector<int32_t>& xy);
  // SREF, SNAME, XY, ENDEL.
  StreamBuilder& sref(const std::string& name, int32_t x, int32_t y);

  const Bytes& bytes() const { return bytes_; }
  // How many records the bytes hold (raw bytes count as the whole records they frame).
  size_t records() const { return records_; }
  // The position line of the next record to be added, inside `structure` when one is named.
  std::string nextAt() const;
  std::string nextAt(const std::string& structure) const;

 private:
  Bytes bytes_;
  size_t records_ = 0;
};

// A fresh empty folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void writeBytes(const std::string& path, const Bytes& bytes);
Bytes readBytes(const std::string& path);

struct RunResult {
  int exitCode = -1;
  std::string output;  // everything written to standard output
  std::vector<std::string> lines() const;
  // The lines after the 17 banner lines.
  std::vector<std::string> linesAfterBanner() const;
};

// Runs the built tessel binary with `arguments` in `workingDirectory` (the current one when
// empty); `pathPrefix` is put before PATH (for a fake `dot`), `environment` (NAME=value
// words) before the command, and the bytes of the file `standardInput`, when given, reach the
// binary's standard input through a pipe.
RunResult runTessel(const std::vector<std::string>& arguments,
                    const std::string& workingDirectory = "", const std::string& pathPrefix = "",
                    const std::string& environment = "", const std::string& standardInput = "");

// Quotes `text` as one word for the shell.
std::string shellQuote(const std::string& text);

// Standard output written while `action` runs.
std::string captureOutput(const std::function<void()>& action);
std::vector<std::string> splitLines(const std::string& text);

// The line that follows a report of a damaged or unknown record at `offset`, the `record`th of
// the file, inside the named structure when one is given.
std::string at(uint64_t offset, uint64_t record);
std::string at(uint64_t offset, uint64_t record, const std::string& structure);

// Imports bytes in process (as "in.gds"), with the messages captured.
struct Imported {
  int result = -1;
  GdsLibrary library;
  std::vector<std::string> lines;
};
Imported importBytes(const Bytes& bytes);

// An array reference built in code.
GdsAref arrayReference(const std::string& name, int32_t columns, int32_t rows,
                       std::array<int32_t, 6> xy, double angle = 0);

// The real files written by other tools, or empty when the folder is absent.
std::vector<std::filesystem::path> corpusFiles();
#define TESSEL_SKIP_WITHOUT_CORPUS(files)                \
  if ((files).empty())                                   \
  GTEST_SKIP() << "The corpus folder " TESSEL_CORPUS_DIR \
                  " is absent; "                         \
                  "the tests on real files are skipped."

}  // namespace tessel::testing
