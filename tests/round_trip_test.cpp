// Files written by other tools survive -rw: importing, writing and importing again gives the same
// model, apart from what the writer does not carry by design.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "export/writer.h"
#include "import/importer.h"
#include "model/compare.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

// Units of exactly 0.001 and 1e-9 are written with the traditional bytes, whose metre value is
// this double.
constexpr double kTraditionalMeterUnit = 9.999999999999999e-10;

int importQuietly(GdsLibrary& library, const std::string& file) {
  int result = -1;
  captureOutput([&] { result = importStream(library, file); });
  return result;
}

int writeQuietly(const GdsLibrary& library, const std::string& file) {
  int result = -1;
  captureOutput([&] { result = writeLibrary(library, file); });
  return result;
}

TEST(RoundTrip, CorpusFilesReadBackAsTheyWereRead) {
  const auto files = corpusFiles();
  TESSEL_SKIP_WITHOUT_CORPUS(files);
  TempDir dir;
  const std::string first = dir.file("first.gds");
  const std::string second = dir.file("second.gds");
  std::vector<std::string> needTolerance;
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    GdsLibrary original;
    ASSERT_EQ(importQuietly(original, path.string()), kImported);
    ASSERT_EQ(writeQuietly(original, first), 0);
    GdsLibrary again;
    ASSERT_EQ(importQuietly(again, first), kImported);

    if (original.userUnit == 0.001 && original.meterUnit == 1e-9)
      original.meterUnit = kTraditionalMeterUnit;
    const std::string exact = firstRoundTripDifference(original, again);
    if (!exact.empty()) {
      // MAG and ANGLE go through the classic conversion, which truncates.
      EXPECT_EQ(firstRoundTripDifference(original, again, 0x1p-52), "") << exact;
      needTolerance.push_back(path.filename().string() + ": " + exact);
    }

    // What was read back is written with the very same bytes.
    ASSERT_EQ(writeQuietly(again, second), 0);
    EXPECT_TRUE(readBytes(first) == readBytes(second));
  }
  for (const auto& line : needTolerance)
    std::cout << "Within 2^-52, not exact: " << line << "\n";
}

}  // namespace
}  // namespace tessel::testing
