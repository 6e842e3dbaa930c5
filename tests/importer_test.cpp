// The importer over small hand-built streams: the library, structure and element levels, the
// records each element kind takes, the XY rules, damaged and truncated input.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "import/importer.h"
#include "stream/byte_source.h"
#include "stream/encode.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

const std::string kImporting = "Importing \"in.gds\" into Tessel.";
const std::string kEndOfLibrary = "Reached end of library.";
const std::string kDone = "GDS file successfully imported.";
const std::string kPartly = "GDS file partly imported.";
const std::string kUnrecognized = "Error: Unrecognized record.";
const std::string kUnreadable = "Error: Unable to read GDS file.";
const std::string kEndOfFile = "Error: Unexpected end of file.";
const std::string kBadLength = "Error: Invalid record length.";
const std::string kTooFew = "Error: Record has too few values.";

// The lines of an import that reads to ENDLIB, with `body` between the first line and ENDLIB;
// `outcome` is the last line.
std::vector<std::string> readToEnd(const std::vector<std::string>& body,
                                   const std::string& outcome = kDone) {
  std::vector<std::string> lines{kImporting};
  lines.insert(lines.end(), body.begin(), body.end());
  lines.push_back(kEndOfLibrary);
  lines.push_back(outcome);
  return lines;
}

// The lines of an import whose reading stopped early, with `body` after the first line.
std::vector<std::string> stoppedEarly(const std::vector<std::string>& body) {
  std::vector<std::string> lines{kImporting};
  lines.insert(lines.end(), body.begin(), body.end());
  lines.push_back(kPartly);
  return lines;
}

// In the files below, the library header takes 64 bytes and 4 records: the first record after
// it stands at byte 64 and is the 5th.

// A whole file: the library header, `body`, ENDLIB.
Bytes libraryOf(const StreamBuilder& body) {
  return StreamBuilder().libraryHeader().raw(body.bytes()).endLibrary().bytes();
}

// A whole file with one structure "S" holding `body`.
Bytes structureOf(const StreamBuilder& body) {
  return libraryOf(StreamBuilder().beginStructure("S").raw(body.bytes()).endStructure());
}

// A file with the structures LEAF and CELL (a boundary each) and S, which holds one element of
// the kind that `start` opens: for a reference an SNAME naming LEAF first, then `body`, ENDEL.
Bytes elementFile(RecordCode start, const StreamBuilder& body) {
  StreamBuilder file;
  file.beginStructure("LEAF").boundary(1, {0, 0, 1, 1}).endStructure();
  file.beginStructure("CELL").boundary(1, {0, 0, 2, 2}).endStructure();
  file.beginStructure("S").none(start);
  if (start == rec::SREF || start == rec::AREF) file.text(rec::SNAME, "LEAF");
  file.raw(body.bytes()).none(rec::ENDEL).endStructure();
  return libraryOf(file);
}

// The position line of the record `index` of an elementFile's `body`: S starts at byte 224 as
// the 21st record, with BGNSTR, STRNAME "S", the element's start and, for a reference, SNAME.
std::string bodyAt(RecordCode start, const Bytes& body, size_t index = 0) {
  uint64_t offset = 262;
  uint64_t record = 24;
  if (start == rec::SREF || start == rec::AREF) offset += 8, record += 1;
  for (size_t from = 0, k = 0; k < index; ++k, ++record) {
    const size_t length = (size_t{body[from]} << 8) | body[from + 1];
    offset += length;
    from += length;
  }
  return at(offset, record, "S");
}

// The structure S of an elementFile.
const GdsStructure& holder(const GdsLibrary& library) {
  return library.structures.at(2);
}

// One record made of raw bytes that decodeRecord refuses (data type 4).
Bytes undecodable() {
  return {0x00, 0x08, 0x0D, 0x04, 0x00, 0x00, 0x00, 0x01};
}

