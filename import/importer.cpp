#include "import/importer.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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
  DecodeFailed,  // the record could not be decoded (message given)
  Stopped,       // the file ended or its framing broke (message given); nothing more to read
};

// Where message lines go: straight to standard output, or into a buffer that is printed later
// in file order.
class Messages {
 public:
  explicit Messages(std::string* buffer = nullptr) : buffer_(buffer) {}
  void line(std::string_view text) {
    if (!buffer_) return printLine(text);
    buffer_->append(text);
    buffer_->push_back('\n');
  }
  void quoted(std::string_view prefix, std::string_view name, std::string_view suffix) {
    if (!buffer_) return printQuoted(prefix, name, suffix);
    buffer_->append(prefix).append(1, '"').append(name).append(1, '"').append(suffix);
    buffer_->push_back('\n');
  }

 private:
  std::string* buffer_;
};

// How many elements of each kind a structure holds, told from its records before it is parsed,
// so its lists are allocated once at their final size.
using ElementCounts = std::array<uint32_t, kElementKinds>;

// A sequence of whole records: the file itself, or the records of one structure cut from it.
class RecordFeed {
 public:
  virtual ~RecordFeed() = default;
  virtual ReadStatus next(RecordView& record) = 0;
};

// The records held in `bytes`, then `endStatus`, or the records of `rest` when given.
class BytesFeed final : public RecordFeed {
 public:
  BytesFeed(const std::vector<uint8_t>& bytes, ReadStatus endStatus, RecordFeed* rest = nullptr)
      : bytes_(bytes), endStatus_(endStatus), rest_(rest) {}
  ReadStatus next(RecordView& record) override {
    if (position_ >= bytes_.size()) return rest_ ? rest_->next(record) : endStatus_;
    record.bytes = bytes_.data() + position_;
    record.length = static_cast<uint16_t>(readBigEndian(record.bytes, 0, 2));
    position_ += record.length;
    return ReadStatus::Record;
  }
  bool exhausted() const { return position_ >= bytes_.size(); }
  // The next record when it lies in `bytes`, to be read in place and passed with advance().
  const uint8_t* peek() const {
    return position_ < bytes_.size() ? bytes_.data() + position_ : nullptr;
  }
  void advance(size_t length) { position_ += length; }

 private:
  const std::vector<uint8_t>& bytes_;
  ReadStatus endStatus_;
  RecordFeed* rest_;
  size_t position_ = 0;
};

// Reads records into decoded values and structures. One per thread: it keeps its scratch
// outputs and its table of shared texts from one structure to the next.
class StructureParser {
 public:
  // Reads and decodes the next record of `feed`; reports a failure to `out`.
  template <class Feed>
  Step step(Feed& feed, Messages& out) {
    RecordView record;
    const ReadStatus status = feed.next(record);
    if (status != ReadStatus::Record) {
      out.line(readStatusMessage(status));
      damaged_ = true;
      return Step::Stopped;
    }
    if (record.bytes[3] > dtype::ASCII) out.line("Unknown data type.");
    if (record.bytes[3] > dtype::ASCII ||
        decodeRecord(record.span(), code_, bits_, ints_, reals_, text_) != 0) {
      out.line("Error: Unable to read GDS file.");
      damaged_ = true;
      return Step::DecodeFailed;
    }
    return Step::Decoded;
  }

