#include "stream/interpreter.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "stream/console.h"
#include "stream/decode.h"
#include "stream/diagnostics.h"
#include "stream/encode.h"
#include "stream/parallel.h"

namespace tessel {

namespace {

// Lines are formatted straight into one block, which either goes to standard output whenever
// it is full or, for a piece of the dump formatted on a helper thread, grows until the piece is
// printed.
class DumpWriter {
 public:
  explicit DumpWriter(bool toConsole = true)
      : toConsole_(toConsole), block_(toConsole ? kConsoleBlock : kPieceBlock) {}
  ~DumpWriter() {
    if (toConsole_) flush();
  }

  // Room for the line of a record of `length` bytes: at most 4 characters a byte (a bit array's
  // 6 bytes make 34), and the name.
  char* lineStart(size_t length) {
    const size_t room = 40 + 4 * length;
    if (block_.size() - used_ < room) {
      if (toConsole_) flush();
      if (block_.size() - used_ < room) block_.resize(std::max(2 * block_.size(), used_ + room));
    }
    return block_.data() + used_;
  }
  void lineEnd(char* end) { used_ = static_cast<size_t>(end - block_.data()); }
  std::string_view text() const { return {block_.data(), used_}; }
  void clear() { used_ = 0; }
  void flush() {
    if (used_ > 0) printText(text());
    used_ = 0;
  }

