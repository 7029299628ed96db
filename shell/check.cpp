// The configuration check: every setting with where its value came from,
// the routes as they will be registered, then what would make start-up fail,
// a part silently do nothing, or a door stand open.
#include "shell/check.h"

#include <set>

#include "net/address.h"
#include "net/ip_text.h"
#include "shell/check_users.h"
#include "shell/config.h"
#include "shell/shared_engine.h"
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
      return "DEFAULT: the file's value is no number";
    case SettingUse::Source::TakenAsNo:
      return "NO: the file's value is no flag";
    case SettingUse::Source::Refused:
      return "NOT UNDERSTOOD: Harvox will not start";
  }
  return "";
}

void ReportSettings(const Settings& s, const std::vector<SettingUse>& uses, CheckReport& r) {
  r.Lines.push_back("Settings in use:");
  for (const auto& u : uses) {
    const bool secret = u.Key == "PASSW" && !u.Value.empty();
    r.Lines.push_back("  [" + u.Section + "] " + u.Key + " = " + (secret ? "****" : u.Value) +
                      "  (" + SourceText(u.From) + ")");
  }
  for (const auto& w : s.Warnings) r.Lines.push_back("WARNING: " + w);
  for (const auto& e : s.Errors) r.Lines.push_back("ERROR: " + e + " (Harvox will not start)");
  if (!s.Errors.empty()) r.Usable = false;
  if (!DefaultNodeConfigured(s)) {
    r.Lines.push_back("ERROR: [TELNET] NODEPORT and NODECALL are required (Harvox will not start)");
    r.Usable = false;
  }
  CheckPlaceholder("[TELNET] NODECALL", s.NodeCall, r);
  CheckPlaceholder("[TELNET] CLIENT_CALLSIGN", s.ClientCallsign, r);
}

bool HasLowerCase(const std::string& call) { return UpperText(call) != call; }

void CheckRoute(const std::string& line, const Route& route, CheckReport& r) {
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
  if (route.Valid()) CheckPlaceholder("route", route.Call, r);
}

// How many route names fit the key list that start-up reads them through.
size_t RouteNamesRead(const IniFile& ini, size_t* in_file) {
  const auto entries = ini.Entries("TELNET.CLIENT");
  *in_file = entries.size();
  size_t length = 0, fit = 0;
  for (const auto& e : entries) {
    length += e.first.size() + 1;
    if (length > IniFile::kMaxKeyList) break;
    ++fit;
  }
  return fit;
}

void ReportRoutes(const IniFile& ini, const Settings& s, CheckReport& r) {
  size_t registered = 0;
  std::vector<std::string> listing;
  for (const auto& line : s.Routes) {
    const Route route = ParseRoute(line, s.Timeout, s.MaxTime);
    CheckRoute(line, route, r);
    if (!route.Valid()) continue;
    ++registered;
    const Listener& l = route.Target;
    listing.push_back("  " + l.Call + " -> " + l.Address + ":" + std::to_string(l.Port) + ", timeout " +
                      std::to_string(l.Timeout) + " ms, maxtime " + std::to_string(l.MaxTime) +
                      " ms" + (l.Quiet ? ", quiet" : ""));
  }
  size_t in_file = 0;
  const size_t read = RouteNamesRead(ini, &in_file);
  if (read < in_file) {
    r.Lines.push_back("WARNING: [TELNET.CLIENT] holds " + std::to_string(in_file) + " route names; only the first " +
                      std::to_string(read) + " are read (the names may take " +
                      std::to_string(IniFile::kMaxKeyList) + " bytes in all, one more each): the other " +
                      std::to_string(in_file - read) + " are ignored");
  }
  r.Lines.push_back("Routes registered: " + std::to_string(registered) + " (and the node prompt at " +
                    s.ClientCallsign + ")");
  for (auto& l : listing) r.Lines.push_back(std::move(l));
}

