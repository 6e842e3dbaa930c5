#include "cli/dispatcher.h"
#include "stream/console.h"

int main(int argc, char** argv) {
  tessel::setUpConsole();
  return tessel::runCommand(argc, argv);
}
