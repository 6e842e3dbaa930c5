// `tessel -i` end to end: one line per record, the stops on damaged input, the real files.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "stream/encode.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

namespace fs = std::filesystem;

struct Dump {
  int exitCode;
  std::vector<std::string> lines;  // after the banner
};

Dump dump(const Bytes& bytes, const std::string& name = "in.gds") {
  TempDir dir;
  writeBytes(dir.file(name), bytes);
  RunResult run = runTessel({"-i", name}, dir.path().string());
  return {run.exitCode, run.linesAfterBanner()};
}

std::vector<std::string> framed(const std::vector<std::string>& body,
                                const std::string& name = "in.gds") {
  std::vector<std::string> lines = {"Converting \"" + name + "\" to ASCII."};
  lines.insert(lines.end(), body.begin(), body.end());
  // A dump that stopped at an error says so in its last line.
  const bool stopped = std::find(body.begin(), body.end(), "GDS read error") != body.end();
  lines.push_back("Converting \"" + name + "\" to ASCII " + (stopped ? "stopped early." : "done."));
  return lines;
}

Bytes concat(const std::vector<std::pair<Bytes, std::string>>& records) {
  Bytes bytes;
  for (const auto& record : records)
    bytes.insert(bytes.end(), record.first.begin(), record.first.end());
  return bytes;
}

std::vector<std::string> linesOf(const std::vector<std::pair<Bytes, std::string>>& records) {
  std::vector<std::string> lines;
  for (const auto& record : records)
    lines.push_back(record.second);
  return lines;
}

// A small library, record by record with the line each record prints.
std::vector<std::pair<Bytes, std::string>> smallFile() {
  const std::string date = "{2024, 5, 17, 9, 30, 0, 2024, 5, 17, 9, 30, 0}";
  return {
      {StreamBuilder().int2(rec::HEADER, {600}).bytes(), "[HEADER]:{600}"},
      {StreamBuilder().int2(rec::BGNLIB, {2024, 5, 17, 9, 30, 0, 2024, 5, 17, 9, 30, 0}).bytes(),
       "[BGNLIB]:" + date},
      {StreamBuilder().text(rec::LIBNAME, "lib.db").bytes(), "[LIBNAME]:{lib.db}"},
      {StreamBuilder().real8(rec::UNITS, {0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL}).bytes(),
       "[UNITS]:{0.001, 1e-09}"},
      {StreamBuilder().int2(rec::BGNSTR, {2024, 5, 17, 9, 30, 0, 2024, 5, 17, 9, 30, 0}).bytes(),
       "[BGNSTR]:" + date},
      {StreamBuilder().text(rec::STRNAME, "TOP").bytes(), "[STRNAME]:{TOP}"},
      {StreamBuilder().none(rec::BOUNDARY).bytes(), "[BOUNDARY]"},
      {StreamBuilder().int2(rec::LAYER, {1}).bytes(), "[LAYER]:{1}"},
      {StreamBuilder().int2(rec::DATATYPE, {0}).bytes(), "[DATATYPE]:{0}"},
      {StreamBuilder().int4(rec::XY, {0, 0, 10, 0, 10, 10, 0, 10, 0, 0}).bytes(),
       "[XY]:{0, 0, 10, 0, 10, 10, 0, 10, 0, 0}"},
      {StreamBuilder().none(rec::ENDEL).bytes(), "[ENDEL]"},
      {StreamBuilder().none(rec::ENDSTR).bytes(), "[ENDSTR]"},
      {StreamBuilder().none(rec::ENDLIB).bytes(), "[ENDLIB]"},
  };
}

TEST(Interpreter, SmallLibrary) {
  const auto records = smallFile();
  Dump result = dump(concat(records));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.lines, framed(linesOf(records)));

  Dump gds2 = dump(concat(records), "lib.gds2");
  EXPECT_EQ(gds2.exitCode, 0);
  EXPECT_EQ(gds2.lines, framed(linesOf(records), "lib.gds2"));
}

Bytes reals(RecordCode code, const std::vector<double>& values) {
  Bytes record = {static_cast<uint8_t>((4 + 8 * values.size()) >> 8),
                  static_cast<uint8_t>(4 + 8 * values.size()), static_cast<uint8_t>(code >> 8),
                  static_cast<uint8_t>(code)};
  for (double value : values) {
    const uint64_t bits = encodeReal8Normalized(value);
    for (int shift = 56; shift >= 0; shift -= 8)
      record.push_back(static_cast<uint8_t>(bits >> shift));
  }
  return record;
}

