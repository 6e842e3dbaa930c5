// tessel-generate: writes large, realistic stream files for the benchmarks.
//
//   tessel-generate OUT.gds --size-mb 300 [--seed N]   a chip: standard cells, vias, placed and
//                                                       routed blocks, a top structure
//   tessel-generate OUT.gds --chain N                    N structures, each placing the next
//   tessel-generate OUT.gds --flat N                     N unrelated structures with one boundary
//   tessel-generate OUT.gds --parents P --children C     P structures, each placing C childless
//                                                        structures of its own
//
// The file is written one structure at a time through GdsWriter, so memory stays small whatever
// the size. The output is the same byte for byte for the same arguments: the dates in BGNLIB and
// BGNSTR are set to a fixed moment once the file is complete. It is written under a temporary
// name and renamed to OUT only when complete.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "export/writer.h"
#include "model/library.h"
#include "stream/encode.h"
#include "stream/record.h"

namespace {

using tessel::GdsAref;
using tessel::GdsBoundary;
using tessel::GdsPath;
using tessel::GdsSref;
using tessel::GdsStructure;
using tessel::GdsText;

// Database units are nanometres (the library header's default units).
constexpr int32_t kSite = 200;        // placement site width
constexpr int32_t kRowHeight = 2000;  // standard-cell row height
constexpr int32_t kBlockPitch = 600000;

// Layers of a small CMOS process.
enum Layer : uint32_t {
  kNwell = 1,
  kDiff = 2,
  kPimp = 3,
  kNimp = 4,
  kPoly = 5,
  kCont = 6,
  kMetal1 = 7,
  kVia1 = 8,
  kMetal2 = 9,
  kVia2 = 10,
  kMetal3 = 11,
  kVia3 = 12,
  kMetal4 = 13,
  kOutline = 235,
};

// splitmix64: small, fast and the same on every platform.
struct Rng {
  uint64_t state;
  explicit Rng(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
  int32_t range(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(below(hi - lo + 1)); }
  bool chance(uint32_t percent) { return below(100) < percent; }
};

// Writes structures to a file descriptor and remembers where each BGNSTR starts, so the dates
// can be fixed once the file is complete.
class StreamOut {
 public:
  explicit StreamOut(int fd) : fd_(fd), sink_(fd), writer_(sink_) {}

  void header() { writer_.writeLibraryHeader("Fernwall.db"); }
  void structure(const GdsStructure& structure) {
    bgnstrOffsets_.push_back(position());
    writer_.writeStructure(structure);
    ++structures_;
  }
  bool finish() {
    sink_.putHeader(4, tessel::rec::ENDLIB);
    if (!sink_.flush()) return false;
    // A fixed moment, twice (modification and access): 2024-01-01 00:00:00.
    static const uint8_t kStamp[24] = {0x07, 0xE8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0,
                                       0x07, 0xE8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    // HEADER is 6 bytes; BGNLIB's dates follow its 4-byte record header.
    if (::pwrite(fd_, kStamp, sizeof kStamp, 10) != sizeof kStamp) return false;
    for (uint64_t offset : bgnstrOffsets_)
      if (::pwrite(fd_, kStamp, sizeof kStamp, static_cast<off_t>(offset + 4)) != sizeof kStamp)
        return false;
    return true;
  }
  uint64_t position() const {
    return static_cast<uint64_t>(::lseek(fd_, 0, SEEK_CUR)) + sink_.bytes().size();
  }
  uint64_t structures() const { return structures_; }

 private:
  int fd_;
  tessel::RecordSink sink_;
  tessel::GdsWriter writer_;
  std::vector<uint64_t> bgnstrOffsets_;
  uint64_t structures_ = 0;
};

struct Counts {
  uint64_t boundaries = 0, paths = 0, srefs = 0, arefs = 0, texts = 0;
  void add(const GdsStructure& s) {
    boundaries += s.boundaries.size();
    paths += s.paths.size();
    srefs += s.srefs.size();
    arefs += s.arefs.size();
    texts += s.texts.size();
  }
};

// The element builders fill the next element of a list, reusing the storage of an element that
// an earlier structure left there.
template <typename T>
T& nextOf(std::vector<T>& list, size_t& used) {
  if (used == list.size()) list.emplace_back();
  return list[used++];
}

struct Builder {
  GdsStructure s;
  size_t boundaries = 0, paths = 0, srefs = 0, arefs = 0, texts = 0;

