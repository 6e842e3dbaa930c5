// The record emitters' bytes and refusals, the 8-byte real encoders and the run's timestamp.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stream/decode.h"
#include "stream/encode.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

Bytes bigEndian(uint64_t value) {
  Bytes bytes;
  for (int shift = 56; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<uint8_t>(value >> shift));
  return bytes;
}

double decodeBits(uint64_t value) {
  return decodeReal8(bigEndian(value).data());
}

// What an emitter wrote and printed.
struct Emitted {
  int result = -1;
  Bytes bytes;
  std::string printed;
};

template <typename Emit>
Emitted emit(Emit emitter) {
  RecordSink sink;
  Emitted out;
  out.printed = captureOutput([&] { out.result = emitter(sink); });
  out.bytes.assign(sink.bytes().begin(), sink.bytes().end());
  return out;
}

void expectWritten(const Emitted& out, const Bytes& bytes) {
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.bytes, bytes);
  EXPECT_EQ(out.printed, "");
}

void expectRefused(const Emitted& out, const std::string& message) {
  EXPECT_EQ(out.result, 1);
  EXPECT_TRUE(out.bytes.empty()) << "a refused record writes no byte";
  EXPECT_EQ(out.printed, message + "\n");
}

struct IntegerCase {
  RecordCode code;
  std::vector<int32_t> values;
  int count;
  Bytes bytes;  // empty: refused
};

TEST(WriteIntegerRecord, BytesAndRefusals) {
  const IntegerCase cases[] = {
      {0x0D02, {5}, 1, {0x00, 0x06, 0x0D, 0x02, 0x00, 0x05}},
      {0x1003,
       {1, -1},
       2,
       {0x00, 0x0C, 0x10, 0x03, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}},
      {0x1100, {}, 0, {0x00, 0x04, 0x11, 0x00}},
      {0x0D02,
       {65535, -1, 0x12345},
       3,
       {0x00, 0x0A, 0x0D, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x23, 0x45}},
      {0x1003, {-2147483647 - 1}, 1, {0x00, 0x08, 0x10, 0x03, 0x80, 0x00, 0x00, 0x00}},
      {0x0D02,
       {1, 2, 3},
       2,
       {0x00, 0x08, 0x0D, 0x02, 0x00, 0x01, 0x00, 0x02}},  // the first `count` values
      {0x1003, {}, 0, {}},
      {0x0D02, {1}, 2, {}},
      {0x0D02, {}, 0, {}},
      {0x0D02, {1}, -1, {}},
      {0x1100, {1}, 1, {}},
      {0x0F01, {1}, 1, {}},
      {0x1B05, {1}, 1, {}},
      {0x0606, {1}, 1, {}},
  };
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.code << " count " << std::dec << c.count);
    Emitted out =
        emit([&](RecordSink& sink) { return writeIntegerRecord(sink, c.code, c.values, c.count); });
    if (c.bytes.empty()) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(c.code));
      expectRefused(out, std::string("Incorrect parameters for record: 0x") + hex);
    } else {
      expectWritten(out, c.bytes);
    }
  }
}

TEST(WriteIntegerRecord, LongestRecordFitsAndLongerIsRefused) {
  // 8191 points of 4-byte pairs fill 65532 bytes; 8192 would not fit the 16-bit length.
  std::vector<int32_t> xy(2 * 8192, 7);
  Emitted fits =
      emit([&](RecordSink& sink) { return writeIntegerRecord(sink, rec::XY, xy, 2 * 8191); });
  EXPECT_EQ(fits.result, 0);
  ASSERT_EQ(fits.bytes.size(), 65532u);
  EXPECT_EQ(Bytes(fits.bytes.begin(), fits.bytes.begin() + 4), (Bytes{0xFF, 0xFC, 0x10, 0x03}));
  expectRefused(
      emit([&](RecordSink& sink) { return writeIntegerRecord(sink, rec::XY, xy, 2 * 8192); }),
      "Incorrect parameters for record: 0x1003");

  std::vector<int32_t> shorts(32766, 1);
  Emitted fits2 =
      emit([&](RecordSink& sink) { return writeIntegerRecord(sink, rec::LAYER, shorts, 32765); });
  EXPECT_EQ(fits2.bytes.size(), 65534u);
  expectRefused(
      emit([&](RecordSink& sink) { return writeIntegerRecord(sink, rec::LAYER, shorts, 32766); }),
      "Incorrect parameters for record: 0xd02");
}

