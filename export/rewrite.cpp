#include "export/rewrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "export/writer.h"
#include "hierarchy/summary_import.h"
#include "import/importer.h"
#include "import/library_reader.h"
#include "stream/console.h"
#include "stream/output_file.h"
#include "stream/parallel.h"

namespace tessel {

namespace {

// The byte buffers of large structures already written, kept for the structures encoded after
// them: filling a kept buffer costs no fresh pages, where a new one of megabytes costs a page
// fault every 4 KB. Only a few megabytes are kept, so that the buffers of a few huge structures
// are not all held.
class SpareBuffers {
 public:
  // An emptied buffer, or one without storage when none is kept.
  std::vector<uint8_t> take() {
    if (count_.load(std::memory_order_relaxed) == 0) return {};
    std::lock_guard lock(mutex_);
    if (buffers_.empty()) return {};
    std::vector<uint8_t> buffer = std::move(buffers_.back());
    buffers_.pop_back();
    kept_ -= buffer.capacity();
    count_.store(buffers_.size(), std::memory_order_relaxed);
    return buffer;
  }
  // Keeps `buffer` if it is large and there is room; otherwise it is freed.
  void giveBack(std::vector<uint8_t> buffer) {
    const size_t size = buffer.capacity();
    if (size < kSmallestKept) return;
    std::lock_guard lock(mutex_);
    if (kept_ + size > kMostKept) return;
    buffer.clear();
    kept_ += size;
    buffers_.push_back(std::move(buffer));
    count_.store(buffers_.size(), std::memory_order_relaxed);
  }

 private:
  static constexpr size_t kSmallestKept = size_t{256} << 10;
  static constexpr size_t kMostKept = size_t{16} << 20;
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> buffers_;
  size_t kept_ = 0;                // their capacity, in bytes
  std::atomic<size_t> count_ = 0;  // how many are kept: looked at without the lock
};

// The library header as the writer writes it, with the lines of what it refused.
struct EncodedHeader {
  std::vector<uint8_t> bytes;
  std::string messages;
};

EncodedHeader encodeHeader(const GdsLibrary& header) {
  RecordSink sink;
  sink.keepMessages();
  GdsWriter(sink).writeLibraryHeader(header.name, header.userUnit, header.meterUnit);
  return {{sink.bytes().begin(), sink.bytes().end()}, sink.messages()};
}

bool writeAll(int fd, const uint8_t* data, size_t size, off_t at) {
  while (size > 0) {
    const ssize_t count = ::pwrite(fd, data, size, at);
    if (count <= 0) return false;
    data += count;
    size -= static_cast<size_t>(count);
    at += count;
  }
  return true;
}

// Writes the file again with `header` in place of the `oldSize` bytes it starts with, and puts
// it in place of `target`.
bool commitWithHeader(OutputFile& file, const std::string& target, size_t oldSize,
                      const std::vector<uint8_t>& header) {
  OutputFile moved;
  if (!moved.open(target)) return false;
  const int from = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) return false;
  bool ok = writeAll(moved.fd(), header.data(), header.size(), 0);
  std::vector<uint8_t> buffer(size_t{1} << 20);
  off_t in = static_cast<off_t>(oldSize);
  off_t out = static_cast<off_t>(header.size());
  for (ssize_t count; ok && (count = ::pread(from, buffer.data(), buffer.size(), in)) > 0;) {
    ok = writeAll(moved.fd(), buffer.data(), static_cast<size_t>(count), out);
    in += count;
    out += count;
  }
  ::close(from);
  if (!ok || !moved.commit()) return false;
  file.abandon();
  return true;
}

}  // namespace

