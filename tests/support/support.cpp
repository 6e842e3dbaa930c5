#include "support/support.h"

#include "import/importer.h"
#include "stream/byte_source.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace tessel::testing {

namespace fs = std::filesystem;

namespace {
void put16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}
void putHeader(Bytes& out, size_t payload, RecordCode code) {
  put16(out, static_cast<uint32_t>(payload + 4));
  put16(out, static_cast<uint32_t>(code));
}
}  // namespace

namespace {
// The whole records that `bytes` frame, up to where the framing breaks.
size_t framedRecords(const uint8_t* bytes, size_t size) {
  size_t count = 0;
  for (size_t at = 0; at + 4 <= size;) {
    const size_t length = (size_t{bytes[at]} << 8) | bytes[at + 1];
    if (length < 4 || at + length > size) break;
    at += length;
    ++count;
  }
  return count;
}
}  // namespace

StreamBuilder& StreamBuilder::raw(std::initializer_list<uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  records_ += framedRecords(bytes.begin(), bytes.size());
  return *this;
}
StreamBuilder& StreamBuilder::raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  records_ += framedRecords(bytes.data(), bytes.size());
  return *this;
}
std::string StreamBuilder::nextAt() const {
  return at(bytes_.size(), records_ + 1);
}
std::string StreamBuilder::nextAt(const std::string& structure) const {
  return at(bytes_.size(), records_ + 1, structure);
}
StreamBuilder& StreamBuilder::none(RecordCode code) {
  putHeader(bytes_, 0, code);
  ++records_;
  return *this;
}
StreamBuilder& StreamBuilder::bits(RecordCode code, uint16_t value) {
  ++records_;
  putHeader(bytes_, 2, code);
  put16(bytes_, value);
  return *this;
}
StreamBuilder& StreamBuilder::int2(RecordCode code, std::initializer_list<int32_t> values) {
  ++records_;
  putHeader(bytes_, 2 * values.size(), code);
  for (int32_t v : values)
    put16(bytes_, static_cast<uint32_t>(v) & 0xFFFF);
  return *this;
}
StreamBuilder& StreamBuilder::int4(RecordCode code, const std::vector<int32_t>& values) {
  ++records_;
  putHeader(bytes_, 4 * values.size(), code);
  for (int32_t v : values) {
    put16(bytes_, static_cast<uint32_t>(v) >> 16);
    put16(bytes_, static_cast<uint32_t>(v) & 0xFFFF);
  }
  return *this;
}
StreamBuilder& StreamBuilder::real8(RecordCode code, std::initializer_list<uint64_t> values) {
  ++records_;
  putHeader(bytes_, 8 * values.size(), code);
  for (uint64_t v : values)
    for (int shift = 56; shift >= 0; shift -= 8)
      bytes_.push_back(static_cast<uint8_t>(v >> shift));
  return *this;
}
StreamBuilder& StreamBuilder::text(RecordCode code, const std::string& text) {
  ++records_;
  const size_t padded = text.size() + (text.size() % 2);
  putHeader(bytes_, padded, code);
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  if (padded != text.size()) bytes_.push_back(0);
  return *this;
}
StreamBuilder& StreamBuilder::libraryHeader() {
  int2(rec::HEADER, {600});
  int2(rec::BGNLIB, {2024, 5, 17, 9, 30, 0, 2024, 5, 17, 9, 30, 0});
  text(rec::LIBNAME, "lib.db");
  return real8(rec::UNITS, {0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL});
}
StreamBuilder& StreamBuilder::beginStructure(const std::string& name) {
  int2(rec::BGNSTR, {2024, 5, 17, 9, 30, 0, 2024, 5, 17, 9, 30, 0});
  return text(rec::STRNAME, name);
}
StreamBuilder& StreamBuilder::boundary(uint32_t layer, const std::vector<int32_t>& xy) {
  none(rec::BOUNDARY);
  int2(rec::LAYER, {static_cast<int32_t>(layer)});
  int2(rec::DATATYPE, {0});
  int4(rec::XY, xy);
  return none(rec::ENDEL);
}
StreamBuilder& StreamBuilder::sref(const std::string& name, int32_t x, int32_t y) {
  none(rec::SREF);
  text(rec::SNAME, name);
  int4(rec::XY, {x, y});
  return none(rec::ENDEL);
}

TempDir::TempDir() {
  std::random_device random;
  for (;;) {
    path_ = fs::temp_directory_path() / ("tessel-test-" + std::to_string(random()));
    if (fs::create_directory(path_)) break;
  }
}
TempDir::~TempDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> RunResult::lines() const {
  return splitLines(output);
}

std::vector<std::string> RunResult::linesAfterBanner() const {
  auto all = lines();
  if (all.size() <= 17) return {};
  return std::vector<std::string>(all.begin() + 17, all.end());
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

RunResult runTessel(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                    const std::string& pathPrefix, const std::string& environment,
                    const std::string& standardInput) {
  std::string command;
  if (!workingDirectory.empty()) command += "cd " + shellQuote(workingDirectory) + " && ";
  if (!standardInput.empty()) command += "cat " + shellQuote(standardInput) + " | ";
  if (!pathPrefix.empty()) command += "PATH=" + shellQuote(pathPrefix) + ":\"$PATH\" ";
  if (!environment.empty()) command += environment + " ";
  command += shellQuote(TESSEL_BINARY);
  for (const auto& argument : arguments)
    command += " " + shellQuote(argument);
  command += " 2>/dev/null";
  RunResult result;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[65536];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    result.output.append(buffer, count);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string captureOutput(const std::function<void()>& action) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

std::string at(uint64_t offset, uint64_t record) {
  return "  at byte " + std::to_string(offset) + ", record " + std::to_string(record) + ".";
}
std::string at(uint64_t offset, uint64_t record, const std::string& structure) {
  return "  at byte " + std::to_string(offset) + ", record " + std::to_string(record) +
         ", in structure \"" + structure + "\".";
}

Imported importBytes(const Bytes& bytes) {
  Imported imported;
  const std::string output = captureOutput([&] {
    MemorySource source(bytes);
    imported.result = importStream(imported.library, source, "in.gds");
  });
  imported.lines = splitLines(output);
  return imported;
}

GdsAref arrayReference(const std::string& name, int32_t columns, int32_t rows,
                       std::array<int32_t, 6> xy, double angle) {
  GdsAref reference;
  reference.name = name;
  reference.columns = columns;
  reference.rows = rows;
  reference.xy = xy;
  reference.angle = angle;
  return reference;
}

std::vector<fs::path> corpusFiles() {
  std::vector<fs::path> files;
  std::error_code error;
  if (!fs::is_directory(TESSEL_CORPUS_DIR, error)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(TESSEL_CORPUS_DIR, error))
    if (entry.is_regular_file() && entry.path().extension() == ".gds")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace tessel::testing
