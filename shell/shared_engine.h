// [AGW] SHARED: what start-up and the configuration check say about one
// engine connection for all three services: the callsigns that two
// services would both register on it (start-up refuses them), and the
// advice to share when the engine runs on this machine.
//
// Re-entrancy: pure apart from reading USERS.INI.
#pragma once

#include <string>
#include <vector>

#include "shell/check.h"
#include "shell/config.h"

namespace harvox {

// With SHARED=YES: one line per callsign that the gateway listens on and a
// user of USERS.INI (dir ends in '/') logs in as.  Empty otherwise.
std::vector<std::string> SharedCallClashes(const Settings& s, const std::string& dir);
// Whether [AGW] names this machine (a loopback address or "localhost").
bool EngineOnThisMachine(const Settings& s);
// The check's lines: the clashes as errors, or the advice as a note.
void ReportSharedEngine(const std::string& dir, const Settings& s, CheckReport& r);

}  // namespace harvox
