// Decoding one record's payload, the record-name table and big-endian reads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "stream/decode.h"
#include "stream/record.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

// The decoder's outputs, kept across calls as a reader keeps them.
struct Decoder {
  RecordCode code = -1;
  uint16_t bits = 0xFFFF;
  std::vector<int32_t> ints{99};
  std::vector<double> reals{99.0};
  std::string text = "stale";
  std::string printed;

  int decode(const Bytes& record) {
    int result = -1;
    printed = captureOutput([&] { result = decodeRecord(record, code, bits, ints, reals, text); });
    return result;
  }
  void expectOnly(const char* kind) const {
    if (std::strcmp(kind, "bits") != 0) {
      EXPECT_EQ(bits, 0);
    }
    if (std::strcmp(kind, "ints") != 0) {
      EXPECT_TRUE(ints.empty());
    }
    if (std::strcmp(kind, "reals") != 0) {
      EXPECT_TRUE(reals.empty());
    }
    if (std::strcmp(kind, "text") != 0) {
      EXPECT_EQ(text, "");
    }
  }
};

struct IntCase {
  Bytes record;
  RecordCode code;
  std::vector<int32_t> ints;
};

TEST(DecodeRecord, IntegersTwoBytesUnsignedFourBytesSigned) {
  const IntCase cases[] = {
      {{0x00, 0x06, 0x0D, 0x02, 0xFF, 0xFF}, 0x0D02, {65535}},
      {{0x00, 0x06, 0x0D, 0x02, 0x80, 0x00}, 0x0D02, {32768}},
      {{0x00, 0x08, 0x10, 0x03, 0xFF, 0xFF, 0xFF, 0xFE}, 0x1003, {-2}},
      {{0x00, 0x0C, 0x10, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xFF, 0xFF, 0xFF, 0xF6}, 0x1003, {10, -10}},
      {{0x00, 0x0C, 0x10, 0x03, 0x7F, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00},
       0x1003,
       {2147483647, -2147483647 - 1}},
      {{0x00, 0x0A, 0x01, 0x02, 0x07, 0xE8, 0x00, 0x05, 0x01, 0x02}, 0x0102, {2024, 5, 258}},
      {{0x00, 0x04, 0x00, 0x02}, 0x0002, {}},  // a HEADER without values
      {{0x00, 0x04, 0x10, 0x03}, 0x1003, {}},
      {{0x00, 0x06, 0xF0, 0x02, 0x00, 0x01}, 0xF002, {1}},  // high record type, unsigned
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.code);
    Decoder d;
    EXPECT_EQ(d.decode(c.record), 0);
    EXPECT_EQ(d.code, c.code);
    EXPECT_EQ(d.ints, c.ints);
    d.expectOnly("ints");
    EXPECT_EQ(d.printed, "");
  }
}

TEST(DecodeRecord, BitArrayHighByteFirst) {
  const std::pair<Bytes, uint16_t> cases[] = {
      {{0x00, 0x06, 0x1A, 0x01, 0x80, 0x06}, 0x8006},
      {{0x00, 0x06, 0x1A, 0x01, 0x00, 0x80}, 0x0080},
      {{0x00, 0x06, 0x26, 0x01, 0xFF, 0xFF}, 0xFFFF},
  };
  for (const auto& [record, bits] : cases) {
    Decoder d;
    EXPECT_EQ(d.decode(record), 0);
    EXPECT_EQ(d.bits, bits);
    d.expectOnly("bits");
  }
}

struct RealCase {
  std::vector<uint8_t> bytes;  // 8 bytes
  double value;
};

Bytes realRecord(const std::vector<RealCase>& values) {
  Bytes record = {0x00, static_cast<uint8_t>(4 + 8 * values.size()), 0x1B, 0x05};
  for (const RealCase& value : values)
    record.insert(record.end(), value.bytes.begin(), value.bytes.end());
  return record;
}

