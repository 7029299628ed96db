// `harvox --check`: reads the configuration of a working directory the way
// start-up reads it and says, for an operator, what is in use and what is
// wrong with it.  Never opens a socket and writes no file.
//
// Re-entrancy: pure apart from reading files.
#pragma once

#include <string>
#include <vector>

namespace harvox {

struct CheckReport {
  std::vector<std::string> Lines;
  bool Usable = true;  // start-up would run with it
};

// `dir` ends in '/'.
CheckReport CheckConfiguration(const std::string& dir);

}  // namespace harvox
