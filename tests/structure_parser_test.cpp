// The records of references, paths and boundaries are read straight from their bytes in their
// common shapes; every shape, common or not, must give the fields and the lines the general
// decoder gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "import/record_feed.h"
#include "import/structure_parser.h"
#include "support/model_compare.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

struct Parsed {
  GdsStructure structure;
  std::string lines;
};

// Parses one structure holding `body`, with or without the shortcuts.
Parsed parse(const Bytes& body, bool shortcuts) {
  const Bytes bytes = StreamBuilder().beginStructure("S").raw(body).endStructure().bytes();
  BytesFeed feed(bytes, RecordPosition{0, 1}, ReadStatus::End);
  StructureParser parser;
  parser.useShortcuts(shortcuts);
  Parsed parsed;
  MessageSink out(parsed.lines);
  parser.readStructure(feed, out, parsed.structure);
  return parsed;
}

// A record of `code` with `payload` as its bytes, whatever their count.
Bytes record(RecordCode code, const Bytes& payload) {
  // Sized up front: growing a four-byte vector by insert trips a false
  // array-bounds warning in GCC 12's optimised build.
  Bytes bytes(payload.size() + 4);
  bytes[0] = static_cast<uint8_t>((payload.size() + 4) >> 8);
  bytes[1] = static_cast<uint8_t>(payload.size() + 4);
  bytes[2] = static_cast<uint8_t>(code >> 8);
  bytes[3] = static_cast<uint8_t>(code);
  std::copy(payload.begin(), payload.end(), bytes.begin() + 4);
  return bytes;
}

