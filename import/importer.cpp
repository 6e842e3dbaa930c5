#include "import/importer.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hierarchy/bounding_box.h"
#include "model/flat_tables.h"
#include "stream/console.h"
#include "stream/decode.h"
#include "stream/record_reader.h"

namespace tessel {

namespace {

enum class Step {
  Decoded,       // the next record is decoded in the scratch outputs
  DecodeFailed,  // the record could not be decoded (message printed)
  Stopped,       // the file ended or its framing broke (message printed); nothing more to read
};

class Importer {
 public:
  Importer(GdsLibrary& library, ByteSource& source) : library_(library), reader_(source) {}

  // Returns true when the library was read to its ENDLIB without a damaged record.
  bool run() {
    readLibrary();
    library_.structureIndex.try_emplace(std::string(), kUnnamedStructurePosition);
    computeBoundingBoxes(library_);
    printLine("GDS file successfully imported.");
    return !damaged_;
  }

 private:
  Step step() {
    RecordView record;
    const ReadStatus status = reader_.next(record);
    if (status != ReadStatus::Record) {
      printLine(readStatusMessage(status));
      damaged_ = true;
      return Step::Stopped;
    }
    if (decodeRecord(record.span(), code_, bits_, ints_, reals_, text_) != 0) {
      printLine("Error: Unable to read GDS file.");
      damaged_ = true;
      return Step::DecodeFailed;
    }
    return Step::Decoded;
  }

  // True when the record carries at least `count` values; otherwise reports it.
  static bool hasValues(size_t present, size_t count) {
    if (present >= count) return true;
    printLine("Error: Record has too few values.");
    return false;
  }
  bool firstInt(int32_t& field) {
    if (!hasValues(ints_.size(), 1)) return false;
    field = ints_[0];
    return true;
  }
  bool firstInt(uint32_t& field) {
    if (!hasValues(ints_.size(), 1)) return false;
    field = static_cast<uint32_t>(ints_[0]);
    return true;
  }
  void firstReal(double& field) {
    if (hasValues(reals_.size(), 1)) field = reals_[0];
  }

  void readLibrary() {
    for (;;) {
      if (step() != Step::Decoded) return;
      switch (code_) {
        case rec::HEADER:
          firstInt(library_.version);
          break;
        case rec::BGNLIB:
          library_.bgnlib.insert(library_.bgnlib.end(), ints_.begin(), ints_.end());
          break;
        case rec::LIBNAME:
          library_.name = text_;
          break;
        case rec::UNITS:
          if (hasValues(reals_.size(), 2)) {
            library_.userUnit = reals_[0];
            library_.meterUnit = reals_[1];
          }
          break;
        case rec::ENDLIB:
          printLine("Reached end of library.");
          return;
        case rec::BGNSTR:
          if (readStructure() == Step::Stopped) return;
          break;
        case rec::GENERATIONS:
          firstInt(library_.generations);
          break;
        default:
          printLine("Error: Unrecognized record.");
          break;
      }
    }
  }

  void handOver() {
    if (library_.addStructure(std::move(structure_)) != 0)
      printQuoted("Warning: Structure ", structure_.name,
                  " defined more than once; the first definition is kept.");
    structure_ = GdsStructure();
  }

  // Reads from after BGNSTR to ENDSTR; the structure is handed over in every case.
  Step readStructure() {
    structure_ = GdsStructure();
    structure_.bgnstr.assign(ints_.begin(), ints_.end());
    Step result = Step::Decoded;
    bool open = true;
    while (open) {
      result = step();
      if (result != Step::Decoded) break;
      switch (code_) {
        case rec::STRNAME:
          structure_.name = text_;
          break;
        case rec::ENDSTR:
          open = false;
          break;
        case rec::BOUNDARY:
          result = readBoundary();
          break;
        case rec::PATH:
          result = readPath();
          break;
        case rec::SREF:
          result = readSref();
          break;
        case rec::AREF:
          result = readAref();
          break;
        case rec::TEXT:
          result = readText();
          break;
        case rec::NODE:
          result = readNode();
          break;
        case rec::BOX:
          result = readBox();
          break;
        default:
          printLine("Error: Unrecognized record.");
          break;
      }
      if (result == Step::Stopped) open = false;
    }
    handOver();
    return result;
  }

  // Reads an element's records up to ENDEL. `accept` stores a record the kind takes and
  // returns false for one it does not. The result is Decoded after ENDEL.
  template <class Accept>
  Step readElement(Accept&& accept) {
    for (;;) {
      const Step result = step();
      if (result != Step::Decoded) return result == Step::Stopped ? result : Step::Decoded;
      if (code_ == rec::ENDEL) return Step::Decoded;
      if (!accept()) printLine("Error: Unrecognized record.");
    }
  }

  // PLEX, PROPATTR and PROPVALUE, which every kind takes.
  template <class Element>
  bool acceptCommon(Element& element) {
    switch (code_) {
      case rec::PLEX:
        firstInt(element.plex);
        return true;
      case rec::PROPATTR:
        firstInt(element.propattr);
        return true;
      case rec::PROPVALUE:
        element.propvalue = intern();
        return true;
      default:
        return false;
    }
  }

  void listXY(Coordinates& xCor, Coordinates& yCor) {
    if (ints_.size() % 2 != 0) {
      printLine("Error: XY co_ordinates uneven");
      return;
    }
    const size_t points = ints_.size() / 2;
    xCor.reserve(xCor.size() + points);
    yCor.reserve(yCor.size() + points);
    for (size_t i = 0; i < points; ++i) {
      xCor.push_back(ints_[2 * i]);
      yCor.push_back(ints_[2 * i + 1]);
    }
  }

