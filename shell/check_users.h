// Pieces of the configuration check shared by its files: the users file,
// placeholder callsigns, repeated keys, and who may read a file this user
// can not.
//
// Re-entrancy: pure apart from reading files and the user database.
#pragma once

#include <string>

#include "shell/check.h"
#include "shell/config.h"
#include "util/ini.h"

namespace harvox {

// USERS.INI: who can log in, who never can, and the doors left open.
void ReportUsers(const std::string& dir, const Settings& s, CheckReport& r);
// A warning when call is one of the callsigns of the examples.
void CheckPlaceholder(const std::string& what, const std::string& call, CheckReport& r);
// One warning per key that stands more than once in its section.
void ReportDuplicates(const char* file, const IniFile& ini, CheckReport& r);
// For a file this process could not read: its owner and mode, and the
// command that runs the check as a user who can read it.
std::string ReadableBy(const std::string& path, const std::string& dir);

}  // namespace harvox
