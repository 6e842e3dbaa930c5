// -rw on arbitrary bytes: import, write to a file, import that file again, and compare the two
// models. The comparison covers every field the writer carries, properties, PLEX, ELFLAGS and
// STRANS bits included; a difference aborts.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "export/writer.h"
#include "fuzz_common.h"
#include "hierarchy/bounding_box.h"
#include "import/importer.h"
#include "support/model_compare.h"
#include "stream/byte_source.h"
#include "stream/decode.h"
#include "stream/encode.h"

namespace {

using tessel::GdsLibrary;

double throughReal8(uint64_t encoded) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[i] = static_cast<uint8_t>(encoded >> (56 - 8 * i));
  return tessel::decodeReal8(bytes);
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "round trip: %s\n", what.c_str());
  std::abort();
}

// MAG and ANGLE are written with the classic conversion, which truncates: it keeps at least 52
// significant bits, but no bits under 2^-64 and not the low 8 bits of its working mantissa, so
// for small values the error is absolute (below 2^-55), not relative. Checks that bound, and
// gives the value the written file carries.
double asWritten(double value) {
  const double back = throughReal8(tessel::encodeReal8(value));
  const double error = std::fabs(back - value);
  const double allowed = std::fmax(1e-15 * std::fabs(value), 0x1p-55);
  if (!(error <= allowed)) fail("MAG or ANGLE " + std::to_string(value) + " encoded badly");
  return back;
}

// Units are written as normalised 8-byte reals, rounded to nearest: any value read from a file
// that has a normalised form (magnitude at least 16^-65) must come back with its own bits. Zero
// is written without its sign, and magnitudes below the normalised range become zero: those two
// are by design.
double unitAsWritten(double value) {
  if (value == 0 || std::fabs(value) < 0x1p-260) return 0.0;
  const double back = throughReal8(tessel::encodeReal8Normalized(value));
  if (std::memcmp(&back, &value, sizeof value) != 0)
    fail("unit " + std::to_string(value) + " not written back with its own bits");
  return back;
}

// Strings longer than 65530 bytes cannot be written in one record: the emitter refuses them (a
// 65531-byte LIBNAME, STRNAME, SNAME, STRING or PROPVALUE can come from a file). Such libraries
// are skipped.
constexpr size_t kLongest = 65530;

bool writableProperties(const tessel::Properties& properties) {
  for (const auto& property : properties)
    if (property.propvalue.size() > kLongest) return false;
  return true;
}

bool writable(const GdsLibrary& library) {
  if (library.name.size() > kLongest) return false;
  auto fits = [](const auto& elements) {
    for (const auto& element : elements)
      if (!writableProperties(element.properties)) return false;
    return true;
  };
  for (const auto& structure : library.structures) {
    if (structure.name.size() > kLongest) return false;
    for (const auto& sref : structure.srefs)
      if (sref.name.size() > kLongest) return false;
    for (const auto& aref : structure.arefs)
      if (aref.name.size() > kLongest) return false;
    for (const auto& text : structure.texts)
      if (text.textbody.size() > kLongest) return false;
    if (!fits(structure.boundaries) || !fits(structure.paths) || !fits(structure.srefs) ||
        !fits(structure.arefs) || !fits(structure.texts) || !fits(structure.nodes) ||
        !fits(structure.boxes))
      return false;
  }
  return true;
}

// The library as the writer by design carries it: MAG and ANGLE as the classic conversion gives
// them (and the boxes computed again from those), units as the normalised encoding gives them.
// Values beyond 16 bits in LAYER, DATATYPE, COLROW and the other 2-byte fields cannot come from
// a file, so nothing is needed for them.
void normalise(GdsLibrary& library) {
  if (library.userUnit == 0.001 && library.meterUnit == 1e-9) {
    // The default units are written as the classic fixed bytes, whose meter unit reads back as
    // the double next to 1e-9.
    library.userUnit = throughReal8(0x3E4189374BC6A7F0);
    library.meterUnit = throughReal8(0x3944B82FA09B5A50);
  } else {
    library.userUnit = unitAsWritten(library.userUnit);
    library.meterUnit = unitAsWritten(library.meterUnit);
  }
  for (auto& structure : library.structures) {
    for (auto& sref : structure.srefs) {
      if (sref.scale != 1.0) sref.scale = asWritten(sref.scale);
      if (sref.angle != 0.0) sref.angle = asWritten(sref.angle);
    }
    for (auto& aref : structure.arefs) {
      if (aref.scale != 1.0) aref.scale = asWritten(aref.scale);
      if (aref.angle != 0.0) aref.angle = asWritten(aref.angle);
    }
    for (auto& text : structure.texts) {
      if (text.scale != 1.0) text.scale = asWritten(text.scale);
      if (text.angle != 0.0) text.angle = asWritten(text.angle);
    }
  }
  // Boxes start from zero, as in a fresh import: a structure in a reference cycle meets its own
  // current box.
  for (auto& structure : library.structures)
    structure.bbox = {};
  tessel::computeBoundingBoxes(library);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = tessel::fuzz::scratchPath("round-trip");
  tessel::MemorySource source(std::span<const uint8_t>(data, size));
  GdsLibrary first;
  tessel::importStream(first, source, "fuzz.gds");
  if (!writable(first)) return 0;
  if (tessel::writeLibrary(first, path) != 0) fail("the library could not be written");
  GdsLibrary second;
  if (tessel::importStream(second, path) != tessel::kImported) fail("the written file is damaged");
  std::remove(path.c_str());
  normalise(first);
  const std::string difference = tessel::firstRoundTripDifference(first, second);
  if (!difference.empty()) fail(difference);
  return 0;
}
