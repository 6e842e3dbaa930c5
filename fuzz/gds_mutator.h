// A mutator that knows stream-file framing. It splits the input into records, changes whole
// records (their codes, data types, values and payload lengths; inserting, duplicating, moving
// and removing records and runs of records; copying names so that references meet structures)
// and joins them again with correct length fields, so most mutants get past the record reader
// and reach the importer's levels, the hierarchy and the writer. Now and then it leaves the work
// to libFuzzer's own byte mutations, which also break the framing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "stream/record.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace tessel::fuzz {

struct MutableRecord {
  uint8_t type = 0;
  uint8_t dataType = 0;
  std::vector<uint8_t> payload;
  int code() const { return type << 8 | dataType; }
};

// Every code of the record table, a few unnamed ones, and the common element records again so
// they are drawn more often.
#define TESSEL_FUZZ_CODE(name, code, printed) code,
constexpr uint16_t kCodes[] = {TESSEL_NAMED_RECORDS(TESSEL_FUZZ_CODE)  //
                               0x1400,
                               rec::BGNEXTN,
                               rec::ENDEXTN,
                               0x0F02,
                               0x1B04,
                               rec::XY,
                               rec::XY,
                               rec::ENDEL,
                               rec::ENDEL,
                               rec::SREF,
                               rec::AREF,
                               rec::SNAME,
                               rec::COLROW,
                               rec::MAG,
                               rec::ANGLE,
                               rec::STRANS};
#undef TESSEL_FUZZ_CODE

class GdsMutator {
 public:
  explicit GdsMutator(unsigned seed) : random_(seed) {}