RewriteResult rewriteStream(ByteSource& source, const std::string& inputName,
                            const std::string& outputName) {
  OutputFile file;
  const bool opened = file.open(outputName);
  std::unique_ptr<RecordSink> output;
  if (opened && file.compressor())
    output = std::make_unique<RecordSink>(*file.compressor());
  else if (opened)
    output = std::make_unique<RecordSink>(file.fd());
  if (opened && file.replacesExisting()) output->startWritebackEarly();

  // Each structure is summed up and encoded on the thread that parsed it, and its bytes are
  // written in file order as soon as it enters the library.
  struct Encoded {
    StructureSummary summary;
    std::vector<uint8_t> bytes;
    std::string messages;  // of the records the writer refused
  };
  SummaryImport imported;
  SummaryBuilder builder(source, inputName, imported);
  std::vector<StructureEncoder> encoders(builder.threads());
  std::string refusals;  // of the structures, printed after the import's lines
  EncodedHeader written;
  bool headerWritten = false;
  SpareBuffers spares;
  ReadPlan<Encoded> plan;
  plan.threads = builder.threads();
  plan.work = [&](unsigned thread, GdsStructure& part, bool first, bool last, Encoded& encoded) {
    builder.summarize(thread, part, first, last, encoded.summary);
    if (!opened) return;
    StructureEncoder& encoder = encoders[thread];
    if (first) encoder.begin();
    encoder.add(part);
    if (!last) return;
    if (encoded.bytes.capacity() == 0) encoded.bytes = spares.take();
    encoder.finish(part, encoded.bytes, encoded.messages);
  };
  RecordReader reader(source);
  const bool whole =
      readLibrary(reader, plan, imported.header, [&](ParsedStructure<Encoded>& parsed) {
        Encoded& encoded = parsed.result;
        if (!builder.take(parsed, std::move(encoded.summary)) || !opened) return;
        if (!headerWritten) {
          written = encodeHeader(imported.header);
          output->put(written.bytes);
          headerWritten = true;
        }
        refusals += encoded.messages;
        output->put(encoded.bytes);
        // The bytes leave the slot at once: it may next hold a small structure, and a large
        // structure's bytes kept in every slot of the window would add up.
        spares.giveBack(std::move(encoded.bytes));
        encoded.bytes = std::vector<uint8_t>();
      });
  RewriteResult result;
  result.imported = builder.finish(whole);
  if (!opened) {
    printQuoted("Error: Cannot write ", outputName, ".");
    result.written = 1;
    return result;
  }
  if (result.imported != kImported) {
    // A library read only in part is not passed off as the file: an existing output stays as
    // it was. What already went to a pipe or a device ends without ENDLIB, so that no reader
    // takes it for a whole library.
    const bool direct = !file.writesTemporary();
    if (direct) output->flush();
    file.abandon();
    if (direct)
      printQuoted("Error: Only part of the library went to ", outputName, ", without ENDLIB.");
    else
      printQuoted("Error: Nothing written to ", outputName, ".");
    result.written = 1;
    return result;
  }
  const EncodedHeader header = encodeHeader(imported.header);
  if (!headerWritten) {
    written = header;
    output->put(written.bytes);
  }
  output->putHeader(kRecordHeaderSize, rec::ENDLIB);
  bool ok = output->flush();
  bool committed = false;
  // The header records can stand after the first structure, so the header written first is
  // not always the last word: the file gets the final one (a pipe, a device or a compressed
  // file keep the first).
  if (ok && written.bytes != header.bytes && file.writesTemporary() && !file.compressor()) {
    if (header.bytes.size() == written.bytes.size()) {
      ok = writeAll(file.fd(), header.bytes.data(), header.bytes.size(), 0);
    } else {
      ok = commitWithHeader(file, outputName, written.bytes.size(), header.bytes);
      committed = ok;
    }
  }
  printText(header.messages);
  printText(refusals);
  if (!ok || (!committed && !file.commit())) {
    file.abandon();
    printQuoted("Error: Cannot write ", outputName, ".");
    result.written = 1;
    return result;
  }
  printQuoted("Creating ", outputName, " done.");
  return result;
}

}  // namespace tessel
