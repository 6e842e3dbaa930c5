#include "stream/diagnostics.h"

#include "stream/console.h"

namespace tessel {

void MessageSink::line(std::string_view text) {
  if (!kept_) return printLine(text);
  kept_->append(text).push_back('\n');
}

void MessageSink::quoted(std::string_view prefix, std::string_view name, std::string_view suffix) {
  if (!kept_) return printQuoted(prefix, name, suffix);
  kept_->append(prefix).append(1, '"').append(name).append(1, '"').append(suffix).push_back('\n');
}

void MessageSink::report(std::string_view message, RecordPosition position,
                         std::optional<std::string_view> structure) {
  line(message);
  std::string where = "  at byte " + std::to_string(position.offset) + ", record " +
                      std::to_string(position.number);
  if (structure) where.append(", in structure \"").append(*structure).append("\"");
  where.push_back('.');
  line(where);
}

}  // namespace tessel
