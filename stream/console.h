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

// Makes standard output block-buffered with a large buffer when it is not a terminal.
void setUpConsole();

// True once a write to standard output has failed (a full disk, a closed pipe).
bool consoleFailed();

}  // namespace tessel
