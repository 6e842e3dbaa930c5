// Copying whole structures, byte for byte, from other stream files into the output.
#include <string>

#include "export/writer.h"
#include "stream/byte_source.h"
#include "stream/console.h"
#include "stream/decode.h"
#include "stream/diagnostics.h"
#include "stream/record_reader.h"

namespace tessel {

int GdsWriter::copyStructures(const std::string& sourceFile) {
  printQuoted("Copying GDS binaries from ", sourceFile, "");
  auto source = openInput(sourceFile);
  if (!source) {
    printQuoted("FAILED to open GDS file ", sourceFile, "");
    return 1;
  }
  auto& copied = copiedStructureNames();
  RecordReader reader(*source);
  RecordView record;
  bool inStructure = false;
  bool holding = true;     // nothing is written until the current structure's name is known
  bool inElement = false;  // an element of the structure being copied is open
  std::string name;
  StructureNameTracker reading;  // copied or not, for the line that says where the file broke
  for (;;) {
    const ReadStatus status = reader.next(record);
    if (status != ReadStatus::Record) {
      MessageSink().report(readStatusMessage(status), reader.nextPosition(), reading.name());
      // Close the structure being copied, so the output stays a well-formed stream.
      if (inStructure && !holding) {
        if (inElement) out.putHeader(kRecordHeaderSize, rec::ENDEL);
        out.putHeader(kRecordHeaderSize, rec::ENDSTR);
      }
      return 1;
    }
    const RecordCode code = record.code();
    if (code == rec::BGNSTR) inStructure = true;
    reading.see(record);
    if (code == rec::STRNAME && inStructure) {
      name.clear();
      appendText(record.span().subspan(kRecordHeaderSize), name);
      if (copied.count(name)) {
        printQuoted("Structure: ", name, " already copied.");
        inStructure = false;
        holding = false;
      } else {
        printQuoted("Structure: ", name, " copying");
        copied.insert(name);
        writeTimestampRecord(out, rec::BGNSTR);
        holding = false;
        inElement = false;
        out.put(record.span());
      }
    } else {
      if (code == rec::BGNSTR) holding = true;
      if (inStructure && !holding) {
        out.put(record.span());
        if (isElementStart(code)) inElement = true;
        if (code == rec::ENDEL) inElement = false;
      }
    }
    if (code == rec::ENDSTR) inStructure = false;
    if (code == rec::ENDLIB) {
      printQuoted("Copying GDS binaries of ", sourceFile, " done.");
      return 0;
    }
  }
}

}  // namespace tessel