TEST(Interpreter, OneLinePerDataType) {
  const std::vector<std::pair<Bytes, std::string>> records = {
      {StreamBuilder().int2(rec::HEADER, {}).bytes(), "[HEADER]:{}"},
      {StreamBuilder().none(rec::TEXT).bytes(), "[TEXT]"},
      // Bit arrays: the two raw payload bytes.
      {StreamBuilder().bits(rec::STRANS, 0x8000).bytes(), "[STRANS]:{0b10000000 0b00000000}"},
      {StreamBuilder().bits(rec::STRANS, 0x8006).bytes(), "[STRANS]:{0b10000000 0b00000110}"},
      {StreamBuilder().bits(rec::EFLAGS, 0x0001).bytes(), "[EFLAGS]:{0b00000000 0b00000001}"},
      {StreamBuilder().bits(rec::PRESENTATION, 0xA5FF).bytes(),
       "[PRESENTATION]:{0b10100101 0b11111111}"},
      // 2-byte integers are unsigned, 4-byte ones signed.
      {StreamBuilder().int2(rec::LAYER, {-1}).bytes(), "[LAYER]:{65535}"},
      {StreamBuilder().int2(rec::BOXTYPE, {0}).bytes(), "[GDS_BOXTYPE]:{0}"},
      {StreamBuilder().int2(rec::COLROW, {32768, 3}).bytes(), "[COLROW]:{32768, 3}"},
      {StreamBuilder().int4(rec::XY, {-10, 2147483647, -2147483647 - 1}).bytes(),
       "[XY]:{-10, 2147483647, -2147483648}"},
      {StreamBuilder().int4(rec::WIDTH, {-50}).bytes(), "[WIDTH]:{-50}"},
      {StreamBuilder().int4(rec::PLEX, {16777217}).bytes(), "[PLEX]:{16777217}"},
      // Reals as %.12g.
      {reals(rec::MAG, {2.0}), "[MAG]:{2}"},
      {reals(rec::ANGLE, {90.0}), "[ANGLE]:{90}"},
      {StreamBuilder().real8(rec::ANGLE, {0x430B400000000000ULL}).bytes(), "[ANGLE]:{180}"},
      {StreamBuilder().real8(rec::MAG, {0x40004189374BC6A7ULL}).bytes(), "[MAG]:{0.001}"},
      {StreamBuilder().real8(rec::MAG, {0x8000000000000000ULL, 0}).bytes(), "[MAG]:{-0, 0}"},
      {reals(rec::MAG, {123456789012345.0, 1e-9, 0.5e-9, 0.0001, 0.00001}),
       "[MAG]:{1.23456789012e+14, 1e-09, 5e-10, 0.0001, 1e-05}"},
      {reals(rec::MAG, {99999999999.0, 999999999999.0, 1e12, 1.0 / 3, -2.5, 1e70}),
       "[MAG]:{99999999999, 999999999999, 1e+12, 0.333333333333, -2.5, 1e+70}"},
      {reals(rec::MAG, {0.1, 1234567.8912345}), "[MAG]:{0.1, 1234567.89123}"},
      {StreamBuilder().real8(rec::UNITS, {}).bytes(), "[UNITS]:{}"},
      // Text without its NUL bytes.
      {StreamBuilder().raw({0x00, 0x0A, 0x19, 0x06, 'H', 'E', 'L', 'L', 'O', 0x00}).bytes(),
       "[STRING]:{HELLO}"},
      {StreamBuilder().raw({0x00, 0x08, 0x06, 0x06, 'A', 0x00, 'B', 0x00}).bytes(),
       "[STRNAME]:{AB}"},
      {StreamBuilder().text(rec::PROPVALUE, "a b, {c}").bytes(), "[PROPVALUE]:{a b, {c}}"},
      {StreamBuilder().text(rec::SNAME, "").bytes(), "[SNAME]:{}"},
      {StreamBuilder().none(rec::ENDLIB).bytes(), "[ENDLIB]"},
  };
  Dump result = dump(concat(records));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.lines, framed(linesOf(records)));
}

