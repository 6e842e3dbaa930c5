#include "stream/interpreter.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "stream/console.h"
#include "stream/decode.h"
#include "stream/encode.h"

namespace tessel {

namespace {

// Lines are formatted straight into one large block that goes to standard output whole; the
// longest line (an XY record of 8191 points, a 65531-byte string) fits in the reserve.
class DumpWriter {
 public:
  DumpWriter() : block_(kBlockSize + kReserve) {}
  ~DumpWriter() { flush(); }

  // Room for one more line; hands the block over when it is nearly full.
  char* lineStart() {
    if (used_ > kBlockSize) flush();
    return block_.data() + used_;
  }
  void lineEnd(char* end) { used_ = static_cast<size_t>(end - block_.data()); }
  void flush() {
    if (used_ > 0) printText(std::string_view(block_.data(), used_));
    used_ = 0;
  }

 private:
  static constexpr size_t kBlockSize = size_t{1} << 18;
  static constexpr size_t kReserve = size_t{1} << 18;
  std::vector<char> block_;
  size_t used_ = 0;
};

// Scratch storage reused for every record of one dump.
struct DumpScratch {
  RecordCode code = 0;
  uint16_t bits = 0;
  std::vector<int32_t> ints;
  std::vector<double> reals;
  std::string text;
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

int formatRecord(const RecordView& record, DumpScratch& s, DumpWriter& writer) {
  if (record.bytes[3] > dtype::ASCII) writer.flush();  // the decoder prints its own line
  if (decodeRecord(record.span(), s.code, s.bits, s.ints, s.reals, s.text) != 0) return 1;
  const std::string_view name = recordNameView(s.code);
  if (name.empty()) {
    writer.flush();
    printCodeMessage("Key not found: ", s.code);
    return 1;
  }
  char* out = writer.lineStart();
  *out++ = '[';
  out = put(out, name);
  *out++ = ']';
  switch (s.code & 0xFF) {
    case dtype::NONE:
      break;
    case dtype::BITS:
      out = put(out, ":{");
      out = putBinaryByte(out, record.bytes[4]);
      *out++ = ' ';
      out = putBinaryByte(out, record.bytes[5]);
      *out++ = '}';
      break;
    case dtype::INT2:
    case dtype::INT4:
      out = put(out, ":{");
      for (size_t i = 0; i < s.ints.size(); ++i) {
        if (i > 0) out = put(out, ", ");
        out = std::to_chars(out, out + 16, s.ints[i]).ptr;
      }
      *out++ = '}';
      break;
    case dtype::REAL8:
      out = put(out, ":{");
      for (size_t i = 0; i < s.reals.size(); ++i) {
        if (i > 0) out = put(out, ", ");
        // The same text as printf's "%.12g".
        out = std::to_chars(out, out + 32, s.reals[i], std::chars_format::general, 12).ptr;
      }
      *out++ = '}';
      break;
    default:  // ASCII
      out = put(out, ":{");
      out = put(out, s.text);
      *out++ = '}';
      break;
  }
  *out++ = '\n';
  writer.lineEnd(out);
  return 0;
}

}  // namespace

int printRecord(const RecordView& record) {
  DumpScratch scratch;
  DumpWriter writer;
  return formatRecord(record, scratch, writer);
}

int interpretStream(ByteSource& source, const std::string& fileName) {
  printQuoted("Converting ", fileName, " to ASCII.");
  RecordReader reader(source);
  DumpScratch scratch;
  DumpWriter writer;
  RecordView record;
  int result = 1;
  for (;;) {
    const ReadStatus status = reader.next(record);
    if (status != ReadStatus::Record) {
      writer.flush();
      printLine(readStatusMessage(status));
      printLine("GDS read error");
      break;
    }
    if (formatRecord(record, scratch, writer) != 0) {
      writer.flush();
      printLine("GDS read error");
      break;
    }
    if (record.code() == rec::ENDLIB) {
      result = 0;
      break;
    }
  }
  writer.flush();
  printQuoted("Converting ", fileName, " to ASCII done.");
  return result;
}

int interpretStream(const std::string& fileName) {
  auto source = FileSource::open(fileName);
  if (!source) {
    printQuoted("Error: GDS file ", fileName, " FAILED to be opened.");
    return 1;
  }
  return interpretStream(*source, fileName);
}

}  // namespace tessel
