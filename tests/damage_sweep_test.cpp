// Real files damaged one way at a time: cut at every byte, and single bytes changed (lengths,
// record types, data types, payload bytes) with a fixed seed. Each damaged file goes in process
// through what -i, -r, -rs and -rw run, and through an import into the model; every run must end
// and give a result of its kind, and a rewrite of a damaged file must leave the output file that
// was there untouched. Under the
// sanitizer build any out-of-bounds access or undefined behaviour on the way fails the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <span>

#include "examples/examples.h"
#include "export/rewrite.h"
#include "export/writer.h"
#include "hierarchy/diagram.h"
#include "hierarchy/roots.h"
#include "hierarchy/structure_report.h"
#include "hierarchy/summary_import.h"
#include "import/importer.h"
#include "stream/byte_source.h"
#include "stream/interpreter.h"
#include "support/report_text.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

// Standard output goes to /dev/null while the object lives: the readers print a line per
// record, and tens of thousands of runs would flood the test log.
class DiscardStandardOutput {
 public:
  DiscardStandardOutput() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~DiscardStandardOutput() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

// One damaged file through the code behind -i, -r and -rw.
void runAllActions(const Bytes& bytes, const std::string& output, const std::string& what) {
  const std::span<const uint8_t> view(bytes.data(), bytes.size());
  {
    MemorySource source(view);
    const int result = interpretStream(source, "damaged.gds");
    ASSERT_TRUE(result == 0 || result == 1) << what;
  }
  {
    MemorySource source(view);
    GdsLibrary library;
    const int result = importStream(library, source, "damaged.gds");
    ASSERT_TRUE(result == kImported || result == kImportDamaged) << what;
    ASSERT_LE(findRootStructures(library).size(), library.structures.size()) << what;
    ASSERT_EQ(writeLibrary(library, output), 0) << what;
  }
  {
    MemorySource source(view);
    SummaryImport imported;
    const int result = importSummaries(source, "damaged.gds", imported);
    ASSERT_TRUE(result == kImported || result == kImportDamaged) << what;
    ASSERT_LE(findRootStructures(imported.structures, imported.names).size(),
              imported.structures.size())
        << what;
    ASSERT_FALSE(dotText(collectGraph(imported.structures, imported.names)).empty()) << what;
  }
  {
    // The structure report, with its statistics and exact boxes.
    MemorySource source(view);
    SummaryImport imported;
    imported.forReport = true;
    const int result = importSummaries(source, "damaged.gds", imported);
    const ReportInput input{imported.header, imported.structures, imported.names, imported.boxes,
                            result == kImported};
    ASSERT_FALSE(structureReportTable(input).empty()) << what;
    ASSERT_FALSE(structureReportJson(input).empty()) << what;
  }
  {
    // A failed rewrite leaves the file that was there as it was.
    const Bytes existing = {'o', 'l', 'd'};
    writeBytes(output, existing);
    MemorySource source(view);
    const RewriteResult result = rewriteStream(source, "damaged.gds", output);
    if (result.imported == kImported) {
      ASSERT_EQ(result.written, 0) << what;
    } else {
      ASSERT_EQ(result.imported, kImportDamaged) << what;
      ASSERT_EQ(result.written, 1) << what;
      ASSERT_EQ(readBytes(output), existing) << what;
    }
  }
}

// Offsets of the record headers while the framing holds.
std::vector<size_t> recordOffsets(const Bytes& bytes) {
  std::vector<size_t> offsets;
  size_t pos = 0;
  while (pos + 4 <= bytes.size()) {
    const size_t length = size_t{bytes[pos]} << 8 | bytes[pos + 1];
    if (length < 4 || pos + length > bytes.size()) break;
    offsets.push_back(pos);
    pos += length;
  }
  return offsets;
}

void sweep(const Bytes& original, const std::string& name, const std::string& output) {
  ASSERT_FALSE(original.empty()) << name;
  // Every truncation point, the empty file included.
  for (size_t cut = 0; cut < original.size(); ++cut) {
    runAllActions(Bytes(original.begin(), original.begin() + static_cast<long>(cut)), output,
                  name + " cut at " + std::to_string(cut));
    if (::testing::Test::HasFatalFailure()) return;
  }
  // Single-byte changes: a length byte, the record type, the data type or a payload byte of a
  // record, to a random value or to a small one.
  const std::vector<size_t> offsets = recordOffsets(original);
  ASSERT_FALSE(offsets.empty()) << name;
  std::mt19937 random(20240517);
  for (int change = 0; change < 300; ++change) {
    const size_t record = offsets[random() % offsets.size()];
    const size_t length = size_t{original[record]} << 8 | original[record + 1];
    size_t at = record;
    switch (change % 4) {
      case 0:
        at = record + random() % 2;
        break;
      case 1:
        at = record + 2;
        break;
      case 2:
        at = record + 3;
        break;
      default:
        at = length > 4 ? record + 4 + random() % (length - 4) : record + random() % 4;
        break;
    }
    Bytes damaged = original;
    const uint8_t value = static_cast<uint8_t>(random() % 2 ? random() % 256 : random() % 8);
    damaged[at] = value == damaged[at] ? static_cast<uint8_t>(value ^ 0x01) : value;
    runAllActions(damaged, output,
                  name + " byte " + std::to_string(at) + " set to " + std::to_string(damaged[at]));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(DamageSweep, ExampleFilesCutAndChanged) {
  TempDir dir;
  const std::string first = dir.file("example1.gds");
  const std::string second = dir.file("example2.gds");
  {
    DiscardStandardOutput quiet;
    ASSERT_EQ(writeExample1(first), 0);
    ASSERT_EQ(writeExample2(first, second), 0);
  }
  for (const auto& path : {first, second}) {
    const Bytes bytes = readBytes(path);
    DiscardStandardOutput quiet;
    sweep(bytes, path, dir.file("out.gds"));
    if (HasFatalFailure()) return;
  }
}

TEST(DamageSweep, RealFilesCutAndChanged) {
  const auto files = corpusFiles();
  TESSEL_SKIP_WITHOUT_CORPUS(files);
  // Small files with references, arrays, paths and texts between them.
  const char* chosen[] = {"sky130_fd_sc_hd__a21oi_1.gds", "gds_alm_au3.gds", "algo_comb.gds",
                          "drc_drcSimpleTests_33.gds"};
  TempDir dir;
  int swept = 0;
  for (const auto& path : files) {
    if (std::find_if(std::begin(chosen), std::end(chosen),
                     [&](const char* name) { return path.filename() == name; }) == std::end(chosen))
      continue;
    const Bytes bytes = readBytes(path.string());
    DiscardStandardOutput quiet;
    sweep(bytes, path.string(), dir.file("out.gds"));
    if (HasFatalFailure()) return;
    ++swept;
  }
  EXPECT_GE(swept, 2) << "the chosen files are missing from the corpus";
}

}  // namespace
}  // namespace tessel::testing
