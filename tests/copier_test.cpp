// Copying whole structures from source files: first copy wins for the whole run, records are
// carried byte for byte, names of any length, missing and truncated sources.
//
// The set of copied names lives for the whole process, so every test uses names of its own.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "export/writer.h"
#include "import/importer.h"
#include "support/support.h"
#include "support/written.h"

namespace tessel::testing {
namespace {

struct Copied {
  int result = -1;
  Bytes bytes;
  std::vector<std::string> lines;
};

Bytes writeWith(const std::function<void(GdsWriter&)>& action) {
  RecordSink sink;
  GdsWriter writer(sink);
  action(writer);
  return {sink.bytes().begin(), sink.bytes().end()};
}

Copied copyFrom(const std::vector<std::string>& sources) {
  RecordSink sink;
  GdsWriter writer(sink);
  Copied out;
  out.result = 0;
  out.lines = splitLines(captureOutput([&] {
    for (const auto& source : sources)
      if (writer.copyStructures(source) != 0) out.result = 1;
  }));
  out.bytes.assign(sink.bytes().begin(), sink.bytes().end());
  return out;
}

// STRNAME to ENDSTR of a small structure, as it stands in a source file.
Bytes structureBody(const std::string& name, uint32_t layer) {
  return StreamBuilder()
      .text(rec::STRNAME, name)
      .boundary(layer, {0, 0, 1, 0, 1, 1, 0, 0})
      .endStructure()
      .bytes();
}

// A source file: its own BGNSTR (with a date other than the writer's) before each body.
Bytes sourceFile(const std::vector<Bytes>& bodies) {
  StreamBuilder file;
  file.libraryHeader();
  for (const Bytes& body : bodies)
    file.int2(rec::BGNSTR, {1999, 12, 31, 23, 59, 59, 1999, 12, 31, 23, 59, 59}).raw(body);
  return file.endLibrary().bytes();
}

// What the copier writes for one structure: a BGNSTR with the writer's timestamp, then the body.
Bytes copiedBody(const Bytes& body) {
  return StreamBuilder().raw(stampedRecord(rec::BGNSTR, currentTimestamp())).raw(body).bytes();
}

TEST(CopyStructures, FirstCopyOfANameWinsAcrossSources) {
  TempDir dir;
  const std::string first = dir.file("first.gds");
  const std::string second = dir.file("second.gds");
  const Bytes a = structureBody("firstWins_A", 1);  // odd length: stored with a NUL pad byte
  const Bytes b = structureBody("firstWins_BB", 2);
  const Bytes c = structureBody("firstWins_CC", 3);
  writeBytes(first, sourceFile({a, b, structureBody("firstWins_A", 4)}));
  writeBytes(second, sourceFile({structureBody("firstWins_BB", 5), c}));

  const Copied out = copyFrom({first, second});
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "Copying GDS binaries from \"" + first + "\"",
                           "Structure: \"firstWins_A\" copying",
                           "Structure: \"firstWins_BB\" copying",
                           "Structure: \"firstWins_A\" already copied.",
                           "Copying GDS binaries of \"" + first + "\" done.",
                           "Copying GDS binaries from \"" + second + "\"",
                           "Structure: \"firstWins_BB\" already copied.",
                           "Structure: \"firstWins_CC\" copying",
                           "Copying GDS binaries of \"" + second + "\" done.",
                       }));
  EXPECT_EQ(out.bytes,
            StreamBuilder().raw(copiedBody(a)).raw(copiedBody(b)).raw(copiedBody(c)).bytes());
  for (const char* name : {"firstWins_A", "firstWins_BB", "firstWins_CC"})
    EXPECT_EQ(copiedStructureNames().count(name), 1u) << name;
}