  // One shared copy per distinct text of the file.
  SharedString intern() { return interned_.intern(text_); }

  bool evenValues() {
    if (ints_.size() % 2 == 0) return true;
    printLine("Error: Missing X or Y co-ordinate");
    return false;
  }

  void pointXY(int32_t& x, int32_t& y) {
    if (!evenValues() || !hasValues(ints_.size(), 2)) return;
    x = ints_[0];
    y = ints_[1];
  }

  template <class Reference>
  bool acceptReference(Reference& reference) {
    switch (code_) {
      case rec::SNAME:
        reference.name = intern();
        return true;
      case rec::STRANS:
        reference.strans = bits_;
        reference.reflection = (bits_ & 0x8000) != 0;
        return true;
      case rec::MAG:
        firstReal(reference.scale);
        return true;
      case rec::ANGLE:
        firstReal(reference.angle);
        return true;
      default:
        return acceptCommon(reference);
    }
  }

  template <class Element>
  bool acceptListElement(Element& element) {
    switch (code_) {
      case rec::LAYER:
        firstInt(element.layer);
        return true;
      case rec::XY:
        listXY(element.xCor, element.yCor);
        return true;
      default:
        return acceptCommon(element);
    }
  }

  Step readBoundary() {
    GdsBoundary boundary;
    const Step result = readElement([&] {
      if (code_ == rec::DATATYPE) return firstInt(boundary.datatype), true;
      return acceptListElement(boundary);
    });
    structure_.boundaries.push_back(std::move(boundary));
    return result;
  }

  Step readPath() {
    GdsPath path;
    const Step result = readElement([&] {
      switch (code_) {
        case rec::DATATYPE:
          return firstInt(path.datatype), true;
        case rec::WIDTH:
          return firstInt(path.width), true;
        case rec::PATHTYPE:
          return firstInt(path.pathtype), true;
        default:
          return acceptListElement(path);
      }
    });
    structure_.paths.push_back(std::move(path));
    return result;
  }

  Step readNode() {
    GdsNode node;
    const Step result = readElement([&] {
      if (code_ == rec::NODETYPE) return firstInt(node.nodetype), true;
      return acceptListElement(node);
    });
    structure_.nodes.push_back(std::move(node));
    return result;
  }

  Step readBox() {
    GdsBox box;
    const Step result = readElement([&] {
      if (code_ == rec::BOXTYPE) return firstInt(box.boxtype), true;
      return acceptListElement(box);
    });
    structure_.boxes.push_back(std::move(box));
    return result;
  }

  Step readSref() {
    GdsSref sref;
    const Step result = readElement([&] {
      if (code_ == rec::XY) return pointXY(sref.xCor, sref.yCor), true;
      return acceptReference(sref);
    });
    structure_.srefs.push_back(std::move(sref));
    return result;
  }

  Step readAref() {
    GdsAref aref;
    const Step result = readElement([&] {
      switch (code_) {
        case rec::COLROW:
          if (hasValues(ints_.size(), 2)) {
            aref.columns = ints_[0];
            aref.rows = ints_[1];
          }
          return true;
        case rec::XY:
          if (evenValues() && hasValues(ints_.size(), 6))
            for (size_t i = 0; i < 6; ++i)
              aref.xy[i] = ints_[i];
          return true;
        default:
          return acceptReference(aref);
      }
    });
    structure_.arefs.push_back(std::move(aref));
    return result;
  }

  Step readText() {
    GdsText text;
    const Step result = readElement([&] {
      switch (code_) {
        case rec::LAYER:
          return firstInt(text.layer), true;
        case rec::WIDTH:
          return firstInt(text.width), true;
        case rec::XY:
          return pointXY(text.xCor, text.yCor), true;
        case rec::TEXTTYPE:
          return firstInt(text.texttype), true;
        case rec::PRESENTATION:
          text.presentation = bits_;
          return true;
        case rec::STRING:
          text.textbody = intern();
          return true;
        case rec::STRANS:
          text.strans = bits_;
          return true;
        case rec::MAG:
          return firstReal(text.scale), true;
        case rec::ANGLE:
          return firstReal(text.angle), true;
        case rec::PATHTYPE:
          return firstInt(text.pathtype), true;
        default:
          return acceptCommon(text);
      }
    });
    structure_.texts.push_back(std::move(text));
    return result;
  }

  GdsLibrary& library_;
  RecordReader reader_;
  bool damaged_ = false;
  // Decoded outputs, reused for every record.
  RecordCode code_ = 0;
  uint16_t bits_ = 0;
  std::vector<int32_t> ints_;
  std::vector<double> reals_;
  std::string text_;
  GdsStructure structure_;
  InternTable interned_;
};

}  // namespace

int importStream(GdsLibrary& library, ByteSource& source, const std::string& fileName) {
  printQuoted("Importing ", fileName, " into Tessel.");
  Importer importer(library, source);
  return importer.run() ? kImported : kImportDamaged;
}

int importStream(GdsLibrary& library, const std::string& fileName) {
  auto source = FileSource::open(fileName);
  if (!source) {
    printQuoted("Error: GDS file ", fileName, " FAILED to be opened.");
    return kImportOpenFailed;
  }
  return importStream(library, *source, fileName);
}

}  // namespace tessel
