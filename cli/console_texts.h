// The fixed texts of the command line: banner, help screen.
#pragma once

namespace tessel {

void printBanner();
void printHelp();

}  // namespace tessel
