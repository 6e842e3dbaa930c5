// An immutable string held by a reference-counted handle of one pointer. Element names repeat
// across millions of references; sharing one copy per name keeps the model small. It behaves as
// a value: copies compare equal and nothing can change the text behind a handle. The count is
// atomic, so handles to one text may be copied and dropped on any threads: a model read on one
// thread can be summed up on several.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>

namespace tessel {

// A fast hash for names (cell names are short and many): 8 bytes at a time. Each chunk is
// multiplied on its own, so the chunks of a name are mixed side by side and only a rotate and an
// xor chain them; a final avalanche spreads every bit.
inline size_t hashName(std::string_view text) noexcept {
  const char* p = text.data();
  const size_t size = text.size();
  auto load8 = [](const char* at) {
    uint64_t chunk;
    std::memcpy(&chunk, at, sizeof chunk);
    return chunk;
  };
  uint64_t hash = 0x9E3779B97F4A7C15ULL ^ size;
  auto mix = [&hash](uint64_t chunk) {
    hash = ((hash << 23) | (hash >> 41)) ^ (chunk * 0xBF58476D1CE4E5B9ULL);
  };
  if (size >= 8) {
    size_t offset = 0;
    for (; offset + 8 < size; offset += 8)
      mix(load8(p + offset));
    mix(load8(p + size - 8));  // the last 8 bytes, overlapping the chunk before when need be
  } else {
    uint64_t tail = 0;
    for (size_t i = 0; i < size; ++i)
      tail |= uint64_t(uint8_t(p[i])) << (8 * i);
    mix(tail);
  }
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDULL;
  return static_cast<size_t>(hash ^ (hash >> 33));
}

class SharedString {
 public:
  SharedString() noexcept = default;
  SharedString(std::string_view text);
  SharedString(const char* text) : SharedString(std::string_view(text)) {}
  SharedString(const std::string& text) : SharedString(std::string_view(text)) {}
  SharedString(const SharedString& other) noexcept : rep_(other.rep_) {
    if (rep_) rep_->references.fetch_add(1, std::memory_order_relaxed);
  }
  SharedString(SharedString&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  SharedString& operator=(const SharedString& other) noexcept {
    if (rep_ == other.rep_) return *this;
    SharedString copy(other);
    std::swap(rep_, copy.rep_);
    return *this;
  }
  SharedString& operator=(SharedString&& other) noexcept {
    std::swap(rep_, other.rep_);
    return *this;
  }
  ~SharedString() {
    if (rep_ && rep_->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
      ::operator delete(rep_);
  }

  size_t size() const noexcept { return rep_ ? rep_->size : 0; }
  bool empty() const noexcept { return size() == 0; }
  const char* data() const noexcept { return rep_ ? rep_->text : ""; }
  const char* c_str() const noexcept { return data(); }
  const char* begin() const noexcept { return data(); }
  const char* end() const noexcept { return data() + size(); }
  char operator[](size_t i) const noexcept { return data()[i]; }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }
  explicit operator std::string() const { return str(); }
  // Equal handles share one text; a cheap key for caches.
  const void* identity() const noexcept { return rep_; }

  friend bool operator==(const SharedString& a, const SharedString& b) noexcept {
    return a.rep_ == b.rep_ || a.view() == b.view();
  }
  friend bool operator==(const SharedString& a, std::string_view b) noexcept {
    return a.view() == b;
  }
  friend bool operator==(const SharedString& a, const std::string& b) noexcept {
    return a.view() == b;
  }
  friend bool operator==(const SharedString& a, const char* b) noexcept {
    return a.view() == std::string_view(b);
  }
  friend std::string operator+(const std::string& a, const SharedString& b) {
    return a + std::string(b.view());
  }
  friend std::string operator+(const char* a, const SharedString& b) {
    return std::string(a) + std::string(b.view());
  }
  friend std::ostream& operator<<(std::ostream& out, const SharedString& text);

 private:
  friend class InternTable;
  // A handle to `from`'s text whose reference was counted in advance (see InternTable).
  struct Counted {};
  SharedString(const SharedString& from, Counted) noexcept : rep_(from.rep_) {}
  // Counts `count` references more in one step, or lets go of as many.
  void addReferences(uint32_t count) const noexcept {
    rep_->references.fetch_add(count, std::memory_order_relaxed);
  }
  void dropReferences(uint32_t count) const noexcept {
    if (rep_->references.fetch_sub(count, std::memory_order_acq_rel) == count)
      ::operator delete(rep_);
  }

  struct Rep {
    std::atomic<uint32_t> references;
    uint32_t size;
    char text[1];  // size bytes and a NUL
  };
  Rep* rep_ = nullptr;
};

}  // namespace tessel

template <>
struct std::hash<tessel::SharedString> {
  size_t operator()(const tessel::SharedString& text) const noexcept {
    return tessel::hashName(text.view());
  }
};
