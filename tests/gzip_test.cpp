// gzip-compressed input and output, and standard input: every option reads compressed, piped
// and plain bytes alike; damaged compressed data is read up to the damage; .gz output.
#include <gtest/gtest.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "stream/byte_source.h"
#include "support/support.h"
#include "support/written.h"

namespace tessel::testing {
namespace {

namespace fs = std::filesystem;

// One gzip member holding `plain`, deflated by ISA-L. With a `name` the header carries it, as
// gzip's own header does for a named file; with `everyField` it also carries an extra field, a
// comment and its own CRC (FHCRC), which `headerCrcChange` spoils when not 0.
Bytes gzipMember(const Bytes& plain, const std::string& name = "", bool everyField = false,
                 uint16_t headerCrcChange = 0) {
  const uint8_t flags = static_cast<uint8_t>((name.empty() ? 0 : 0x08) | (everyField ? 0x16 : 0));
  Bytes member = {0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3};
  if (everyField)  // XLEN 5, then one subfield
    for (const uint8_t byte : std::initializer_list<uint8_t>{5, 0, 'T', 'S', 1, 0, 7})
      member.push_back(byte);
  auto addText = [&](const std::string& text) {
    member.insert(member.end(), text.begin(), text.end());
    member.push_back(0);
  };
  if (!name.empty()) addText(name);
  if (everyField) {
    addText("written for a test");
    const uint32_t crc = crc32_gzip_refl(0, member.data(), member.size()) ^ headerCrcChange;
    member.push_back(static_cast<uint8_t>(crc));
    member.push_back(static_cast<uint8_t>(crc >> 8));
  }
  auto stream = std::make_unique<isal_zstream>();
  isal_deflate_stateless_init(stream.get());
  Bytes body(plain.size() + plain.size() / 8 + 1024);
  stream->next_in = const_cast<uint8_t*>(plain.data());
  stream->avail_in = static_cast<uint32_t>(plain.size());
  stream->end_of_stream = 1;
  stream->gzip_flag = IGZIP_GZIP_NO_HDR;  // the deflate data and the trailer
  stream->next_out = body.data();
  stream->avail_out = static_cast<uint32_t>(body.size());
  EXPECT_EQ(isal_deflate_stateless(stream.get()), COMP_OK);
  member.insert(member.end(), body.begin(), body.begin() + stream->total_out);
  return member;
}

// The bytes of a one-member gzip file, inflated by ISA-L; empty when it does not inflate.
Bytes gunzip(const Bytes& compressed, size_t largest) {
  auto state = std::make_unique<inflate_state>();
  isal_inflate_init(state.get());
  Bytes plain(largest);
  state->next_in = const_cast<uint8_t*>(compressed.data());
  state->avail_in = static_cast<uint32_t>(compressed.size());
  state->next_out = plain.data();
  state->avail_out = static_cast<uint32_t>(plain.size());
  state->crc_flag = ISAL_GZIP;
  if (isal_inflate_stateless(state.get()) != ISAL_DECOMP_OK) return {};
  plain.resize(state->total_out);
  return plain;
}

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes slice(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

// The start of a library: its header and a leaf structure of enough boundaries to fill several
// of the inflater's blocks and the reader's buffer.
Bytes libraryStart() {
  StreamBuilder builder;
  builder.libraryHeader().beginStructure("LEAF");
  for (int32_t i = 0; i < 16000; ++i)
    builder.boundary(1 + i % 5, {i, 0, i + 10, 0, i + 10, 10, i, 10, i, 0});
  return builder.endStructure().bytes();
}

// The rest of it: structures that reference the leaf, and ENDLIB.
Bytes libraryRest() {
  return StreamBuilder()
      .beginStructure("MID")
      .sref("LEAF", 0, 0)
      .sref("LEAF", 0, 100)
      .endStructure()
      .beginStructure("TOP")
      .sref("MID", 5, 5)
      .endStructure()
      .beginStructure("LONE")
      .boundary(2, {0, 0, 1, 0, 1, 1, 0, 0})
      .endStructure()
      .endLibrary()
      .bytes();
}

// A `dot` that keeps the DOT file as the diagram, so the diagram compares byte for byte. It is
// called as: dot -Tjpg DOTFILE -o IMAGE.
void writeCopyingDot(const fs::path& folder) {
  fs::create_directories(folder);
  std::ofstream(folder / "dot") << "#!/bin/sh\ncp \"$2\" \"$4\"\n";
  fs::permissions(folder / "dot", fs::perms::owner_all);
}

// What one option made of one input: its lines, with the input's name written as "in.gds", its
// exit status and the file it wrote (timestamps masked).
struct Outcome {
  int exitCode = -1;
  std::vector<std::string> lines;
  Bytes written;
};

// Runs `option` on `input` in a fresh folder: a file of that name holding `bytes`, or standard
// input fed with them for "-".
Outcome run(const std::string& option, const std::string& input, const Bytes& bytes) {
  TempDir dir;
  writeCopyingDot(dir.path() / "bin");
  const std::string stored = input == "-" ? "piped" : input;
  writeBytes(dir.file(stored), bytes);
  std::vector<std::string> arguments = {option, input};
  // An output named ".gds" would be taken for the input when the input is "-".
  if (option == "-rw") arguments.insert(arguments.end(), {"-o", "copy"});
  const RunResult result = runTessel(arguments, dir.path().string(), dir.file("bin"), "",
                                     input == "-" ? dir.file(stored) : "");
  Outcome outcome;
  outcome.exitCode = result.exitCode;
  const std::string quoted = "\"" + input + "\"";
  for (std::string line : result.linesAfterBanner()) {
    if (const size_t at = line.find(quoted); at != std::string::npos)
      line.replace(at, quoted.size(), "\"in.gds\"");
    outcome.lines.push_back(line);
  }
  if (option == "-rw") outcome.written = maskTimestamps(readBytes(dir.file("copy")));
  if (option == "-rs") outcome.written = readBytes(dir.file("diagram.jpg"));
  return outcome;
}

const std::string kOptions[] = {"-i", "-r", "-rs", "-rw"};

void expectSameOutcome(const Outcome& got, const Outcome& expected) {
  EXPECT_EQ(got.exitCode, expected.exitCode);
  EXPECT_EQ(got.lines, expected.lines);
  EXPECT_TRUE(got.written == expected.written) << "the written file differs";
}

TEST(CompressedInput, EveryOptionReadsCompressedAndPipedBytesAsThePlainFile) {
  const Bytes start = libraryStart();
  const Bytes rest = libraryRest();
  const Bytes plain = joined({start, rest});
  const Bytes compressed = gzipMember(plain);
  // Members that end inside records, the second with a name in its header.
  const size_t third = plain.size() / 3 + 1;
  const Bytes members = joined({gzipMember(slice(plain, 0, third)),
                                gzipMember(slice(plain, third, 2 * third), "in.gds"),
                                gzipMember(slice(plain, 2 * third, plain.size()))});
  struct Input {
    std::string name;
    Bytes bytes;
  };
  const Input inputs[] = {
      {"in.gds.gz", compressed},
      {"CHIP.GDS", compressed},
      {"members.Gds.GZ", members},
      {"-", plain},  // standard input, plain and compressed
      {"-", members},
  };
  for (const std::string& option : kOptions) {
    const Outcome expected = run(option, "in.gds", plain);
    ASSERT_EQ(expected.exitCode, 0) << option;
    for (const Input& input : inputs) {
      SCOPED_TRACE(option + " " + input.name + (input.bytes == plain ? " (plain)" : ""));
      expectSameOutcome(run(option, input.name, input.bytes), expected);
    }
  }
}

// A damaged or cut-short member reads like a plain file that ends where the good bytes end,
// with the damage line in place of the end-of-file line.
TEST(CompressedInput, DamagedDataIsReadUpToTheDamageThenEndsLikeTheFile) {
  const Bytes start = libraryStart();
  const Bytes rest = libraryRest();
  const Bytes all = joined({start, rest});
  const Bytes second = gzipMember(rest);
  Bytes badMethod = second;
  badMethod[2] = 7;  // not deflate
  Bytes badBlock = second;
  badBlock[10] |= 0x06;  // the first deflate block of the reserved type 3
  Bytes badTrailer = gzipMember(all);
  badTrailer[badTrailer.size() - 8] ^= 0xFF;  // the CRC, after every byte was inflated
  Bytes badFirstTrailer = gzipMember(start);
  badFirstTrailer[badFirstTrailer.size() - 8] ^= 0xFF;  // the CRC of a member another follows
  struct Case {
    const char* what;
    Bytes bytes;
    const Bytes& endsAs;  // the plain file it reads as
    bool damaged;
  };
  const Case cases[] = {
      {"cut short", joined({gzipMember(start), slice(second, 0, 14)}), start, true},
      {"unknown method", joined({gzipMember(start), badMethod}), start, true},
      {"invalid block", joined({gzipMember(start), badBlock}), start, true},
      {"clean but ending before ENDLIB", gzipMember(start), start, false},
      {"damaged after the last byte needed", badTrailer, all, false},
      {"wrong CRC of a member before the last", joined({badFirstTrailer, second}), start, true},
      // gzip writes and accepts a header with its own CRC.
      {"every header field and the header CRC", joined({gzipMember(start, "in.gds", true), second}),
       all, false},
      {"wrong header CRC", joined({gzipMember(start), gzipMember(rest, "", true, 1)}), start, true},
  };
  for (const std::string option : {"-i", "-r", "-rw"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(option + " " + c.what);
      Outcome expected = run(option, "in.gds", c.endsAs);
      if (c.damaged) {
        auto eof = std::find(expected.lines.begin(), expected.lines.end(),
                             "Error: Unexpected end of file.");
        ASSERT_NE(eof, expected.lines.end());
        *eof = "Error: Compressed data is damaged.";
      }
      expectSameOutcome(run(option, "in.gds.gz", c.bytes), expected);
    }
  }
}

TEST(CompressedInput, CutInsideTheDeflateDataPrintsEveryWholeRecordBeforeTheCut) {
  const Bytes plain = joined({libraryStart(), libraryRest()});
  const Bytes compressed = gzipMember(plain);
  const Outcome whole = run("-i", "in.gds", plain);
  const Outcome cut = run("-i", "in.gds.gz", slice(compressed, 0, compressed.size() / 2));
  EXPECT_EQ(cut.exitCode, 1);
  ASSERT_GT(cut.lines.size(), 5u);
  const std::vector<std::string> tail(cut.lines.end() - 4, cut.lines.end());
  EXPECT_EQ(tail[0], "Error: Compressed data is damaged.");
  EXPECT_EQ(tail[1], "GDS read error");
  EXPECT_EQ(tail[2].rfind("  at byte ", 0), 0u);  // where the damage stops the decompressed bytes
  EXPECT_EQ(tail[3], "Converting \"in.gds\" to ASCII stopped early.");
  const std::vector<std::string> printed(cut.lines.begin(), cut.lines.end() - 4);
  ASSERT_LT(printed.size(), whole.lines.size());
  EXPECT_TRUE(std::equal(printed.begin(), printed.end(), whole.lines.begin()));
  EXPECT_GT(printed.size(), whole.lines.size() / 4) << "the bytes before the cut are read";
}

TEST(CompressedOutput, GzNamesAreWrittenAsGzipThatReadsBackEqual) {
  TempDir dir;
  const Bytes plain = joined({libraryStart(), libraryRest()});
  writeBytes(dir.file("in.gds"), plain);
  ASSERT_EQ(runTessel({"-rw", "in.gds", "-o", "out.gds"}, dir.path().string()).exitCode, 0);
  const Bytes written = readBytes(dir.file("out.gds"));
  for (const std::string name : {"out.gds.gz", "OUT.GDS.GZ"}) {
    SCOPED_TRACE(name);
    const RunResult run = runTessel({"-rw", "in.gds", "-o", name}, dir.path().string());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.linesAfterBanner().back(), "Creating \"" + name + "\" done.");
    const Bytes compressed = readBytes(dir.file(name));
    ASSERT_GT(compressed.size(), 2u);
    EXPECT_LT(compressed.size(), written.size() / 3);
    EXPECT_TRUE(maskTimestamps(gunzip(compressed, 2 * written.size())) == maskTimestamps(written));
    if (std::system("gzip --version > /dev/null 2>&1") == 0) {
      EXPECT_EQ(std::system(("gzip -t " + dir.file(name)).c_str()), 0);
    }
    // Read back by Tessel itself, the same dump as the plain copy's but for the names of the
    // files and the times of writing.
    const RunResult dump = runTessel({"-i", name}, dir.path().string());
    EXPECT_EQ(dump.exitCode, 0);
    auto records = [](const RunResult& run) {
      std::vector<std::string> lines = run.linesAfterBanner();
      std::erase_if(lines, [](const std::string& line) {
        return line.starts_with("Converting ") || line.starts_with("[BGNLIB]") ||
               line.starts_with("[BGNSTR]");
      });
      return lines;
    };
    const std::vector<std::string> lines = records(dump);
    EXPECT_GT(lines.size(), 16000u);
    EXPECT_EQ(lines, records(runTessel({"-i", "out.gds"}, dir.path().string())));
  }
  // No temporary file is left beside the outputs.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4);
}

// A source that hands out one byte per read, as a slow pipe may.
class TrickleSource final : public ByteSource {
 public:
  explicit TrickleSource(const Bytes& bytes) : bytes_(bytes) {}
  long read(uint8_t* destination, size_t) override {
    if (position_ == bytes_.size()) return 0;
    *destination = bytes_[position_++];
    return 1;
  }