  void begin(const std::string& name) {
    s.name = name;
    boundaries = paths = srefs = arefs = texts = 0;
  }
  // Trims every list to what this structure used.
  GdsStructure& done() {
    s.boundaries.resize(boundaries);
    s.paths.resize(paths);
    s.srefs.resize(srefs);
    s.arefs.resize(arefs);
    s.texts.resize(texts);
    return s;
  }

  void rect(uint32_t layer, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t datatype = 0) {
    GdsBoundary& b = nextOf(s.boundaries, boundaries);
    b.layer = layer;
    b.datatype = datatype;
    b.xCor.assign({x1, x2, x2, x1, x1});
    b.yCor.assign({y1, y1, y2, y2, y1});
  }
  // A closed polygon through the given points.
  void polygon(uint32_t layer, std::initializer_list<int32_t> xs,
               std::initializer_list<int32_t> ys) {
    GdsBoundary& b = nextOf(s.boundaries, boundaries);
    b.layer = layer;
    b.datatype = 0;
    b.xCor.assign(xs);
    b.yCor.assign(ys);
    b.xCor.push_back(*xs.begin());
    b.yCor.push_back(*ys.begin());
  }
  GdsPath& path(uint32_t layer, uint32_t width, int32_t pathtype) {
    GdsPath& p = nextOf(s.paths, paths);
    p.layer = layer;
    p.datatype = 0;
    p.width = width;
    p.pathtype = pathtype;
    p.xCor.clear();
    p.yCor.clear();
    return p;
  }
  // Orientation 0..7: reflection about the x axis for 4..7, then 0/90/180/270 degrees.
  void sref(const std::string& name, int32_t x, int32_t y, int orientation = 0) {
    GdsSref& r = nextOf(s.srefs, srefs);
    r.name = name;
    r.xCor = x;
    r.yCor = y;
    r.reflection = orientation >= 4;
    r.angle = 90.0 * (orientation % 4);
    r.scale = 1.0;
  }
  void aref(const std::string& name, int32_t x, int32_t y, int32_t columns, int32_t rows,
            int32_t colPitch, int32_t rowPitch, int orientation) {
    GdsAref& a = nextOf(s.arefs, arefs);
    a.name = name;
    a.reflection = orientation >= 4;
    a.angle = 90.0 * (orientation % 4);
    a.scale = 1.0;
    a.columns = columns;
    a.rows = rows;
    a.xy = {x, y, x + columns * colPitch, y, x, y + rows * rowPitch};
  }
  void text(uint32_t layer, const std::string& body, int32_t x, int32_t y, double angle = 0.0,
            double scale = 1.0) {
    GdsText& t = nextOf(s.texts, texts);
    t.layer = layer;
    t.texttype = 0;
    t.textbody = body;
    t.xCor = x;
    t.yCor = y;
    t.angle = angle;
    t.scale = scale;
  }
};

struct Cell {
  std::string name;
  int32_t width = 0;
  bool filler = false;
};

struct ViaCell {
  std::string name;
  uint32_t below, cut, above;
};

const ViaCell kVias[] = {
    {"via_cont_m1", kDiff, kCont, kMetal1},      {"via1_m1_m2", kMetal1, kVia1, kMetal2},
    {"via2_m2_m3", kMetal2, kVia2, kMetal3},     {"via3_m3_m4", kMetal3, kVia3, kMetal4},
    {"via1_m1_m2_2x2", kMetal1, kVia1, kMetal2}, {"via2_m2_m3_2x2", kMetal2, kVia2, kMetal3},
};

void writeVias(StreamOut& out, Builder& b, Counts& counts) {
  for (const ViaCell& via : kVias) {
    b.begin(via.name);
    const bool twoByTwo = via.name.ends_with("2x2");
    const int32_t half = twoByTwo ? 110 : 50;
    b.rect(via.below, -half - 30, -half - 10, half + 30, half + 10);
    if (twoByTwo) {
      for (int32_t cx : {-60, 60})
        for (int32_t cy : {-60, 60})
          b.rect(via.cut, cx - 35, cy - 35, cx + 35, cy + 35);
    } else {
      b.rect(via.cut, -35, -35, 35, 35);
    }
    b.rect(via.above, -half - 10, -half - 30, half + 10, half + 30);
    GdsStructure& s = b.done();
    counts.add(s);
    out.structure(s);
  }
}

struct Kind {
  const char* name;
  int inputs;
  const char* output;
};

const Kind kKinds[] = {
    {"inv", 1, "Y"},    {"buf", 1, "Y"},   {"nand2", 2, "Y"}, {"nand3", 3, "Y"}, {"nand4", 4, "Y"},
    {"nor2", 2, "Y"},   {"nor3", 3, "Y"},  {"nor4", 4, "Y"},  {"and2", 2, "Y"},  {"and3", 3, "Y"},
    {"or2", 2, "Y"},    {"or3", 3, "Y"},   {"xor2", 2, "Y"},  {"xnor2", 2, "Y"}, {"aoi21", 3, "Y"},
    {"aoi22", 4, "Y"},  {"oai21", 3, "Y"}, {"oai22", 4, "Y"}, {"mux2", 3, "Y"},  {"mux4", 6, "Y"},
    {"dff", 2, "Q"},    {"dffr", 3, "Q"},  {"dffs", 3, "Q"},  {"latch", 2, "Q"}, {"clkbuf", 1, "Y"},
    {"clkinv", 1, "Y"}, {"ha", 2, "S"},    {"fa", 3, "S"},    {"tiehi", 0, "Y"}, {"tielo", 0, "Y"},
    {"decap", 0, ""},   {"fill", 0, ""},   {"tap", 0, ""},
};
const char* const kPinNames[] = {"A", "B", "C", "D", "S0", "S1"};

// A standard cell: well, implants, diffusion, poly gates, contacts, metal-1 rails and pins,
// pin labels and the placement outline.
std::vector<Cell> writeCells(StreamOut& out, Builder& b, Counts& counts, Rng& rng, int count) {
  std::vector<Cell> cells;
  const int drives[] = {1, 2, 4, 8};
  const int kinds = sizeof kKinds / sizeof kKinds[0];
  char name[64];
  for (int i = 0; i < count; ++i) {
    const Kind& kind = kKinds[i % kinds];
    const int drive = drives[(i / kinds) % 4];
    std::snprintf(name, sizeof name, "stdcell_%s_x%d_%03d", kind.name, drive, i);
    const int fingers = std::max(kind.inputs, 1) * (drive > 2 ? drive / 2 : 1);
    const int32_t width = kSite * (2 + fingers + (kind.inputs == 0 ? rng.range(0, 6) : 0));
    const int32_t h = kRowHeight, mid = h / 2;
    const bool tie = std::strcmp(kind.name, "tiehi") == 0 || std::strcmp(kind.name, "tielo") == 0;
    cells.push_back({name, width, kind.inputs == 0 && !tie});

    b.begin(name);
    b.rect(kOutline, 0, 0, width, h);
    b.rect(kNwell, -60, mid, width + 60, h + 60);
    b.rect(kPimp, 0, mid, width, h);
    b.rect(kNimp, 0, 0, width, mid);
    b.rect(kMetal1, 0, h - 170, width, h + 170);  // VDD rail
    b.rect(kMetal1, 0, -170, width, 170);         // VSS rail
    b.text(kMetal1, "VDD", width / 2, h);
    b.text(kMetal1, "VSS", width / 2, 0);
    if (kind.inputs > 0 || tie) {
      b.rect(kDiff, 100, mid + 200, width - 100, h - 350);
      b.rect(kDiff, 100, 350, width - 100, mid - 200);
      for (int f = 0; f < fingers; ++f) {
        const int32_t x = kSite + kSite / 2 + f * kSite;
        GdsPath& gate = b.path(kPoly, 50, f % 3 == 0 ? 2 : 0);
        if (f % 2 == 0) {
          gate.xCor = {x, x};
          gate.yCor = {250, h - 250};
        } else {  // a dog-leg gate
          gate.xCor = {x, x, x + 40, x + 40};
          gate.yCor = {250, mid, mid + 100, h - 250};
        }
        if (f % 2 == 0) {
          b.sref(kVias[0].name, x - kSite / 2, mid + 500);
          b.sref(kVias[0].name, x - kSite / 2, mid - 500);
        }
      }
      for (int p = 0; p < kind.inputs; ++p) {
        const int32_t x = kSite + p * kSite * std::max(1, fingers / kind.inputs);
        b.polygon(kMetal1, {x, x + 140, x + 140, x + 280, x + 280, x},
                  {mid - 300, mid - 300, mid, mid, mid + 140, mid + 140});
        b.text(kMetal1, kPinNames[p], x + 70, mid);
      }
      if (kind.output[0] != '\0') {
        const int32_t x = width - kSite;
        b.polygon(kMetal1, {x, x + 140, x + 140, x - 60, x - 60, x},
                  {400, 400, h - 400, h - 400, h - 540, h - 540});
        b.text(kMetal1, kind.output, x + 70, mid);
      }
    }
    GdsStructure& s = b.done();
    counts.add(s);
    out.structure(s);
  }
  return cells;
}

const char* const kUnits[] = {"alu",    "fpu",      "lsu",      "regfile", "decoder",
                              "icache", "dcache",   "mmu",      "bpu",     "rob",
                              "dma",    "pcie_phy", "ddr_ctrl", "usb",     "noc_router"};

// A placed and routed block: rows of standard cells in all eight orientations, filler and tap
// arrays, routing on metal 2 to 4 with vias at the ends and bends, net labels and power stripes.
void writeBlock(StreamOut& out, Builder& b, Counts& counts, Rng& rng,
                const std::vector<Cell>& cells, const std::string& name) {
  b.begin(name);
  const int placements = rng.range(20000, 40000);
  const int32_t rowWidth = 150 * 1400;
  int32_t x = 0, row = 0;
  std::vector<uint32_t> logic, fillers;
  for (uint32_t i = 0; i < cells.size(); ++i)
    (cells[i].filler ? fillers : logic).push_back(i);
  for (int i = 0; i < placements; ++i) {
    const Cell& cell = cells[logic[rng.below(static_cast<uint32_t>(logic.size()))]];
    if (x + cell.width > rowWidth) {
      x = 0;
      ++row;
    }
    // Rows alternate between upright and flipped; a third of the cells take any orientation.
    const int orientation = rng.chance(33) ? static_cast<int>(rng.below(8)) : (row % 2 ? 4 : 0);
    b.sref(cell.name, x, row * kRowHeight + (row % 2 ? kRowHeight : 0), orientation);
    x += cell.width;
  }
  const int32_t height = (row + 1) * kRowHeight;

  // Filler, decap and tap arrays along the rows.
  const int arrays = rng.range(30, 60);
  const uint32_t firstFiller = rng.below(static_cast<uint32_t>(fillers.size()));
  for (int i = 0; i < arrays; ++i) {
    const Cell& cell = cells[fillers[(firstFiller + i) % fillers.size()]];
    const int32_t columns = rng.range(1, 64), rows = rng.range(1, 16);
    const int orientation = i % 8;
    b.aref(cell.name, rng.range(0, rowWidth / kSite) * kSite, rng.range(0, row) * kRowHeight,
           columns, rows, cell.width, 2 * kRowHeight, orientation);
  }

  // Routing: Manhattan paths of 2 to 6 points, vias at both ends.
  const int nets = placements / 4;
  char label[48];
  for (int n = 0; n < nets; ++n) {
    const int level = static_cast<int>(rng.below(3));  // metal 2, 3 or 4
    const uint32_t layer = kMetal2 + 2 * level;
    static const uint32_t kWidths[] = {100, 100, 140, 140, 200, 400};
    GdsPath& p = b.path(layer, kWidths[rng.below(6)], rng.chance(70) ? 0 : 2);
    const int points = rng.range(2, 6);
    int32_t px = rng.range(0, rowWidth / 100) * 100, py = rng.range(0, height / 100) * 100;
    p.xCor.push_back(px);
    p.yCor.push_back(py);
    bool horizontal = (level % 2) == 0;
    for (int k = 1; k < points; ++k) {
      const int32_t step = rng.range(-200, 200) * 100;
      if (horizontal)
        px = std::clamp(px + (step == 0 ? 100 : step), 0, rowWidth);
      else
        py = std::clamp(py + (step == 0 ? 100 : step), 0, height);
      p.xCor.push_back(px);
      p.yCor.push_back(py);
      horizontal = !horizontal;
    }
    const ViaCell& via = kVias[1 + level + (rng.chance(20) && level < 2 ? 3 : 0)];
    b.sref(via.name, p.xCor.front(), p.yCor.front());
    b.sref(via.name, p.xCor.back(), p.yCor.back());
    if (n % 20 == 0) {
      std::snprintf(label, sizeof label, "u_%s/n_%d", std::strchr(name.c_str() + 4, '_') + 1, n);
      b.text(layer, label, p.xCor.front(), p.yCor.front(), horizontal ? 0.0 : 90.0,
             n % 100 == 0 ? 0.5 : 1.0);
    }
  }

  // Power stripes on metal 4 and a few blockages.
  for (int32_t sx = 5000; sx < rowWidth; sx += 20000)
    b.rect(kMetal4, sx, 0, sx + 1800, height);
  for (int i = 0; i < 20; ++i) {
    const int32_t bx = rng.range(0, rowWidth - 10000), by = rng.range(0, height - 10000);
    b.rect(kMetal3, bx, by, bx + rng.range(1000, 10000), by + rng.range(1000, 10000), 1);
  }
  b.rect(kOutline, 0, 0, rowWidth, height);
  GdsStructure& s = b.done();
  counts.add(s);
  out.structure(s);
}

// The top structure: every block in a grid, in all eight orientations, a power ring and the
// chip's name.
void writeTop(StreamOut& out, Builder& b, Counts& counts, const std::vector<std::string>& blocks) {
  b.begin("chip_top");
  int32_t side = 1;
  while (static_cast<size_t>(side) * side < blocks.size())
    ++side;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const int32_t gx = static_cast<int32_t>(i % side), gy = static_cast<int32_t>(i / side);
    const int orientation = static_cast<int>(i % 8);
    // Rotated and reflected blocks are shifted back into their grid cell.
    const int32_t ox = (orientation % 4 == 1 || orientation % 4 == 2) ? kBlockPitch - 20000 : 0;
    const int32_t oy = ((orientation % 4 == 2 || orientation % 4 == 3) != (orientation >= 4))
                           ? kBlockPitch - 20000
                           : 0;
    b.sref(blocks[i], gx * kBlockPitch + ox, gy * kBlockPitch + oy, orientation);
  }
  const int32_t extent = side * kBlockPitch;
  for (int32_t ring = 0; ring < 2; ++ring) {
    const int32_t d = -20000 - ring * 8000;
    GdsPath& p = b.path(kMetal4, 5000, 0);
    p.xCor = {d, extent - d, extent - d, d, d};
    p.yCor = {d, d, extent - d, extent - d, d};
  }
  b.rect(kOutline, -40000, -40000, extent + 40000, extent + 40000);
  b.text(kMetal4, "chip_top", extent / 2, extent + 30000, 0.0, 20.0);
  GdsStructure& s = b.done();
  counts.add(s);
  out.structure(s);
}

void writeChip(StreamOut& out, Counts& counts, uint64_t targetBytes, uint64_t seed) {
  Rng rng(seed);
  Builder b;
  writeVias(out, b, counts);
  const std::vector<Cell> cells = writeCells(out, b, counts, rng, 300);
  std::vector<std::string> blocks;
  char name[64];
  // Roughly what the top structure will add: one reference per block and a little more.
  while (out.position() + 80 * (blocks.size() + 1) + 1024 < targetBytes || blocks.empty()) {
    std::snprintf(name, sizeof name, "blk_%04zu_%s", blocks.size(),
                  kUnits[blocks.size() % (sizeof kUnits / sizeof kUnits[0])]);
    blocks.emplace_back(name);
    writeBlock(out, b, counts, rng, cells, blocks.back());
  }
  writeTop(out, b, counts, blocks);
}

// chain_0000000 places chain_0000001, which places chain_0000002, and so on; each has a box.
void writeChain(StreamOut& out, Counts& counts, uint64_t count) {
  Builder b;
  char name[32];
  for (uint64_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "chain_%07llu", static_cast<unsigned long long>(i));
    b.begin(name);
    b.rect(kMetal1, 0, 0, 1000, 1000);
    if (i + 1 < count) {
      std::snprintf(name, sizeof name, "chain_%07llu", static_cast<unsigned long long>(i + 1));
      b.sref(name, 10, 10, static_cast<int>(i % 8));
    }
    GdsStructure& s = b.done();
    counts.add(s);
    out.structure(s);
  }
}

// Unrelated structures, each with one boundary: every one of them is a root.
void writeFlat(StreamOut& out, Counts& counts, uint64_t count) {
  Builder b;
  char name[32];
  for (uint64_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "flat_%07llu", static_cast<unsigned long long>(i));
    b.begin(name);
    const int32_t x = static_cast<int32_t>(i % 1000) * 2000,
                  y = static_cast<int32_t>(i / 1000) * 2000;
    b.rect(kMetal1, x, y, x + 1000, y + 1000);
    GdsStructure& s = b.done();
    counts.add(s);
    out.structure(s);
  }
}

