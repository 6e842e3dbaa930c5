// Large files are cut into batches of structures, parsed on several threads when read for their
// hierarchy (-r, -rs, -rw): messages and structures must still come out in file order, exactly
// as the model's import on one thread gives them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hierarchy/bounding_box.h"
#include "import/importer.h"
#include "hierarchy/summary_import.h"
#include "stream/byte_source.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

// Enough boundaries to take a file past the size from which structures are parsed in parallel.
void addPadding(StreamBuilder& file, const std::string& name) {
  file.beginStructure(name);
  for (int i = 0; i < 1000; ++i)
    file.boundary(1, {0, 0, i, 0, i, i, 0, 0});
  file.endStructure();
}

// Reads `bytes` for its hierarchy, on every core, and checks that the lines, the structures and
// their boxes are those of the model's import.
void expectTheModelsOutcome(const Bytes& bytes, const Imported& model) {
  SummaryImport imported;
  int result = -1;
  const std::vector<std::string> lines = splitLines(captureOutput([&] {
    MemorySource source(bytes);
    result = importSummaries(source, "in.gds", imported);
  }));
  EXPECT_EQ(result, model.result);
  EXPECT_EQ(lines, model.lines);
  ASSERT_EQ(imported.structures.size(), model.library.structures.size());
  for (size_t p = 0; p < imported.structures.size(); ++p) {
    EXPECT_EQ(imported.names.name(imported.structures[p].name), model.library.structures[p].name);
    EXPECT_EQ(imported.boxes.boxes[p], model.library.structures[p].bbox);
  }
}

TEST(ParallelImport, MessagesAndStructuresKeepFileOrder) {
  StreamBuilder file;
  file.libraryHeader();
  std::vector<std::string> expected = {"Importing \"in.gds\" into Tessel."};
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) {
    addPadding(file, "PAD_" + std::to_string(i));
    names.push_back("PAD_" + std::to_string(i));
  }
  for (int k = 0; k < 300; ++k) {
    const std::string name = "M_" + std::to_string(k % 250);  // the last 50 repeat a name
    file.beginStructure(name);
    for (int i = 0; i < 50; ++i)
      file.boundary(2, {0, 0, k, 0, k, k, 0, 0});
    switch (k % 4) {
      case 0:  // a record no element takes
        file.none(rec::BOUNDARY);
        expected.push_back("Error: Unrecognized record.");
        expected.push_back(file.nextAt(name));
        file.int2(rec::COLROW, {1, 1}).int4(rec::XY, {0, 0}).none(rec::ENDEL);
        break;
      case 1:  // an undecodable record inside an element is skipped; the element goes on
        file.none(rec::PATH);
        expected.push_back("Error: Unable to read GDS file.");
        expected.push_back(file.nextAt(name));
        file.raw({0x00, 0x08, 0x0F, 0x04, 0, 0, 0, 0});
        file.none(rec::ENDEL);
        break;
      case 2:  // a record with too few values
        file.none(rec::SREF).text(rec::SNAME, "PAD_0");
        expected.push_back("Error: Record has too few values.");
        expected.push_back(file.nextAt(name));
        file.int4(rec::XY, {}).none(rec::ENDEL);
        break;
      default:
        break;
    }
    const std::string warning =
        "Warning: Structure \"" + name + "\" defined more than once; the first definition is kept.";
    if (k < 250) names.push_back(name);
    if (k % 7 == 3) {
      // An undecodable record at the structure level is skipped; the structure goes on to its
      // ENDSTR.
      expected.push_back("Error: Unable to read GDS file.");
      expected.push_back(file.nextAt(name));
      file.raw({0x00, 0x05, 0x0D, 0x02, 0x01});
      expected.push_back("Error: Unrecognized record.");
      expected.push_back(file.nextAt(name));
      file.int2(rec::LAYER, {1});
      file.endStructure();
      if (k >= 250) expected.push_back(warning);
    } else {
      file.endStructure();
      if (k >= 250) expected.push_back(warning);
    }
    if (k % 5 == 0) {
      expected.push_back("Error: Unrecognized record.");  // a library record Tessel does not keep
      expected.push_back(file.nextAt());
      file.text(rec::REFLIBS, "other.db");
    }
  }
  // The file ends inside a last structure, inside an element.
  file.beginStructure("CUT").none(rec::BOUNDARY).int2(rec::LAYER, {3});
  names.push_back("CUT");
  expected.push_back("Error: Unexpected end of file.");
  expected.push_back(file.nextAt("CUT"));
  ASSERT_GT(file.bytes().size(), size_t{2} << 20);

  const Imported imported = importBytes(file.bytes());
  // The box pass reports nothing here; then the closing line.
  expected.push_back("GDS file partly imported.");
  EXPECT_EQ(imported.result, kImportDamaged);
  EXPECT_EQ(imported.lines, expected);

  std::vector<std::string> stored;
  for (const auto& structure : imported.library.structures)
    stored.push_back(structure.name);
  EXPECT_EQ(stored, names);
  const GdsStructure& cut = imported.library.structures.back();
  ASSERT_EQ(cut.boundaries.size(), 1u);
  EXPECT_EQ(cut.boundaries[0].layer, 3u);
  EXPECT_EQ(imported.library.structures[40].boundaries.size(), 51u);  // M_0 with its extra one
  expectTheModelsOutcome(file.bytes(), imported);
}

