// tessel -rw when the output cannot be written, when the input cannot be opened or is damaged,
// and when it writes over its own input: a failed write never touches the file that was there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "import/importer.h"
#include "support/support.h"
#include "support/written.h"

namespace tessel::testing {
namespace {

namespace fs = std::filesystem;

// Every file below `root` with its bytes (directories as empty entries), to see that a failed
// write changed nothing and left no temporary file behind.
std::map<std::string, Bytes> snapshot(const fs::path& root) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    files[name] = entry.is_regular_file() ? readBytes(entry.path().string()) : Bytes{};
  }
  return files;
}

Bytes smallLibrary() {
  return StreamBuilder()
      .libraryHeader()
      .beginStructure("cell")
      .boundary(1, {0, 0, 10, 0, 10, 10, 0, 0})
      .endStructure()
      .endLibrary()
      .bytes();
}

const Bytes kOldBytes = {'o', 'l', 'd'};

std::vector<std::string> failedWriteLines(const std::string& input, const std::string& target) {
  return {"Importing \"" + input + "\" into Tessel.", "Reached end of library.",
          "GDS file successfully imported.", "Error: Cannot write \"" + target + "\"."};
}

// Runs -rw into `target` and expects the write to fail without changing anything in `watched`.
void expectWriteFails(const TempDir& dir, const std::string& target, const fs::path& watched) {
  const auto before = snapshot(watched);
  const RunResult run = runTessel({"-rw", "in.gds", "-o", target}, dir.path().string());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.linesAfterBanner(), failedWriteLines("in.gds", target));
  EXPECT_EQ(snapshot(watched), before);
}

TEST(WriteFailure, UnwritableTargets) {
  TempDir dir;
  writeBytes(dir.file("in.gds"), smallLibrary());
  writeBytes(dir.file("plain.txt"), kOldBytes);
  fs::create_directory(dir.path() / "folder");
  writeBytes(dir.file("folder/inside.txt"), kOldBytes);
  fs::create_symlink("/dev/full", dir.path() / "full.gz");

  const char* targets[] = {
      "missing/out.gds",    // a directory that does not exist
      "plain.txt/out.gds",  // a path through a regular file
      "folder",             // an existing directory
      "/dev/full",          // a device that refuses every byte
      "full.gz",            // the same device, written compressed
  };
  for (const char* target : targets) {
    SCOPED_TRACE(target);
    expectWriteFails(dir, target, dir.path());
  }
}