  // Reads one structure, from its BGNSTR record (the next of `feed`) to its ENDSTR, or to the
  // record or the end of the file that ends it early. The structure is left in `structure`.
  Step readStructure(BytesFeed& feed, Messages& out, GdsStructure& structure,
                     const ElementCounts* counts = nullptr) {
    feed_ = &feed;
    out_ = &out;
    structure_ = GdsStructure();
    if (counts) {
      structure_.boundaries.reserve((*counts)[kBoundaryKind]);
      structure_.paths.reserve((*counts)[kPathKind]);
      structure_.srefs.reserve((*counts)[kSrefKind]);
      structure_.arefs.reserve((*counts)[kArefKind]);
      structure_.texts.reserve((*counts)[kTextKind]);
      structure_.nodes.reserve((*counts)[kNodeKind]);
      structure_.boxes.reserve((*counts)[kBoxKind]);
    }
    Step result = step(feed, out);  // BGNSTR: the caller has seen it decode
    assert(result == Step::Decoded && code_ == rec::BGNSTR);
    structure_.bgnstr.assign(ints_.begin(), ints_.end());
    bool open = result == Step::Decoded;
    while (open) {
      result = step(feed, out);
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
          out.line("Error: Unrecognized record.");
          break;
      }
      if (result == Step::Stopped) open = false;
    }
    structure = std::move(structure_);
    return result;
  }

  // True when the record carries at least `count` values; otherwise reports it.
  bool hasValues(size_t present, size_t count, Messages& out) {
    if (present >= count) return true;
    out.line("Error: Record has too few values.");
    return false;
  }
  bool firstInt(int32_t& field, Messages& out) {
    if (!hasValues(ints_.size(), 1, out)) return false;
    field = ints_[0];
    return true;
  }

  bool damaged() const { return damaged_; }
  void setDamaged(bool damaged) { damaged_ = damaged; }
  RecordCode code() const { return code_; }
  const std::vector<int32_t>& ints() const { return ints_; }
  const std::vector<double>& reals() const { return reals_; }
  const std::string& text() const { return text_; }

 private:
  Step step() { return step(*feed_, *out_); }
  bool hasValues(size_t present, size_t count) { return hasValues(present, count, *out_); }
  bool firstInt(int32_t& field) { return firstInt(field, *out_); }
  bool firstInt(uint32_t& field) {
    if (!hasValues(ints_.size(), 1)) return false;
    field = static_cast<uint32_t>(ints_[0]);
    return true;
  }
  void firstReal(double& field) {
    if (hasValues(reals_.size(), 1)) field = reals_[0];
  }

  // Reads an element's records up to ENDEL. `accept` stores a record the kind takes and
  // returns false for one it does not. The result is Decoded after ENDEL.
  template <class Accept>
  Step readElement(Accept&& accept) {
    return readElement([](const uint8_t*, size_t) { return Shortcut::NotTaken; }, accept);
  }

  // What a shortcut made of the next record.
  enum class Shortcut { Taken, EndOfElement, NotTaken };

  // As above, but first offers each record lying in the feed's bytes to `quick(bytes, length)`,
  // which may store a well-formed record of the most common shapes straight from its bytes,
  // exactly as decoding it would. Millions of references and paths take this way.
  template <class Quick, class Accept>
  Step readElement(Quick&& quick, Accept&& accept) {
    for (;;) {
      if (const uint8_t* bytes = feed_->peek()) {
        const size_t length = readBigEndian(bytes, 0, 2);
        const Shortcut taken = quick(bytes, length);
        if (taken != Shortcut::NotTaken) {
          feed_->advance(length);
          if (taken == Shortcut::EndOfElement) return Step::Decoded;
          continue;
        }
      }
      const Step result = step();
      if (result != Step::Decoded) return result == Step::Stopped ? result : Step::Decoded;
      if (code_ == rec::ENDEL) return Step::Decoded;
      if (!accept()) out_->line("Error: Unrecognized record.");
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
      out_->line("Error: XY co_ordinates uneven");
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
    out_->line("Error: Missing X or Y co-ordinate");
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

  static RecordCode codeAt(const uint8_t* record) {
    return (RecordCode{record[2]} << 8) | record[3];
  }
  // The values as decodeRecord gives them: 2-byte integers unsigned, 4-byte ones signed.
  static int32_t int2At(const uint8_t* record) {
    return static_cast<int32_t>(readBigEndian(record, 4, 2));
  }
  static int32_t int4At(const uint8_t* record, size_t index) {
    return static_cast<int32_t>(readBigEndian(record, static_cast<long>(4 + 4 * index), 4));
  }

  // The shortcuts every element with a point list shares: ENDEL, LAYER with one value, and XY
  // with whole points.
  template <class Element>
  Shortcut quickListElement(Element& element, const uint8_t* record, size_t length) {
    switch (codeAt(record)) {
      case rec::ENDEL:
        return Shortcut::EndOfElement;
      case rec::LAYER:
        if (length != 6) break;
        element.layer = static_cast<uint32_t>(int2At(record));
        return Shortcut::Taken;
      case rec::XY: {
        if ((length - kRecordHeaderSize) % 8 != 0) break;
        const size_t points = (length - kRecordHeaderSize) / 8;
        element.xCor.reserve(element.xCor.size() + points);
        element.yCor.reserve(element.yCor.size() + points);
        for (size_t i = 0; i < points; ++i) {
          element.xCor.push_back(int4At(record, 2 * i));
          element.yCor.push_back(int4At(record, 2 * i + 1));
        }
        return Shortcut::Taken;
      }
      default:
        break;
    }
    return Shortcut::NotTaken;
  }

  Step readBoundary() {
    GdsBoundary boundary;
    auto quick = [&](const uint8_t* record, size_t length) {
      if (codeAt(record) == rec::DATATYPE && length == 6) {
        boundary.datatype = int2At(record);
        return Shortcut::Taken;
      }
      return quickListElement(boundary, record, length);
    };
    const Step result = readElement(quick, [&] {
      if (code_ == rec::DATATYPE) return firstInt(boundary.datatype), true;
      return acceptListElement(boundary);
    });
    structure_.boundaries.push_back(std::move(boundary));
    return result;
  }

  Step readPath() {
    GdsPath path;
    auto quick = [&](const uint8_t* record, size_t length) {
      switch (codeAt(record)) {
        case rec::DATATYPE:
          if (length != 6) break;
          path.datatype = int2At(record);
          return Shortcut::Taken;
        case rec::PATHTYPE:
          if (length != 6) break;
          path.pathtype = int2At(record);
          return Shortcut::Taken;
        case rec::WIDTH:
          if (length != 8) break;
          path.width = static_cast<uint32_t>(int4At(record, 0));
          return Shortcut::Taken;
        default:
          return quickListElement(path, record, length);
      }
      return Shortcut::NotTaken;
    };
    const Step result = readElement(quick, [&] {
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
    auto quick = [&](const uint8_t* record, size_t length) {
      switch (codeAt(record)) {
        case rec::ENDEL:
          return Shortcut::EndOfElement;
        case rec::SNAME:
          text_.clear();
          appendText({record + kRecordHeaderSize, length - kRecordHeaderSize}, text_);
          sref.name = intern();
          return Shortcut::Taken;
        case rec::STRANS:
          if (length < 6) break;
          sref.strans = static_cast<uint16_t>(readBigEndian(record, 4, 2));
          sref.reflection = (sref.strans & 0x8000) != 0;
          return Shortcut::Taken;
        case rec::MAG:
          if (length != 12) break;
          sref.scale = decodeReal8(record + kRecordHeaderSize);
          return Shortcut::Taken;
        case rec::ANGLE:
          if (length != 12) break;
          sref.angle = decodeReal8(record + kRecordHeaderSize);
          return Shortcut::Taken;
        case rec::XY:
          if (length != 12) break;
          sref.xCor = int4At(record, 0);
          sref.yCor = int4At(record, 1);
          return Shortcut::Taken;
        default:
          break;
      }
      return Shortcut::NotTaken;
    };
    const Step result = readElement(quick, [&] {
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

  BytesFeed* feed_ = nullptr;
  Messages* out_ = nullptr;
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

// One structure as a parser thread gives it back.
struct ParsedStructure {
  GdsStructure structure;
  std::string messages;
  bool damaged = false;
};

// The records of consecutive structures, cut from the file, and what parsing them gave.
struct StructureJob {
  std::vector<uint8_t> bytes;
  size_t size = 0;                         // of the records, kept when they are released
  ReadStatus endStatus = ReadStatus::End;  // the file's status after the last record
  bool endsFile = false;                   // the file ended or broke inside the last structure
  bool submitted = false;
  std::vector<ElementCounts> counts;  // of each structure, in order
  // Filled by the parser:
  bool done = false;
  std::vector<ParsedStructure> results;
};

// Parses structures on the other cores while the reading thread cuts the next ones from the
// file. Results are used in file order, so the messages and the library come out exactly as
// one thread would make them.
class ParserPool {
 public:
  ParserPool() = default;
  // Starts the parser threads: one per further core, at most three.
  void start() {
    const unsigned cores = std::thread::hardware_concurrency();
    const unsigned workers = std::clamp(cores, 1u, 4u) - 1;
    for (unsigned i = 0; i < workers; ++i)
      threads_.emplace_back([this] { work(); });
    started_ = true;
  }
  bool started() const { return started_; }
  ~ParserPool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wanted_.notify_all();
    for (auto& thread : threads_)
      thread.join();
  }
  ParserPool(const ParserPool&) = delete;
  ParserPool& operator=(const ParserPool&) = delete;

  void submit(StructureJob* job) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(job);
    }
    wanted_.notify_one();
  }

  // Waits until `job` is parsed, parsing queued jobs meanwhile with `helper`.
  void await(StructureJob* job, StructureParser& helper) {
    std::unique_lock lock(mutex_);
    while (!job->done) {
      if (!queue_.empty()) {
        StructureJob* next = queue_.front();
        queue_.pop_front();
        lock.unlock();
        parse(*next, helper);
        lock.lock();
        next->done = true;
        finished_.notify_all();
      } else {
        finished_.wait(lock);
      }
    }
  }

  static void parse(StructureJob& job, StructureParser& parser) {
    BytesFeed feed(job.bytes, job.endStatus);
    const bool damagedBefore = parser.damaged();
    // The job was cut where its structures end, so each parse starts at a BGNSTR record.
    while (!feed.exhausted()) {
      const size_t ordinal = job.results.size();
      ParsedStructure& result = job.results.emplace_back();
      Messages out(&result.messages);
      parser.setDamaged(false);
      parser.readStructure(feed, out, result.structure,
                           ordinal < job.counts.size() ? &job.counts[ordinal] : nullptr);
      result.damaged = parser.damaged();
    }
    parser.setDamaged(damagedBefore);
    job.bytes = std::vector<uint8_t>();  // the records are no longer needed
  }

 private:
  void work() {
    StructureParser parser;
    std::unique_lock lock(mutex_);
    for (;;) {
      wanted_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      StructureJob* job = queue_.front();
      queue_.pop_front();
      lock.unlock();
      parse(*job, parser);
      lock.lock();
      job->done = true;
      finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wanted_;
  std::condition_variable finished_;
  std::deque<StructureJob*> queue_;
  bool stopping_ = false;
  bool started_ = false;
  std::vector<std::thread> threads_;
};

class Importer {
 public:
  Importer(GdsLibrary& library, ByteSource& source) : library_(library), reader_(source) {}

  // Returns true when the library was read to its ENDLIB without a damaged record.
  bool run() {
    readLibrary();
    finishPending();
    library_.structureIndex.try_emplace(std::string(), kUnnamedStructurePosition);
    computeBoundingBoxes(library_);
    printLine("GDS file successfully imported.");
    return !damaged_ && !parser_.damaged();
  }

 private:
  // Library-level lines go after the lines of the structures still being parsed.
  Messages libraryMessages() { return Messages(pending_.empty() ? nullptr : &textAfterPending_); }

  void readLibrary() {
    for (;;) {
      Messages out = libraryMessages();
      if (parser_.step(feed_, out) != Step::Decoded) return;
      const std::vector<int32_t>& ints = parser_.ints();
      if (parser_.code() != rec::BGNSTR) closeBatch();
      switch (parser_.code()) {
        case rec::HEADER:
          parser_.firstInt(library_.version, out);
          break;
        case rec::BGNLIB:
          library_.bgnlib.insert(library_.bgnlib.end(), ints.begin(), ints.end());
          break;
        case rec::LIBNAME:
          library_.name = parser_.text();
          break;
        case rec::UNITS:
          if (parser_.hasValues(parser_.reals().size(), 2, out)) {
            library_.userUnit = parser_.reals()[0];
            library_.meterUnit = parser_.reals()[1];
          }
          break;
        case rec::ENDLIB:
          out.line("Reached end of library.");
          return;
        case rec::BGNSTR:
          if (!cutStructure()) return;
          continue;
        case rec::GENERATIONS:
          parser_.firstInt(library_.generations, out);
          break;
        default:
          out.line("Error: Unrecognized record.");
          break;
      }
    }
  }

  // Cuts the structure that starts with the BGNSTR record just read into the open batch of
  // structures. Returns false when the file ends or breaks inside it.
  bool cutStructure() {
    if (pending_.empty() || pending_.back().job->submitted) {
      pending_.push_back({std::move(textAfterPending_), std::make_unique<StructureJob>()});
      textAfterPending_.clear();
    }
    StructureJob& job = *pending_.back().job;
    const size_t start = job.bytes.size();
    job.bytes.insert(job.bytes.end(), lastRecord_.bytes, lastRecord_.bytes + lastRecord_.length);
    ElementCounts counts{};
    bool inElement = false;
    // Follows one record; true when it ends the structure: ENDSTR, or outside an element a
    // record that cannot be decoded.
    auto endsStructure = [&](const uint8_t* bytes, size_t length) {
      const RecordCode code = (RecordCode{bytes[2]} << 8) | bytes[3];
      const bool decodable = isDecodable(bytes, length);
      if (inElement) {
        if (!decodable || code == rec::ENDEL) inElement = false;
        return false;
      }
      if (!decodable || code == rec::ENDSTR) return true;
      const int kind = elementKind(code);
      if (kind >= 0) {
        inElement = true;
        ++counts[static_cast<size_t>(kind)];
      }
      return false;
    };
    constexpr size_t kHeader = kRecordHeaderSize;
    bool ended = false;
    while (!ended) {
      // The whole records already in the reader's buffer are walked in place and copied at once.
      const std::span<const uint8_t> buffered = reader_.buffered();
      const uint8_t* const from = buffered.data();
      const uint8_t* const end = from + buffered.size();
      const uint8_t* at = from;
      while (static_cast<size_t>(end - at) >= kHeader) {
        const size_t length = readBigEndian(at, 0, 2);
        if (length < kHeader || length > static_cast<size_t>(end - at)) break;
        at += length;
        if (endsStructure(at - length, length)) {
          ended = true;
          break;
        }
      }
      job.bytes.insert(job.bytes.end(), from, at);
      reader_.skip(static_cast<size_t>(at - from));
      if (job.bytes.size() - start > kLargestJob) return readLargeStructure(start);
      if (ended) break;
      // The next record is not whole in the buffer: the reader reads on, or reports the end.
      RecordView record;
      const ReadStatus status = reader_.next(record);
      if (status != ReadStatus::Record) {
        job.endStatus = status;
        job.endsFile = true;
        break;
      }
      job.bytes.insert(job.bytes.end(), record.bytes, record.bytes + record.length);
      ended = endsStructure(record.bytes, record.length);
    }
    job.counts.push_back(counts);
    const size_t cut = job.bytes.size() - start;
    job.size += cut;
    pendingBytes_ += cut;
    bytesCut_ += cut;
    const bool endsFile = job.endsFile;
    // Threads only pay off on large files: until then each structure is parsed right away.
    if (!pool_.started() && bytesCut_ > kParallelFrom) pool_.start();
    if (!pool_.started()) {
      finishPending();
    } else if (endsFile || job.bytes.size() >= kBatchBytes) {
      closeBatch();
      if (pendingBytes_ > kPendingLimit || pending_.size() > kPendingJobs)
        settlePending(kPendingLimit / 2, kPendingJobs / 2);
    }
    return !endsFile;
  }

  // Hands the batch being cut to the parser threads.
  void closeBatch() {
    if (pending_.empty() || pending_.back().job->submitted) return;
    pending_.back().job->submitted = true;
    pool_.submit(pending_.back().job.get());
  }

  // A structure too large to hold in a batch is read here, after everything before it; its
  // records so far are the open batch's from `start` on.
  bool readLargeStructure(size_t start) {
    StructureJob& job = *pending_.back().job;
    std::vector<uint8_t> records(job.bytes.begin() + static_cast<long>(start), job.bytes.end());
    job.bytes.resize(start);
    finishPending();
    Messages out;
    BytesFeed feed(records, ReadStatus::End, &feed_);
    GdsStructure structure;
    const Step result = parser_.readStructure(feed, out, structure);
    handOver(std::move(structure), out);
    return result != Step::Stopped;
  }

  void handOver(GdsStructure&& structure, Messages& out) {
    if (library_.addStructure(std::move(structure)) == 0) return;
    out.quoted("Warning: Structure ", structure.name,
               " defined more than once; the first definition is kept.");
    // Its texts may be shared with a parser thread still at work; it is released after them.
    if (pool_.started()) refused_.push_back(std::move(structure));
  }

  // Adds pending structures, with their lines, in file order, waiting for their parsing,
  // until no more than the given bytes and batches are pending.
  void settlePending(size_t keepBytes, size_t keepJobs) {
    closeBatch();
    Messages direct;
    while (!pending_.empty() && (pendingBytes_ > keepBytes || pending_.size() > keepJobs)) {
      Pending& front = pending_.front();
      printText(front.textBefore);
      pool_.await(front.job.get(), parser_);
      for (ParsedStructure& result : front.job->results) {
        printText(result.messages);
        damaged_ = damaged_ || result.damaged;
        handOver(std::move(result.structure), direct);
      }
      pendingBytes_ -= front.job->size;
      pending_.pop_front();
    }
    if (pending_.empty()) {
      printText(textAfterPending_);
      textAfterPending_.clear();
    }
  }
  void finishPending() { settlePending(0, 0); }

  static constexpr size_t kParallelFrom = size_t{1} << 20;
  static constexpr size_t kLargestJob = size_t{16} << 20;
  // Small structures travel together, so a file of a million tiny ones is not a million
  // hand-overs between threads.
  static constexpr size_t kBatchBytes = size_t{64} << 10;
  // What may wait for parsing: enough to keep the threads busy, little beside the model.
  static constexpr size_t kPendingLimit = size_t{16} << 20;
  static constexpr size_t kPendingJobs = 256;

  struct Pending {
    std::string textBefore;
    std::unique_ptr<StructureJob> job;
  };

  GdsLibrary& library_;
  RecordReader reader_;
  // The last record read at the library level, for cutting the structure it starts.
  RecordView lastRecord_;
  class LastRecordFeed final : public RecordFeed {
   public:
    explicit LastRecordFeed(RecordReader& reader, RecordView& last)
        : reader_(reader), last_(last) {}
    ReadStatus next(RecordView& record) override {
      const ReadStatus status = reader_.next(record);
      if (status == ReadStatus::Record) last_ = record;
      return status;
    }

   private:
    RecordReader& reader_;
    RecordView& last_;
  };
  LastRecordFeed feed_{reader_, lastRecord_};
  StructureParser parser_;
  std::vector<GdsStructure> refused_;  // declared before the pool: released after its threads
  ParserPool pool_;
  std::deque<Pending> pending_;
  std::string textAfterPending_;
  size_t pendingBytes_ = 0;
  size_t bytesCut_ = 0;
  bool damaged_ = false;
};

}  // namespace

int importStream(GdsLibrary& library, ByteSource& source, const std::string& fileName) {
  printQuoted("Importing ", fileName, " into Tessel.");
  Importer importer(library, source);
  return importer.run() ? kImported : kImportDamaged;
}

int importStream(GdsLibrary& library, const std::string& fileName) {
  auto source = openInput(fileName);
  if (!source) {
    printQuoted("Error: GDS file ", fileName, " FAILED to be opened.");
    return kImportOpenFailed;
  }
  return importStream(library, *source, fileName);
}

}  // namespace tessel
