// The writer's bytes: the library header and its units, every element writer, the order of a
// structure's lists, whole files, and coordinate lists longer than one record holds.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "export/writer.h"
#include "import/importer.h"
#include "stream/byte_source.h"
#include "stream/decode.h"
#include "support/support.h"
#include "support/written.h"

namespace tessel::testing {
namespace {

constexpr uint64_t kTwo = 0x4120000000000000ULL;
constexpr uint64_t kHalf = 0x4108000000000000ULL;  // the classic conversion, not normalised
constexpr uint64_t kNinety = 0x425A000000000000ULL;
constexpr uint64_t kTwoSeventy = 0x4310E00000000000ULL;

struct Written {
  Bytes bytes;
  std::string printed;
};

Written writeWith(const std::function<void(GdsWriter&)>& action) {
  RecordSink sink;
  GdsWriter writer(sink);
  Written out;
  out.printed = captureOutput([&] { action(writer); });
  out.bytes.assign(sink.bytes().begin(), sink.bytes().end());
  return out;
}

struct ElementCase {
  const char* what;
  std::function<void(GdsWriter&)> write;
  Bytes expected;
  std::string printed;
};

TEST(ElementWriters, WriteTheirRecords) {
  const std::string longestName(65530, 'n');
  const std::string tooLongName(65531, 'n');

  GdsSref flagged("CELL", 1, 2);
  flagged.strans = 0x0006;  // absolute magnification and angle, as read
  flagged.plex = 7;
  flagged.elflags = 0x0002;
  flagged.properties = {{3, SharedString("value")}, {4, SharedString()}, {0, SharedString("x")}};

  GdsAref turned = arrayReference("ARRAY", 1, 1, {0, 0, 10, 0, 0, 10});
  turned.reflection = true;  // the reflection field sets bit 15 whatever the bits read
  turned.strans = 0x0004;
  turned.angle = 270.0;
  turned.scale = 2.0;

  GdsBoundary wide(70000, Coordinates{1, 2}, Coordinates{3, 4});
  wide.datatype = -1;
  GdsBoundary uneven(1, Coordinates{1, 2, 3}, Coordinates{4, 5});

  GdsPath path(4, 10, Coordinates{0, 100}, Coordinates{0, -100});
  path.datatype = 3;
  path.plex = 1;
  path.properties = {{2, SharedString("p")}};
  path.bgnextn = 5;  // not written: only path type 4 has extensions

  GdsPath extended = path;
  extended.pathtype = 4;
  extended.plex = 0;
  extended.properties.clear();
  extended.bgnextn = -5;

  GdsNode node;
  node.layer = 5;
  node.nodetype = 7;
  node.xCor = {9};
  node.yCor = {8};

  GdsText scaledText;
  scaledText.layer = 6;
  scaledText.texttype = 2;
  scaledText.presentation = 0x0006;
  scaledText.pathtype = 1;
  scaledText.width = 20;
  scaledText.scale = 2.0;
  scaledText.xCor = 10;
  scaledText.yCor = -10;
  scaledText.textbody = "odd";

  GdsText turnedText;
  turnedText.strans = 0x8002;  // written as read
  turnedText.width = -1;
  turnedText.angle = 90.0;
  turnedText.textbody = "even";

  GdsText hugeText;
  hugeText.textbody = tooLongName;

  GdsBox box;
  box.elflags = 0x0001;
  box.plex = -2;
  box.layer = 8;
  box.boxtype = 3;
  box.xCor = {0, 5, 5, 0, 0};
  box.yCor = {0, 0, 5, 5, 0};

  const ElementCase cases[] = {
      {"SREF with the default transform",
       [](GdsWriter& w) { w.writeSref(GdsSref("A", 100, 200)); },
       {0x00, 0x04, 0x0A, 0x00, 0x00, 0x06, 0x12, 0x06, 0x41, 0x00, 0x00,
        0x06, 0x1A, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x10, 0x03, 0x00, 0x00,
        0x00, 0x64, 0x00, 0x00, 0x00, 0xC8, 0x00, 0x04, 0x11, 0x00},
       ""},
      {"SREF reflected, rotated and scaled",
       [](GdsWriter& w) { w.writeSref(GdsSref("A", 100, 200, true, 90.0, 2.0)); },
       StreamBuilder()
           .none(rec::SREF)
           .text(rec::SNAME, "A")
           .bits(rec::STRANS, 0x8000)
           .real8(rec::MAG, {kTwo})
           .real8(rec::ANGLE, {kNinety})
           .int4(rec::XY, {100, 200})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"SREF scaled only",
       [](GdsWriter& w) { w.writeSref(GdsSref("AB", -1, -2, false, 0.0, 0.5)); },
       StreamBuilder()
           .none(rec::SREF)
           .text(rec::SNAME, "AB")
           .bits(rec::STRANS, 0)
           .real8(rec::MAG, {kHalf})
           .int4(rec::XY, {-1, -2})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"SREF rotated only",
       [](GdsWriter& w) { w.writeSref(GdsSref("AB", 0, 0, false, 270.0, 1.0)); },
       StreamBuilder()
           .none(rec::SREF)
           .text(rec::SNAME, "AB")
           .bits(rec::STRANS, 0)
           .real8(rec::ANGLE, {kTwoSeventy})
           .int4(rec::XY, {0, 0})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"SREF reflected only",
       [](GdsWriter& w) { w.writeSref(GdsSref("AB", 0, 0, true, 0.0, 1.0)); },
       StreamBuilder()
           .none(rec::SREF)
           .text(rec::SNAME, "AB")
           .bits(rec::STRANS, 0x8000)
           .int4(rec::XY, {0, 0})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"SREF with STRANS bits, ELFLAGS, PLEX and three properties",
       [&](GdsWriter& w) { w.writeSref(flagged); },
       StreamBuilder()
           .none(rec::SREF)
           .bits(rec::EFLAGS, 0x0002)
           .int4(rec::PLEX, {7})
           .text(rec::SNAME, "CELL")
           .bits(rec::STRANS, 0x0006)
           .int4(rec::XY, {1, 2})
           .int2(rec::PROPATTR, {3})
           .text(rec::PROPVALUE, "value")
           .int2(rec::PROPATTR, {4})
           .none(rec::PROPVALUE)
           .int2(rec::PROPATTR, {0})
           .text(rec::PROPVALUE, "x")
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"SREF with the longest name a record holds",
       [&](GdsWriter& w) { w.writeSref(GdsSref(longestName, 0, 0)); },
       StreamBuilder()
           .none(rec::SREF)
           .text(rec::SNAME, longestName)
           .bits(rec::STRANS, 0)
           .int4(rec::XY, {0, 0})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"SREF with a name too long for a record",
       [&](GdsWriter& w) { w.writeSref(GdsSref(tooLongName, 0, 0)); },
       StreamBuilder()
           .none(rec::SREF)
           .bits(rec::STRANS, 0)
           .int4(rec::XY, {0, 0})
           .none(rec::ENDEL)
           .bytes(),
       "Incorrect parameters for record: 0x1206\n"},
      {"AREF of 3 columns and 2 rows",
       [](GdsWriter& w) {
         w.writeAref(arrayReference("ARR", 3, 2, {1, 2, 301, 2, 1, -198}));
       },
       StreamBuilder()
           .none(rec::AREF)
           .text(rec::SNAME, "ARR")
           .bits(rec::STRANS, 0)
           .int2(rec::COLROW, {3, 2})
           .int4(rec::XY, {1, 2, 301, 2, 1, -198})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"AREF reflected, rotated and scaled", [&](GdsWriter& w) { w.writeAref(turned); },
       StreamBuilder()
           .none(rec::AREF)
           .text(rec::SNAME, "ARRAY")
           .bits(rec::STRANS, 0x8004)
           .real8(rec::MAG, {kTwo})
           .real8(rec::ANGLE, {kTwoSeventy})
           .int2(rec::COLROW, {1, 1})
           .int4(rec::XY, {0, 0, 10, 0, 0, 10})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"BOUNDARY of five points",
       [](GdsWriter& w) {
         w.writeBoundary(
             GdsBoundary(1, Coordinates{0, 10, 10, 0, 0}, Coordinates{0, 0, 10, 10, 0}));
       },
       StreamBuilder()
           .raw({0x00, 0x04, 0x08, 0x00})
           .raw({0x00, 0x06, 0x0D, 0x02, 0x00, 0x01})
           .raw({0x00, 0x06, 0x0E, 0x02, 0x00, 0x00})
           .int4(rec::XY, {0, 0, 10, 0, 10, 10, 0, 10, 0, 0})  // length 0x2C
           .raw({0x00, 0x04, 0x11, 0x00})
           .bytes(),
       ""},
      {"BOUNDARY of four points, not closed by the writer",
       [](GdsWriter& w) {
         w.writeBoundary(GdsBoundary(1, Coordinates{0, 10, 10, 0}, Coordinates{0, 0, 10, 10}));
       },
       StreamBuilder()
           .none(rec::BOUNDARY)
           .int2(rec::LAYER, {1})
           .int2(rec::DATATYPE, {0})
           .int4(rec::XY, {0, 0, 10, 0, 10, 10, 0, 10})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"BOUNDARY without points", [](GdsWriter& w) { w.writeBoundary(GdsBoundary()); },
       StreamBuilder()
           .none(rec::BOUNDARY)
           .int2(rec::LAYER, {0})
           .int2(rec::DATATYPE, {0})
           .none(rec::ENDEL)
           .bytes(),
       "Incorrect parameters for record: 0x1003\n"},
      {"BOUNDARY with a layer and datatype beyond 16 bits",
       [&](GdsWriter& w) { w.writeBoundary(wide); },
       StreamBuilder()
           .none(rec::BOUNDARY)
           .raw({0x00, 0x06, 0x0D, 0x02, 0x11, 0x70})
           .raw({0x00, 0x06, 0x0E, 0x02, 0xFF, 0xFF})
           .int4(rec::XY, {1, 3, 2, 4})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"BOUNDARY whose yCor is shorter than its xCor",
       [&](GdsWriter& w) { w.writeBoundary(uneven); },
       StreamBuilder()
           .none(rec::BOUNDARY)
           .int2(rec::LAYER, {1})
           .int2(rec::DATATYPE, {0})
           .int4(rec::XY, {1, 4, 2, 5})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"PATH with PLEX and a property", [&](GdsWriter& w) { w.writePath(path); },
       StreamBuilder()
           .none(rec::PATH)
           .int4(rec::PLEX, {1})
           .int2(rec::LAYER, {4})
           .int2(rec::DATATYPE, {3})
           .raw({0x00, 0x06, 0x21, 0x02, 0x00, 0x02})
           .raw({0x00, 0x08, 0x0F, 0x03, 0x00, 0x00, 0x00, 0x0A})
           .int4(rec::XY, {0, 0, 100, -100})
           .int2(rec::PROPATTR, {2})
           .text(rec::PROPVALUE, "p")
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"PATH of type 4 with its extensions", [&](GdsWriter& w) { w.writePath(extended); },
       StreamBuilder()
           .none(rec::PATH)
           .int2(rec::LAYER, {4})
           .int2(rec::DATATYPE, {3})
           .int2(rec::PATHTYPE, {4})
           .int4(rec::WIDTH, {10})
           .int4(rec::BGNEXTN, {-5})
           .int4(rec::ENDEXTN, {0})
           .int4(rec::XY, {0, 0, 100, -100})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"NODE", [&](GdsWriter& w) { w.writeNode(node); },
       StreamBuilder()
           .none(rec::NODE)
           .int2(rec::LAYER, {5})
           .int2(rec::NODETYPE, {7})
           .int4(rec::XY, {9, 8})
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"TEXT scaled, with its presentation and path type",
       [&](GdsWriter& w) { w.writeText(scaledText); },
       StreamBuilder()
           .none(rec::TEXT)
           .int2(rec::LAYER, {6})
           .int2(rec::TEXTTYPE, {2})
           .bits(rec::PRESENTATION, 0x0006)
           .int2(rec::PATHTYPE, {1})
           .int4(rec::WIDTH, {20})
           .bits(rec::STRANS, 0)
           .real8(rec::MAG, {kTwo})
           .int4(rec::XY, {10, -10})
           .text(rec::STRING, "odd")
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"TEXT rotated, with reflection and absolute angle bits",
       [&](GdsWriter& w) { w.writeText(turnedText); },
       StreamBuilder()
           .none(rec::TEXT)
           .int2(rec::LAYER, {0})
           .int2(rec::TEXTTYPE, {0})
           .bits(rec::PRESENTATION, 0)
           .int4(rec::WIDTH, {-1})
           .bits(rec::STRANS, 0x8002)
           .real8(rec::ANGLE, {kNinety})
           .int4(rec::XY, {0, 0})
           .text(rec::STRING, "even")
           .none(rec::ENDEL)
           .bytes(),
       ""},
      {"TEXT with a string too long for a record", [&](GdsWriter& w) { w.writeText(hugeText); },
       StreamBuilder()
           .none(rec::TEXT)
           .int2(rec::LAYER, {0})
           .int2(rec::TEXTTYPE, {0})
           .bits(rec::PRESENTATION, 0)
           .int4(rec::WIDTH, {0})
           .bits(rec::STRANS, 0)
           .int4(rec::XY, {0, 0})
           .none(rec::ENDEL)
           .bytes(),
       "Incorrect parameters for record: 0x1906\n"},
      {"BOX with ELFLAGS and PLEX", [&](GdsWriter& w) { w.writeBox(box); },
       StreamBuilder()
           .none(rec::BOX)
           .bits(rec::EFLAGS, 0x0001)
           .int4(rec::PLEX, {-2})
           .int2(rec::LAYER, {8})
           .raw({0x00, 0x06, 0x2E, 0x02, 0x00, 0x03})
           .int4(rec::XY, {0, 0, 5, 0, 5, 5, 0, 5, 0, 0})
           .none(rec::ENDEL)
           .bytes(),
       ""},
  };
  for (const ElementCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Written out = writeWith(c.write);
    EXPECT_EQ(out.bytes, c.expected);
    EXPECT_EQ(out.printed, c.printed);
  }
}

TEST(ElementWriters, SplitLongCoordinateListsIntoRecordsTheImporterJoins) {
  struct SplitCase {
    size_t points;
    std::vector<size_t> pointsPerRecord;
  };
  const SplitCase cases[] = {{8191, {8191}}, {8192, {8191, 1}}, {20000, {8191, 8191, 3618}}};
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.points);
    GdsPath path;
    path.layer = 1;
    for (size_t i = 0; i < c.points; ++i) {
      path.xCor.push_back(static_cast<int32_t>(i));
      path.yCor.push_back(-3 * static_cast<int32_t>(i));
    }
    const Written out = writeWith([&](GdsWriter& w) { w.writePath(path); });
    EXPECT_EQ(out.printed, "");

