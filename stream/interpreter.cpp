#include "stream/interpreter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
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
// printed. The block is not cleared when it grows: its pages are touched only as lines are
// written.
class DumpWriter {
 public:
  explicit DumpWriter(bool toConsole = true) : toConsole_(toConsole) {}
  ~DumpWriter() {
    if (toConsole_) flush();
  }

  // Room for `room` more characters, where the next ones go.
  char* reserve(size_t room) {
    if (capacity_ - used_ < room) {
      if (toConsole_) flush();
      if (capacity_ - used_ < room) grow(used_ + room);
    }
    return block_.get() + used_;
  }
  void lineEnd(char* end) { used_ = static_cast<size_t>(end - block_.get()); }
  std::string_view text() const { return {block_.get(), used_}; }
  void clear() { used_ = 0; }
  void flush() {
    if (used_ > 0) printText(text());
    used_ = 0;
  }

 private:
  static constexpr size_t kFirstBlock = size_t{1} << 16;

  void grow(size_t needed) {
    const size_t capacity = std::max({needed, 2 * capacity_, kFirstBlock});
    auto block = std::make_unique_for_overwrite<char[]>(capacity);
    if (used_ > 0) std::memcpy(block.get(), block_.get(), used_);
    block_ = std::move(block);
    capacity_ = capacity;
  }