// The reals print exactly as printf's "%.12g" prints them, over a wide spread of values.
TEST(Interpreter, RealsPrintAsPrintfDoes) {
  std::mt19937_64 random(17);
  std::vector<double> values;
  for (int i = 0; i < 2000; ++i) {
    const double mantissa = static_cast<double>(random() >> 11) * 0x1p-53;
    const int exponent = static_cast<int>(random() % 400) - 200;
    values.push_back(std::ldexp(random() & 1 ? -mantissa : mantissa, exponent));
  }
  // Whole numbers, printed without the general conversion below 10^12, on both sides of it.
  for (int i = 0; i < 400; ++i) {
    const double whole = 1 + std::floor(std::ldexp(static_cast<double>(random() >> 11) * 0x1p-53,
                                                   static_cast<int>(random() % 50)));
    values.push_back(random() & 1 ? -whole : whole);
  }
  for (double round : {1e-5, 1e-4, 0.5, 1.0, 1e11, 1e12, 1e15, 3e-7})
    for (double nudge : {-1e-13, 0.0, 1e-13})
      values.push_back(round * (1 + nudge));
  Bytes bytes;
  std::vector<std::string> lines;
  for (size_t start = 0; start < values.size(); start += 1000) {
    const std::vector<double> part(
        values.begin() + static_cast<long>(start),
        values.begin() + static_cast<long>(std::min(start + 1000, values.size())));
    const Bytes record = reals(rec::MAG, part);
    bytes.insert(bytes.end(), record.begin(), record.end());
    std::string line = "[MAG]:{";
    for (size_t i = 0; i < part.size(); ++i) {
      char text[40];
      std::snprintf(text, sizeof text, "%.12g", part[i]);
      line += (i ? ", " : "") + std::string(text);
    }
    lines.push_back(line + "}");
  }
  const Bytes end = StreamBuilder().none(rec::ENDLIB).bytes();
  bytes.insert(bytes.end(), end.begin(), end.end());
  lines.push_back("[ENDLIB]");
  Dump result = dump(bytes);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.lines, framed(lines));
}

// Larger than the reader's buffer, with records of the greatest length straddling its refills.
TEST(Interpreter, LargeFile) {
  StreamBuilder file;
  std::vector<std::string> lines;
  for (int i = 0; i < 40; ++i) {
    const std::string text(65530 - static_cast<size_t>(i % 3), static_cast<char>('a' + i % 26));
    file.text(rec::STRING, text).int4(rec::XY, {i, -i});
    lines.push_back("[STRING]:{" + text + "}");
    lines.push_back("[XY]:{" + std::to_string(i) + ", " + std::to_string(-i) + "}");
  }
  file.endLibrary();
  lines.push_back("[ENDLIB]");
  ASSERT_GT(file.bytes().size(), size_t{2} << 20);
  Dump result = dump(file.bytes());
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(result.lines == framed(lines));
  EXPECT_EQ(result.lines.size(), lines.size() + 2);
}

struct StopCase {
  Bytes record;
  std::vector<std::string> lines;  // before "GDS read error"
};

TEST(Interpreter, StopsAtTheFirstRecordItCannotPrint) {
  const StopCase cases[] = {
      {StreamBuilder().int4(0x3003, {5}).bytes(), {"Key not found: 0x3003"}},
      {StreamBuilder().int2(0x0F02, {5}).bytes(), {"Key not found: 0xf02"}},
      {StreamBuilder().none(0x1400).bytes(), {"Key not found: 0x1400"}},
      {StreamBuilder().none(0x0000).bytes(), {"Key not found: 0x0"}},
      {StreamBuilder().int2(0xFF02, {1}).bytes(), {"Key not found: 0xff02"}},
      // Data type 4 fails in decoding, before the name is looked up, and prints nothing.
      {StreamBuilder().raw({0x00, 0x08, 0x1B, 0x04, 0x41, 0x10, 0x00, 0x00}).bytes(), {}},
      {StreamBuilder().raw({0x00, 0x08, 0x30, 0x04, 0x41, 0x10, 0x00, 0x00}).bytes(), {}},
      {StreamBuilder().raw({0x00, 0x06, 0x1B, 0x07, 0x00, 0x00}).bytes(), {"Unknown data type."}},
      {StreamBuilder().raw({0x00, 0x04, 0x30, 0xFF}).bytes(), {"Unknown data type."}},
      // Part values and a bit array without its two bytes.
      {StreamBuilder().raw({0x00, 0x0A, 0x10, 0x03, 0, 0, 0, 1, 0, 2}).bytes(), {}},
      {StreamBuilder().raw({0x00, 0x05, 0x1A, 0x01, 0x80}).bytes(), {}},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.record));
    StreamBuilder file;
    file.int2(rec::HEADER, {600}).raw(c.record).endLibrary();
    Dump result = dump(file.bytes());
    std::vector<std::string> body = {"[HEADER]:{600}"};
    body.insert(body.end(), c.lines.begin(), c.lines.end());
    body.push_back("GDS read error");
    body.push_back(at(6, 2));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.lines, framed(body));
  }
}