 private:
  const Bytes& bytes_;
  size_t position_ = 0;
};

// Everything `source` hands out, `step` bytes at most per read, and what ended it.
std::pair<Bytes, long> readAll(ByteSource& source, size_t step) {
  Bytes bytes;
  std::vector<uint8_t> buffer(step);
  for (;;) {
    const long count = source.read(buffer.data(), step);
    if (count <= 0) return {bytes, count};
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + count);
  }
}

TEST(GzipSource, HandsOutEveryInflatedByteInOrder) {
  const Bytes plain = joined({libraryStart(), libraryRest()});
  const size_t half = plain.size() / 2 + 3;
  const Bytes members =
      joined({gzipMember(slice(plain, 0, half)), gzipMember(slice(plain, half, plain.size()))});
  for (const size_t step : {size_t{1} << 20, size_t{4093}}) {
    SCOPED_TRACE(step);
    auto source = inflateIfCompressed(std::make_unique<TrickleSource>(members));
    const auto [bytes, end] = readAll(*source, step);
    EXPECT_EQ(end, 0);
    EXPECT_TRUE(bytes == plain);
    EXPECT_EQ(source->read(nullptr, 0), 0) << "the end stays the end";
  }
  // Plain bytes pass through unchanged, the first ones told apart from the magic and replayed.
  auto passed = inflateIfCompressed(std::make_unique<TrickleSource>(plain));
  EXPECT_TRUE(readAll(*passed, 7).first == plain);
  // Damage: the bytes before it, then kDataDamaged on every read.
  auto cut = inflateIfCompressed(
      std::make_unique<MemorySource>(std::span(members.data(), members.size() - 100)));
  const auto [before, end] = readAll(*cut, 65536);
  EXPECT_EQ(end, kDataDamaged);
  EXPECT_GT(before.size(), half);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), plain.begin()));
  uint8_t byte;
  EXPECT_EQ(cut->read(&byte, 1), kDataDamaged);
}

TEST(GzipSource, LeftBeforeItsEndStopsItsThread) {
  const Bytes compressed = gzipMember(joined({libraryStart(), libraryRest()}));
  for (const size_t taken : {size_t{0}, size_t{1}, size_t{1} << 20}) {
    auto source = inflateIfCompressed(std::make_unique<MemorySource>(compressed));
    std::vector<uint8_t> buffer(std::max<size_t>(taken, 1));
    if (taken > 0) {
      EXPECT_GT(source->read(buffer.data(), taken), 0);
    }
    // Released here while the inflater may still be working or waiting for room.
  }
}

}  // namespace
}  // namespace tessel::testing