TEST(WriteStringRecord, PadsOddStringsAndExtendsTheCallersString) {
  std::string top = "TOP";
  expectWritten(emit([&](RecordSink& sink) { return writeStringRecord(sink, rec::STRNAME, top); }),
                {0x00, 0x08, 0x06, 0x06, 'T', 'O', 'P', 0x00});
  EXPECT_EQ(top, std::string("TOP\0", 4));

  std::string four = "CELL";
  expectWritten(emit([&](RecordSink& sink) { return writeStringRecord(sink, rec::SNAME, four); }),
                {0x00, 0x08, 0x12, 0x06, 'C', 'E', 'L', 'L'});
  EXPECT_EQ(four, "CELL");

  std::string empty;
  expectWritten(emit([&](RecordSink& sink) { return writeStringRecord(sink, rec::STRING, empty); }),
                {0x00, 0x04, 0x19, 0x06});

  // The copy-free form writes the same bytes and leaves the text alone.
  const std::string hello = "HELLO";
  expectWritten(emit([&](RecordSink& sink) { return writeTextRecord(sink, rec::STRING, hello); }),
                {0x00, 0x0A, 0x19, 0x06, 'H', 'E', 'L', 'L', 'O', 0x00});
}

TEST(WriteStringRecord, RefusesOtherDataTypesAndOverlongStrings) {
  std::string name = "TOP";
  expectRefused(emit([&](RecordSink& sink) { return writeStringRecord(sink, 0x0602, name); }),
                "Incorrect record: 0x602");
  EXPECT_EQ(name, "TOP");
  expectRefused(emit([&](RecordSink& sink) { return writeTextRecord(sink, rec::XY, "AB"); }),
                "Incorrect record: 0x1003");

  std::string longest(65530, 'a');
  Emitted fits =
      emit([&](RecordSink& sink) { return writeStringRecord(sink, rec::STRING, longest); });
  EXPECT_EQ(fits.result, 0);
  ASSERT_EQ(fits.bytes.size(), 65534u);
  EXPECT_EQ(Bytes(fits.bytes.begin(), fits.bytes.begin() + 4), (Bytes{0xFF, 0xFE, 0x19, 0x06}));

  for (size_t size : {65531u, 65532u, 70000u}) {
    std::string tooLong(size, 'a');
    expectRefused(
        emit([&](RecordSink& sink) { return writeStringRecord(sink, rec::STRING, tooLong); }),
        "Incorrect parameters for record: 0x1906");
    EXPECT_EQ(tooLong.size(), size);
  }
}

