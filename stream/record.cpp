#include "stream/record.h"

#include <array>

namespace tessel {

namespace {

struct NamedRecord {
  RecordCode code;
  std::string_view name;
};

// Every record type in the table has exactly one data type, so the table is indexed by type.
constexpr std::array<NamedRecord, 39> kNamedRecords = {{
    {0x0002, "HEADER"},      {0x0102, "BGNLIB"},       {0x0206, "LIBNAME"},
    {0x0305, "UNITS"},       {0x0400, "ENDLIB"},       {0x0502, "BGNSTR"},
    {0x0606, "STRNAME"},     {0x0700, "ENDSTR"},       {0x0800, "BOUNDARY"},
    {0x0900, "PATH"},        {0x0A00, "SREF"},         {0x0B00, "AREF"},
    {0x0C00, "TEXT"},        {0x0D02, "LAYER"},        {0x0E02, "DATATYPE"},
    {0x0F03, "WIDTH"},       {0x1003, "XY"},           {0x1100, "ENDEL"},
    {0x1206, "SNAME"},       {0x1302, "COLROW"},       {0x1500, "NODE"},
    {0x1602, "TEXTTYPE"},    {0x1701, "PRESENTATION"}, {0x1906, "STRING"},
    {0x1A01, "STRANS"},      {0x1B05, "MAG"},          {0x1C05, "ANGLE"},
    {0x1F06, "REFLIBS"},     {0x2006, "FONTS"},        {0x2102, "PATHTYPE"},
    {0x2202, "GENERATIONS"}, {0x2306, "ATTRTABLE"},    {0x2601, "EFLAGS"},
    {0x2A02, "NODETYPE"},    {0x2B02, "PROPATTR"},     {0x2C06, "PROPVALUE"},
    {0x2D00, "BOX"},         {0x2E02, "GDS_BOXTYPE"},  {0x2F03, "PLEX"},
}};

constexpr int kTableTypes = 0x30;

constexpr std::array<NamedRecord, kTableTypes> buildTypeTable() {
  std::array<NamedRecord, kTableTypes> table{};
  for (auto& entry : table) entry.code = -1;
  for (const auto& entry : kNamedRecords) table[entry.code >> 8] = entry;
  return table;
}

constexpr std::array<NamedRecord, kTableTypes> kByType = buildTypeTable();

}  // namespace

std::string_view recordNameView(RecordCode code) {
  const int type = code >> 8;
  if (code < 0 || type >= kTableTypes || kByType[type].code != code) return {};
  return kByType[type].name;
}

std::string recordName(RecordCode code) { return std::string(recordNameView(code)); }

}  // namespace tessel
