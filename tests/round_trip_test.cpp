// -rw loses nothing: an element's every record comes back in the order of the stream grammar, and
// files written by other tools read back as the same model.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "export/writer.h"
#include "import/importer.h"
#include "support/model_compare.h"
#include "stream/encode.h"
#include "support/support.h"
#include "support/written.h"

namespace tessel::testing {
namespace {

// Units of exactly 0.001 and 1e-9 are written with the traditional bytes, whose metre value is
// this double.
constexpr double kTraditionalMeterUnit = 9.999999999999999e-10;

// Every element kind with ELFLAGS, PLEX and three properties, references and a text with the
// absolute bits of STRANS, a justified text with its path type, a path of type 4 with its
// extensions, all in the order the writer puts them: -rw gives these very bytes back.
TEST(RoundTrip, RewriteKeepsEverythingAnElementHolds) {
  auto flagsAndPlex = [](StreamBuilder& b, uint16_t flags, int32_t plex) -> StreamBuilder& {
    return b.bits(rec::EFLAGS, flags).int4(rec::PLEX, {plex});
  };
  auto properties = [](StreamBuilder& b, const std::string& tag) -> StreamBuilder& {
    return b.int2(rec::PROPATTR, {1})
        .text(rec::PROPVALUE, tag + "-one")
        .int2(rec::PROPATTR, {2})
        .text(rec::PROPVALUE, "")
        .int2(rec::PROPATTR, {65535})
        .text(rec::PROPVALUE, tag + "-three")
        .none(rec::ENDEL);
  };
  StreamBuilder file;
  file.int2(rec::HEADER, {600})
      .int2(rec::BGNLIB, {2024, 5, 17, 9, 30, 0, 2024, 5, 17, 9, 30, 0})
      .text(rec::LIBNAME, "kept library name")
      .real8(rec::UNITS, {0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL})
      .beginStructure("LEAF")
      .boundary(1, {0, 0, 10, 0, 10, 10, 0, 0})
      .endStructure()
      .beginStructure("TOP");
  flagsAndPlex(file.none(rec::SREF), 1, 7)
      .text(rec::SNAME, "LEAF")
      .bits(rec::STRANS, 0x8006)
      .real8(rec::MAG, {encodeReal8(2.0)})
      .real8(rec::ANGLE, {encodeReal8(90.0)})
      .int4(rec::XY, {100, 200});
  properties(file, "sref");
  flagsAndPlex(file.none(rec::AREF), 2, -8)
      .text(rec::SNAME, "LEAF")
      .bits(rec::STRANS, 0x0004)
      .real8(rec::MAG, {encodeReal8(0.5)})
      .int2(rec::COLROW, {3, 2})
      .int4(rec::XY, {0, 0, 30, 0, 0, 20});
  properties(file, "aref");
  flagsAndPlex(file.none(rec::BOUNDARY), 3, 9)
      .int2(rec::LAYER, {4})
      .int2(rec::DATATYPE, {5})
      .int4(rec::XY, {0, 0, 1, 0, 1, 1, 0, 0});
  properties(file, "boundary");
  flagsAndPlex(file.none(rec::PATH), 4, 10)
      .int2(rec::LAYER, {6})
      .int2(rec::DATATYPE, {7})
      .int2(rec::PATHTYPE, {4})
      .int4(rec::WIDTH, {20})
      .int4(rec::BGNEXTN, {-3})
      .int4(rec::ENDEXTN, {11})
      .int4(rec::XY, {0, 0, 50, 0});
  properties(file, "path");
  flagsAndPlex(file.none(rec::NODE), 5, 11)
      .int2(rec::LAYER, {8})
      .int2(rec::NODETYPE, {9})
      .int4(rec::XY, {1, 2, 3, 4});
  properties(file, "node");
  flagsAndPlex(file.none(rec::TEXT), 6, 12)
      .int2(rec::LAYER, {10})
      .int2(rec::TEXTTYPE, {11})
      .bits(rec::PRESENTATION, 0x0015)  // font 1, middle, right
      .int2(rec::PATHTYPE, {1})
      .int4(rec::WIDTH, {-5})
      .bits(rec::STRANS, 0x8006)
      .real8(rec::MAG, {encodeReal8(3.0)})
      .real8(rec::ANGLE, {encodeReal8(180.0)})
      .int4(rec::XY, {7, 8})
      .text(rec::STRING, "justified");
  properties(file, "text");
  flagsAndPlex(file.none(rec::BOX), 7, 13)
      .int2(rec::LAYER, {12})
      .int2(rec::BOXTYPE, {13})
      .int4(rec::XY, {0, 0, 2, 0, 2, 2, 0, 2, 0, 0});
  properties(file, "box");
  file.endStructure().endLibrary();

  TempDir dir;
  writeBytes(dir.file("in.gds"), file.bytes());
  const RunResult run = runTessel({"-rw", "in.gds", "-o", "out.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(
      run.linesAfterBanner(),
      (std::vector<std::string>{"Importing \"in.gds\" into Tessel.", "Reached end of library.",
                                "GDS file successfully imported.", "Creating \"out.gds\" done."}));
  EXPECT_EQ(maskTimestamps(readBytes(dir.file("out.gds"))), maskTimestamps(file.bytes()));
}

// A text's optional records come back as read, present or absent, whatever their values: a MAG
// of 1, an ANGLE of 0 and a WIDTH of 0 given in the file are kept, and none is added.
TEST(RoundTrip, TextKeepsItsOptionalRecordsAsRead) {
  struct Optional {
    RecordCode code;
    std::function<void(StreamBuilder&)> add;
  };
  const std::vector<Optional> optional = {
      {rec::PRESENTATION, [](StreamBuilder& b) { b.bits(rec::PRESENTATION, 0); }},
      {rec::PATHTYPE, [](StreamBuilder& b) { b.int2(rec::PATHTYPE, {0}); }},
      {rec::WIDTH, [](StreamBuilder& b) { b.int4(rec::WIDTH, {0}); }},
      {rec::STRANS, [](StreamBuilder& b) { b.bits(rec::STRANS, 0); }},
      {rec::MAG, [](StreamBuilder& b) { b.real8(rec::MAG, {encodeReal8(1.0)}); }},
      {rec::ANGLE, [](StreamBuilder& b) { b.real8(rec::ANGLE, {encodeReal8(0.0)}); }},
  };
  TempDir dir;
  for (unsigned present = 0; present < (1u << optional.size()); ++present) {
    SCOPED_TRACE("records present: " + std::to_string(present));
    StreamBuilder file;
    file.libraryHeader()
        .beginStructure("TOP")
        .none(rec::TEXT)
        .int2(rec::LAYER, {1})
        .int2(rec::TEXTTYPE, {2});
    for (size_t k = 0; k < optional.size(); ++k)
      if (present & (1u << k)) optional[k].add(file);
    file.int4(rec::XY, {5, 6}).text(rec::STRING, "pin").none(rec::ENDEL);
    file.endStructure().endLibrary();
    writeBytes(dir.file("in.gds"), file.bytes());
    const RunResult run = runTessel({"-rw", "in.gds", "-o", "out.gds"}, dir.path().string());
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(maskTimestamps(readBytes(dir.file("out.gds"))), maskTimestamps(file.bytes()));
  }
}

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
