// Callsign clashes on a shared engine connection, and the advice to share.
#include "shell/shared_engine.h"

#include <map>

#include "telnetd/users_file.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/strings.h"

namespace harvox {
namespace {

// The gateway's callsigns: its own and one per route, with where each is set.
std::map<std::string, std::string> GatewayCalls(const Settings& s) {
  std::map<std::string, std::string> calls;
  calls[UpperText(s.ClientCallsign)] = "[TELNET] CLIENT_CALLSIGN";
  for (const auto& line : s.Routes) {
    const Route route = ParseRoute(line, s.Timeout, s.MaxTime);
    if (route.Valid()) calls.emplace(UpperText(route.Call), "the route " + route.Call);
  }
  return calls;
}

bool IsLoopbackName(const std::string& text) {
  const std::string t = UpperText(text);
  return t == "LOCALHOST" || t == "::1" || t == "[::1]" || t.rfind("127.", 0) == 0;
}

}  // namespace

std::vector<std::string> SharedCallClashes(const Settings& s, const std::string& dir) {
  if (!s.AgwShared || !s.TelnetEnabled) return {};
  const auto ini = IniFile::TryLoad(FindFile(dir + "USERS.INI"));
  if (!ini) return {};
  const auto gateway = GatewayCalls(s);
  std::vector<std::string> clashes;
  bool cut = false;
  for (const auto& line : ini->SectionLines("USERS", &cut)) {
    const UserEntry e = ParseUserEntry(line, s.NodePort, s.NodeCall);
    const std::string call = UpperText(e.Call.empty() ? e.Id : e.Call);
    auto it = gateway.find(call);
    if (it == gateway.end()) continue;
    clashes.push_back("[AGW] SHARED=YES: callsign " + call + " is both " + it->second +
                      " of the gateway and user " + e.Id +
                      "'s in USERS.INI; one engine connection can not register it for two "
                      "services (give one of them another callsign or SSID)");
  }
  return clashes;
}

bool EngineOnThisMachine(const Settings& s) {
  return s.AgwHostName.empty() ? IsLoopbackName(s.AgwAddress) : IsLoopbackName(s.AgwHostName);
}

void ReportSharedEngine(const std::string& dir, const Settings& s, CheckReport& r) {
  for (const auto& clash : SharedCallClashes(s, dir)) {
    r.Lines.push_back("ERROR: " + clash + " (Harvox will not start)");
    r.Usable = false;
  }
  if (s.AgwShared || !EngineOnThisMachine(s)) return;
  r.Lines.push_back(
      "NOTE: the engine runs on this machine: [AGW] SHARED=YES lets the Telnet server, the "
      "gateway and the monitor share one engine connection, and leaves two of direwolf's three "
      "client slots to other programs");
}

}  // namespace harvox