    std::vector<std::pair<RecordCode, size_t>> expected = {
        {rec::PATH, 4}, {rec::LAYER, 6}, {rec::DATATYPE, 6}, {rec::PATHTYPE, 6}, {rec::WIDTH, 8}};
    for (size_t points : c.pointsPerRecord)
      expected.emplace_back(rec::XY, 4 + 8 * points);
    expected.emplace_back(rec::ENDEL, 4);
    EXPECT_EQ(recordList(out.bytes), expected);

    const Bytes file = StreamBuilder()
                           .libraryHeader()
                           .beginStructure("long")
                           .raw(out.bytes)
                           .endStructure()
                           .endLibrary()
                           .bytes();
    MemorySource source(file);
    GdsLibrary library;
    int imported = -1;
    captureOutput([&] { imported = importStream(library, source, "long.gds"); });
    ASSERT_EQ(imported, kImported);
    ASSERT_EQ(library.structures.size(), 1u);
    ASSERT_EQ(library.structures[0].paths.size(), 1u);
    EXPECT_TRUE(library.structures[0].paths[0].xCor == path.xCor);
    EXPECT_TRUE(library.structures[0].paths[0].yCor == path.yCor);
  }
}

TEST(ElementWriters, RepeatedAnglesAndMagnificationsKeepTheirOwnBytes) {
  // Values met again, values that share a binary exponent (90 and 100, 0.5 and 0.75), zero of
  // either sign and a refused value in between: each record carries its own value's bytes.
  const std::vector<double> values = {90,  180, 90,           100, 90,  0.5, 0.75, -0.0, 0.0,
                                      0.5, 270, std::nan(""), 270, -90, 90,  1e-3, 1e-3};
  for (RecordCode code : {rec::ANGLE, rec::MAG}) {
    const Written out = writeWith([&](GdsWriter& w) {
      for (double value : values)
        w.writeSref(code == rec::ANGLE ? GdsSref("A", 0, 0, false, value, 1.0)
                                       : GdsSref("A", 0, 0, false, 0.0, value));
    });
    std::vector<uint64_t> written;
    for (size_t at = 0; at + 4 <= out.bytes.size();) {
      const size_t length = readBigEndian(out.bytes.data(), static_cast<long>(at), 2);
      if (((RecordCode{out.bytes[at + 2]} << 8) | out.bytes[at + 3]) == code)
        written.push_back(readBigEndian64(out.bytes.data(), static_cast<long>(at + 4), 8));
      at += length;
    }
    std::vector<uint64_t> expected;
    for (double value : values)
      if (!std::isnan(value) && value != (code == rec::ANGLE ? 0.0 : 1.0))
        expected.push_back(encodeReal8(value));
    EXPECT_EQ(written, expected) << recordName(code);
    EXPECT_EQ(splitLines(out.printed).size(), 1u);  // the refused value
  }
}

