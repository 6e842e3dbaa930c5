#include "stream/console.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tessel {

void printText(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void printLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

void printQuoted(std::string_view prefix, std::string_view name, std::string_view suffix) {
  std::string line;
  line.reserve(prefix.size() + name.size() + suffix.size() + 2);
  line.append(prefix).append(1, '"').append(name).append(1, '"').append(suffix);
  printLine(line);
}

void flushConsole() {
  std::fflush(stdout);
}

bool consoleFailed() {
  return std::ferror(stdout) != 0;
}

void setUpConsole() {
  if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

}  // namespace tessel