std::string show(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

TEST(Importer, LibraryRecords) {
  const Bytes bytes =
      StreamBuilder()
          .int2(rec::HEADER, {5})
          .int2(rec::BGNLIB, {2001, 2, 3})
          .text(rec::LIBNAME, "first")
          .real8(rec::UNITS, {encodeReal8(0.5), encodeReal8(2.0)})
          .int2(rec::GENERATIONS, {12})
          .int2(rec::BGNLIB, {4, 5})                                 // appends
          .real8(rec::UNITS, {encodeReal8(0.25), encodeReal8(4.0)})  // overwrites both
          .text(rec::LIBNAME, "MYLIB")
          .int2(rec::BGNSTR, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})
          .text(rec::STRNAME, "A")
          .endStructure()
          .int2(rec::BGNSTR, {21, 22})
          .text(rec::STRNAME, "B")
          .endStructure()
          .endLibrary()
          .bytes();
  const Imported imported = importBytes(bytes);
  EXPECT_EQ(imported.result, kImported);
  EXPECT_EQ(imported.lines, readToEnd({}));
  const GdsLibrary& library = imported.library;
  EXPECT_EQ(library.version, 5);
  EXPECT_EQ(library.generations, 12);
  EXPECT_EQ(library.bgnlib, (std::vector<int32_t>{2001, 2, 3, 4, 5}));
  EXPECT_EQ(library.name, "MYLIB");
  EXPECT_EQ(library.userUnit, 0.25);
  EXPECT_EQ(library.meterUnit, 4.0);
  EXPECT_TRUE(library.sourceFiles.empty());
  ASSERT_EQ(library.structures.size(), 2u);
  EXPECT_EQ(library.structures[0].name, "A");
  EXPECT_EQ(library.structures[0].bgnstr,
            (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(library.structures[1].name, "B");
  EXPECT_EQ(library.structures[1].bgnstr, (std::vector<int32_t>{21, 22}));
  // The closing steps register the empty name as the mark of a nameless reference.
  EXPECT_EQ(library.structureIndex.size(), 3u);
  EXPECT_EQ(library.structureIndex.at("A"), 0);
  EXPECT_EQ(library.structureIndex.at("B"), 1);
  EXPECT_EQ(library.structureIndex.at(""), kUnnamedStructurePosition);
}

TEST(Importer, ReadsFilesAndReportsOnesThatCannotBeOpened) {
  TempDir dir;
  const std::string path = dir.file("lib.gds");
  writeBytes(path, structureOf(StreamBuilder().boundary(1, {0, 0, 4, 0, 4, 4, 0, 0})));
  GdsLibrary library;
  std::string output = captureOutput([&] { EXPECT_EQ(importStream(library, path), kImported); });
  EXPECT_EQ(splitLines(output), (std::vector<std::string>{"Importing \"" + path + "\" into Tessel.",
                                                          kEndOfLibrary, kDone}));
  EXPECT_EQ(library.structures.at(0).bbox, (BoundingBox{0, 0, 4, 4}));

  GdsLibrary untouched;
  const std::string missing = dir.file("missing.gds");
  output = captureOutput([&] { EXPECT_EQ(importStream(untouched, missing), kImportOpenFailed); });
  EXPECT_EQ(output, "Error: GDS file \"" + missing + "\" FAILED to be opened.\n");
  EXPECT_TRUE(untouched.structureIndex.empty());
  EXPECT_EQ(untouched.name, "Untitled_library");
}

TEST(Importer, UnrecognizedRecordsAtTheLibraryLevel) {
  const std::vector<std::pair<const char*, Bytes>> records = {
      {"REFLIBS", StreamBuilder().text(rec::REFLIBS, "other").bytes()},
      {"FONTS", StreamBuilder().text(rec::FONTS, "font").bytes()},
      {"ATTRTABLE", StreamBuilder().text(rec::ATTRTABLE, "attr").bytes()},
      {"STRNAME", StreamBuilder().text(rec::STRNAME, "X").bytes()},
      {"ENDSTR", StreamBuilder().endStructure().bytes()},
      {"BOUNDARY", StreamBuilder().none(rec::BOUNDARY).bytes()},
      {"LAYER", StreamBuilder().int2(rec::LAYER, {1}).bytes()},
      {"ENDEL", StreamBuilder().none(rec::ENDEL).bytes()},
      {"HEADER as four-byte integers", StreamBuilder().int4(0x0003, {9}).bytes()},
      {"LIBNAME without data type", StreamBuilder().none(0x0200).bytes()},
  };
  for (const auto& [what, record] : records) {
    SCOPED_TRACE(what);
    const Imported imported = importBytes(libraryOf(StreamBuilder().raw(record)));
    EXPECT_EQ(imported.result, kImported);
    EXPECT_EQ(imported.lines, readToEnd({kUnrecognized, at(64, 5)}));
    EXPECT_EQ(imported.library.version, 600);
    EXPECT_EQ(imported.library.name, "lib.db");
    EXPECT_TRUE(imported.library.structures.empty());
  }
}

TEST(Importer, UnrecognizedRecordsInsideAStructureDoNotEndIt) {
  const std::vector<std::pair<const char*, Bytes>> records = {
      {"BGNSTR", StreamBuilder().int2(rec::BGNSTR, {1, 2}).bytes()},
      {"ENDLIB", StreamBuilder().endLibrary().bytes()},
      {"ENDEL", StreamBuilder().none(rec::ENDEL).bytes()},
      {"LAYER", StreamBuilder().int2(rec::LAYER, {1}).bytes()},
      {"XY", StreamBuilder().int4(rec::XY, {1, 2}).bytes()},
      {"HEADER", StreamBuilder().int2(rec::HEADER, {3}).bytes()},
      {"STRNAME as two-byte integers", StreamBuilder().int2(0x0602, {1}).bytes()},
  };
  for (const auto& [what, record] : records) {
    SCOPED_TRACE(what);
    const Imported imported = importBytes(structureOf(
        StreamBuilder().raw(record).boundary(2, {0, 0, 1, 1}).text(rec::STRNAME, "LATER")));
    // BGNSTR at 64 and STRNAME "S" at 92 come before the record.
    EXPECT_EQ(imported.lines, readToEnd({kUnrecognized, at(98, 7, "S")}));
    ASSERT_EQ(imported.library.structures.size(), 1u);
    const GdsStructure& structure = imported.library.structures[0];
    EXPECT_EQ(structure.name, "LATER");
    EXPECT_EQ(structure.bgnstr.size(), 12u);
    ASSERT_EQ(structure.boundaries.size(), 1u);
    EXPECT_EQ(structure.boundaries[0].layer, 2u);
    EXPECT_EQ(imported.library.version, 600);
  }
}

TEST(Importer, AnElementStaysOpenUntilItsEndel) {
  // ENDSTR, BGNSTR and another element start do not close the open boundary; the later EFLAGS,
  // LAYER and XY still fill it.
  const Imported imported = importBytes(structureOf(StreamBuilder()
                                                        .none(rec::BOUNDARY)
                                                        .int2(rec::LAYER, {1})
                                                        .endStructure()
                                                        .int2(rec::BGNSTR, {1})
                                                        .none(rec::PATH)
                                                        .bits(rec::EFLAGS, 3)
                                                        .none(rec::ENDLIB)
                                                        .int2(rec::LAYER, {4})
                                                        .int4(rec::XY, {0, 0, 2, 3})
                                                        .none(rec::ENDEL)));
  EXPECT_EQ(imported.lines,
            readToEnd({kUnrecognized, at(108, 9, "S"), kUnrecognized, at(112, 10, "S"),
                       kUnrecognized, at(118, 11, "S"), kUnrecognized, at(128, 13, "S")}));
  ASSERT_EQ(imported.library.structures.size(), 1u);
  const GdsStructure& structure = imported.library.structures[0];
  EXPECT_TRUE(structure.paths.empty());
  ASSERT_EQ(structure.boundaries.size(), 1u);
  EXPECT_EQ(structure.boundaries[0].elflags, 3);
  EXPECT_EQ(structure.boundaries[0].layer, 4u);
  EXPECT_EQ(structure.boundaries[0].xCor, (Coordinates{0, 2}));
  EXPECT_EQ(structure.boundaries[0].yCor, (Coordinates{0, 3}));
}

// Every element body record once, with the value it stores rendered as text.
struct BodyRecord {
  const char* name;
  Bytes bytes;
  std::string stored;
};

std::vector<BodyRecord> bodyRecords() {
  return {
      {"LAYER", StreamBuilder().int2(rec::LAYER, {7}).bytes(), "7"},
      {"DATATYPE", StreamBuilder().int2(rec::DATATYPE, {8}).bytes(), "8"},
      {"WIDTH", StreamBuilder().int4(rec::WIDTH, {9}).bytes(), "9"},
      {"SNAME", StreamBuilder().text(rec::SNAME, "CELL").bytes(), "CELL"},
      {"COLROW", StreamBuilder().int2(rec::COLROW, {3, 4}).bytes(), "3 4"},
      {"TEXTTYPE", StreamBuilder().int2(rec::TEXTTYPE, {10}).bytes(), "10"},
      {"PRESENTATION", StreamBuilder().bits(rec::PRESENTATION, 0x0005).bytes(), "5"},
      {"STRING", StreamBuilder().text(rec::STRING, "hello").bytes(), "hello"},
      {"STRANS", StreamBuilder().bits(rec::STRANS, 0x8004).bytes(), "32772"},
      {"MAG", StreamBuilder().real8(rec::MAG, {encodeReal8(2.5)}).bytes(), "2.5"},
      {"ANGLE", StreamBuilder().real8(rec::ANGLE, {encodeReal8(90.0)}).bytes(), "90"},
      {"PATHTYPE", StreamBuilder().int2(rec::PATHTYPE, {1}).bytes(), "1"},
      {"NODETYPE", StreamBuilder().int2(rec::NODETYPE, {11}).bytes(), "11"},
      {"PROPATTR", StreamBuilder().int2(rec::PROPATTR, {12}).bytes(), "12"},
      {"PROPVALUE", StreamBuilder().text(rec::PROPVALUE, "pv").bytes(), "pv"},
      {"BOXTYPE", StreamBuilder().int2(rec::BOXTYPE, {13}).bytes(), "13"},
      {"PLEX", StreamBuilder().int4(rec::PLEX, {14}).bytes(), "14"},
      {"EFLAGS", StreamBuilder().bits(rec::EFLAGS, 1).bytes(), "1"},
      {"BGNEXTN", StreamBuilder().int4(rec::BGNEXTN, {-15}).bytes(), "-15"},
      {"ENDEXTN", StreamBuilder().int4(rec::ENDEXTN, {16}).bytes(), "16"},
  };
}

using Fields = std::map<std::string, std::string>;

// An element kind: its start record and, keyed by the record that fills it, every field that a
// body record can fill. A record without an entry is one the kind does not accept.
struct Kind {
  const char* name;
  RecordCode start;
  std::function<Fields(const GdsStructure&)> fields;
};

// The properties show as their attributes (under PROPATTR) and their values (under PROPVALUE);
// a lone PROPVALUE makes a property of attribute 0, which shows only as its value.
template <class Element>
Fields common(const Element& e) {
  std::string attributes, values;
  for (const GdsProperty& property : e.properties) {
    if (property.propattr != 0) attributes += std::to_string(property.propattr) + ";";
    values += property.propvalue.str();
  }
  if (!attributes.empty()) attributes.pop_back();
  return {{"PROPATTR", attributes},
          {"PROPVALUE", values},
          {"PLEX", std::to_string(e.plex)},
          {"EFLAGS", std::to_string(e.elflags)}};
}

Fields with(Fields fields, const Fields& more) {
  fields.insert(more.begin(), more.end());
  return fields;
}

const std::vector<Kind>& kinds() {
  static const std::vector<Kind> all = {
      {"BOUNDARY", rec::BOUNDARY,
       [](const GdsStructure& s) {
         const auto& e = s.boundaries.at(0);
         return with(common(e), {{"LAYER", std::to_string(e.layer)},
                                 {"DATATYPE", std::to_string(e.datatype)}});
       }},
      {"PATH", rec::PATH,
       [](const GdsStructure& s) {
         const auto& e = s.paths.at(0);
         return with(common(e), {{"LAYER", std::to_string(e.layer)},
                                 {"DATATYPE", std::to_string(e.datatype)},
                                 {"WIDTH", std::to_string(e.width)},
                                 {"PATHTYPE", std::to_string(e.pathtype)},
                                 {"BGNEXTN", std::to_string(e.bgnextn)},
                                 {"ENDEXTN", std::to_string(e.endextn)}});
       }},
      {"SREF", rec::SREF,
       [](const GdsStructure& s) {
         const auto& e = s.srefs.at(0);
         return with(common(e), {{"SNAME", e.name.str()},
                                 {"STRANS", std::to_string(e.strans)},
                                 {"MAG", show(e.scale)},
                                 {"ANGLE", show(e.angle)}});
       }},
      {"AREF", rec::AREF,
       [](const GdsStructure& s) {
         const auto& e = s.arefs.at(0);
         return with(common(e),
                     {{"SNAME", e.name.str()},
                      {"COLROW", std::to_string(e.columns) + " " + std::to_string(e.rows)},
                      {"STRANS", std::to_string(e.strans)},
                      {"MAG", show(e.scale)},
                      {"ANGLE", show(e.angle)}});
       }},
      {"TEXT", rec::TEXT,
       [](const GdsStructure& s) {
         const auto& e = s.texts.at(0);
         return with(common(e), {{"LAYER", std::to_string(e.layer)},
                                 {"WIDTH", std::to_string(e.width)},
                                 {"TEXTTYPE", std::to_string(e.texttype)},
                                 {"PRESENTATION", std::to_string(e.presentation)},
                                 {"STRING", e.textbody.str()},
                                 {"STRANS", std::to_string(e.strans)},
                                 {"MAG", show(e.scale)},
                                 {"ANGLE", show(e.angle)},
                                 {"PATHTYPE", std::to_string(e.pathtype)}});
       }},
      {"NODE", rec::NODE,
       [](const GdsStructure& s) {
         const auto& e = s.nodes.at(0);
         return with(common(e), {{"LAYER", std::to_string(e.layer)},
                                 {"NODETYPE", std::to_string(e.nodetype)}});
       }},
      {"BOX", rec::BOX,
       [](const GdsStructure& s) {
         const auto& e = s.boxes.at(0);
         return with(common(e),
                     {{"LAYER", std::to_string(e.layer)}, {"BOXTYPE", std::to_string(e.boxtype)}});
       }},
  };
  return all;
}

size_t elementCount(const GdsStructure& s) {
  return s.boundaries.size() + s.paths.size() + s.srefs.size() + s.arefs.size() + s.texts.size() +
         s.nodes.size() + s.boxes.size();
}

TEST(ElementRecords, EachKindTakesItsRecordsIntoItsFields) {
  for (const Kind& kind : kinds()) {
    SCOPED_TRACE(kind.name);
    // The element as it starts: integers 0, scale 1, angle 0, strings empty.
    const Imported bare = importBytes(elementFile(kind.start, StreamBuilder()));
    ASSERT_EQ(bare.lines, readToEnd({}));
    const Fields defaults = kind.fields(holder(bare.library));
    for (const auto& [record, value] : defaults) {
      std::string expected = "0";
      if (record == "MAG") expected = "1";
      if (record == "COLROW") expected = "0 0";
      if (record == "STRING" || record == "PROPVALUE" || record == "PROPATTR") expected = "";
      if (record == "SNAME") expected = "LEAF";
      EXPECT_EQ(value, expected) << record;
    }

    for (const BodyRecord& body : bodyRecords()) {
      SCOPED_TRACE(body.name);
      const Imported imported =
          importBytes(elementFile(kind.start, StreamBuilder().raw(body.bytes)));
      const bool accepted = defaults.count(body.name) != 0;
      EXPECT_EQ(imported.result, kImported);
      EXPECT_EQ(imported.lines,
                readToEnd(accepted ? std::vector<std::string>{}
                                   : std::vector<std::string>{kUnrecognized,
                                                              bodyAt(kind.start, body.bytes)}));
      const GdsStructure& structure = holder(imported.library);
      EXPECT_EQ(elementCount(structure), 1u);
      Fields expected = defaults;
      if (accepted) expected[body.name] = body.stored;
      EXPECT_EQ(kind.fields(structure), expected);
    }
  }
}

TEST(ElementRecords, ReflectionIsTheTopStransBit) {
  struct Case {
    RecordCode start;
    uint16_t strans;
    bool reflection;
  };
  const Case cases[] = {{rec::SREF, 0x8000, true},
                        {rec::SREF, 0x0001, false},
                        {rec::AREF, 0x8000, true},
                        {rec::AREF, 0x0001, false}};
  for (const Case& c : cases) {
    const Imported imported = importBytes(structureOf(StreamBuilder()
                                                          .none(c.start)
                                                          .text(rec::SNAME, "S")
                                                          .bits(rec::STRANS, c.strans)
                                                          .none(rec::ENDEL)));
    const GdsStructure& s = imported.library.structures.at(0);
    const bool reflection =
        c.start == rec::SREF ? s.srefs.at(0).reflection : s.arefs.at(0).reflection;
    EXPECT_EQ(reflection, c.reflection) << std::hex << c.start << " " << c.strans;
  }
}

TEST(ElementRecords, PropertiesKeepTheirOrder) {
  // A PROPATTR starts a property; its PROPVALUE fills it; a PROPVALUE without one starts a
  // property of attribute 0.
  const Imported imported = importBytes(structureOf(StreamBuilder()
                                                        .none(rec::NODE)
                                                        .text(rec::PROPVALUE, "lone")
                                                        .int2(rec::PROPATTR, {5})
                                                        .int2(rec::PROPATTR, {6})
                                                        .text(rec::PROPVALUE, "six")
                                                        .int2(rec::PROPATTR, {65535})
                                                        .text(rec::PROPVALUE, "a")
                                                        .text(rec::PROPVALUE, "b")
                                                        .int4(rec::XY, {0, 0})
                                                        .none(rec::ENDEL)));
  EXPECT_EQ(imported.lines, readToEnd({}));
  EXPECT_EQ(imported.library.structures.at(0).nodes.at(0).properties,
            (Properties{{0, SharedString("lone")},
                        {5, SharedString()},
                        {6, SharedString("six")},
                        {65535, SharedString("a")},
                        {0, SharedString("b")}}));
}

TEST(ElementRecords, FieldsAreOverwrittenAndNothingCarriesOver) {
  const Imported imported = importBytes(structureOf(StreamBuilder()
                                                        .none(rec::BOUNDARY)
                                                        .int4(rec::PLEX, {5})
                                                        .int2(rec::PROPATTR, {1})
                                                        .text(rec::PROPVALUE, "first")
                                                        .int2(rec::PROPATTR, {2})
                                                        .text(rec::PROPVALUE, "second")
                                                        .int2(rec::LAYER, {3})
                                                        .int2(rec::LAYER, {4})
                                                        .none(rec::ENDEL)
                                                        .none(rec::BOUNDARY)
                                                        .none(rec::ENDEL)
                                                        .boundary(9, {})));
  EXPECT_EQ(imported.lines, readToEnd({}));
  const GdsStructure& s = imported.library.structures.at(0);
  ASSERT_EQ(s.boundaries.size(), 3u);
  EXPECT_EQ(s.boundaries[0].plex, 5);
  EXPECT_EQ(s.boundaries[0].properties,
            (Properties{{1, SharedString("first")}, {2, SharedString("second")}}));
  EXPECT_EQ(s.boundaries[0].layer, 4u);
  EXPECT_EQ(s.boundaries[1].plex, 0);
  EXPECT_TRUE(s.boundaries[1].properties.empty());
  EXPECT_EQ(s.boundaries[1].layer, 0u);
  EXPECT_EQ(s.boundaries[2].layer, 9u);  // elements stand in file order
}

std::string pointsOf(const GdsStructure& s) {
  std::string text;
  auto point = [&text](int32_t x, int32_t y) {
    text += "(" + std::to_string(x) + "," + std::to_string(y) + ")";
  };
  auto list = [&](const Coordinates& xs, const Coordinates& ys) {
    EXPECT_EQ(xs.size(), ys.size());
    for (size_t i = 0; i < xs.size() && i < ys.size(); ++i)
      point(xs[i], ys[i]);
  };
  if (!s.boundaries.empty()) list(s.boundaries[0].xCor, s.boundaries[0].yCor);
  if (!s.paths.empty()) list(s.paths[0].xCor, s.paths[0].yCor);
  if (!s.nodes.empty()) list(s.nodes[0].xCor, s.nodes[0].yCor);
  if (!s.boxes.empty()) list(s.boxes[0].xCor, s.boxes[0].yCor);
  if (!s.srefs.empty()) point(s.srefs[0].xCor, s.srefs[0].yCor);
  if (!s.texts.empty()) point(s.texts[0].xCor, s.texts[0].yCor);
  if (!s.arefs.empty())
    for (size_t i = 0; i < 6; i += 2)
      point(s.arefs[0].xy[i], s.arefs[0].xy[i + 1]);
  return text;
}

TEST(ElementRecords, XyRules) {
  const std::string uneven = "Error: XY co_ordinates uneven";
  const std::string missing = "Error: Missing X or Y co-ordinate";
  struct Case {
    const char* what;
    RecordCode start;
    std::vector<std::vector<int32_t>> records;
    std::vector<std::string> messages;
    std::string points;
  };
  const std::vector<Case> cases = {
      {"list records join",
       rec::BOUNDARY,
       {{0, 0, 10, 0}, {10, 10, 0, 10, 0, 0}},
       {},
       "(0,0)(10,0)(10,10)(0,10)(0,0)"},
      {"odd list keeps the earlier points", rec::PATH, {{1, 2}, {3, 4, 5}}, {uneven}, "(1,2)"},
      {"odd list stores nothing", rec::BOX, {{1, 2, 3, 4, 5}}, {uneven}, ""},
      {"empty list changes nothing", rec::NODE, {{}, {7, 8}}, {}, "(7,8)"},
      {"point from the first pair", rec::SREF, {{5, 6, 7, 8}}, {}, "(5,6)"},
      {"odd point stores nothing", rec::SREF, {{5, 6}, {1, 2, 3}}, {missing}, "(5,6)"},
      {"empty point", rec::SREF, {{}}, {kTooFew}, "(0,0)"},
      {"single value", rec::TEXT, {{9}}, {missing}, "(0,0)"},
      {"later point overwrites", rec::TEXT, {{-1, -2}, {3, 4}}, {}, "(3,4)"},
      {"array takes six values", rec::AREF, {{1, 2, 3, 4, 5, 6, 7, 8}}, {}, "(1,2)(3,4)(5,6)"},
      {"odd array", rec::AREF, {{1, 2, 3, 4, 5}}, {missing}, "(0,0)(0,0)(0,0)"},
      {"array of two", rec::AREF, {{1, 2}}, {kTooFew}, "(0,0)(0,0)(0,0)"},
      {"array of four", rec::AREF, {{1, 2, 3, 4}}, {kTooFew}, "(0,0)(0,0)(0,0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StreamBuilder body;
    for (const auto& values : c.records)
      body.int4(rec::XY, values);
    const Imported imported = importBytes(elementFile(c.start, body));
    EXPECT_EQ(imported.result, kImported);
    // A message is about the last XY record.
    std::vector<std::string> lines = c.messages;
    if (!lines.empty()) lines.push_back(bodyAt(c.start, body.bytes(), c.records.size() - 1));
    EXPECT_EQ(imported.lines, readToEnd(lines));
    EXPECT_EQ(pointsOf(holder(imported.library)), c.points);
  }
}

TEST(Importer, RecordsWithTooFewValuesStoreNothing) {
  struct Case {
    const char* what;
    Bytes file;
    std::string position;
    std::function<bool(const GdsLibrary&)> unchanged;
  };
  const Bytes empty;
  const std::vector<Case> cases = {
      {"HEADER", libraryOf(StreamBuilder().int2(rec::HEADER, {})), at(64, 5),
       [](const GdsLibrary& l) { return l.version == 600; }},
      {"GENERATIONS", libraryOf(StreamBuilder().int2(rec::GENERATIONS, {})), at(64, 5),
       [](const GdsLibrary& l) { return l.generations == 3; }},
      {"UNITS", libraryOf(StreamBuilder().real8(rec::UNITS, {encodeReal8(1.0)})), at(64, 5),
       [](const GdsLibrary& l) { return l.userUnit < 0.01 && l.meterUnit < 1e-8; }},
      {"LAYER", elementFile(rec::BOUNDARY, StreamBuilder().int2(rec::LAYER, {})),
       bodyAt(rec::BOUNDARY, empty),
       [](const GdsLibrary& l) { return holder(l).boundaries.at(0).layer == 0; }},
      {"WIDTH", elementFile(rec::PATH, StreamBuilder().int4(rec::WIDTH, {})),
       bodyAt(rec::PATH, empty),
       [](const GdsLibrary& l) { return holder(l).paths.at(0).width == 0; }},
      {"PLEX", elementFile(rec::NODE, StreamBuilder().int4(rec::PLEX, {})),
       bodyAt(rec::NODE, empty),
       [](const GdsLibrary& l) { return holder(l).nodes.at(0).plex == 0; }},
      {"PROPATTR", elementFile(rec::BOX, StreamBuilder().int2(rec::PROPATTR, {})),
       bodyAt(rec::BOX, empty),
       [](const GdsLibrary& l) { return holder(l).boxes.at(0).properties.empty(); }},
      {"MAG", elementFile(rec::SREF, StreamBuilder().real8(rec::MAG, {})), bodyAt(rec::SREF, empty),
       [](const GdsLibrary& l) { return holder(l).srefs.at(0).scale == 1.0; }},
      {"ANGLE", elementFile(rec::TEXT, StreamBuilder().real8(rec::ANGLE, {})),
       bodyAt(rec::TEXT, empty),
       [](const GdsLibrary& l) { return holder(l).texts.at(0).angle == 0.0; }},
      {"COLROW", elementFile(rec::AREF, StreamBuilder().int2(rec::COLROW, {5})),
       bodyAt(rec::AREF, empty),
       [](const GdsLibrary& l) {
         return holder(l).arefs.at(0).columns == 0 && holder(l).arefs.at(0).rows == 0;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Imported imported = importBytes(c.file);
    EXPECT_EQ(imported.result, kImported);
    EXPECT_EQ(imported.lines, readToEnd({kTooFew, c.position}));
    EXPECT_TRUE(c.unchanged(imported.library));
  }
}

TEST(Importer, DecodeFailureAtTheLibraryLevelEndsTheReading) {
  const Imported imported = importBytes(StreamBuilder()
                                            .libraryHeader()
                                            .raw(undecodable())
                                            .beginStructure("A")
                                            .endStructure()
                                            .endLibrary()
                                            .bytes());
  EXPECT_EQ(imported.result, kImportDamaged);
  EXPECT_EQ(imported.lines, stoppedEarly({kUnreadable, at(64, 5)}));
  EXPECT_TRUE(imported.library.structures.empty());
  EXPECT_EQ(imported.library.name, "lib.db");
  EXPECT_EQ(imported.library.structureIndex.at(""), kUnnamedStructurePosition);

  // A data type beyond the table is refused the same way, after its own line.
  const Imported unknown = importBytes(
      StreamBuilder().libraryHeader().raw({0x00, 0x04, 0x03, 0x09}).endLibrary().bytes());
  EXPECT_EQ(unknown.lines, stoppedEarly({"Unknown data type.", kUnreadable, at(64, 5)}));
  EXPECT_EQ(unknown.result, kImportDamaged);
}

// A damaged record is reported once, where it stands, and skipped: the structure or element it
// stands in goes on, so the records after it are neither lost nor reported again.
TEST(Importer, DecodeFailureInsideAStructureIsSkipped) {
  const Imported imported = importBytes(libraryOf(StreamBuilder()
                                                      .beginStructure("A")
                                                      .boundary(1, {0, 0, 10, 10})
                                                      .raw(undecodable())
                                                      .boundary(2, {0, 0, 50, 50})
                                                      .endStructure()
                                                      .beginStructure("C")
                                                      .boundary(3, {0, 0, 1, 1})
                                                      .endStructure()));
  EXPECT_EQ(imported.result, kImportDamaged);
  EXPECT_EQ(imported.lines, readToEnd({kUnreadable, at(138, 12, "A")}, kPartly));
  const GdsLibrary& library = imported.library;
  ASSERT_EQ(library.structures.size(), 2u);
  EXPECT_EQ(library.structures[0].name, "A");
  EXPECT_EQ(library.structures[0].boundaries.size(), 2u);
  EXPECT_EQ(library.structures[0].bbox, (BoundingBox{0, 0, 50, 50}));
  EXPECT_EQ(library.structures[1].name, "C");
}

TEST(Importer, DecodeFailureInsideAnElementIsSkipped) {
  const Imported imported = importBytes(structureOf(StreamBuilder()
                                                        .none(rec::PATH)
                                                        .int2(rec::LAYER, {3})
                                                        .int4(rec::XY, {0, 0, 8, 0})
                                                        .raw(undecodable())
                                                        .int4(rec::WIDTH, {100})
                                                        .none(rec::ENDEL)
                                                        .boundary(4, {1, 1, 2, 2})));
  EXPECT_EQ(imported.result, kImportDamaged);
  EXPECT_EQ(imported.lines, readToEnd({kUnreadable, at(128, 10, "S")}, kPartly));
  const GdsStructure& s = imported.library.structures.at(0);
  ASSERT_EQ(s.paths.size(), 1u);
  EXPECT_EQ(s.paths[0].layer, 3u);
  EXPECT_EQ(s.paths[0].width, 100u);
  EXPECT_EQ(s.paths[0].xCor, (Coordinates{0, 8}));
  ASSERT_EQ(s.boundaries.size(), 1u);
  EXPECT_EQ(s.boundaries[0].layer, 4u);
}

TEST(Importer, DuplicateNamesKeepTheFirstAndWarn) {
  const Imported imported = importBytes(libraryOf(StreamBuilder()
                                                      .beginStructure("A")
                                                      .boundary(1, {0, 0, 1, 1})
                                                      .endStructure()
                                                      .beginStructure("B")
                                                      .endStructure()
                                                      .beginStructure("A")
                                                      .boundary(2, {0, 0, 9, 9})
                                                      .endStructure()));
  EXPECT_EQ(imported.result, kImported);
  EXPECT_EQ(imported.lines,
            readToEnd({"Warning: Structure \"A\" defined more than once; the first definition is "
                       "kept."}));
  const GdsLibrary& library = imported.library;
  ASSERT_EQ(library.structures.size(), 2u);
  EXPECT_EQ(library.structures[0].boundaries.at(0).layer, 1u);
  EXPECT_EQ(library.structures[1].name, "B");
}

TEST(Importer, AStructureWithoutStrnameHasTheEmptyName) {
  const Bytes bytes = libraryOf(StreamBuilder()
                                    .beginStructure("A")
                                    .endStructure()
                                    .int2(rec::BGNSTR, {1})
                                    .boundary(1, {0, 0, 3, 3})
                                    .endStructure()
                                    .int2(rec::BGNSTR, {2})
                                    .endStructure());
  const Imported imported = importBytes(bytes);
  EXPECT_EQ(imported.lines,
            readToEnd({"Warning: Structure \"\" defined more than once; the first definition is "
                       "kept."}));
  const GdsLibrary& library = imported.library;
  ASSERT_EQ(library.structures.size(), 2u);
  EXPECT_EQ(library.structures[1].name, "");
  EXPECT_EQ(library.structures[1].boundaries.size(), 1u);
  // The structure holds the empty name; the closing steps do not replace its entry.
  EXPECT_EQ(library.structureIndex.at(""), 1);
  EXPECT_EQ(library.structures[1].bbox, (BoundingBox{0, 0, 3, 3}));
}

TEST(Importer, TruncatedInput) {
  const Bytes header = StreamBuilder().libraryHeader().bytes();
  const Bytes openStructure = StreamBuilder().raw(header).beginStructure("A").bytes();
  const Bytes openElement = StreamBuilder()
                                .raw(openStructure)
                                .none(rec::BOUNDARY)
                                .int2(rec::LAYER, {5})
                                .int4(rec::XY, {0, 0, 6, 7})
                                .bytes();
  Bytes cutRecord = StreamBuilder().raw(openElement).int4(rec::XY, {8, 9}).bytes();
  cutRecord.resize(cutRecord.size() - 3);
  const Bytes afterwards = StreamBuilder()
                               .none(rec::ENDEL)
                               .endStructure()
                               .beginStructure("B")
                               .endStructure()
                               .endLibrary()
                               .bytes();

  struct Case {
    const char* what;
    Bytes file;
    std::vector<std::string> lines;  // between the first and the last line
    size_t structures;
    bool boundaryRead;  // structure A holds the boundary on layer 5 through (0, 0), (6, 7)
  };
  // The header ends at byte 64 (4 records); A's BGNSTR and STRNAME end at 98 (6), the open
  // boundary's records at 128 (9).
  const std::vector<Case> cases = {
      {"empty file", {}, {kEndOfFile, at(0, 1)}, 0, false},
      {"one byte", {0x00}, {kEndOfFile, at(0, 1)}, 0, false},
      {"no ENDLIB", header, {kEndOfFile, at(64, 5)}, 0, false},
      {"cut inside a record header",
       StreamBuilder().raw(header).raw({0x00, 0x06, 0x06}).bytes(),
       {kEndOfFile, at(64, 5)},
       0,
       false},
      {"cut inside a library record",
       StreamBuilder().raw(header).raw({0x00, 0x08, 0x02, 0x06, 'L'}).bytes(),
       {kEndOfFile, at(64, 5)},
       0,
       false},
      {"no ENDSTR", openStructure, {kEndOfFile, at(98, 7, "A")}, 1, false},
      {"ENDLIB inside a structure",
       StreamBuilder().raw(openStructure).endLibrary().bytes(),
       {kUnrecognized, at(98, 7, "A"), kEndOfFile, at(102, 8, "A")},
       1,
       false},
      {"no ENDEL", openElement, {kEndOfFile, at(128, 10, "A")}, 1, true},
      {"cut inside an element record", cutRecord, {kEndOfFile, at(128, 10, "A")}, 1, true},
      {"length 2 inside an element",
       StreamBuilder().raw(openElement).raw({0x00, 0x02, 0x11, 0x00}).raw(afterwards).bytes(),
       {kBadLength, at(128, 10, "A")},
       1,
       true},
      {"length 0 at the library level",
       StreamBuilder().raw(header).raw({0x00, 0x00, 0x04, 0x00}).raw(afterwards).bytes(),
       {kBadLength, at(64, 5)},
       0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Imported imported = importBytes(c.file);
    EXPECT_EQ(imported.result, kImportDamaged);
    EXPECT_EQ(imported.lines, stoppedEarly(c.lines));
    const GdsLibrary& library = imported.library;
    ASSERT_EQ(library.structures.size(), c.structures);
    EXPECT_EQ(library.structureIndex.at(""), kUnnamedStructurePosition);
    if (c.structures == 0) continue;
    const GdsStructure& a = library.structures[0];
    EXPECT_EQ(a.name, "A");
    ASSERT_EQ(a.boundaries.size(), c.boundaryRead ? 1u : 0u);
    if (!c.boundaryRead) continue;
    EXPECT_EQ(a.boundaries[0].layer, 5u);
    EXPECT_EQ(a.boundaries[0].xCor, (Coordinates{0, 6}));
    EXPECT_EQ(a.boundaries[0].yCor, (Coordinates{0, 7}));
    EXPECT_EQ(a.bbox, (BoundingBox{0, 0, 6, 7}));  // the boxes are computed all the same
  }
}

}  // namespace
}  // namespace tessel::testing
