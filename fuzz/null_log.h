// A trace log at full level that writes to /dev/null, so fuzz inputs also
// run through every trace line without filling a disk.
#pragma once

#include "util/log.h"

namespace harvox::fuzz {

inline TLog& NullLog() {
  static TLog* log = [] {
    auto* l = new TLog;
    l->FileName = "/dev/null";
    l->TraceLevel = 5;
    l->SetActive(true);
    return l;
  }();
  return *log;
}

}  // namespace harvox::fuzz
