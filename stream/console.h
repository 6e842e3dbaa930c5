// Message lines on standard output. Standard output is line-buffered on a terminal and
// block-buffered otherwise; flushConsole() runs before any child process and before exit.
#pragma once

#include <string>
#include <string_view>

namespace tessel {

void printLine(std::string_view line);
// Writes raw text without adding a newline.
void printText(std::string_view text);
void flushConsole();

// `prefix` + '"' + name + '"' + `suffix`, the shape of most messages that name a file.
void printQuoted(std::string_view prefix, std::string_view name, std::string_view suffix);

// Where the message lines of a piece of work go: straight to standard output, or, for work done
// on a helper thread, into a text that the thread that owns standard output prints in order.
class MessageSink {
 public:
  // Prints at once.
  MessageSink() = default;
  // Keeps the lines in `kept`.
  explicit MessageSink(std::string& kept) : kept_(&kept) {}
  void line(std::string_view text);
  void quoted(std::string_view prefix, std::string_view name, std::string_view suffix);

 private:
  std::string* kept_ = nullptr;
};

// Makes standard output block-buffered with a large buffer when it is not a terminal.
void setUpConsole();

// True once a write to standard output has failed (a full disk, a closed pipe).
bool consoleFailed();

}  // namespace tessel