TEST(CopyStructures, FirstCopyWinsAcrossLibrariesWrittenInOneRun) {
  TempDir dir;
  const std::string source = dir.file("source.gds");
  const Bytes shared = structureBody("acrossRuns_shared", 1);
  writeBytes(source, sourceFile({shared}));

  // The library's own structure of the same name does not stop the copy: both are written.
  GdsStructure own;
  own.name = "acrossRuns_shared";
  GdsLibrary library;
  library.sourceFiles = {source};
  library.addStructure(own);

  const std::string firstOut = dir.file("one.gds");
  const std::string secondOut = dir.file("two.gds");
  int firstResult = -1;
  int secondResult = -1;
  const auto firstLines =
      splitLines(captureOutput([&] { firstResult = writeLibrary(library, firstOut); }));
  const auto secondLines =
      splitLines(captureOutput([&] { secondResult = writeLibrary(library, secondOut); }));
  EXPECT_EQ(firstResult, 0);
  EXPECT_EQ(secondResult, 0);

  EXPECT_EQ(firstLines, (std::vector<std::string>{
                            "Copying GDS binaries from \"" + source + "\"",
                            "Structure: \"acrossRuns_shared\" copying",
                            "Copying GDS binaries of \"" + source + "\" done.",
                            "Creating \"" + firstOut + "\" done.",
                        }));
  EXPECT_EQ(secondLines, (std::vector<std::string>{
                             "Copying GDS binaries from \"" + source + "\"",
                             "Structure: \"acrossRuns_shared\" already copied.",
                             "Copying GDS binaries of \"" + source + "\" done.",
                             "Creating \"" + secondOut + "\" done.",
                         }));
  const Bytes ownBytes =
      StreamBuilder().raw(writtenStructureStart("acrossRuns_shared")).endStructure().bytes();
  EXPECT_EQ(readBytes(firstOut), StreamBuilder()
                                     .raw(writtenLibraryHeader())
                                     .raw(copiedBody(shared))
                                     .raw(ownBytes)
                                     .endLibrary()
                                     .bytes());
  EXPECT_EQ(readBytes(secondOut),
            StreamBuilder().raw(writtenLibraryHeader()).raw(ownBytes).endLibrary().bytes());
}

TEST(CopyStructures, CarriesRecordsItDoesNotKnowUnchanged) {
  TempDir dir;
  const std::string source = dir.file("extensions.gds");
  const Bytes body = StreamBuilder()
                         .text(rec::STRNAME, "unnamedKinds")
                         .none(rec::PATH)
                         .bits(rec::EFLAGS, 0x0001)
                         .int4(rec::PLEX, {0x01020304})
                         .int2(rec::LAYER, {1})
                         .int2(rec::DATATYPE, {0})
                         .int2(rec::PATHTYPE, {4})
                         .int4(rec::WIDTH, {10})
                         .int4(0x3003, {-5})  // BGNEXTN
                         .int4(0x3103, {7})   // ENDEXTN
                         .int4(rec::XY, {0, 0, 100, 0})
                         .int2(rec::PROPATTR, {12})
                         .text(rec::PROPVALUE, "net A")
                         .none(rec::ENDEL)
                         .int2(0x7702, {1, 2, 3})  // a record type nobody names
                         .endStructure()
                         .bytes();
  // Whatever stands between the source's BGNSTR and STRNAME is dropped with the BGNSTR.
  writeBytes(source, StreamBuilder()
                         .libraryHeader()
                         .int2(rec::BGNSTR, {1999, 12, 31, 23, 59, 59, 1999, 12, 31, 23, 59, 59})
                         .int2(0x3402, {9})
                         .raw(body)
                         .endLibrary()
                         .bytes());

  const Copied out = copyFrom({source});
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "Copying GDS binaries from \"" + source + "\"",
                           "Structure: \"unnamedKinds\" copying",
                           "Copying GDS binaries of \"" + source + "\" done.",
                       }));
  EXPECT_EQ(out.bytes, copiedBody(body));
}

TEST(CopyStructures, CopiesLongNamesWhole) {
  TempDir dir;
  const std::string source = dir.file("long.gds");
  // Two names of 300 bytes that differ only after the first 251.
  const std::string first = "longName_" + std::string(289, 'x') + "01";
  const std::string second = "longName_" + std::string(289, 'x') + "02";
  ASSERT_EQ(first.size(), 300u);
  const Bytes one = structureBody(first, 1);
  const Bytes two = structureBody(second, 2);
  writeBytes(source, sourceFile({one, two, structureBody(first, 3)}));

  const Copied out = copyFrom({source});
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "Copying GDS binaries from \"" + source + "\"",
                           "Structure: \"" + first + "\" copying",
                           "Structure: \"" + second + "\" copying",
                           "Structure: \"" + first + "\" already copied.",
                           "Copying GDS binaries of \"" + source + "\" done.",
                       }));
  EXPECT_EQ(out.bytes, StreamBuilder().raw(copiedBody(one)).raw(copiedBody(two)).bytes());
  EXPECT_EQ(copiedStructureNames().count(first), 1u);
  EXPECT_EQ(copiedStructureNames().count(second), 1u);
}

