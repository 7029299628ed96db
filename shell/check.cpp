// The configuration check: every setting with where its value came from,
// then what would make start-up fail or a part silently do nothing.
#include "shell/check.h"

#include "shell/config.h"
#include "telnetd/users_file.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/strings.h"

namespace harvox {
namespace {

const char* SourceText(SettingUse::Source s) {
  switch (s) {
    case SettingUse::Source::File:
      return "from the file";
    case SettingUse::Source::Default:
      return "default";
    case SettingUse::Source::Fallback:
      return "DEFAULT: the file's value is no number or flag";
  }
  return "";
}

void ReportSettings(const IniFile& ini, const std::vector<SettingUse>& uses, CheckReport& r) {
  r.Lines.push_back("Settings in use:");
  for (const auto& u : uses) {
    const bool secret = u.Key == "PASSW" && !u.Value.empty();
    r.Lines.push_back("  [" + u.Section + "] " + u.Key + " = " + (secret ? "****" : u.Value) +
                      "  (" + SourceText(u.From) + ")");
    if (u.From == SettingUse::Source::Fallback) {
      r.Lines.push_back("  WARNING: [" + u.Section + "] " + u.Key + "=" + *ini.Get(u.Section, u.Key) +
                        " was not understood; the default is used");
    }
  }
}

bool IsPort(int32_t port) { return port > 0 && port <= 65535; }

void ReportPorts(const Settings& s, CheckReport& r) {
  if (!DefaultNodeConfigured(s)) {
    r.Lines.push_back("ERROR: [TELNET] NODEPORT and NODECALL are required (Harvox will not start)");
    r.Usable = false;
  }
  const struct {
    bool on;
    const char* what;
    int32_t port;
  } ports[] = {{s.TelnetEnabled, "[TELNET] PORT", s.TelnetPort},
               {s.MonitorEnabled, "[MONITOR] PORT", s.MonitorPort},
               {true, "[AGW] PORT", s.AgwPort}};
  for (const auto& p : ports) {
    if (p.on && !IsPort(p.port)) {
      r.Lines.push_back(std::string("ERROR: ") + p.what + " " + std::to_string(p.port) +
                        " is no TCP port");
      r.Usable = false;
    }
  }
}

bool HasLowerCase(const std::string& call) { return UpperText(call) != call; }

void ReportRoutes(const Settings& s, CheckReport& r) {
  for (const auto& line : s.Routes) {
    const Route route = ParseRoute(line, s.Timeout, s.MaxTime);
    if (route.Call.empty()) {
      r.Lines.push_back("WARNING: route line '" + line + "' has no callsign; it adds no listener");
    } else if (!route.Valid()) {
      r.Lines.push_back("WARNING: route " + route.Call + " has no host; it adds no listener");
    } else if (HasLowerCase(route.Call)) {
      r.Lines.push_back("WARNING: route callsign " + route.Call +
                        " has lower-case letters; the engine reports callsigns in upper case, so "
                        "no station will ever reach it");
    }
    if (route.Valid() && !route.PortText.empty() && !IsNumeric(route.PortText)) {
      r.Lines.push_back("WARNING: route " + route.Call + " port '" + route.PortText +
                        "' is no number; port 23 is used");
    }
  }
}

void ReportDuplicates(const char* file, const IniFile& ini, CheckReport& r) {
  for (const auto& d : ini.Duplicates()) {
    r.Lines.push_back(std::string("WARNING: ") + file + " " + d +
                      " stands more than once; only the first one counts");
  }
}

bool OnlyLettersAndDigits(const std::string& s) { return KeepAlphaNum(s) == s; }

// Typed ids and passwords are cleaned to letters and digits before they
// are compared, so an entry with anything else in them is never matched.
void ReportUsers(const std::string& dir, const Settings& s, CheckReport& r) {
  const std::string path = FindFile(dir + "USERS.INI");
  if (!FileExists(path)) {
    r.Lines.push_back("WARNING: no USERS.INI: every Telnet login fails");
    return;
  }
  const auto ini = IniFile::TryLoad(path);
  if (!ini) {
    r.Lines.push_back("ERROR: USERS.INI can not be read");
    r.Usable = false;
    return;
  }
  ReportDuplicates("USERS.INI", *ini, r);
  bool cut = false;
  const auto lines = ini->SectionLines("USERS", &cut);
  if (cut) r.Lines.push_back("WARNING: USERS.INI has more ids than the key list holds; later ids can not log in");
  size_t usable = 0;
  for (const auto& line : lines) {
    const UserEntry e = ParseUserEntry(line, s.NodePort, s.NodeCall);
    if (!OnlyLettersAndDigits(e.Id)) {
      r.Lines.push_back("WARNING: user " + e.Id + " can never log in: the id has characters other than letters and digits");
    } else if (e.Password.empty()) {
      r.Lines.push_back("WARNING: user " + e.Id + " can never log in: no password");
    } else if (!OnlyLettersAndDigits(e.Password)) {
      r.Lines.push_back("WARNING: user " + e.Id + " can never log in: the password has characters other than letters and digits");
    } else {
      ++usable;
    }
  }
  r.Lines.push_back("USERS.INI: " + std::to_string(usable) + " of " + std::to_string(lines.size()) +
                    " users can log in (passwords are not shown)");
}

void ReportGateway(const Settings& s, CheckReport& r) {
  r.Lines.push_back("Gateway: where T at the node prompt may lead, rules in the order they apply:");
  for (const auto& line : s.Gateway.Describe(ConfiguredLocalSide(s))) {
    r.Lines.push_back("  " + line);
  }
  for (const auto& e : s.GatewayErrors) {
    r.Lines.push_back("ERROR: " + e + " (Harvox will not start)");
    r.Usable = false;
  }
}

void ReportTextFiles(const std::string& dir, CheckReport& r) {
  static const char* const kFiles[] = {
      "WELCOME.TNS", "BUSY.TNS",     "SYSTEM.TNS",  "MAXUSER.TNS", "BADID.TNS",
      "LOGINERR.TNS", "INACTIVE.TNS", "MOTD.TNS",   "ALREADY.TNS", "GOODBYE.TNS",
      "WELCOME.TNC", "PROMPT.TNC",   "GOODBYE.TNC", "HELP.TNC"};
  std::string found, missing;
  for (const char* name : kFiles) {
    std::string& list = FileExists(FindFile(dir + "TEXT/" + name)) ? found : missing;
    list += std::string(list.empty() ? "" : " ") + name;
  }
  r.Lines.push_back("TEXT/ files found: " + (found.empty() ? std::string("none") : found));
  r.Lines.push_back("TEXT/ files missing (built-in texts used): " +
                    (missing.empty() ? std::string("none") : missing));
}

}  // namespace

CheckReport CheckConfiguration(const std::string& dir) {
  CheckReport r;
  const std::string ini_path = FindFile(dir + "HARVOX.INI");
  if (!FileExists(ini_path)) {
    r.Lines.push_back("ERROR: no HARVOX.INI in " + dir);
  } else {
    r.Lines.push_back("Configuration: " + ini_path);
  }
  const IniFile ini = IniFile::Load(ini_path);
  std::vector<SettingUse> uses;
  const Settings s = ReadSettings(ini, &uses);
  ReportSettings(ini, uses, r);
  ReportDuplicates("HARVOX.INI", ini, r);
  ReportPorts(s, r);
  ReportRoutes(s, r);
  ReportGateway(s, r);
  ReportUsers(dir, s, r);
  ReportTextFiles(dir, r);
  r.Lines.push_back(r.Usable ? "Configuration usable." : "Configuration NOT usable.");
  return r;
}

}  // namespace harvox