  bool toConsole_;
  std::unique_ptr<char[]> block_;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

// How the dump prints the records of one record type: the line's start ("[XY]:{") padded to a
// fixed width so it is copied in one move.
struct LineFormat {
  RecordCode code = -1;  // the only code of the type with a name; -1 when the type has none
  uint8_t prefixLength = 0;
  std::array<char, 16> prefix{};
};

constexpr int kLineTypes = 256;

constexpr std::array<LineFormat, kLineTypes> buildLineFormats() {
  std::array<LineFormat, kLineTypes> table{};
  for (const auto& named : record_names::kNamedRecords) {
    LineFormat& format = table[named.code >> 8];
    format.code = named.code;
    size_t length = 0;
    format.prefix[length++] = '[';
    for (char c : named.name)
      format.prefix[length++] = c;
    format.prefix[length++] = ']';
    const int dataType = named.code & 0xFF;
    if (dataType != dtype::NONE) {
      format.prefix[length++] = ':';
      format.prefix[length++] = '{';
    }
    format.prefixLength = static_cast<uint8_t>(length);
  }
  return table;
}

constexpr std::array<LineFormat, kLineTypes> kLineFormats = buildLineFormats();

// True when the record's line can be formatted: its code has a name and it decodes.
inline bool formats(const uint8_t* record, size_t length) {
  return kLineFormats[record[2]].code == ((RecordCode{record[2]} << 8) | record[3]) &&
         isDecodable(record, length);
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline int decimalDigits(uint64_t value) {
  int digits = 1;
  for (;;) {
    if (value < 10) return digits;
    if (value < 100) return digits + 1;
    if (value < 1000) return digits + 2;
    if (value < 10000) return digits + 3;
    value /= 10000;
    digits += 4;
  }
}

// The decimal digits of `value`, two at a time from the right.
inline char* putUnsigned(char* out, uint64_t value) {
  char* const end = out + decimalDigits(value);
  char* at = end;
  while (value >= 100) {
    const auto pair = static_cast<size_t>(value % 100);
    value /= 100;
    at -= 2;
    std::memcpy(at, kDigitPairs + 2 * pair, 2);
  }
  if (value >= 10) {
    std::memcpy(at - 2, kDigitPairs + 2 * value, 2);
  } else {
    at[-1] = static_cast<char>('0' + value);
  }
  return end;
}

inline char* putSigned(char* out, int64_t value) {
  *out = '-';
  out += value < 0;
  return putUnsigned(out,
                     value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
}

// The same text as printf's "%.12g". Whole numbers below 10^12, the angles and magnifications
// most files hold, are printed as integers without the general conversion.
inline char* putReal(char* out, double value) {
  constexpr double kWholeLimit = 1e12;
  const double magnitude = std::fabs(value);
  if (magnitude < kWholeLimit && magnitude == std::floor(magnitude)) {
    *out = '-';
    out += std::signbit(value);
    return putUnsigned(out, static_cast<uint64_t>(magnitude));
  }
  return std::to_chars(out, out + 32, value, std::chars_format::general, 12).ptr;
}

char* putBinaryByte(char* out, uint8_t byte) {
  *out++ = '0';
  *out++ = 'b';
  for (int bit = 0; bit < 8; ++bit)
    *out++ = (byte & (0x80 >> bit)) ? '1' : '0';
  return out;
}

char* putSeparator(char* out) {
  out[0] = ',';
  out[1] = ' ';
  return out + 2;
}

// Room for the line of a record of `length` bytes: at most 4 characters a byte (a bit array's
// 6 bytes make 34), and the name. As a record has at least 4 bytes, the lines of a run of
// records take at most kLineRoomPerByte characters a byte.
constexpr size_t lineRoom(size_t length) {
  return 40 + 4 * length;
}
constexpr size_t kLineRoomPerByte = 14;

// Writes the line of a record that formats, from its bytes, with the values decodeRecord gives,
// at `out`, which has lineRoom(length) characters of room. Returns the end of the line.
char* formatLine(const uint8_t* record, size_t length, char* out) {
  const LineFormat& format = kLineFormats[record[2]];
  const uint8_t* payload = record + kRecordHeaderSize;
  const uint8_t* const end = record + length;
  std::memcpy(out, format.prefix.data(), format.prefix.size());
  out += format.prefixLength;
  switch (record[3]) {
    case dtype::NONE:
      break;
    case dtype::BITS:
      out = putBinaryByte(out, payload[0]);
      *out++ = ' ';
      out = putBinaryByte(out, payload[1]);
      *out++ = '}';
      break;
    case dtype::INT2:
      for (const uint8_t* at = payload; at < end; at += 2) {
        if (at > payload) out = putSeparator(out);
        out = putUnsigned(out, readBigEndian(at, 0, 2));  // two-byte integers print unsigned
      }
      *out++ = '}';
      break;
    case dtype::INT4:
      for (const uint8_t* at = payload; at < end; at += 4) {
        if (at > payload) out = putSeparator(out);
        out = putSigned(out, static_cast<int32_t>(readBigEndian(at, 0, 4)));
      }
      *out++ = '}';
      break;
    case dtype::REAL8:
      for (const uint8_t* at = payload; at < end; at += 8) {
        if (at > payload) out = putSeparator(out);
        out = putReal(out, decodeReal8(at));
      }
      *out++ = '}';
      break;
    default:  // ASCII, without its NUL bytes
      for (const uint8_t* at = payload; at < end; ++at) {
        *out = static_cast<char>(*at);
        out += *at != 0;
      }
      *out++ = '}';
      break;
  }
  *out++ = '\n';
  return out;
}

// Prints the record's line, or the reason it has none. Returns 0 when printed, 1 when the dump
// must stop.
int formatRecord(const RecordView& record, DumpWriter& writer) {
  if (formats(record.bytes, record.length)) {
    writer.lineEnd(
        formatLine(record.bytes, record.length, writer.reserve(lineRoom(record.length))));
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
      pieceBytes += record.length;
      // Only the records up to ENDSTR (type 7) open, name or close a structure or the library.
      if (record.bytes[2] <= (rec::ENDSTR >> 8)) {
        structure.see(record);
        if (record.code() == rec::ENDLIB) {
          endlib = reachedEnd = true;
          return Walk::TakeAndStop;
        }
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
    char* out = piece.lines.reserve(kLineRoomPerByte * piece.records.size());
    for (const HeldRecords::Run& run : piece.records.runs()) {
      const uint8_t* at = run.bytes.data();
      const uint8_t* const end = at + run.bytes.size();
      while (at < end) {
        const size_t length = readBigEndian(at, 0, 2);
        out = formatLine(at, length, out);
        at += length;
      }
    }
    piece.lines.lineEnd(out);
  };
  auto print = [](DumpPiece& piece) { printText(piece.lines.text()); };
  // Four pieces a thread: a window that keeps every thread busy while one piece takes longer.
  runInOrder<DumpPiece>(workThreads(), 4 * size_t{workThreads()}, cut, format, print);

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