TEST(ParallelImport, LargeFileReadToEndlib) {
  StreamBuilder file;
  file.libraryHeader();
  for (int i = 0; i < 60; ++i)
    addPadding(file, "PAD_" + std::to_string(i));
  file.beginStructure("TOP");
  for (int i = 0; i < 60; ++i)
    file.sref("PAD_" + std::to_string(i), i * 1000, 0);
  file.endStructure().endLibrary();
  const Imported imported = importBytes(file.bytes());
  EXPECT_EQ(imported.result, kImported);
  ASSERT_EQ(imported.library.structures.size(), 61u);
  EXPECT_EQ(imported.library.structures.back().bbox, (BoundingBox{0, 0, 59999, 999}));
  EXPECT_EQ(imported.lines.back(), "GDS file successfully imported.");
  EXPECT_EQ(imported.lines[imported.lines.size() - 2], "Reached end of library.");
  expectTheModelsOutcome(file.bytes(), imported);
}

TEST(ParallelImport, StructureTooLargeForABatchIsReadInPlace) {
  StreamBuilder file;
  file.libraryHeader();
  for (int i = 0; i < 20; ++i)
    addPadding(file, "PAD_" + std::to_string(i));
  std::vector<std::string> expected = {"Importing \"in.gds\" into Tessel."};
  expected.insert(expected.end(), {"Error: Unrecognized record.", file.nextAt()});
  file.text(rec::REFLIBS, "other.db");
  // More than 16 MB of boundaries in one structure, with a bad record early on.
  file.beginStructure("HUGE").none(rec::BOUNDARY);
  expected.insert(expected.end(), {"Error: Unrecognized record.", file.nextAt("HUGE")});
  file.int2(rec::COLROW, {1, 1}).none(rec::ENDEL);
  for (int i = 0; i < 330000; ++i)
    file.boundary(4, {0, 0, 5, 0, 5, 5, 0, 0});
  file.endStructure();
  expected.insert(expected.end(), {"Error: Unrecognized record.", file.nextAt()});
  file.text(rec::FONTS, "font").beginStructure("AFTER").endStructure().endLibrary();
  ASSERT_GT(file.bytes().size(), size_t{17} << 20);
  expected.insert(expected.end(), {"Reached end of library.", "GDS file successfully imported."});

  const Imported imported = importBytes(file.bytes());
  EXPECT_EQ(imported.result, kImported);
  EXPECT_EQ(imported.lines, expected);
  ASSERT_EQ(imported.library.structures.size(), 22u);
  EXPECT_EQ(imported.library.structures[20].name, "HUGE");
  EXPECT_EQ(imported.library.structures[20].boundaries.size(), 330001u);
  EXPECT_EQ(imported.library.structures[21].name, "AFTER");
  expectTheModelsOutcome(file.bytes(), imported);
}

}  // namespace
}  // namespace tessel::testing