TEST(StructureParser, ShortcutsGiveWhatTheDecoderGives) {
  const Bytes two = {0x41, 0x20, 0, 0, 0, 0, 0, 0};  // 2.0
  const Bytes ninety = {0x42, 0x5A, 0, 0, 0, 0, 0, 0};
  struct Case {
    const char* what;
    RecordCode start;
    std::vector<Bytes> records;
  };
  const std::vector<Case> cases = {
      {"SREF in its common shape",
       rec::SREF,
       {record(rec::SNAME, {'A', 'B', 'C', 0}), record(rec::STRANS, {0x80, 0x06}),
        record(rec::MAG, two), record(rec::ANGLE, ninety),
        record(rec::XY, {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE})}},
      {"SREF with a name of NULs inside", rec::SREF, {record(rec::SNAME, {'A', 0, 'B', 0, 0, 0})}},
      {"SREF with a name not padded", rec::SREF, {record(rec::SNAME, {'A', 'B'})}},
      {"SREF with a name of NULs only", rec::SREF, {record(rec::SNAME, {0, 0})}},
      {"SREF with an empty name and no XY", rec::SREF, {record(rec::SNAME, {})}},
      {"SREF with STRANS of four bytes", rec::SREF, {record(rec::STRANS, {0x80, 0, 1, 2})}},
      {"SREF with STRANS of one byte", rec::SREF, {record(rec::STRANS, {0x80})}},
      {"SREF with two magnifications",
       rec::SREF,
       {record(rec::MAG, {0x41, 0x20, 0, 0, 0, 0, 0, 0, 0x41, 0x30, 0, 0, 0, 0, 0, 0})}},
      {"SREF with a short angle", rec::SREF, {record(rec::ANGLE, {0x42, 0x5A, 0, 0})}},
      {"SREF with no angle value", rec::SREF, {record(rec::ANGLE, {})}},
      {"SREF with four coordinates",
       rec::SREF,
       {record(rec::XY, {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4})}},
      {"SREF with one coordinate", rec::SREF, {record(rec::XY, {0, 0, 0, 1})}},
      {"SREF with XY of five bytes", rec::SREF, {record(rec::XY, {0, 0, 0, 1, 2})}},
      {"SREF with PLEX, ELFLAGS and a property",
       rec::SREF,
       {record(rec::EFLAGS, {0, 1}), record(rec::PLEX, {0, 0, 0, 9}), record(rec::PROPATTR, {0, 5}),
        record(rec::PROPVALUE, {'v', 0})}},
      {"BOUNDARY in its common shape",
       rec::BOUNDARY,
       {record(rec::LAYER, {0, 7}), record(rec::DATATYPE, {0xFF, 0xFF}),
        record(rec::XY, {0, 0, 0, 1, 0, 0, 0, 2, 0x80, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF})}},
      {"BOUNDARY with two layers", rec::BOUNDARY, {record(rec::LAYER, {0, 7, 0, 8})}},
      {"BOUNDARY with an empty layer", rec::BOUNDARY, {record(rec::LAYER, {})}},
      {"BOUNDARY with an odd layer", rec::BOUNDARY, {record(rec::LAYER, {0, 7, 1})}},
      {"BOUNDARY with an odd XY",
       rec::BOUNDARY,
       {record(rec::XY, {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3})}},
      {"BOUNDARY with two XY records",
       rec::BOUNDARY,
       {record(rec::XY, {0, 0, 0, 1, 0, 0, 0, 2}), record(rec::XY, {})}},
      {"BOUNDARY with an XY of six bytes", rec::BOUNDARY, {record(rec::XY, {0, 0, 0, 1, 0, 0})}},
      {"BOUNDARY with datatype of four bytes",
       rec::BOUNDARY,
       {record(rec::DATATYPE, {0, 1, 0, 2})}},
      {"PATH in its common shape",
       rec::PATH,
       {record(rec::LAYER, {0, 3}), record(rec::DATATYPE, {0, 4}), record(rec::PATHTYPE, {0, 4}),
        record(rec::WIDTH, {0xFF, 0xFF, 0xFF, 0xF6}), record(rec::BGNEXTN, {0, 0, 0, 5}),
        record(rec::XY, {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4})}},
      {"PATH with a width of eight bytes",
       rec::PATH,
       {record(rec::WIDTH, {0, 0, 0, 1, 0, 0, 0, 2})}},
      {"PATH with an empty width", rec::PATH, {record(rec::WIDTH, {})}},
      {"PATH with a path type of four bytes", rec::PATH, {record(rec::PATHTYPE, {0, 1, 0, 2})}},
      {"PATH with a record of another kind", rec::PATH, {record(rec::SNAME, {'X', 0})}},
      {"PATH with a record that cannot be decoded",
       rec::PATH,
       {record(0x0F04, {0, 0, 0, 1}), record(rec::LAYER, {0, 9})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamBuilder body;
    body.none(c.start);
    for (const Bytes& bytes : c.records)
      body.raw(bytes);
    body.none(rec::ENDEL);
    const Parsed quick = parse(body.bytes(), true);
    const Parsed decoded = parse(body.bytes(), false);
    EXPECT_EQ(quick.lines, decoded.lines);
    GdsLibrary a, b;
    a.structures.push_back(quick.structure);
    b.structures.push_back(decoded.structure);
    EXPECT_EQ(firstRoundTripDifference(a, b), "");
    EXPECT_EQ(quick.structure.srefs.size() + quick.structure.boundaries.size() +
                  quick.structure.paths.size(),
              1u);
  }
}

// Read in parts, a structure hands over the same elements as read whole: the point lists taken
// over from earlier parts hold nothing of the elements they came from. Two structures in a row,
// so the second starts with the lists the first left, of every length up to 80 points.
TEST(StructureParser, PartsHoldWhatTheWholeHolds) {
  StreamBuilder body;
  for (int i = 0; i < 5000; ++i) {
    std::vector<int32_t> xy;
    const int points = 1 + (i * 7) % 80;
    for (int p = 0; p < points; ++p) {
      xy.push_back(i + p);
      xy.push_back(-i - 2 * p);
    }
    if (i % 3 == 0)
      body.none(rec::PATH)
          .int2(rec::LAYER, {i % 7})
          .int2(rec::DATATYPE, {0})
          .int4(rec::XY, xy)
          .none(rec::ENDEL);
    else
      body.boundary(i % 5, xy);
  }
  const Bytes one = StreamBuilder().beginStructure("S").raw(body.bytes()).endStructure().bytes();
  Bytes two = one;
  two.insert(two.end(), one.begin(), one.end());

  const Parsed whole = parse(body.bytes(), true);
  StructureParser parser;
  BytesFeed feed(two, RecordPosition{0, 1}, ReadStatus::End);
  std::string lines;
  MessageSink out(lines);
  for (int copy = 0; copy < 2; ++copy) {
    SCOPED_TRACE(copy);
    GdsStructure joined;
    const StructurePart parts = [&](GdsStructure& part, bool) {
      joined.boundaries.insert(joined.boundaries.end(), part.boundaries.begin(),
                               part.boundaries.end());
      joined.paths.insert(joined.paths.end(), part.paths.begin(), part.paths.end());
    };
    GdsStructure structure;
    parser.readStructure(feed, out, structure, nullptr, &parts);
    EXPECT_TRUE(lines.empty());
    ASSERT_EQ(joined.boundaries.size(), whole.structure.boundaries.size());
    ASSERT_EQ(joined.paths.size(), whole.structure.paths.size());
    for (size_t i = 0; i < joined.boundaries.size(); ++i) {
      EXPECT_EQ(joined.boundaries[i].xCor, whole.structure.boundaries[i].xCor) << i;
      EXPECT_EQ(joined.boundaries[i].yCor, whole.structure.boundaries[i].yCor) << i;
    }
    for (size_t i = 0; i < joined.paths.size(); ++i) {
      EXPECT_EQ(joined.paths[i].xCor, whole.structure.paths[i].xCor) << i;
      EXPECT_EQ(joined.paths[i].yCor, whole.structure.paths[i].yCor) << i;
    }
  }
}

}  // namespace
}  // namespace tessel::testing
