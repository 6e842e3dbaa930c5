#include "import/structure_cutter.h"

#include "import/structure_bounds.h"
#include "stream/decode.h"

namespace tessel {

namespace {

template <class Keep>
ReadStatus cutInto(RecordReader& reader, StructureCut& cut, size_t limit, Keep&& keep) {
  auto visit = [&](const RecordView& record) {
    if (cut.ended || cut.bytes >= limit) return Walk::Stop;
    cut.bytes += record.length;
    const RecordCode code = record.code();
    const auto decodable = [&] { return isDecodable(record.bytes, record.length); };
    switch (structureMark(code, cut.inElement, decodable)) {
      case StructureMark::ClosesStructure:
        cut.ended = true;
        return Walk::TakeAndStop;
      case StructureMark::OpensElement:
        cut.inElement = true;
        ++cut.counts[static_cast<size_t>(elementKind(code))];
        break;
      case StructureMark::ClosesElement:
        cut.inElement = false;
        break;
      case StructureMark::Inside:
        break;
    }
    return Walk::Take;
  };
  return reader.walk(visit, keep);
}

}  // namespace

ReadStatus cutStructure(RecordReader& reader, StructureCut& cut, std::vector<uint8_t>& into,
                        size_t limit) {
  return cutInto(reader, cut, limit, [&](std::span<const uint8_t> run) {
    into.insert(into.end(), run.begin(), run.end());
  });
}

ReadStatus cutStructure(RecordReader& reader, StructureCut& cut, HeldRecords& into, size_t limit) {
  return cutInto(reader, cut, limit, [&](std::span<const uint8_t> run) { into.add(reader, run); });
}

ReadStatus readStructureInParts(RecordReader& reader, std::vector<uint8_t>& bytes,
                                RecordPosition start, StructureCut& cut, StructureParser& parser,
                                MessageSink& out, GdsStructure& structure,
                                const StructurePart* parts) {
  constexpr size_t kPartBytes = size_t{4} << 20;
  ReadStatus ended = ReadStatus::Record;
  auto more = [&](std::span<const uint8_t>& next) {
    if (ended != ReadStatus::Record) return ended;
    if (cut.ended) return ReadStatus::End;  // the parser has seen the structure's end
    bytes.clear();
    cut.bytes = 0;
    ended = cutStructure(reader, cut, bytes, kPartBytes);
    if (bytes.empty()) return ended == ReadStatus::Record ? ReadStatus::End : ended;
    next = bytes;
    return ReadStatus::Record;
  };
  BytesFeed feed(bytes, start, ReadStatus::End, more);
  parser.readStructure(feed, out, structure, nullptr, parts);
  return ended;
}

}  // namespace tessel
