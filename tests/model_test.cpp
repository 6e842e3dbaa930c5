// The library model: defaults, adding and appending structures, reset, deep copies, the building
// forms and the text dump.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "model/dump.h"
#include "model/flat_tables.h"
#include "model/library.h"
#include "support/support.h"

namespace tessel::testing {
namespace {

GdsStructure named(const std::string& name, uint32_t layer = 1) {
  GdsStructure structure;
  structure.name = name;
  structure.boundaries.emplace_back(layer, 0, 0, 10, 10);
  return structure;
}

TEST(LibraryModel, Defaults) {
  const GdsLibrary library;
  EXPECT_EQ(library.version, 7);
  EXPECT_EQ(library.generations, 3);
  EXPECT_EQ(library.maxLevel, 0u);
  EXPECT_EQ(library.userUnit, 0.001);
  EXPECT_EQ(library.meterUnit, 1e-9);
  EXPECT_EQ(library.getUserUnit(), 0.001);
  EXPECT_EQ(library.getMeterUnit(), 1e-9);
  EXPECT_EQ(library.name, "Untitled_library");
  EXPECT_TRUE(library.structures.empty());
  EXPECT_TRUE(library.structureIndex.empty());
  EXPECT_TRUE(library.bgnlib.empty());
  EXPECT_TRUE(library.sourceFiles.empty());

  const GdsStructure structure;
  EXPECT_EQ(structure.name, "");
  EXPECT_EQ(structure.level, 0u);
  EXPECT_EQ(structure.bbox, (BoundingBox{0, 0, 0, 0}));

  const GdsSref sref;
  EXPECT_EQ(sref.scale, 1.0);
  EXPECT_EQ(sref.angle, 0.0);
  EXPECT_FALSE(sref.reflection);
  EXPECT_EQ(sref.strans, 0);
  const GdsText text;
  EXPECT_EQ(text.scale, 1.0);
  EXPECT_EQ(text.angle, 0.0);
  const GdsAref aref;
  EXPECT_EQ(aref.scale, 1.0);
  EXPECT_EQ(aref.angle, 0.0);
  EXPECT_EQ(aref.xy, (std::array<int32_t, 6>{}));
  // An array reference holds its angle ahead of its scale, the reverse of a structure reference.
  EXPECT_LT(offsetof(GdsAref, angle), offsetof(GdsAref, scale));
  EXPECT_LT(offsetof(GdsSref, scale), offsetof(GdsSref, angle));
}

TEST(LibraryModel, AddStructureKeepsTheFirstOfEachName) {
  GdsLibrary library;
  EXPECT_EQ(library.addStructure(named("A", 1)), 0);
  EXPECT_EQ(library.addStructure(named("B", 2)), 0);
  GdsStructure again = named("A", 3);
  again.paths.emplace_back(3, 10, Coordinates{0, 1}, Coordinates{0, 1});
  EXPECT_EQ(library.addStructure(again), 1);

  ASSERT_EQ(library.structures.size(), 2u);
  EXPECT_EQ(library.structures[0].name, "A");
  EXPECT_EQ(library.structures[0].boundaries.at(0).layer, 1u);
  EXPECT_TRUE(library.structures[0].paths.empty());
  EXPECT_EQ(library.structures[1].name, "B");
  EXPECT_EQ(library.structureIndex.size(), 2u);
  EXPECT_EQ(library.structureIndex.at("A"), 0);
  EXPECT_EQ(library.structureIndex.at("B"), 1);

  // The empty name is a name like any other, accepted once.
  EXPECT_EQ(library.addStructure(named("")), 0);
  EXPECT_EQ(library.addStructure(named("")), 1);
  EXPECT_EQ(library.structures.size(), 3u);
  EXPECT_EQ(library.structureIndex.at(""), 2);

  // The moving form behaves the same.
  EXPECT_EQ(library.addStructure(named("B", 9)), 1);
  EXPECT_EQ(library.structures[1].boundaries.at(0).layer, 2u);
}

TEST(LibraryModel, AppendStructuresLeavesTheIndexAlone) {
  GdsLibrary library;
  library.addStructure(named("A", 1));
  library.appendStructures({named("B", 2), named("B", 3), named("A", 4)});

  ASSERT_EQ(library.structures.size(), 4u);
  EXPECT_EQ(library.structures[1].boundaries[0].layer, 2u);
  EXPECT_EQ(library.structures[2].boundaries[0].layer, 3u);
  EXPECT_EQ(library.structures[3].name, "A");
  EXPECT_EQ(library.structureIndex.size(), 1u);
  EXPECT_EQ(library.structureIndex.at("A"), 0);
  EXPECT_EQ(library.structureIndex.count("B"), 0u);
}

TEST(LibraryModel, ResetKeepsMaxLevelAndSourceFiles) {
  GdsLibrary library;
  library.version = 600;
  library.generations = 9;
  library.userUnit = 1;
  library.meterUnit = 2;
  library.name = "lib";
  library.bgnlib = {2024, 1};
  library.maxLevel = 4;
  library.sourceFiles = {"a.gds"};
  library.addStructure(named("A"));
  library.addStructure(named("B"));

  library.reset();
  EXPECT_EQ(library.version, 7);
  EXPECT_EQ(library.generations, 3);
  EXPECT_EQ(library.userUnit, 0.001);
  EXPECT_EQ(library.meterUnit, 1e-9);
  EXPECT_EQ(library.name, "Untitled_library");
  EXPECT_TRUE(library.bgnlib.empty());
  EXPECT_TRUE(library.structures.empty());
  EXPECT_TRUE(library.structureIndex.empty());
  EXPECT_EQ(library.maxLevel, 4u);
  EXPECT_EQ(library.sourceFiles, std::vector<std::string>{"a.gds"});

  EXPECT_EQ(library.addStructure(named("B")), 0);
  EXPECT_EQ(library.structureIndex.at("B"), 0);
}

TEST(LibraryModel, CopiesAreDeep) {
  GdsStructure source = named("S");
  source.srefs.emplace_back("A", 1, 2);
  source.texts.emplace_back();
  source.texts[0].textbody = "label";

  GdsStructure copy = source;
  copy.boundaries[0].xCor[0] = 99;
  copy.boundaries.emplace_back(5, 0, 0, 1, 1);
  copy.srefs[0].name = "B";
  copy.texts[0].textbody = "other";
  EXPECT_EQ(source.boundaries.size(), 1u);
  EXPECT_EQ(source.boundaries[0].xCor[0], 0);
  EXPECT_EQ(source.srefs[0].name, "A");
  EXPECT_EQ(source.texts[0].textbody, "label");

  GdsStructure assigned = named("T");
  assigned = source;
  assigned.boundaries[0].yCor[2] = -1;
  EXPECT_EQ(assigned.name, "S");
  EXPECT_EQ(source.boundaries[0].yCor[2], 10);

  // A library copy owns its structures too.
  GdsLibrary library;
  library.addStructure(source);
  GdsLibrary other = library;
  other.structures[0].boundaries[0].layer = 42;
  EXPECT_EQ(library.structures[0].boundaries[0].layer, 1u);
  EXPECT_EQ(source.boundaries[0].layer, 1u);
}

// Names read on one thread are copied and dropped on others when a model is summed up on every
// core; the sanitizers report a count that is not kept exactly.
TEST(LibraryModel, NamesCopiedAndDroppedOnManyThreads) {
  const std::array<SharedString, 4> names = {"CELL_0", "CELL_1", "CELL_2", "CELL_3"};
  GdsStructure structure;
  for (int i = 0; i < 64; ++i)
    structure.srefs.emplace_back(names[i % 4], i, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&structure] {
      for (int round = 0; round < 2000; ++round) {
        std::vector<GdsSref> copies = structure.srefs;
        copies.clear();
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  GdsStructure last = structure;
  structure = GdsStructure();
  for (int i = 0; i < 64; ++i)
    EXPECT_EQ(last.srefs[i].name.identity(), names[i % 4].identity());
}

// The table counts a text's references a batch at a time: handles dropped on another thread,
// or after the table is gone, must still be counted exactly (the sanitizers report a text freed
// early or never).
TEST(LibraryModel, InternedNamesOutliveTheirTable) {
  std::vector<SharedString> handed;
  {
    InternTable table;
    for (int i = 0; i < 5000; ++i)  // past several batches of each text
      handed.push_back(table.intern(i % 2 ? "ODD" : "EVEN"));
    std::vector<SharedString> moved(std::make_move_iterator(handed.begin()),
                                    std::make_move_iterator(handed.begin() + 2000));
    handed.erase(handed.begin(), handed.begin() + 2000);
    std::thread([&moved] { moved.clear(); }).join();
    EXPECT_EQ(table.intern("ODD").identity(), handed[1].identity());
  }
  for (size_t i = 0; i < handed.size(); ++i)
    ASSERT_EQ(handed[i], i % 2 ? "ODD" : "EVEN");
}

TEST(BuildingForms, Rectangle) {
  const GdsBoundary forward(5, 0, 0, 10, 20);
  EXPECT_EQ(forward.layer, 5u);
  EXPECT_EQ(forward.xCor, (Coordinates{0, 10, 10, 0, 0}));
  EXPECT_EQ(forward.yCor, (Coordinates{0, 0, 20, 20, 0}));
  EXPECT_EQ(forward.datatype, 0);
  EXPECT_EQ(forward.plex, 0);

  // Nothing sorts the corners: the polygon runs the other way round.
  const GdsBoundary backward(5, 10, 20, 0, 0);
  EXPECT_EQ(backward.xCor, (Coordinates{10, 0, 0, 10, 10}));
  EXPECT_EQ(backward.yCor, (Coordinates{20, 20, 0, 0, 20}));
}

TEST(BuildingForms, ListsAreCopiedAsGiven) {
  Coordinates xs{0, 5, 5};
  Coordinates ys{0, 0, 5};
  const GdsBoundary boundary(3, xs, ys);
  const GdsPath path(4, 7, xs, ys);
  xs[0] = 100;
  ys.push_back(1);
  EXPECT_EQ(boundary.xCor, (Coordinates{0, 5, 5}));  // not closed, not changed afterwards
  EXPECT_EQ(boundary.yCor, (Coordinates{0, 0, 5}));
  EXPECT_EQ(boundary.layer, 3u);
  EXPECT_EQ(path.xCor, (Coordinates{0, 5, 5}));
  EXPECT_EQ(path.yCor, (Coordinates{0, 0, 5}));
  EXPECT_EQ(path.layer, 4u);
  EXPECT_EQ(path.width, 7u);
  EXPECT_EQ(path.pathtype, 2);
  EXPECT_EQ(path.datatype, 0);
  EXPECT_EQ(GdsPath(1, 0, {}, {}).pathtype, 2);
}

TEST(BuildingForms, References) {
  const GdsSref plain("CELL", -3, 4);
  const GdsSref full("CELL", -3, 4, false, 0.0, 1.0);
  for (const GdsSref* sref : {&plain, &full}) {
    EXPECT_EQ(sref->name, "CELL");
    EXPECT_EQ(sref->xCor, -3);
    EXPECT_EQ(sref->yCor, 4);
    EXPECT_FALSE(sref->reflection);
    EXPECT_EQ(sref->angle, 0.0);
    EXPECT_EQ(sref->scale, 1.0);
    EXPECT_EQ(sref->strans, 0);
    EXPECT_EQ(sref->plex, 0);
    EXPECT_TRUE(sref->properties.empty());
    EXPECT_EQ(sref->elflags, 0);
  }
  // The angle stands before the scale in the argument list.
  const GdsSref turned("CELL", 0, 0, true, 90.0, 2.5);
  EXPECT_TRUE(turned.reflection);
  EXPECT_EQ(turned.angle, 90.0);
  EXPECT_EQ(turned.scale, 2.5);
}

std::vector<std::string> dumpLines(const std::function<void()>& action) {
  return splitLines(captureOutput(action));
}

TEST(ModelDump, EmptyLibraryAndStructures) {
  GdsLibrary library;
  EXPECT_EQ(dumpLines([&] { print(library); }), std::vector<std::string>{"Tessel class:"});

  // Array references and boxes are not printed; an unboxed structure shows zeros.
  GdsStructure structure;
  structure.name = "ARRAYS";
  structure.arefs.emplace_back();
  structure.boxes.emplace_back();
  library.addStructure(structure);
  EXPECT_EQ(dumpLines([&] { print(library); }),
            (std::vector<std::string>{"Tessel class:", "GDS STR class:", "  Name: ARRAYS",
                                      "  BBox: 0, 0; 0, 0"}));
}

TEST(ModelDump, StructureWithEveryPrintedKind) {
  GdsStructure structure;
  structure.name = "TOP";
  structure.bbox = {-5, 0, 10, 20};
  // Listed out of print order on purpose: the dump goes SREFs, boundaries, paths, nodes, texts.
  GdsText text;
  text.layer = 6;
  text.textbody = "hello world";
  text.scale = 0.5;
  text.angle = 45;  // not printed
  text.xCor = -7;
  text.yCor = 8;
  structure.texts.push_back(text);
  GdsNode node;
  node.layer = 4;
  node.nodetype = 3;
  node.properties = {{2, SharedString("net")}, {7, SharedString("pin")}};
  node.xCor = {1};
  node.yCor = {2};
  structure.nodes.push_back(node);
  structure.nodes.emplace_back();  // no properties: the empty one shows
  structure.paths.emplace_back(2, 4294967295u, Coordinates{0, 100}, Coordinates{0, -100});
  structure.boundaries.emplace_back(1, Coordinates{0, 10, -10}, Coordinates{0, 0, 5});
  structure.boundaries.emplace_back();
  structure.srefs.emplace_back("A", 1, 2);
  structure.srefs.emplace_back("B", -3, 4, true, 90.5, 1.0 / 3);
  structure.arefs.emplace_back();

  const std::vector<std::string> expected = {
      "GDS STR class:",
      "  Name: TOP",
      "  BBox: -5, 0; 10, 20",
      "GDS REF class:",
      "  Name: A",
      "  reflection: 0",
      "  angle: 0",
      "  scale: 1",
      "  xCor: 1",
      "  yCor: 2",
      "GDS REF class:",
      "  Name: B",
      "  reflection: 1",
      "  angle: 90.5",
      "  scale: 0.333333",
      "  xCor: -3",
      "  yCor: 4",
      "GDS BOUNDARY class:",
      "  layer: 1",
      "  xCor:\tyCor:",
      "0\t0",
      "10\t0",
      "-10\t5",
      "GDS BOUNDARY class:",
      "  layer: 0",
      "  xCor:\tyCor:",
      "GDS PATH class:",
      "  layer: 2",
      "  width: 4294967295",
      "  xCor:\tyCor:",
      "0\t0",
      "100\t-100",
      "GDS NODE class:",
      "  layer: 4",
      "  nodetype: 3",
      "  propattr: 2",
      "  propvalue: net",
      "  propattr: 7",
      "  propvalue: pin",
      "  xCor:\tyCor:",
      "1\t2",
      "GDS NODE class:",
      "  layer: 0",
      "  nodetype: 0",
      "  propattr: 0",
      "  propvalue: ",
      "  xCor:\tyCor:",
      "GDS TEXT class:",
      "  layer: 6",
      "  textbody: hello world",
      "  scale: 0.5",
      "  xCor: -7",
      "  yCor: 8",
  };
  EXPECT_EQ(dumpLines([&] { print(structure); }), expected);
}

TEST(ModelDump, BoundingBoxLines) {
  GdsLibrary library;
  GdsStructure a;
  a.name = "A";
  a.bbox = {-5, 0, 10, 20};
  GdsStructure b;
  b.name = "B";
  b.bbox = {-2147483647 - 1, -1, 0, 2147483647};
  library.addStructure(a);
  library.addStructure(b);
  EXPECT_EQ(dumpLines([&] { printBoundingBoxes(library); }),
            (std::vector<std::string>{"A BBox: -5, 0; 10, 20",
                                      "B BBox: -2147483648, -1; 0, 2147483647"}));
  EXPECT_EQ(captureOutput([&] { printBoundingBox(a); }), "A BBox: -5, 0; 10, 20\n");
}

}  // namespace
}  // namespace tessel::testing