// Wide levels: every parent places its own childless children side by side, once each.
void writeFamilies(StreamOut& out, Counts& counts, uint64_t parents, uint64_t children) {
  Builder b;
  char name[48];
  for (uint64_t p = 0; p < parents; ++p) {
    for (uint64_t c = 0; c < children; ++c) {
      std::snprintf(name, sizeof name, "leaf_%03llu_%05llu", static_cast<unsigned long long>(p),
                    static_cast<unsigned long long>(c));
      b.begin(name);
      b.rect(kMetal1, 0, 0, 1000, 1000);
      GdsStructure& s = b.done();
      counts.add(s);
      out.structure(s);
    }
  }
  for (uint64_t p = 0; p < parents; ++p) {
    std::snprintf(name, sizeof name, "parent_%03llu", static_cast<unsigned long long>(p));
    b.begin(name);
    for (uint64_t c = 0; c < children; ++c) {
      char child[48];
      std::snprintf(child, sizeof child, "leaf_%03llu_%05llu", static_cast<unsigned long long>(p),
                    static_cast<unsigned long long>(c));
      b.sref(child, static_cast<int32_t>(c % 1000) * 2000, static_cast<int32_t>(c / 1000) * 2000);
    }
    GdsStructure& s = b.done();
    counts.add(s);
    out.structure(s);
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: tessel-generate OUT.gds [--size-mb N] [--seed N]\n"
               "       tessel-generate OUT.gds --chain N\n"
               "       tessel-generate OUT.gds --flat N\n"
               "       tessel-generate OUT.gds --parents P --children C\n");
  return 2;
}