TEST(LibraryHeader, FixedRecordsWithTheRunsTimestamp) {
  const Written out = writeWith([](GdsWriter& w) { w.writeLibraryHeader("Untitled_library"); });
  ASSERT_EQ(out.bytes.size(), 74u);
  EXPECT_EQ(Bytes(out.bytes.begin(), out.bytes.begin() + 6),
            (Bytes{0x00, 0x06, 0x00, 0x02, 0x02, 0x58}));
  EXPECT_EQ(out.bytes, writtenLibraryHeader());
  EXPECT_EQ(out.printed, "");
}

TEST(LibraryHeader, UnitsAreTheLibrarysOwn) {
  struct UnitsCase {
    double userUnit;
    double meterUnit;
    uint64_t userBytes;
    uint64_t meterBytes;
  };
  const UnitsCase cases[] = {
      // The default units keep the traditional bytes, whose metre value is a hair below 1e-9.
      {0.001, 1e-9, 0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL},
      {0.001, 9.999999999999999e-10, 0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL},
      // Any other units: normalised, exact for a double.
      {0.0005, 5e-10, 0x3E20C49BA5E353F8ULL, 0x39225C17D04DAD2AULL},
      {0.01, 1e-8, 0x3F28F5C28F5C28F6ULL, 0x3A2AF31DC4611874ULL},
      {0.001, 1e-8, 0x3E4189374BC6A7F0ULL, 0x3A2AF31DC4611874ULL},
      {1.0, 1e-6, 0x4110000000000000ULL, 0x3C10C6F7A0B5ED8DULL},
  };
  for (const UnitsCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.userUnit << " " << c.meterUnit);
    const Written out =
        writeWith([&](GdsWriter& w) { w.writeLibraryHeader("lib", c.userUnit, c.meterUnit); });
    ASSERT_EQ(out.bytes.size(), 62u);
    const Bytes expected = StreamBuilder()
                               .raw(Bytes(out.bytes.begin(), out.bytes.begin() + 42))
                               .real8(rec::UNITS, {c.userBytes, c.meterBytes})
                               .bytes();
    EXPECT_EQ(out.bytes, expected);
    if (c.meterBytes != 0x3944B82FA09B5A50ULL) {
      EXPECT_EQ(decodeReal8(out.bytes.data() + 46), c.userUnit);
      EXPECT_EQ(decodeReal8(out.bytes.data() + 54), c.meterUnit);
    }
  }
}