  size_t mutate(uint8_t* data, size_t size, size_t maxSize) {
    if (chance(5)) return LLVMFuzzerMutate(data, size, maxSize);
    parse(data, size);
    const int rounds = 1 + static_cast<int>(below(3));
    for (int i = 0; i < rounds; ++i)
      mutateOnce();
    std::vector<uint8_t> out = serialise();
    if (out.empty() || out.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    std::copy(out.begin(), out.end(), data);
    return out.size();
  }

 private:
  size_t below(size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(random_);
  }
  bool chance(size_t oneIn) { return below(oneIn) == 0; }

  // Records while the framing holds; whatever follows is kept as it is.
  void parse(const uint8_t* data, size_t size) {
    records_.clear();
    tail_.clear();
    size_t pos = 0;
    while (pos + 4 <= size) {
      const size_t length = size_t{data[pos]} << 8 | data[pos + 1];
      if (length < 4 || pos + length > size) break;
      records_.push_back({data[pos + 2], data[pos + 3], {data + pos + 4, data + pos + length}});
      pos += length;
    }
    tail_.assign(data + pos, data + size);
  }

  std::vector<uint8_t> serialise() {
    std::vector<uint8_t> out;
    for (const auto& record : records_) {
      const size_t length = 4 + std::min<size_t>(record.payload.size(), 65531);
      out.push_back(static_cast<uint8_t>(length >> 8));
      out.push_back(static_cast<uint8_t>(length));
      out.push_back(record.type);
      out.push_back(record.dataType);
      out.insert(out.end(), record.payload.begin(), record.payload.begin() + (length - 4));
    }
    out.insert(out.end(), tail_.begin(), tail_.end());
    return out;
  }

  static size_t unitOf(uint8_t dataType) {
    switch (dataType) {
      case 2:
        return 2;
      case 3:
      case 4:
        return 4;
      case 5:
        return 8;
      default:
        return 1;
    }
  }

  void putValue(std::vector<uint8_t>& payload, size_t offset, uint64_t value, size_t width) {
    if (payload.size() < offset + width) payload.resize(offset + width);
    for (size_t i = 0; i < width; ++i)
      payload[offset + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
  }

  uint64_t interesting(size_t width) {
    static constexpr uint64_t k16[] = {0, 1, 2, 3, 90, 0x7FFF, 0x8000, 0xFFFF, 600};
    static constexpr uint64_t k32[] = {0,          1,          0xFFFFFFFF, 0x7FFFFFFF, 0x80000000,
                                       0x80000001, 0x7FFFFFFE, 100,        0xFFFFFF9C, 0x40000000};
    // 8-byte reals: 0, 1, -1, 2, 90, 0.5, 1e-3, 1e-9, 1e70, the largest, the smallest, -0,
    // an unnormalised one, and 1 with an exponent byte of 0x7F or 0.
    static constexpr uint64_t k64[] = {
        0x0000000000000000, 0x4110000000000000, 0xC110000000000000, 0x4120000000000000,
        0x425A000000000000, 0x4080000000000000, 0x3E4189374BC6A7F0, 0x3944B82FA09B5A50,
        0x7A2F0AE5E9B3F9CF, 0x7FFFFFFFFFFFFFFF, 0x0010000000000000, 0x8000000000000000,
        0x4200000000000001, 0x7F10000000000000, 0x0000000000000001, 0xFFFFFFFFFFFFFFFF};
    if (chance(3)) {
      uint64_t value = std::uniform_int_distribution<uint64_t>()(random_);
      return width == 8 ? value : value & ((uint64_t{1} << (8 * width)) - 1);
    }
    if (width == 2) return k16[below(std::size(k16))];
    if (width == 4) return k32[below(std::size(k32))];
    return k64[below(std::size(k64))];
  }

  // A payload of `count` values fitting the data type.
  std::vector<uint8_t> payloadFor(uint8_t dataType, size_t count) {
    std::vector<uint8_t> payload;
    if (dataType == 0) return payload;
    if (dataType == 1) {
      putValue(payload, 0, chance(2) ? 0x8000 : interesting(2), 2);
      return payload;
    }
    if (dataType == 6) return someName();
    const size_t width = unitOf(dataType);
    for (size_t i = 0; i < count; ++i)
      putValue(payload, i * width, interesting(width), width);
    return payload;
  }

  // A name from a STRNAME or SNAME already in the input, or a short new one.
  std::vector<uint8_t> someName() {
    std::vector<size_t> named;
    for (size_t i = 0; i < records_.size(); ++i)
      if (records_[i].code() == 0x0606 || records_[i].code() == 0x1206) named.push_back(i);
    if (!named.empty() && !chance(4)) return records_[named[below(named.size())]].payload;
    std::vector<uint8_t> name;
    const size_t length = chance(50) ? 60000 + below(5532) : 1 + below(8);
    for (size_t i = 0; i < length; ++i)
      name.push_back(static_cast<uint8_t>('A' + below(4)));
    if (chance(8)) name[below(name.size())] = static_cast<uint8_t>(below(256));
    return name;
  }

  MutableRecord newRecord() {
    const uint16_t code = kCodes[below(std::size(kCodes))];
    MutableRecord record{static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code), {}};
    size_t count = 1 + below(2);
    if (code == 0x1003) count = chance(2) ? 2 : (chance(2) ? 6 : 2 * below(8));
    if (code == 0x1302) count = 2;
    if (code == 0x0502 || code == 0x0102) count = 12;
    record.payload = payloadFor(record.dataType, count);
    return record;
  }

  // A structure that references a name of the input (or itself), so references meet structures
  // and cycles appear.
  void insertStructure(size_t at) {
    std::vector<MutableRecord> run;
    run.push_back({0x05, 0x02, payloadFor(2, 12)});
    const std::vector<uint8_t> name = someName();
    run.push_back({0x06, 0x06, name});
    const bool array = chance(3);
    run.push_back({0x0B, 0x00, {}});
    run.back().type = array ? 0x0B : 0x0A;
    run.push_back({0x12, 0x06, chance(3) ? name : someName()});
    if (chance(2)) run.push_back({0x1A, 0x01, payloadFor(1, 1)});
    if (chance(2)) run.push_back({0x1B, 0x05, payloadFor(5, 1)});
    if (chance(2)) run.push_back({0x1C, 0x05, payloadFor(5, 1)});
    if (array) run.push_back({0x13, 0x02, payloadFor(2, 2)});
    run.push_back({0x10, 0x03, payloadFor(3, array ? 6 : 2)});
    run.push_back({0x11, 0x00, {}});
    run.push_back({0x07, 0x00, {}});
    records_.insert(records_.begin() + static_cast<long>(at), run.begin(), run.end());
  }

  void mutateOnce() {
    if (records_.empty()) {
      records_.push_back(newRecord());
      return;
    }
    const size_t n = records_.size();
    MutableRecord& record = records_[below(n)];
    switch (below(13)) {
      case 0: {  // another code, same payload
        const uint16_t code = kCodes[below(std::size(kCodes))];
        record.type = static_cast<uint8_t>(code >> 8);
        record.dataType = static_cast<uint8_t>(code);
        break;
      }
      case 1:  // another data type
        record.dataType = static_cast<uint8_t>(chance(4) ? below(256) : below(8));
        break;
      case 2:
      case 3: {  // one value
        const size_t width = record.dataType == 6 ? 1 : unitOf(record.dataType);
        if (record.payload.size() < width) {
          record.payload = payloadFor(record.dataType, 1);
          break;
        }
        const size_t index = below(record.payload.size() / width);
        if (record.dataType == 6)
          record.payload[index] = static_cast<uint8_t>(chance(4) ? 0 : 'A' + below(26));
        else
          putValue(record.payload, index * width, interesting(width == 1 ? 2 : width),
                   width == 1 ? 2 : width);
        break;
      }
      case 4: {  // grow or shrink the payload by whole values, now and then by one byte
        const size_t width = chance(6) ? 1 : unitOf(record.dataType);
        if (chance(2) && record.payload.size() >= width) {
          record.payload.resize(record.payload.size() - width);
        } else {
          const size_t more = chance(20)
                                  ? (65531 - std::min<size_t>(record.payload.size(), 65531)) / width
                                  : 1 + below(4);
          for (size_t i = 0; i < more; ++i) {
            const size_t at = record.payload.size();
            putValue(record.payload, at, width == 1 ? below(256) : interesting(width), width);
          }
        }
        break;
      }
      case 5:  // a new record
        records_.insert(records_.begin() + static_cast<long>(below(n + 1)), newRecord());
        break;
      case 6: {  // duplicate a run of records
        const size_t first = below(n);
        const size_t count = 1 + below(std::min<size_t>(n - first, 16));
        std::vector<MutableRecord> copy(records_.begin() + static_cast<long>(first),
                                        records_.begin() + static_cast<long>(first + count));
        const size_t at = below(n + 1);
        const size_t times = chance(10) ? 2 + below(30) : 1;
        for (size_t t = 0; t < times; ++t)
          records_.insert(records_.begin() + static_cast<long>(at), copy.begin(), copy.end());
        break;
      }
      case 7: {  // remove a run of records
        const size_t first = below(n);
        const size_t count = 1 + below(std::min<size_t>(n - first, 8));
        records_.erase(records_.begin() + static_cast<long>(first),
                       records_.begin() + static_cast<long>(first + count));
        break;
      }
      case 8:  // swap two records
        std::swap(record, records_[below(n)]);
        break;
      case 9: {  // a name from elsewhere into a STRNAME, SNAME or STRING
        std::vector<size_t> named;
        for (size_t i = 0; i < n; ++i)
          if (records_[i].dataType == 6) named.push_back(i);
        if (!named.empty()) records_[named[below(named.size())]].payload = someName();
        break;
      }
      case 10:
        insertStructure(below(n + 1));
        break;
      case 11:  // the framing broken on purpose: a wrong length or a cut
        if (chance(2)) {
          tail_.clear();
          const size_t at = below(n);
          const MutableRecord& broken = records_[at];
          std::vector<uint8_t> raw = {static_cast<uint8_t>(below(256)),
                                      static_cast<uint8_t>(below(8)), broken.type, broken.dataType};
          raw.insert(raw.end(), broken.payload.begin(), broken.payload.end());
          for (size_t i = at + 1; i < n; ++i) {
            const auto& later = records_[i];
            const size_t length = 4 + later.payload.size();
            raw.insert(raw.end(), {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                                   later.type, later.dataType});
            raw.insert(raw.end(), later.payload.begin(), later.payload.end());
          }
          records_.resize(at);
          tail_ = std::move(raw);
        } else {
          records_.resize(below(n));
          tail_.clear();
        }
        break;
      default:  // the tail dropped, or a record appended
        if (!tail_.empty() && chance(2))
          tail_.clear();
        else
          records_.push_back(newRecord());
        break;
    }
  }

  std::minstd_rand random_;
  std::vector<MutableRecord> records_;
  std::vector<uint8_t> tail_;
};

}  // namespace tessel::fuzz

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  tessel::fuzz::GdsMutator mutator(seed);
  return mutator.mutate(data, size, maxSize);
}