TEST(DecodeRecord, Real8Values) {
  const std::vector<RealCase> cases = {
      {{0x41, 0x10, 0, 0, 0, 0, 0, 0}, 1.0},
      {{0xC1, 0x18, 0, 0, 0, 0, 0, 0}, -1.5},
      {{0x3E, 0x41, 0x89, 0x37, 0x4B, 0xC6, 0xA7, 0xF0}, 0.001},
      // The customary bytes of 1e-9 hold the double just below it.
      {{0x39, 0x44, 0xB8, 0x2F, 0xA0, 0x9B, 0x5A, 0x50}, std::ldexp(0x44B82FA09B5A50 * 1.0, -84)},
      {{0x39, 0x44, 0xB8, 0x2F, 0xA0, 0x9B, 0x5A, 0x54}, 1e-9},
      {{0x41, 0x08, 0, 0, 0, 0, 0, 0}, 0.5},
      {{0x40, 0x80, 0, 0, 0, 0, 0, 0}, 0.5},  // the same value normalised
      {{0x43, 0x0B, 0x40, 0, 0, 0, 0, 0}, 180.0},
      {{0x42, 0xB4, 0, 0, 0, 0, 0, 0}, 180.0},
      {{0x80, 0, 0, 0, 0, 0, 0, 0}, -0.0},
      {{0x00, 0, 0, 0, 0, 0, 0, 0}, 0.0},
      {{0x40, 0, 0, 0, 0, 0, 0, 0}, 0.0},  // zero mantissa, any exponent
      // Unnormalised: leading zero digits decode by the same formula.
      {{0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, std::ldexp(1.0, -56)},
      // The extremes of the exponent stay within doubles: 16^-64 / 16 and just below 16^63.
      {{0x00, 0x10, 0, 0, 0, 0, 0, 0}, std::ldexp(1.0, -260)},
      {{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, std::ldexp(1.0, 252)},
      {{0x7F, 0x10, 0, 0, 0, 0, 0, 0x01}, std::ldexp(1.0, 248) + std::ldexp(1.0, 196)},
      // A 56-bit mantissa rounds to nearest when converted to a double.
      {{0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 16.0},
  };
  for (const RealCase& c : cases) {
    SCOPED_TRACE(c.value);
    Decoder d;
    EXPECT_EQ(d.decode(realRecord({c})), 0);
    ASSERT_EQ(d.reals.size(), 1u);
    EXPECT_EQ(d.reals[0], c.value);
    EXPECT_EQ(std::signbit(d.reals[0]), std::signbit(c.value));
    d.expectOnly("reals");
  }
  Decoder units;
  EXPECT_EQ(units.decode(realRecord({cases[2], cases[3]})), 0);
  EXPECT_EQ(units.reals, (std::vector<double>{0.001, cases[3].value}));
  EXPECT_EQ(cases[3].value, 9.999999999999999e-10);
}

TEST(DecodeRecord, TextDropsEveryNul) {
  const std::pair<Bytes, std::string> cases[] = {
      {{0x00, 0x08, 0x06, 0x06, 'A', 'B', 'C', 0x00}, "ABC"},
      {{0x00, 0x08, 0x06, 0x06, 'A', 0x00, 'B', 0x00}, "AB"},
      {{0x00, 0x08, 0x06, 0x06, 0x00, 0x00, 'A', 'B'}, "AB"},
      {{0x00, 0x08, 0x06, 0x06, 'T', 'O', 'P', 'S'}, "TOPS"},
      {{0x00, 0x06, 0x19, 0x06, 0x00, 0x00}, ""},
      {{0x00, 0x04, 0x19, 0x06}, ""},
      {{0x00, 0x07, 0x19, 0x06, 'X', 0xE9, 'Y'}, "X\xE9Y"},  // any length, any byte but NUL
  };
  for (const auto& [record, text] : cases) {
    SCOPED_TRACE(text);
    Decoder d;
    EXPECT_EQ(d.decode(record), 0);
    EXPECT_EQ(d.text, text);
    d.expectOnly("text");
  }
}

TEST(DecodeRecord, HeaderOnlyAndEmptyPayloadsAreValid) {
  for (const Bytes& record : {Bytes{0x00, 0x04, 0x11, 0x00}, Bytes{0x00, 0x04, 0x04, 0x00},
                              Bytes{0x00, 0x04, 0x1B, 0x05}, Bytes{0x00, 0x04, 0x0D, 0x02}}) {
    Decoder d;
    EXPECT_EQ(d.decode(record), 0);
    EXPECT_EQ(d.code, (record[2] << 8) | record[3]);
    d.expectOnly("");
  }
}

TEST(DecodeRecord, OutputsResetOnEveryRecord) {
  Decoder d;
  ASSERT_EQ(d.decode(StreamBuilder().real8(rec::UNITS, {0x3E4189374BC6A7F0ULL}).bytes()), 0);
  ASSERT_EQ(d.decode(StreamBuilder().int4(rec::XY, {1, 2}).bytes()), 0);
  EXPECT_EQ(d.ints, (std::vector<int32_t>{1, 2}));
  d.expectOnly("ints");
  ASSERT_EQ(d.decode(StreamBuilder().text(rec::STRING, "HI").bytes()), 0);
  d.expectOnly("text");
  ASSERT_EQ(d.decode(StreamBuilder().bits(rec::STRANS, 0x8000).bytes()), 0);
  d.expectOnly("bits");
  ASSERT_EQ(d.decode(StreamBuilder().none(rec::ENDEL).bytes()), 0);
  EXPECT_EQ(d.code, rec::ENDEL);
  d.expectOnly("");
  // A refused record resets them too.
  ASSERT_EQ(d.decode(StreamBuilder().int4(rec::XY, {7}).bytes()), 0);
  EXPECT_EQ(d.decode({0x00, 0x08, 0x1B, 0x04, 0x41, 0x10, 0x00, 0x00}), 1);
  d.expectOnly("");
}

TEST(DecodeRecord, FourByteRealsAndUnknownDataTypes) {
  Decoder d;
  EXPECT_EQ(d.decode({0x00, 0x08, 0x1B, 0x04, 0x41, 0x10, 0x00, 0x00}), 1);
  EXPECT_EQ(d.printed, "");
  EXPECT_EQ(d.code, 0x1B04);
  for (uint8_t dataType : {7, 8, 0x7F, 0xFF}) {
    SCOPED_TRACE(int{dataType});
    EXPECT_EQ(d.decode({0x00, 0x06, 0x1B, dataType, 0x00, 0x01}), 1);
    EXPECT_EQ(d.printed, "Unknown data type.\n");
    EXPECT_EQ(d.code, 0x1B00 | dataType);
    d.expectOnly("");
  }
}

// A payload that is not a whole number of values, a bit array without its two bytes, and a
// length field running past the bytes given, are refused without a message.
TEST(DecodeRecord, RefusesPartValuesWithoutMessage) {
  const Bytes cases[] = {
      {0x00, 0x05, 0x0D, 0x02, 0x01},
      {0x00, 0x07, 0x0D, 0x02, 0x00, 0x01, 0x02},
      {0x00, 0x06, 0x10, 0x03, 0x00, 0x01},
      {0x00, 0x0A, 0x10, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02},
      {0x00, 0x08, 0x1B, 0x05, 0x41, 0x10, 0x00, 0x00},
      {0x00, 0x10, 0x1B, 0x05, 0x41, 0x10, 0, 0, 0, 0, 0, 0, 0x41, 0x10, 0, 0},
      {0x00, 0x04, 0x1A, 0x01},
      {0x00, 0x05, 0x1A, 0x01, 0x80},
      {0x00, 0x08, 0x0D, 0x02, 0x00, 0x01},  // length 8, six bytes present
  };
  for (const Bytes& record : cases) {
    SCOPED_TRACE(::testing::PrintToString(record));
    Decoder d;
    EXPECT_EQ(d.decode(record), 1);
    EXPECT_EQ(d.printed, "");
    d.expectOnly("");
  }
}

TEST(RecordName, TableEntries) {
  const std::pair<RecordCode, const char*> named[] = {
      {0x0002, "HEADER"},      {0x0102, "BGNLIB"},       {0x0206, "LIBNAME"},
      {0x0305, "UNITS"},       {0x0400, "ENDLIB"},       {0x0502, "BGNSTR"},
      {0x0606, "STRNAME"},     {0x0700, "ENDSTR"},       {0x0800, "BOUNDARY"},
      {0x0900, "PATH"},        {0x0A00, "SREF"},         {0x0B00, "AREF"},
      {0x0C00, "TEXT"},        {0x0D02, "LAYER"},        {0x0E02, "DATATYPE"},
      {0x0F03, "WIDTH"},       {0x1003, "XY"},           {0x1100, "ENDEL"},
      {0x1206, "SNAME"},       {0x1302, "COLROW"},       {0x1500, "NODE"},
      {0x1602, "TEXTTYPE"},    {0x1701, "PRESENTATION"}, {0x1906, "STRING"},
      {0x1A01, "STRANS"},      {0x1B05, "MAG"},          {0x1C05, "ANGLE"},
      {0x1F06, "REFLIBS"},     {0x2006, "FONTS"},        {0x2102, "PATHTYPE"},
      {0x2202, "GENERATIONS"}, {0x2306, "ATTRTABLE"},    {0x2601, "EFLAGS"},
      {0x2A02, "NODETYPE"},    {0x2B02, "PROPATTR"},     {0x2C06, "PROPVALUE"},
      {0x2D00, "BOX"},         {0x2E02, "GDS_BOXTYPE"},  {0x2F03, "PLEX"},
  };
  for (const auto& [code, name] : named) {
    EXPECT_EQ(recordName(code), name) << std::hex << code;
    EXPECT_EQ(recordName(code), name) << "a second call answers the same";
  }
}

TEST(RecordName, CodesOutsideTheTableHaveNoName) {
  for (RecordCode code : {0x0000, 0x0001, 0x0003, 0x1400,           0x1402, 0x1802, 0x3003,
                          0x3103, 0x0F02, 0x1002, 0x1003 + 0x10000, 0x0D03, 0x1A02, 0x2E03,
                          0x3000, 0x3B02, 0xFF06, 0xFFFF,           -1,     -0x0D02}) {
    EXPECT_EQ(recordName(code), "") << std::hex << code;
  }
}

TEST(ReadBigEndian, FirstByteMostSignificant) {
  const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0xFF};
  EXPECT_EQ(readBigEndian(bytes, 0, 2), 0x1234u);
  EXPECT_EQ(readBigEndian(bytes, 1, 2), 0x3456u);
  EXPECT_EQ(readBigEndian(bytes, 0, 4), 0x12345678u);
  EXPECT_EQ(readBigEndian(bytes, 4, 4), 0x9ABCDEF0u);
  EXPECT_EQ(readBigEndian(bytes, 8, 1), 0xFFu);
  EXPECT_EQ(readBigEndian(bytes, 3, 0), 0u);
  EXPECT_EQ(readBigEndian(bytes, 3, -1), 0u);
  EXPECT_EQ(readBigEndian64(bytes, 1, 7), 0x3456789ABCDEF0ull);
  EXPECT_EQ(readBigEndian64(bytes, 1, 8), 0x3456789ABCDEF0FFull);
  EXPECT_EQ(readBigEndian64(bytes, 0, 0), 0u);
  EXPECT_EQ(readBigEndian64(bytes, 0, -4), 0u);
}

}  // namespace
}  // namespace tessel::testing