TEST(WriteLibrary, EmptyLibraryIsTheHeaderAndEndlib) {
  TempDir dir;
  GdsLibrary plain;
  GdsLibrary renamed;  // the name is written; the other header values are not
  renamed.name = "Untitled_library";
  renamed.version = 5;
  renamed.generations = 9;
  renamed.bgnlib = {2001, 1, 1, 0, 0, 0, 2001, 1, 1, 0, 0, 0};
  renamed.maxLevel = 4;
  const Bytes expected = StreamBuilder().raw(writtenLibraryHeader()).endLibrary().bytes();
  ASSERT_EQ(expected.size(), 78u);
  for (const GdsLibrary* library : {&plain, &renamed}) {
    const std::string file = dir.file("empty.gds");
    int result = -1;
    const std::string printed = captureOutput([&] { result = writeLibrary(*library, file); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed, "Creating \"" + file + "\" done.\n");
    EXPECT_EQ(readBytes(file), expected);
  }
}

TEST(WriteLibrary, StructuresListByListInFixedOrder) {
  GdsStructure mixed;
  mixed.name = "mixed";  // elements added in the reverse of the written order
  mixed.boxes.push_back(GdsBox{});
  mixed.boxes.back().xCor = {1};
  mixed.boxes.back().yCor = {1};
  mixed.texts.push_back(GdsText{});
  mixed.nodes.push_back(GdsNode{});
  mixed.nodes.back().xCor = {2};
  mixed.nodes.back().yCor = {2};
  mixed.paths.emplace_back(1, 5, Coordinates{0, 1}, Coordinates{0, 1});
  mixed.boundaries.emplace_back(1, 0, 0, 10, 10);
  mixed.arefs.push_back(arrayReference("B", 1, 1, {}));
  for (const char* name : {"A1", "A2", "A3"})
    mixed.srefs.emplace_back(name, 0, 0);
  GdsStructure odd;
  odd.name = "odd";

  GdsLibrary library;
  library.addStructure(mixed);
  library.appendStructures({odd, odd});  // two structures of one name are both written

  const Written elements = writeWith([&](GdsWriter& w) {
    for (const auto& sref : mixed.srefs)
      w.writeSref(sref);
    w.writeAref(mixed.arefs[0]);
    w.writeBoundary(mixed.boundaries[0]);
    w.writePath(mixed.paths[0]);
    w.writeNode(mixed.nodes[0]);
    w.writeText(mixed.texts[0]);
    w.writeBox(mixed.boxes[0]);
  });
  const Bytes expected = StreamBuilder()
                             .raw(writtenLibraryHeader())
                             .raw(writtenStructureStart("mixed"))
                             .raw(elements.bytes)
                             .endStructure()
                             .raw(writtenStructureStart("odd"))
                             .endStructure()
                             .raw(writtenStructureStart("odd"))
                             .endStructure()
                             .endLibrary()
                             .bytes();
  TempDir dir;
  const std::string file = dir.file("mixed.gds");
  int result = -1;
  const std::string printed = captureOutput([&] { result = writeLibrary(library, file); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(printed, "Creating \"" + file + "\" done.\n");
  EXPECT_EQ(readBytes(file), expected);
  EXPECT_EQ(library.structures.size(), 3u);  // writing leaves the library as it was
  EXPECT_EQ(library.structures[0].srefs.size(), 3u);
}

TEST(WriteLibrary, LargeLibrariesComeOutInOrderWithTheirLinesInOrder) {
  // Enough elements to be encoded in several batches side by side; refused values early, in
  // the middle and last, whose lines must keep the file's order.
  GdsLibrary library;
  for (int s = 0; s < 400; ++s) {
    GdsStructure structure;
    structure.name = "S" + std::to_string(s);
    for (int i = 0; i < 500; ++i)
      structure.srefs.emplace_back("LEAF", i, s, i % 2 == 0, 90.0 * (i % 4), 1.0);
    if (s == 3 || s == 200 || s == 399) structure.srefs.back().scale = std::nan("");
    if (s == 201) structure.srefs.back().angle = 1e300;
    library.addStructure(std::move(structure));
  }
  const Written oneByOne = writeWith([&](GdsWriter& w) {
    for (const auto& structure : library.structures)
      w.writeStructure(structure);
  });
  ASSERT_EQ(splitLines(oneByOne.printed).size(), 4u);

  TempDir dir;
  const std::string file = dir.file("large.gds");
  writeBytes(file, Bytes(100, 0xAB));  // an older file, which the new one replaces
  int result = -1;
  const std::string printed = captureOutput([&] { result = writeLibrary(library, file); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(printed, oneByOne.printed + "Creating \"" + file + "\" done.\n");
  const Bytes expected =
      StreamBuilder().raw(writtenLibraryHeader()).raw(oneByOne.bytes).endLibrary().bytes();
  EXPECT_GT(expected.size(), size_t{8} << 20);
  EXPECT_EQ(readBytes(file), expected);
}

TEST(WriteLibrary, EmptyStructureNameIsAHeaderOnlyStrname) {
  GdsStructure unnamed;
  const Written out = writeWith([&](GdsWriter& w) { w.writeStructure(unnamed); });
  EXPECT_EQ(out.bytes, StreamBuilder()
                           .raw(stampedRecord(rec::BGNSTR, currentTimestamp()))
                           .raw({0x00, 0x04, 0x06, 0x06})
                           .endStructure()
                           .bytes());
}

// -rw keeps the units it reads: a normalised 8-byte real is written back with its own bytes,
// and units that are exactly the defaults get the traditional bytes.
TEST(ReadWrite, WritesTheUnitsItReads) {
  struct Case {
    uint64_t userIn, meterIn, userOut, meterOut;
  };
  const Case cases[] = {
      {0x3E20C49BA5E353F8ULL, 0x39225C17D04DAD2AULL, 0x3E20C49BA5E353F8ULL, 0x39225C17D04DAD2AULL},
      {0x3F28F5C28F5C28F6ULL, 0x3A2AF31DC4611874ULL, 0x3F28F5C28F5C28F6ULL, 0x3A2AF31DC4611874ULL},
      {0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL, 0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL},
      {0x3E4189374BC6A7ECULL, 0x3944B82FA09B5A50ULL, 0x3E4189374BC6A7ECULL, 0x3944B82FA09B5A50ULL},
      // Exactly 0.001 and 1e-9: the traditional bytes.
      {0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A54ULL, 0x3E4189374BC6A7F0ULL, 0x3944B82FA09B5A50ULL},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.userIn << " " << c.meterIn);
    writeBytes(dir.file("in.gds"),
               StreamBuilder()
                   .int2(rec::HEADER, {600})
                   .int2(rec::BGNLIB, {2024, 1, 2, 3, 4, 5, 2024, 1, 2, 3, 4, 5})
                   .text(rec::LIBNAME, "units.db")
                   .real8(rec::UNITS, {c.userIn, c.meterIn})
                   .beginStructure("cell")
                   .boundary(1, {0, 0, 5, 0, 5, 5, 0, 0})
                   .endStructure()
                   .endLibrary()
                   .bytes());
    const RunResult run = runTessel({"-rw", "in.gds", "-o", "out.gds"}, dir.path().string());
    EXPECT_EQ(run.exitCode, 0);
    const Bytes written = readBytes(dir.file("out.gds"));
    ASSERT_GE(written.size(), 66u);
    // After HEADER (6 bytes), BGNLIB (28) and the LIBNAME "units.db" as read (12).
    const Bytes units(written.begin() + 46, written.begin() + 66);
    EXPECT_EQ(units, StreamBuilder().real8(rec::UNITS, {c.userOut, c.meterOut}).bytes());
  }
}

}  // namespace
}  // namespace tessel::testing
