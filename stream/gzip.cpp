#include "stream/gzip.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace tessel {

namespace {

// Blocks of inflated bytes: a few in flight keep the inflater ahead of the reader, and the
// whole window stays a few megabytes (the reader's own buffer is 1 MB).
constexpr size_t kBlockSize = size_t{1} << 19;
constexpr size_t kBlocks = 4;
constexpr size_t kCompressedChunk = size_t{1} << 17;

// Reads a gzip member's header (RFC 1952) byte by byte, as the bytes come: the inflater then
// reads the deflate data and checks the trailer. Read here, not by the inflater, because the
// inflater refuses a header that carries its own CRC (FHCRC), which gzip writes and accepts.
class MemberHeader {
 public:
  enum class Status { NeedMore, Done, Damaged };

  // Takes bytes from the front of `bytes` (advancing it) until the header ends or breaks.
  Status take(uint8_t*& bytes, uint32_t& available) {
    while (available > 0) {
      const uint8_t byte = *bytes++;
      --available;
      const Status status = step(byte);
      if (status != Status::NeedMore) return status;
    }
    return Status::NeedMore;
  }

 private:
  static constexpr uint8_t kHeaderCrc = 0x02, kExtra = 0x04, kName = 0x08, kComment = 0x10;
  static constexpr uint8_t kReserved = 0xE0;
  enum class Part { Fixed, ExtraLength, Extra, Name, Comment, Crc };

  Status step(uint8_t byte) {
    if (part_ != Part::Crc) crc_ = crc32_gzip_refl(crc_, &byte, 1);
    ++seen_;
    switch (part_) {
      case Part::Fixed:
        if ((seen_ == 1 && byte != 0x1F) || (seen_ == 2 && byte != 0x8B) ||
            (seen_ == 3 && byte != 8) || (seen_ == 4 && (byte & kReserved) != 0))
          return Status::Damaged;
        if (seen_ == 4) flags_ = byte;
        if (seen_ == 10) return next(Part::ExtraLength);
        return Status::NeedMore;
      case Part::ExtraLength:
        count_ |= uint32_t{byte} << (8 * (seen_ - 1));
        if (seen_ == 2) return count_ == 0 ? next(Part::Name) : enter(Part::Extra);
        return Status::NeedMore;
      case Part::Extra:
        return seen_ == count_ ? next(Part::Name) : Status::NeedMore;
      case Part::Name:
        return byte == 0 ? next(Part::Comment) : Status::NeedMore;
      case Part::Comment:
        return byte == 0 ? next(Part::Crc) : Status::NeedMore;
      case Part::Crc:
        stored_ |= uint32_t{byte} << (8 * (seen_ - 1));
        if (seen_ < 2) return Status::NeedMore;
        return stored_ == (crc_ & 0xFFFF) ? Status::Done : Status::Damaged;
    }
    return Status::Damaged;
  }
  // Goes to `part`, or past it when the flags leave it out.
  Status next(Part part) {
    if (part == Part::ExtraLength && !(flags_ & kExtra)) part = Part::Name;
    if (part == Part::Name && !(flags_ & kName)) part = Part::Comment;
    if (part == Part::Comment && !(flags_ & kComment)) part = Part::Crc;
    if (part == Part::Crc && !(flags_ & kHeaderCrc)) return Status::Done;
    return enter(part);
  }
  Status enter(Part part) {
    part_ = part;
    seen_ = 0;
    return Status::NeedMore;
  }

  Part part_ = Part::Fixed;
  uint32_t seen_ = 0;  // bytes of the current part
  uint8_t flags_ = 0;
  uint32_t count_ = 0;   // the length of the extra field
  uint32_t stored_ = 0;  // the header CRC as written
  uint32_t crc_ = 0;     // of the header bytes so far
};

// Inflates `compressed` into the blocks taken from `empty` and hands them to `full`, until the
// compressed bytes end or break, or either channel is closed.
void inflateBlocks(ByteSource& compressed, Channel<GzipSource::Block>& empty,
                   Channel<GzipSource::Block>& full) {
  auto state = std::make_unique<inflate_state>();
  isal_inflate_init(state.get());
  // Each member's header is read here; the inflater reads its deflate data and checks its
  // trailer.
  std::optional<MemberHeader> header(std::in_place);
  auto input = std::make_unique_for_overwrite<uint8_t[]>(kCompressedChunk);
  bool inputEnded = false;
  // Reads more compressed bytes after those the inflater has not taken yet.
  auto readInput = [&]() -> long {
    const uint32_t kept = state->avail_in;
    if (kept > 0 && state->next_in != input.get()) std::memmove(input.get(), state->next_in, kept);
    const long count = compressed.read(input.get() + kept, kCompressedChunk - kept);
    inputEnded = count == 0;
    state->next_in = input.get();
    state->avail_in = kept + static_cast<uint32_t>(std::max(count, 0L));
    return count;
  };
  for (;;) {
    std::optional<GzipSource::Block> taken = empty.pop();
    if (!taken) return;
    GzipSource::Block& block = *taken;
    // Storage is given on first use: a small file needs one block.
    if (!block.bytes) block.bytes = std::make_unique_for_overwrite<uint8_t[]>(kBlockSize);
    block.size = 0;
    auto end = [&](long result) {
      block.last = true;
      block.result = result;
    };
    while (block.size < kBlockSize && !block.last) {
      if (state->avail_in == 0 && !inputEnded) {
        const long count = readInput();
        if (count < 0) {
          end(count);
          break;
        }
      }
      if (header) {
        const MemberHeader::Status read = header->take(state->next_in, state->avail_in);
        if (read == MemberHeader::Status::Damaged ||
            (read == MemberHeader::Status::NeedMore && inputEnded)) {
          end(kDataDamaged);
        } else if (read == MemberHeader::Status::Done) {
          header.reset();
          uint8_t* const next = state->next_in;
          const uint32_t available = state->avail_in;
          isal_inflate_reset(state.get());
          state->crc_flag = ISAL_GZIP_NO_HDR_VER;
          state->next_in = next;
          state->avail_in = available;
        }
        continue;
      }
      if (state->block_state == ISAL_BLOCK_FINISH) {
        if (state->avail_in == 0) {
          if (inputEnded) end(0);  // the last member ended with the file
          continue;
        }
        header.emplace();  // another member follows
        continue;
      }
      const uint32_t inBefore = state->avail_in;
      const auto stateBefore = state->block_state;
      state->next_out = block.bytes.get() + block.size;
      state->avail_out = static_cast<uint32_t>(kBlockSize - block.size);
      const int status = isal_inflate(state.get());
      const size_t produced = kBlockSize - block.size - state->avail_out;
      block.size += produced;
      if (status < 0) {
        end(kDataDamaged);
      } else if (produced == 0 && state->avail_in == inBefore &&
                 state->block_state == stateBefore && state->block_state != ISAL_BLOCK_FINISH) {
        // No step without more compressed bytes: there are none when the file ended inside a
        // member.
        const long count = inputEnded || inBefore == kCompressedChunk ? 0 : readInput();
        if (count < 0)
          end(count);
        else if (count == 0)
          end(kDataDamaged);
      }
    }
    const bool last = block.last;
    if (!full.push(std::move(block)) || last) return;
  }
}

}  // namespace