 private:
  static constexpr size_t kConsoleBlock = size_t{1} << 18;
  static constexpr size_t kPieceBlock = size_t{1} << 16;
  bool toConsole_;
  std::vector<char> block_;
  size_t used_ = 0;
};

char* putBinaryByte(char* out, uint8_t byte) {
  *out++ = '0';
  *out++ = 'b';
  for (int bit = 0; bit < 8; ++bit)
    *out++ = (byte & (0x80 >> bit)) ? '1' : '0';
  return out;
}

char* put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// True when the record's line can be formatted: it decodes and its code has a name.
bool formats(const uint8_t* record, size_t length) {
  return isDecodable(record, length) &&
         !recordNameView((RecordCode{record[2]} << 8) | record[3]).empty();
}

// The line of a record that formats, from its bytes, with the values decodeRecord gives.
void formatLine(const uint8_t* record, size_t length, DumpWriter& writer) {
  const RecordCode code = (RecordCode{record[2]} << 8) | record[3];
  const size_t payload = length - kRecordHeaderSize;
  char* out = writer.lineStart(length);
  *out++ = '[';
  out = put(out, recordNameView(code));
  *out++ = ']';
  switch (code & 0xFF) {
    case dtype::NONE:
      break;
    case dtype::BITS:
      out = put(out, ":{");
      out = putBinaryByte(out, record[4]);
      *out++ = ' ';
      out = putBinaryByte(out, record[5]);
      *out++ = '}';
      break;
    case dtype::INT2:
    case dtype::INT4: {
      const int width = (code & 0xFF) == dtype::INT2 ? 2 : 4;
      out = put(out, ":{");
      for (size_t i = 0; i < payload / width; ++i) {
        if (i > 0) out = put(out, ", ");
        const auto value = static_cast<int32_t>(
            readBigEndian(record, static_cast<long>(kRecordHeaderSize + width * i), width));
        out = std::to_chars(out, out + 16, value).ptr;
      }
      *out++ = '}';
      break;
    }
    case dtype::REAL8:
      out = put(out, ":{");
      for (size_t i = 0; i < payload / 8; ++i) {
        if (i > 0) out = put(out, ", ");
        // The same text as printf's "%.12g".
        const double value = decodeReal8(record + kRecordHeaderSize + 8 * i);
        out = std::to_chars(out, out + 32, value, std::chars_format::general, 12).ptr;
      }
      *out++ = '}';
      break;
    default: {  // ASCII, without its NUL bytes
      out = put(out, ":{");
      const uint8_t* p = record + kRecordHeaderSize;
      for (const uint8_t* end = record + length; p < end; ++p)
        if (*p != 0) *out++ = static_cast<char>(*p);
      *out++ = '}';
      break;
    }
  }
  *out++ = '\n';
  writer.lineEnd(out);
}

// Prints the record's line, or the reason it has none. Returns 0 when printed, 1 when the dump
// must stop.
int formatRecord(const RecordView& record, DumpWriter& writer) {
  if (formats(record.bytes, record.length)) {
    formatLine(record.bytes, record.length, writer);
    return 0;
  }
  // decodeRecord prints its own lines for what it refuses; a record that decodes has no name.
  writer.flush();
  RecordCode code = 0;
  uint16_t bits = 0;
  std::vector<int32_t> ints;
  std::vector<double> reals;
  std::string text;
  if (decodeRecord(record.span(), code, bits, ints, reals, text) == 0)
    printCodeMessage("Key not found: ", code);
  return 1;
}

// A piece of the dump: whole records that all format, where the reader read them, and their
// lines.
struct DumpPiece {
  HeldRecords records;
  DumpWriter lines{false};
};

// The bytes of records in one piece: small enough that a window of pieces stays a few megabytes,
// large enough that handing them between threads costs little.
constexpr size_t kPieceBytes = size_t{1} << 16;

}  // namespace

int printRecord(const RecordView& record) {
  DumpWriter writer;
  return formatRecord(record, writer);
}

int interpretStream(ByteSource& source, const std::string& fileName) {
  printQuoted("Converting ", fileName, " to ASCII.");
  RecordReader reader(source);
  // Pieces of whole records that all format are cut here, formatted on every core and printed
  // in order. The dump ends at ENDLIB, or at the record or the end of the file that stops it,
  // which is dealt with here once every piece before it is printed.
  bool reachedEnd = false;  // ENDLIB, the end of the file, or a record that stops the dump
  bool endlib = false;
  ReadStatus status = ReadStatus::Record;
  StructureNameTracker structure;  // for the line that says where the dump stopped
  auto cut = [&](DumpPiece& piece) {
    // Once standard output fails there is no point in formatting the rest.
    if (reachedEnd || consoleFailed()) return false;
    piece.records.clear();
    size_t pieceBytes = 0;
    auto visit = [&](const RecordView& record) {
      if (pieceBytes >= kPieceBytes) return Walk::Stop;
      if (!formats(record.bytes, record.length)) {
        reachedEnd = true;
        return Walk::Stop;
      }
      structure.see(record);
      pieceBytes += record.length;
      if (record.code() == rec::ENDLIB) {
        endlib = reachedEnd = true;
        return Walk::TakeAndStop;
      }
      return Walk::Take;
    };
    auto keep = [&](std::span<const uint8_t> run) { piece.records.add(reader, run); };
    status = reader.walk(visit, keep);
    if (status != ReadStatus::Record) reachedEnd = true;
    return !piece.records.empty() || !reachedEnd;
  };
  auto format = [](DumpPiece& piece, unsigned) {
    piece.lines.clear();
    for (const HeldRecords::Run& run : piece.records.runs()) {
      const uint8_t* at = run.bytes.data();
      const uint8_t* const end = at + run.bytes.size();
      while (at < end) {
        const size_t length = readBigEndian(at, 0, 2);
        formatLine(at, length, piece.lines);
        at += length;
      }
    }
  };
  auto print = [](DumpPiece& piece) { printText(piece.lines.text()); };
  runInOrder<DumpPiece>(workThreads(), 2 * size_t{workThreads()}, cut, format, print);

  int result = 0;
  if (!endlib && reachedEnd) {
    RecordPosition position = reader.nextPosition();
    if (status != ReadStatus::Record) {
      printLine(readStatusMessage(status));
    } else {
      RecordView stopper;
      reader.next(stopper);  // the record that does not format, still in the reader
      position = reader.lastPosition();
      DumpWriter writer;
      formatRecord(stopper, writer);
    }
    MessageSink().report("GDS read error", position, structure.name());
    result = 1;
  } else if (!endlib) {
    result = 1;  // standard output failed
  }
  printQuoted("Converting ", fileName,
              result == 0 ? " to ASCII done." : " to ASCII stopped early.");
  return result;
}

int interpretStream(const std::string& fileName) {
  auto source = openStreamFile(fileName);
  return source ? interpretStream(*source, fileName) : 1;
}

}  // namespace tessel