// Where each server would listen (a list not understood is an error of
// ReportSettings already).
void ReportListening(const Settings& s, CheckReport& r) {
  const struct {
    bool on;
    const char* what;
    int32_t port;
    std::vector<std::string> at;
  } servers[] = {{s.TelnetEnabled, "Telnet server", s.TelnetPort, s.TelnetBind},
                 {s.MonitorEnabled, "Monitor server", s.MonitorPort, s.MonitorBind},
                 {s.StatusPort != 0 && !s.StatusBind.empty(), "Status page", s.StatusPort, {s.StatusBind}}};
  for (const auto& server : servers) {
    if (!server.on || server.at.empty()) continue;
    std::string list;
    bool v6 = false;
    for (const auto& a : server.at) {
      list += (list.empty() ? "" : ", ") + net::EndpointText(a, server.port);
      v6 = v6 || a.find(':') != std::string::npos;
    }
    r.Lines.push_back(std::string(server.what) + " listens on " + list);
    if (v6 && !PathExists("/proc/net/if_inet6")) {
      r.Lines.push_back(std::string("WARNING: this system has no IPv6; the ") + server.what +
                        " can not listen on its IPv6 addresses and Harvox will not start");
    }
  }
  const auto bind = net::ParseAddress(s.StatusBind);
  const bool loopback = bind && (bind->ToString() == "::1" || bind->ToString().rfind("127.", 0) == 0);
  if (s.StatusPort != 0 && bind && !loopback) {
    r.Lines.push_back("WARNING: the status page has no login and shows who is connected from where; [STATUS] BIND=" +
                      s.StatusBind + " lets other machines read it");
  }
}

}  // namespace

void CheckPlaceholder(const std::string& what, const std::string& call, CheckReport& r) {
  std::string rest = UpperText(call);
  const std::string base = CutField(rest, '-');
  if (base == "N0CALL" || base == "N0NODE" || base == "NOCALL") {
    r.Lines.push_back("WARNING: " + what + " " + call + " is a placeholder callsign; put a real one");
  }
}

void ReportDuplicates(const char* file, const IniFile& ini, CheckReport& r) {
  std::set<std::string> seen;
  for (const auto& d : ini.Duplicates()) {
    if (!seen.insert(UpperText(d)).second) continue;
    r.Lines.push_back(std::string("WARNING: ") + file + " " + d +
                      " stands more than once; only the first one counts");
  }
}

void ReportGateway(const Settings& s, CheckReport& r) {
  r.Lines.push_back("Gateway: where T at the node prompt may lead, rules in the order they apply:");
  for (const auto& line : s.Gateway.Describe(ConfiguredLocalSide(s))) {
    r.Lines.push_back("  " + line);
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

// The configuration file as start-up reads it: missing, not a regular file
// or not readable all leave every key at its default.
IniFile LoadConfiguration(const std::string& dir, CheckReport& r) {
  const std::string path = FindFile(dir + "HARVOX.INI");
  if (!PathExists(path)) {
    r.Lines.push_back("ERROR: no HARVOX.INI in " + dir);
    return IniFile();
  }
  r.Lines.push_back("Configuration: " + path);
  if (!FileExists(path)) {
    r.Lines.push_back("ERROR: " + path + " is no regular file; it is not read");
    return IniFile();
  }
  auto ini = IniFile::TryLoad(path);
  if (!ini) {
    r.Lines.push_back("ERROR: " + path + " can not be read" + ReadableBy(path, dir));
    return IniFile();
  }
  return *ini;
}

CheckReport CheckConfiguration(const std::string& dir) {
  CheckReport r;
  const IniFile ini = LoadConfiguration(dir, r);
  std::vector<SettingUse> uses;
  const Settings s = ReadSettings(ini, &uses);
  ReportSettings(s, uses, r);
  ReportDuplicates("HARVOX.INI", ini, r);
  ReportListening(s, r);
  ReportRoutes(ini, s, r);
  ReportGateway(s, r);
  ReportUsers(dir, s, r);
  ReportSharedEngine(dir, s, r);
  ReportTextFiles(dir, r);
  r.Lines.push_back(r.Usable ? "Configuration usable." : "Configuration NOT usable.");
  return r;
}

}  // namespace harvox
