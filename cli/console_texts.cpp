#include "cli/console_texts.h"

#include "stream/console.h"

namespace tessel {

void printBanner() {
  static const char* const kBanner[] = {
      "              ___     ___",
      "             |   |   |   |",
      "             |___|   |___|",
      " __            |       |            __",
      "|  |___        |       |        ___|  |",
      "|__|   |     __|_______|__     |   |__|",
      "       |____|             |____|",
      " __         |             |         __",
      "|  |________|   Tessel    |________|  |",
      "|__|        |             |        |__|",
      "        ____|             |____",
      " __    |    |_____________|    |    __",
      "|  |___|       |       |       |___|  |",
      "|__|           |       |           |__|",
      "              _|_     _|_",
      "             |   |   |   |",
      "             |___|   |___|",
  };
  for (const char* line : kBanner)
    printLine(line);
}

void printHelp() {
  static const char* const kHelp[] = {
      "===============================================================================",
      "Usage: Tessel [ OPTION ] [ filenames ]",
      "-g(DS)          Does stuffs.",
      "                  [.gds/.gds2/ file] -o [.gds2 file]",
      "-i(nterpret)    Translates a GDS file directly to ASCII.",
      "                  [.gds/.gds2/ file]",
      "-r(ead)  \t\t   Reads in specified file.",
      "                  [.gds/.gds2/ file]",
      "-rw(read/write) Reads in a GDS file and writes out what is stored.",
      "                  [.gds/.gds2/ file] -o [.gds2 file]",
      "-rt(able)       Reports the structures, layers and roots of a GDS file.",
      "                  [.gds/.gds2/ file] [-o report.json/.txt]",
      "-v(ersion)    Displays the version number.",
      "-h(elp)       Help screen.",
      "===============================================================================",
  };
  for (const char* line : kHelp)
    printLine(line);
}

}  // namespace tessel