TEST(WriteRealRecord, BytesAndRefusals) {
  const std::vector<double> two = {2.0};
  expectWritten(emit([&](RecordSink& sink) { return writeRealRecord(sink, rec::MAG, two, 1); }),
                {0x00, 0x0C, 0x1B, 0x05, 0x41, 0x20, 0, 0, 0, 0, 0, 0});
  const std::vector<double> units = {0.001, 1e-9};
  expectWritten(emit([&](RecordSink& sink) { return writeRealRecord(sink, rec::UNITS, units, 2); }),
                {0x00, 0x14, 0x03, 0x05, 0x40, 0x00, 0x41, 0x89, 0x37, 0x4B,
                 0xC6, 0xA7, 0x40, 0x00, 0x00, 0x00, 0x04, 0x4B, 0x82, 0xFA});

  const std::vector<double> none;
  expectRefused(emit([&](RecordSink& sink) { return writeRealRecord(sink, rec::MAG, none, 0); }),
                "Incorrect parameters for record: 0x1b05");
  expectRefused(emit([&](RecordSink& sink) { return writeRealRecord(sink, 0x1B03, two, 1); }),
                "Incorrect parameters for record: 0x1b03");

  const double inf = std::numeric_limits<double>::infinity();
  for (double bad :
       {inf, -inf, std::numeric_limits<double>::quiet_NaN(), std::nextafter(0x1p252, inf),
        -std::nextafter(0x1p252, inf), 0x1p300, std::numeric_limits<double>::max()}) {
    SCOPED_TRACE(bad);
    const std::vector<double> values = {1.0, bad};  // nothing is written, not even the good value
    expectRefused(
        emit([&](RecordSink& sink) { return writeRealRecord(sink, rec::MAG, values, 2); }),
        "Incorrect parameters for record: 0x1b05");
  }

  // The largest magnitudes an 8-byte real holds are written, normalised.
  const double largest = std::nextafter(0x1p252, 0.0);
  const std::vector<double> big = {largest, -0x1p64};
  Emitted out = emit([&](RecordSink& sink) { return writeRealRecord(sink, rec::MAG, big, 2); });
  ASSERT_EQ(out.result, 0);
  ASSERT_EQ(out.bytes.size(), 20u);
  EXPECT_EQ(Bytes(out.bytes.begin() + 4, out.bytes.begin() + 12),
            (Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF8}));
  EXPECT_EQ(Bytes(out.bytes.begin() + 12, out.bytes.end()), (Bytes{0xD1, 0x10, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(decodeReal8(out.bytes.data() + 4), largest);
}

TEST(EncodeReal8, ClassicConversionTable) {
  const std::pair<double, uint64_t> cases[] = {
      {1.0, 0x4110000000000000},  {2.0, 0x4120000000000000},   {0.5, 0x4108000000000000},
      {-1.5, 0xC118000000000000}, {8.0, 0x4208000000000000},   {10.0, 0x420A000000000000},
      {90.0, 0x425A000000000000}, {180.0, 0x430B400000000000}, {270.0, 0x4310E00000000000},
      {0.25, 0x4040000000000000}, {0.001, 0x40004189374BC6A7}, {1e-9, 0x40000000044B82FA},
      {0.0, 0x0000000000000000},  {-0.0, 0x0000000000000000},
  };
  for (const auto& [x, bits] : cases) {
    EXPECT_EQ(encodeReal8(x), bits) << x;
  }
  // From 2^64 on, the normalised encoding.
  EXPECT_EQ(encodeReal8(0x1p64), 0x5110000000000000u);
  EXPECT_EQ(encodeReal8(-0x1p100), encodeReal8Normalized(-0x1p100));
  EXPECT_EQ(decodeBits(encodeReal8(0x1p200)), 0x1p200);
}

TEST(EncodeReal8Normalized, FixedValues) {
  const std::pair<double, uint64_t> cases[] = {
      {0.001, 0x3E4189374BC6A7F0},  {1e-9, 0x3944B82FA09B5A54},   {1.0, 0x4110000000000000},
      {0.5, 0x4080000000000000},    {180.0, 0x42B4000000000000},  {-1.5, 0xC118000000000000},
      {0.0625, 0x4010000000000000}, {0x1p64, 0x5110000000000000},
  };
  for (const auto& [x, bits] : cases) {
    EXPECT_EQ(encodeReal8Normalized(x), bits) << x;
  }
}

TEST(EncodeReal8Normalized, NormalisedAndDecodesToTheSameDouble) {
  const double values[] = {0.001,
                           1e-9,
                           0.5e-9,
                           2.5e-10,
                           1e-6,
                           0.1,
                           0.3,
                           1.0 / 3,
                           2.0 / 3,
                           0.01,
                           123456.789,
                           1e20,
                           -7.25e-5,
                           1e-70,
                           1e-77,
                           4.9e-78,
                           0x1p-257,
                           0x1.3p-258,
                           0x1p64,
                           0x1.fffffffffffffp63,
                           std::nextafter(0x1p252, 0.0)};
  for (double value : values) {
    for (double x : {value, -value}) {
      SCOPED_TRACE(x);
      const uint64_t bits = encodeReal8Normalized(x);
      EXPECT_NE((bits >> 52) & 0xF, 0u) << "first mantissa digit";
      EXPECT_EQ(bits >> 63, x < 0 ? 1u : 0u);
      EXPECT_EQ(decodeBits(bits), x);
    }
  }
}

TEST(EncodeReal8Normalized, RoundTripsEveryNormalisedReal8) {
  std::mt19937_64 random(20240517);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t sign = (random() & 1) << 63;
    const uint64_t exponent = random() % 128;
    uint64_t mantissa = random() & ((uint64_t{1} << 56) - 1);
    if ((mantissa >> 52) == 0) mantissa |= uint64_t{1 + random() % 15} << 52;
    const uint64_t bits = sign | (exponent << 56) | mantissa;
    const double x = decodeBits(bits);
    SCOPED_TRACE(::testing::Message() << std::hex << bits);
    if (fitsReal8(x)) {
      EXPECT_EQ(decodeBits(encodeReal8Normalized(x)), x);
    }
    // With at most 53 significant bits the very same bytes come back: the low three bits clear,
    // or a first digit of 1 followed by any 52 bits.
    const uint64_t lowBitsClear = bits & ~uint64_t{7};
    EXPECT_EQ(encodeReal8Normalized(decodeBits(lowBitsClear)), lowBitsClear);
    const uint64_t firstDigitOne = (bits & ~(uint64_t{0xF} << 52)) | (uint64_t{1} << 52);
    EXPECT_EQ(encodeReal8Normalized(decodeBits(firstDigitOne)), firstDigitOne);
  }
}

TEST(CurrentTimestamp, OneMomentForTheWholeRun) {
  const std::array<int32_t, 12> first = currentTimestamp();
  EXPECT_GE(first[0], 2024);
  EXPECT_GE(first[1], 1);
  EXPECT_LE(first[1], 12);
  EXPECT_GE(first[2], 1);
  EXPECT_LE(first[2], 31);
  EXPECT_LE(first[3], 23);
  EXPECT_LE(first[4], 59);
  EXPECT_LE(first[5], 60);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(first[i], first[6 + i]);
  // Let the clock move to another second before asking again.
  const std::time_t start = std::time(nullptr);
  while (std::time(nullptr) == start)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(currentTimestamp(), first);
}

}  // namespace
}  // namespace tessel::testing
