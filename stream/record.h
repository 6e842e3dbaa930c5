// Record framing shared by every reader and writer: record codes, the record-name table and
// big-endian reads.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessel {

// Record type * 256 + data type, both bytes unsigned.
using RecordCode = int32_t;

// Every record code the readers and writers name, with the name the dump prints: the one list
// behind both the constants below and the dump's table.
#define TESSEL_NAMED_RECORDS(X)           \
  X(HEADER, 0x0002, "HEADER")             \
  X(BGNLIB, 0x0102, "BGNLIB")             \
  X(LIBNAME, 0x0206, "LIBNAME")           \
  X(UNITS, 0x0305, "UNITS")               \
  X(ENDLIB, 0x0400, "ENDLIB")             \
  X(BGNSTR, 0x0502, "BGNSTR")             \
  X(STRNAME, 0x0606, "STRNAME")           \
  X(ENDSTR, 0x0700, "ENDSTR")             \
  X(BOUNDARY, 0x0800, "BOUNDARY")         \
  X(PATH, 0x0900, "PATH")                 \
  X(SREF, 0x0A00, "SREF")                 \
  X(AREF, 0x0B00, "AREF")                 \
  X(TEXT, 0x0C00, "TEXT")                 \
  X(LAYER, 0x0D02, "LAYER")               \
  X(DATATYPE, 0x0E02, "DATATYPE")         \
  X(WIDTH, 0x0F03, "WIDTH")               \
  X(XY, 0x1003, "XY")                     \
  X(ENDEL, 0x1100, "ENDEL")               \
  X(SNAME, 0x1206, "SNAME")               \
  X(COLROW, 0x1302, "COLROW")             \
  X(NODE, 0x1500, "NODE")                 \
  X(TEXTTYPE, 0x1602, "TEXTTYPE")         \
  X(PRESENTATION, 0x1701, "PRESENTATION") \
  X(STRING, 0x1906, "STRING")             \
  X(STRANS, 0x1A01, "STRANS")             \
  X(MAG, 0x1B05, "MAG")                   \
  X(ANGLE, 0x1C05, "ANGLE")               \
  X(REFLIBS, 0x1F06, "REFLIBS")           \
  X(FONTS, 0x2006, "FONTS")               \
  X(PATHTYPE, 0x2102, "PATHTYPE")         \
  X(GENERATIONS, 0x2202, "GENERATIONS")   \
  X(ATTRTABLE, 0x2306, "ATTRTABLE")       \
  X(EFLAGS, 0x2601, "EFLAGS")             \
  X(NODETYPE, 0x2A02, "NODETYPE")         \
  X(PROPATTR, 0x2B02, "PROPATTR")         \
  X(PROPVALUE, 0x2C06, "PROPVALUE")       \
  X(BOX, 0x2D00, "BOX")                   \
  X(BOXTYPE, 0x2E02, "GDS_BOXTYPE")       \
  X(PLEX, 0x2F03, "PLEX")

namespace rec {
#define TESSEL_RECORD_CONSTANT(name, code, printed) inline constexpr RecordCode name = code;
TESSEL_NAMED_RECORDS(TESSEL_RECORD_CONSTANT)
#undef TESSEL_RECORD_CONSTANT
// Records the name table leaves out, which the importer and the writer still handle.
inline constexpr RecordCode BGNEXTN = 0x3003;
inline constexpr RecordCode ENDEXTN = 0x3103;
}  // namespace rec

// Data-type codes (low byte of a RecordCode).
namespace dtype {
inline constexpr int NONE = 0;
inline constexpr int BITS = 1;
inline constexpr int INT2 = 2;
inline constexpr int INT4 = 3;
inline constexpr int REAL4 = 4;
inline constexpr int REAL8 = 5;
inline constexpr int ASCII = 6;
}  // namespace dtype

inline constexpr int kRecordHeaderSize = 4;
inline constexpr int kMaxRecordLength = 65535;

// The kinds of element, in the order of the records that open them.
enum ElementKind { kBoundaryKind, kPathKind, kSrefKind, kArefKind, kTextKind, kNodeKind, kBoxKind };
inline constexpr int kElementKinds = 7;

// The kind of element the record opens: BOUNDARY, PATH, SREF, AREF, TEXT, NODE or BOX; -1 for
// any other record.
inline int elementKind(RecordCode code) {
  switch (code) {
    case rec::BOUNDARY:
      return kBoundaryKind;
    case rec::PATH:
      return kPathKind;
    case rec::SREF:
      return kSrefKind;
    case rec::AREF:
      return kArefKind;
    case rec::TEXT:
      return kTextKind;
    case rec::NODE:
      return kNodeKind;
    case rec::BOX:
      return kBoxKind;
    default:
      return -1;
  }
}

// True when GDSII defines the code's record type (the first byte: HEADER 0x00 to LIBSECUR
// 0x3B), named in the table below or not.
inline bool isDefinedRecordType(RecordCode code) {
  constexpr int kLastRecordType = 0x3B;
  return (code >> 8) <= kLastRecordType;
}

// True for the records that open an element.
inline bool isElementStart(RecordCode code) {
  return elementKind(code) >= 0;
}

namespace record_names {

struct NamedRecord {
  RecordCode code;
  std::string_view name;
};

// Every record type in the table has exactly one data type, so the table is indexed by type.
constexpr NamedRecord kNamedRecords[] = {
#define TESSEL_RECORD_NAME(name, code, printed) {code, printed},
    TESSEL_NAMED_RECORDS(TESSEL_RECORD_NAME)
#undef TESSEL_RECORD_NAME
};

constexpr int kTableTypes = 0x30;

constexpr std::array<NamedRecord, kTableTypes> buildTypeTable() {
  std::array<NamedRecord, kTableTypes> table{};
  for (auto& entry : table)
    entry.code = -1;
  for (const auto& entry : kNamedRecords)
    table[entry.code >> 8] = entry;
  return table;
}

constexpr std::array<NamedRecord, kTableTypes> kByType = buildTypeTable();

}  // namespace record_names

// The printable name of a record code, or "" when the whole code is not in the table.
std::string recordName(RecordCode code);
// The same name without a copy. Inline: the dump looks up every record's name.
inline std::string_view recordNameView(RecordCode code) {
  using namespace record_names;
  const int type = code >> 8;
  if (code < 0 || type >= kTableTypes || kByType[type].code != code) return {};
  return kByType[type].name;
}

// Unsigned value of `count` bytes at `offset`, first byte most significant; 0 for count <= 0.
// Inline: with a constant count the compiler turns the byte loop into one swapped load.
inline uint32_t readBigEndian(const uint8_t* bytes, long offset, int count) {
  uint32_t value = 0;
  for (int k = 0; k < count; ++k)
    value = (value << 8) | bytes[offset + k];
  return value;
}
inline uint64_t readBigEndian64(const uint8_t* bytes, long offset, int count) {
  uint64_t value = 0;
  for (int k = 0; k < count; ++k)
    value = (value << 8) | bytes[offset + k];
  return value;
}

}  // namespace tessel