GzipSource::GzipSource(std::unique_ptr<ByteSource> compressed) : empty_(kBlocks), full_(kBlocks) {
  for (size_t i = 0; i < kBlocks; ++i)
    empty_.push(Block());
  try {
    // The thread owns the compressed source; the reader only ever sees whole blocks.
    thread_ = std::thread([&empty = empty_, &full = full_, source = std::move(compressed)] {
      inflateBlocks(*source, empty, full);
    });
  } catch (...) {
    current_.last = true;
    current_.result = kReadFailed;
  }
}

GzipSource::~GzipSource() {
  empty_.close();
  full_.close();
  if (thread_.joinable()) thread_.join();
}

long GzipSource::read(uint8_t* destination, size_t capacity) {
  for (;;) {
    if (position_ < current_.size) {
      const size_t count = std::min(capacity, current_.size - position_);
      std::memcpy(destination, current_.bytes.get() + position_, count);
      position_ += count;
      return static_cast<long>(count);
    }
    if (current_.last) return current_.result;
    if (current_.bytes) empty_.push(std::move(current_));  // back for refilling
    std::optional<Block> next = full_.pop();
    if (!next) return kReadFailed;
    current_ = std::move(*next);
    position_ = 0;
  }
}

GzipSink::GzipSink(int fd)
    : file_(fd),
      stream_(std::make_unique<isal_zstream>()),
      levelBuffer_(std::make_unique_for_overwrite<uint8_t[]>(ISAL_DEF_LVL1_DEFAULT)),
      output_(std::make_unique_for_overwrite<uint8_t[]>(kBlockSize)) {
  static_assert(kGzipLevel == 1, "the level buffer is sized for level 1");
  isal_deflate_init(stream_.get());
  stream_->gzip_flag = IGZIP_GZIP;
  stream_->level = kGzipLevel;
  stream_->level_buf = levelBuffer_.get();
  stream_->level_buf_size = ISAL_DEF_LVL1_DEFAULT;
  stream_->next_out = output_.get();
  stream_->avail_out = kBlockSize;
}

GzipSink::~GzipSink() = default;

void GzipSink::deflate() {
  while (!failed_) {
    if (isal_deflate(stream_.get()) != COMP_OK) failed_ = true;
    const bool ended = stream_->end_of_stream && stream_->internal_state.state == ZSTATE_END;
    if (stream_->avail_out == 0 || ended) {
      file_.put(output_.get(), kBlockSize - stream_->avail_out);
      stream_->next_out = output_.get();
      stream_->avail_out = kBlockSize;
    }
    if (failed_ || (stream_->end_of_stream ? ended : stream_->avail_in == 0)) return;
  }
}

bool GzipSink::write(const uint8_t* data, size_t size) {
  // The stream counts its input in 32 bits.
  constexpr size_t kMostAtOnce = size_t{1} << 30;
  while (size > 0) {
    const size_t part = std::min(size, kMostAtOnce);
    stream_->next_in = const_cast<uint8_t*>(data);
    stream_->avail_in = static_cast<uint32_t>(part);
    deflate();
    data += part;
    size -= part;
  }
  return !failed_ && !file_.failed();
}

bool GzipSink::finish() {
  stream_->next_in = nullptr;
  stream_->avail_in = 0;
  stream_->end_of_stream = 1;
  deflate();
  return file_.flush() && !failed_;
}

bool namesGzipFile(std::string_view name) {
  if (name.size() < 3) return false;
  const std::string_view end = name.substr(name.size() - 3);
  return end[0] == '.' && (end[1] == 'g' || end[1] == 'G') && (end[2] == 'z' || end[2] == 'Z');
}

}  // namespace tessel
