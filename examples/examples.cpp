#include "examples/examples.h"

#include <utility>
#include <vector>

#include "export/writer.h"

namespace tessel {

GdsLibrary buildExample1() {
  GdsLibrary library;
  library.name = kExampleLibraryName;
  GdsStructure arrowBox;
  arrowBox.name = "arrow_box";
  arrowBox.paths.emplace_back(1, 5, Coordinates{0, 200, 400}, Coordinates{700, 900, 700});
  arrowBox.paths.emplace_back(1, 5, Coordinates{200, 200}, Coordinates{900, 0});
  arrowBox.boundaries.emplace_back(2, Coordinates{0, 150, 150, 250, 250, 150, 150, 400, 400, 0, 0},
                                   Coordinates{0, 0, 250, 250, 150, 150, 0, 0, 400, 400, 0});
  library.addStructure(std::move(arrowBox));
  return library;
}

GdsLibrary buildExample2(const std::string& sourceFile) {
  GdsLibrary library;
  library.name = kExampleLibraryName;
  std::vector<GdsStructure> list(1);
  list[0].name = "example2";
  list[0].srefs.emplace_back("arrow_box", 0, 0);
  list[0].srefs.emplace_back("arrow_box", 500, 500, false, 0.0, 1.0);
  library.sourceFiles.push_back(sourceFile);
  library.appendStructures(list);
  return library;
}

int writeExample1(const std::string& fileName) {
  return writeLibrary(buildExample1(), fileName);
}

int writeExample2(const std::string& sourceFile, const std::string& fileName) {
  return writeLibrary(buildExample2(sourceFile), fileName);
}

}  // namespace tessel