TEST(Interpreter, LongDumpsStopWhereTheyMust) {
  // Many small records, enough for the dump to be formatted in many pieces, then what stops it.
  StreamBuilder file;
  std::vector<std::string> lines;
  for (int i = 0; i < 100000; ++i) {
    file.int4(rec::XY, {i, -i});
    lines.push_back("[XY]:{" + std::to_string(i) + ", " + std::to_string(-i) + "}");
  }
  const Bytes body = file.bytes();
  ASSERT_GT(body.size(), size_t{1} << 20);
  const Bytes rest = StreamBuilder().int4(rec::XY, {1, 2}).endLibrary().bytes();
  const Bytes none;
  const struct {
    Bytes stop;
    const Bytes& after;
    std::vector<std::string> lines;
  } cases[] = {
      {StreamBuilder().raw({0x00, 0x06, 0x1B, 0x07, 0x00, 0x00}).bytes(),
       rest,
       {"Unknown data type."}},
      {StreamBuilder().int4(0x3003, {5}).bytes(), rest, {"Key not found: 0x3003"}},
      {StreamBuilder().raw({0x00, 0x02, 0x10, 0x03}).bytes(),
       rest,
       {"Error: Invalid record length."}},
      {StreamBuilder().raw({0x00, 0x0C, 0x10, 0x03, 0, 0}).bytes(),
       none,
       {"Error: Unexpected end of file."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.stop));
    Bytes bytes = body;
    bytes.insert(bytes.end(), c.stop.begin(), c.stop.end());
    bytes.insert(bytes.end(), c.after.begin(), c.after.end());
    std::vector<std::string> expected = lines;
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.push_back("GDS read error");
    expected.push_back(at(body.size(), lines.size() + 1));
    Dump result = dump(bytes);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.lines == framed(expected));
  }
}

TEST(Interpreter, StopsAtTheEndOfTheFile) {
  const auto records = smallFile();
  const Bytes bytes = concat(records);
  std::vector<size_t> ends;  // where each record ends
  for (const auto& record : records)
    ends.push_back((ends.empty() ? 0 : ends.back()) + record.first.size());
  const size_t size = bytes.size();
  // A 0-byte file, cuts inside headers and payloads, and at the boundaries before ENDLIB.
  for (size_t cut : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{5}, size_t{6}, size_t{7},
                     size_t{20}, ends[3], ends[3] + 2, ends[9] - 1, size - 4, size - 3, size - 1}) {
    SCOPED_TRACE(cut);
    std::vector<std::string> body;
    size_t whole = 0;
    for (; whole < records.size() && ends[whole] <= cut; ++whole)
      body.push_back(records[whole].second);
    body.push_back("Error: Unexpected end of file.");
    body.push_back("GDS read error");
    // Records 6 to 11 (STRNAME to ENDEL) name the structure TOP; ENDSTR closes it.
    const size_t end = whole == 0 ? 0 : ends[whole - 1];
    body.push_back(whole >= 6 && whole <= 11 ? at(end, whole + 1, "TOP") : at(end, whole + 1));
    Dump result = dump(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.lines, framed(body));
  }
}

TEST(Interpreter, StopsAtALengthBelowFour) {
  for (uint8_t length = 0; length < 4; ++length) {
    SCOPED_TRACE(int{length});
    StreamBuilder file;
    file.int2(rec::HEADER, {600}).raw({0x00, length, 0x11, 0x00}).endLibrary();
    Dump result = dump(file.bytes());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.lines, framed({"[HEADER]:{600}", "Error: Invalid record length.",
                                    "GDS read error", at(6, 2)}));
  }
}

TEST(Interpreter, NothingAfterEndlibIsRead) {
  const auto records = smallFile();
  for (const Bytes& trailer :
       {Bytes{0x00, 0x08, 0x30, 0x03, 0, 0, 0, 5}, Bytes{0x00, 0x00}, Bytes{0x00, 0x02, 0x11, 0x00},
        Bytes{0x7F}, Bytes{0xFF, 0xFF, 0x1B}}) {
    SCOPED_TRACE(::testing::PrintToString(trailer));
    Bytes bytes = concat(records);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    Dump result = dump(bytes);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.lines, framed(linesOf(records)));
  }
}

TEST(Interpreter, FileThatCannotBeOpened) {
  TempDir dir;
  fs::create_directory(dir.path() / "folder.gds");
  for (const std::string name : {"missing.gds", "folder.gds"}) {
    RunResult run = runTessel({"-i", name}, dir.path().string());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.linesAfterBanner(),
              std::vector<std::string>{"Error: GDS file \"" + name + "\" FAILED to be opened."});
  }
}

TEST(Interpreter, RealFilesDumpToEndlib) {
  const auto files = corpusFiles();
  TESSEL_SKIP_WITHOUT_CORPUS(files);
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    RunResult run = runTessel({"-i", file.string()});
    const std::vector<std::string> lines = run.linesAfterBanner();
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "Converting \"" + file.string() + "\" to ASCII.");
    EXPECT_EQ(lines[1].rfind("[HEADER]:{", 0), 0u);
    EXPECT_EQ(lines[lines.size() - 2], "[ENDLIB]");
    EXPECT_EQ(lines.back(), "Converting \"" + file.string() + "\" to ASCII done.");
  }
}

}  // namespace
}  // namespace tessel::testing
