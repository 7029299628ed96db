// The sections and keys HARVOX.INI knows, in one table, and the nearest
// known name for one it does not know (a misspelt MAXUSER, a [TELNETT]).
// A new setting gets its line in the table in settings_keys.cpp.
//
// Re-entrancy: pure functions over a constant table.
#pragma once

#include <string>
#include <vector>

#include "util/ini.h"

namespace harvox {

// One remark per section or key of the file that Harvox does not read,
// such as "[TELNET] MAXUSER is no setting of Harvox (MAXUSERS?); it is
// ignored".  Sections whose keys are free (routes) take any key.
std::vector<std::string> UnknownSettings(const IniFile& ini);

}  // namespace harvox
