// The two example libraries of -g.
#pragma once

#include <string>

#include "model/library.h"

namespace tessel {

// The library name the example files carry.
inline constexpr const char* kExampleLibraryName = "Fernwall.db";

// The library of "arrow_box": two paths drawing an arrow and a boundary.
GdsLibrary buildExample1();
// The library of "example2": two references to "arrow_box", which comes from `sourceFile`.
GdsLibrary buildExample2(const std::string& sourceFile);

// Build and write; 0 when written, 1 otherwise.
int writeExample1(const std::string& fileName);
int writeExample2(const std::string& sourceFile, const std::string& fileName);

}  // namespace tessel