TEST(CopyStructures, MissingSourcePrintsTwoLinesAndWritesNothing) {
  TempDir dir;
  const std::string missing = dir.file("missing.gds");
  const Copied out = copyFrom({missing});
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "Copying GDS binaries from \"" + missing + "\"",
                           "FAILED to open GDS file \"" + missing + "\"",
                       }));
  EXPECT_TRUE(out.bytes.empty());
}

// A source that ends before its ENDLIB: the copier stops there with one error line and no
// "done." line. What it copied stays, a structure cut short is closed, and the library is
// written all the same, as a file that reads back whole.
TEST(CopyStructures, SourceEndingEarlyStopsWithAnErrorLine) {
  const Bytes boundary = StreamBuilder().boundary(1, {0, 0, 1, 0, 1, 1, 0, 0}).bytes();
  const Bytes start = StreamBuilder()
                          .none(rec::BOUNDARY)
                          .int2(rec::LAYER, {1})
                          .raw({0x00, 0x24, 0x10, 0x03, 0x00})  // XY cut short
                          .bytes();
  struct Case {
    const char* what;
    Bytes tail;    // after the source's STRNAME
    Bytes copied;  // after the copy's STRNAME
    const char* message;
    uint64_t offset;  // where the source breaks: its STRNAME ends at byte 108, the 6th record
    uint64_t record;
    bool inStructure;
  };
  const Case cases[] = {
      {"ends after a structure", StreamBuilder().raw(boundary).endStructure().bytes(),
       StreamBuilder().raw(boundary).endStructure().bytes(), "Error: Unexpected end of file.", 168,
       13, false},
      {"ends inside a record after a structure",
       StreamBuilder().raw(boundary).endStructure().raw({0x00, 0x1C, 0x05, 0x02, 0x07}).bytes(),
       StreamBuilder().raw(boundary).endStructure().bytes(), "Error: Unexpected end of file.", 168,
       13, false},
      {"record length below 4 after a structure",
       StreamBuilder().raw(boundary).endStructure().raw({0x00, 0x02, 0x05, 0x02}).bytes(),
       StreamBuilder().raw(boundary).endStructure().bytes(), "Error: Invalid record length.", 168,
       13, false},
      {"ends between two elements", boundary, StreamBuilder().raw(boundary).endStructure().bytes(),
       "Error: Unexpected end of file.", 164, 12, true},
      {"ends inside an element", start,
       StreamBuilder()
           .none(rec::BOUNDARY)
           .int2(rec::LAYER, {1})
           .none(rec::ENDEL)
           .endStructure()
           .bytes(),
       "Error: Unexpected end of file.", 118, 9, true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string source = dir.file("short.gds");
    const std::string name = "endsEarly_" + std::to_string(index++);
    writeBytes(source, StreamBuilder()
                           .libraryHeader()
                           .int2(rec::BGNSTR, {1999, 12, 31, 23, 59, 59, 1999, 12, 31, 23, 59, 59})
                           .text(rec::STRNAME, name)
                           .raw(c.tail)
                           .bytes());

    GdsLibrary library;
    library.sourceFiles = {source};
    GdsStructure own;
    own.name = "own";
    own.srefs.emplace_back(name, 0, 0);
    library.addStructure(own);
    const std::string target = dir.file("out.gds");
    int result = -1;
    const auto lines = splitLines(captureOutput([&] { result = writeLibrary(library, target); }));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Copying GDS binaries from \"" + source + "\"",
                         "Structure: \"" + name + "\" copying",
                         c.message,
                         c.inStructure ? at(c.offset, c.record, name) : at(c.offset, c.record),
                         "Creating \"" + target + "\" done.",
                     }));
    const Bytes ownBytes = writeWith([&](GdsWriter& w) { w.writeStructure(own); });
    EXPECT_EQ(readBytes(target), StreamBuilder()
                                     .raw(writtenLibraryHeader())
                                     .raw(writtenStructureStart(name))
                                     .raw(c.copied)
                                     .raw(ownBytes)
                                     .endLibrary()
                                     .bytes());

    GdsLibrary readBack;
    int imported = -1;
    captureOutput([&] { imported = importStream(readBack, target); });
    EXPECT_EQ(imported, kImported);
    ASSERT_EQ(readBack.structures.size(), 2u);
    EXPECT_EQ(readBack.structures[0].name, name);
    EXPECT_EQ(readBack.structures[1].name, "own");
    EXPECT_EQ(readBack.structures[1].srefs.size(), 1u);
  }
}

}  // namespace
}  // namespace tessel::testing
