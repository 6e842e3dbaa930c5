// Where a structure's records end: one rule for cutting structures from the file by their
// record headers and for parsing them, so that both always agree on which records belong to
// which structure and element.
#pragma once

#include "stream/record.h"

namespace tessel {

enum class StructureMark {
  Inside,           // belongs to the structure or element it stands in
  OpensElement,     // BOUNDARY, PATH, SREF, AREF, TEXT, NODE or BOX outside an element
  ClosesElement,    // ENDEL inside an element
  ClosesStructure,  // ENDSTR outside an element
};

// ENDSTR ends the structure and ENDEL an element; inside an element nothing else ends or opens
// anything, and a record that cannot be decoded (`decodable()` false) does neither, so that the
// records after a damaged one are still read where they stand. `decodable` is asked only about
// a record whose code would mark something.
template <class Decodable>
StructureMark structureMark(RecordCode code, bool inElement, Decodable&& decodable) {
  if (inElement) {
    return code == rec::ENDEL && decodable() ? StructureMark::ClosesElement : StructureMark::Inside;
  }
  if (code == rec::ENDSTR) {
    return decodable() ? StructureMark::ClosesStructure : StructureMark::Inside;
  }
  return isElementStart(code) && decodable() ? StructureMark::OpensElement : StructureMark::Inside;
}

}  // namespace tessel