bool parseNumber(const char* text, uint64_t& value) {
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  std::string output;
  uint64_t sizeMb = 300, seed = 1, chain = 0, flat = 0, parents = 0, children = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    uint64_t* target = nullptr;
    if (arg == "--size-mb") target = &sizeMb;
    if (arg == "--seed") target = &seed;
    if (arg == "--chain") target = &chain;
    if (arg == "--flat") target = &flat;
    if (arg == "--parents") target = &parents;
    if (arg == "--children") target = &children;
    if (target) {
      if (i + 1 >= argc || !parseNumber(argv[++i], *target)) return usage();
    } else if (arg.starts_with("-") || !output.empty()) {
      return usage();
    } else {
      output = arg;
    }
  }
  const bool families = parents || children;
  if (output.empty() || (chain && flat) || ((chain || flat) && families) ||
      (families && (!parents || !children)) || (sizeMb == 0 && !chain && !flat && !families))
    return usage();

  const std::string temporary = output + ".partial";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "tessel-generate: cannot create %s: %s\n", temporary.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  Counts counts;
  uint64_t structures = 0, bytes = 0;
  bool ok = false;
  {
    StreamOut out(fd);
    out.header();
    if (chain)
      writeChain(out, counts, chain);
    else if (flat)
      writeFlat(out, counts, flat);
    else if (families)
      writeFamilies(out, counts, parents, children);
    else
      writeChip(out, counts, sizeMb * 1000000, seed);
    structures = out.structures();
    ok = out.finish();
    bytes = out.position();
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), output.c_str()) != 0) {
    std::fprintf(stderr, "tessel-generate: cannot write %s: %s\n", output.c_str(),
                 std::strerror(errno));
    ::unlink(temporary.c_str());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "%s: %llu bytes, %llu structures, %llu boundaries, %llu paths, %llu SREFs, %llu AREFs, "
      "%llu texts (%.1f s)\n",
      output.c_str(), static_cast<unsigned long long>(bytes),
      static_cast<unsigned long long>(structures),
      static_cast<unsigned long long>(counts.boundaries),
      static_cast<unsigned long long>(counts.paths), static_cast<unsigned long long>(counts.srefs),
      static_cast<unsigned long long>(counts.arefs), static_cast<unsigned long long>(counts.texts),
      seconds);
  return 0;
}