#ifdef __linux__
// A small tmpfs mounted for one test; needs the right to mount (root in CI).
class SmallTmpfs {
 public:
  SmallTmpfs(const fs::path& path, const char* size) : path_(path) {
    fs::create_directory(path_);
    const std::string options = std::string("size=") + size;
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallTmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool mounted() const { return mounted_; }
  bool makeReadOnly() {
    return ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  fs::path path_;
  bool mounted_ = false;
};
#endif

TEST(WriteFailure, ReadOnlyDirectoryKeepsTheOldFile) {
  TempDir dir;
  writeBytes(dir.file("in.gds"), smallLibrary());
  const fs::path locked = dir.path() / "locked";
  if (::geteuid() != 0) {
    fs::create_directory(locked);
    writeBytes((locked / "out.gds").string(), kOldBytes);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    expectWriteFails(dir, "locked/out.gds", locked);
    return;
  }
#ifdef __linux__
  // Permission bits do not stop root: a read-only mount does.
  SmallTmpfs mount(locked, "64k");
  if (!mount.mounted()) GTEST_SKIP() << "Running as root without the right to mount a tmpfs.";
  writeBytes((locked / "out.gds").string(), kOldBytes);
  ASSERT_TRUE(mount.makeReadOnly());
  expectWriteFails(dir, "locked/out.gds", locked);
#else
  GTEST_SKIP() << "Running as root: permission bits do not stop the write.";
#endif
}

TEST(WriteFailure, FullDeviceKeepsTheOldFile) {
#ifdef __linux__
  TempDir dir;
  std::vector<int32_t> xy(16000);  // 8000 points, one XY record each
  for (size_t i = 0; i < xy.size(); ++i)
    xy[i] = static_cast<int32_t>(i);
  StreamBuilder big;
  big.libraryHeader().beginStructure("big");
  for (int path = 0; path < 5; ++path)
    big.none(rec::PATH).int2(rec::LAYER, {1}).int4(rec::XY, xy).none(rec::ENDEL);
  writeBytes(dir.file("in.gds"), big.endStructure().endLibrary().bytes());  // about 320 kB

  const fs::path small = dir.path() / "small";
  SmallTmpfs mount(small, "64k");
  if (!mount.mounted()) GTEST_SKIP() << "No right to mount a small tmpfs for a full device.";
  writeBytes((small / "out.gds").string(), kOldBytes);
  expectWriteFails(dir, "small/out.gds", small);
#else
  GTEST_SKIP() << "Mounting a small file system is only set up on Linux.";
#endif
}

TEST(WriteFailure, InputThatCannotBeOpenedWritesNothing) {
  TempDir dir;
  writeBytes(dir.file("out.gds"), kOldBytes);
  const auto before = snapshot(dir.path());
  const RunResult run = runTessel({"-rw", "missing.gds", "-o", "out.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.linesAfterBanner(),
            (std::vector<std::string>{"Error: GDS file \"missing.gds\" FAILED to be opened."}));
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(ReadWrite, WritesOverItsOwnInput) {
  TempDir dir;
  writeBytes(dir.file("same.gds"), smallLibrary());
  writeBytes(dir.file("in.gds"), smallLibrary());
  const RunResult other = runTessel({"-rw", "in.gds", "-o", "other.gds"}, dir.path().string());
  ASSERT_EQ(other.exitCode, 0);

  const RunResult run = runTessel({"-rw", "same.gds", "-o", "same.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(
      run.linesAfterBanner(),
      (std::vector<std::string>{"Importing \"same.gds\" into Tessel.", "Reached end of library.",
                                "GDS file successfully imported.", "Creating \"same.gds\" done."}));
  const Bytes written = readBytes(dir.file("same.gds"));
  EXPECT_NE(written, smallLibrary());
  EXPECT_EQ(maskTimestamps(written), maskTimestamps(readBytes(dir.file("other.gds"))));
  auto files = snapshot(dir.path());
  EXPECT_EQ(files.size(), 3u) << "only in.gds, other.gds and same.gds";

  // Through a symbolic link or a second name of the same file.
  writeBytes(dir.file("same.gds"), smallLibrary());
  fs::create_symlink("same.gds", dir.path() / "link.gds");
  fs::create_hard_link(dir.path() / "same.gds", dir.path() / "second.gds");
  for (const std::string target : {"link.gds", "second.gds"}) {
    SCOPED_TRACE(target);
    const RunResult linked = runTessel({"-rw", "same.gds", "-o", target}, dir.path().string());
    EXPECT_EQ(linked.exitCode, 0);
    EXPECT_EQ(maskTimestamps(readBytes(dir.file(target))),
              maskTimestamps(readBytes(dir.file("other.gds"))));
  }
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.gds"));
}

// A library read only in part is never passed off as the file: an existing output keeps its
// bytes, and none is created.
TEST(ReadWrite, DamagedInputLeavesTheOutputAsItWas) {
  TempDir dir;
  Bytes damaged = StreamBuilder()
                      .libraryHeader()
                      .beginStructure("kept")
                      .boundary(1, {0, 0, 10, 0, 10, 10, 0, 0})
                      .endStructure()
                      .raw({0x00, 0x1C, 0x05, 0x02, 0x07})  // BGNSTR cut short
                      .bytes();
  writeBytes(dir.file("in.gds"), damaged);
  for (const std::string target : {"out.gds", "out.gds.gz", "new.gds"}) {
    SCOPED_TRACE(target);
    if (target != "new.gds") writeBytes(dir.file(target), kOldBytes);
    const auto before = snapshot(dir.path());
    const RunResult run = runTessel({"-rw", "in.gds", "-o", target}, dir.path().string());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(
        run.linesAfterBanner(),
        (std::vector<std::string>{
            "Importing \"in.gds\" into Tessel.", "Error: Unexpected end of file.", at(160, 13),
            "GDS file partly imported.", "Error: Nothing written to \"" + target + "\"."}));
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

// A record of a type GDSII does not define, inside an element: reported once, where it stands,
// and the import is partial, so nothing is written.
TEST(ReadWrite, UnknownRecordInsideAnElementFailsTheRewrite) {
  TempDir dir;
  StreamBuilder file;
  file.libraryHeader().beginStructure("TOP").none(rec::BOUNDARY).int2(rec::LAYER, {1});
  const std::string damageAt = file.nextAt("TOP");
  file.int2(0x4002, {7})  // no such record type
      .int2(rec::DATATYPE, {0})
      .int4(rec::XY, {0, 0, 10, 0, 10, 10, 0, 0})
      .none(rec::ENDEL)
      .endStructure()
      .endLibrary();
  writeBytes(dir.file("in.gds"), file.bytes());
  writeBytes(dir.file("out.gds"), kOldBytes);
  const RunResult run = runTessel({"-rw", "in.gds", "-o", "out.gds"}, dir.path().string());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(
      run.linesAfterBanner(),
      (std::vector<std::string>{"Importing \"in.gds\" into Tessel.", "Error: Unrecognized record.",
                                damageAt, "Reached end of library.", "GDS file partly imported.",
                                "Error: Nothing written to \"out.gds\"."}));
  EXPECT_EQ(readBytes(dir.file("out.gds")), kOldBytes);
}

// The input is never the output: an -o operand named first gives way to standard input, or the
// run is refused.
TEST(ReadWrite, OutputOperandIsNeverReadAsTheInput) {
  TempDir dir;
  writeBytes(dir.file("in.gds"), smallLibrary());
  writeBytes(dir.file("out.gds"), kOldBytes);
  const RunResult refused = runTessel({"-rw", "-o", "out.gds"}, dir.path().string());
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_EQ(
      refused.linesAfterBanner(),
      (std::vector<std::string>{"Error: \"out.gds\" is the output file, not a file to read."}));
  EXPECT_EQ(readBytes(dir.file("out.gds")), kOldBytes);

  const RunResult piped =
      runTessel({"-rw", "-", "-o", "out.gds"}, dir.path().string(), "", "", dir.file("in.gds"));
  EXPECT_EQ(piped.exitCode, 0);
  EXPECT_EQ(
      piped.linesAfterBanner(),
      (std::vector<std::string>{"Importing \"-\" into Tessel.", "Reached end of library.",
                                "GDS file successfully imported.", "Creating \"out.gds\" done."}));
  const RunResult copy = runTessel({"-rw", "in.gds", "-o", "copy.gds"}, dir.path().string());
  ASSERT_EQ(copy.exitCode, 0);
  EXPECT_EQ(maskTimestamps(readBytes(dir.file("out.gds"))),
            maskTimestamps(readBytes(dir.file("copy.gds"))));
}

}  // namespace
}  // namespace tessel::testing
