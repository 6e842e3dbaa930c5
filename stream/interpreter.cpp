#include "stream/interpreter.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "stream/console.h"
#include "stream/decode.h"
#include "stream/encode.h"

namespace tessel {

namespace {

// Scratch storage reused for every record of one dump.
struct DumpScratch {
  RecordCode code = 0;
  uint16_t bits = 0;
  std::vector<int32_t> ints;
  std::vector<double> reals;
  std::string text;
  std::string line;
};

void appendBinaryByte(std::string& line, uint8_t byte) {
  char digits[10] = {'0', 'b'};
  for (int bit = 0; bit < 8; ++bit) digits[2 + bit] = (byte & (0x80 >> bit)) ? '1' : '0';
  line.append(digits, 10);
}

int formatRecord(const RecordView& record, DumpScratch& s) {
  if (decodeRecord(record.span(), s.code, s.bits, s.ints, s.reals, s.text) != 0) return 1;
  const std::string_view name = recordNameView(s.code);
  if (name.empty()) {
    printCodeMessage("Key not found: ", s.code);
    return 1;
  }
  std::string& line = s.line;
  line.clear();
  line.push_back('[');
  line.append(name);
  line.push_back(']');
  char number[40];
  switch (s.code & 0xFF) {
    case dtype::NONE:
      break;
    case dtype::BITS:
      line.append(":{");
      appendBinaryByte(line, record.bytes[4]);
      line.push_back(' ');
      appendBinaryByte(line, record.bytes[5]);
      line.push_back('}');
      break;
    case dtype::INT2:
    case dtype::INT4:
      line.append(":{");
      for (size_t i = 0; i < s.ints.size(); ++i) {
        if (i > 0) line.append(", ");
        auto result = std::to_chars(number, number + sizeof number, s.ints[i]);
        line.append(number, result.ptr);
      }
      line.push_back('}');
      break;
    case dtype::REAL8:
      line.append(":{");
      for (size_t i = 0; i < s.reals.size(); ++i) {
        if (i > 0) line.append(", ");
        // The same text as printf's "%.12g".
        auto result = std::to_chars(number, number + sizeof number, s.reals[i],
                                    std::chars_format::general, 12);
        line.append(number, result.ptr);
      }
      line.push_back('}');
      break;
    default:  // ASCII
      line.append(":{");
      line.append(s.text);
      line.push_back('}');
      break;
  }
  line.push_back('\n');
  printText(line);
  return 0;
}

}  // namespace

int printRecord(const RecordView& record) {
  DumpScratch scratch;
  return formatRecord(record, scratch);
}

int interpretStream(ByteSource& source, const std::string& fileName) {
  printQuoted("Converting ", fileName, " to ASCII.");
  RecordReader reader(source);
  DumpScratch scratch;
  RecordView record;
  int result = 1;
  for (;;) {
    const ReadStatus status = reader.next(record);
    if (status != ReadStatus::Record) {
      printLine(readStatusMessage(status));
      printLine("GDS read error");
      break;
    }
    if (formatRecord(record, scratch) != 0) {
      printLine("GDS read error");
      break;
    }
    if (record.code() == rec::ENDLIB) {
      result = 0;
      break;
    }
  }
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
