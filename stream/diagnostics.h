// Where the messages of a piece of work go, and the one form of a report about a record: its
// message, then the line that says where the record stands in the input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessel {

// Where a record stands in its input: the offset of its first byte and its 1-based number.
struct RecordPosition {
  uint64_t offset = 0;
  uint64_t number = 0;
};

// Message lines go straight to standard output, or, for work done on a helper thread, into a
// text that the thread that owns standard output prints in order.
class MessageSink {
 public:
  // Prints at once.
  MessageSink() = default;
  // Keeps the lines in `kept`.
  explicit MessageSink(std::string& kept) : kept_(&kept) {}
  void line(std::string_view text);
  void quoted(std::string_view prefix, std::string_view name, std::string_view suffix);
  // A damaged or unknown record: `message`, then `  at byte OFFSET, record NUMBER.`, or
  // `..., in structure "NAME".` inside a named structure.
  void report(std::string_view message, RecordPosition position,
              std::optional<std::string_view> structure);

 private:
  std::string* kept_ = nullptr;
};

}  // namespace tessel
