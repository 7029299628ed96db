// Reading rules for HARVOX.INI.  A number is a non-empty run of decimal
// digits that fits a signed 32-bit integer; anything else takes the
// fallback, with a warning.  A flag is on for YES/TRUE/ON and off for
// NO/FALSE/OFF in any case, except CRLF, which is on only in capitals; any
// other word is taken as NO with a warning, and for SECURITY stops start-up
// (an unclear answer there must not let everybody in).
#include "shell/config.h"

#include <utility>

#include "net/address.h"
#include "net/ip_text.h"
#include "shell/settings_keys.h"
#include "util/strings.h"

namespace harvox {
namespace {

using Source = SettingUse::Source;

bool IsOnWord(const std::string& v) { return v == "YES" || v == "TRUE" || v == "ON"; }
bool IsFlagWord(const std::string& v) {
  return IsOnWord(v) || v == "NO" || v == "FALSE" || v == "OFF";
}

// The usual slip behind a value that is not understood.
std::string CommentHint(const std::string& raw) {
  return raw.find(';') == std::string::npos ? ""
                                            : " (a comment must stand on a line of its own)";
}

class Reader {
 public:
  enum class FlagRule { AnyCase, Capitals, Required };

  Reader(const IniFile& ini, std::vector<SettingUse>* uses, Settings& s)
      : ini_(ini), uses_(uses), s_(s) {}
  std::string Text(const char* section, const char* key, const std::string& def) const {
    const std::string v = ini_.ReadString(section, key, def);
    Note(section, key, v, Source::File);
    return v;
  }
  std::string Upper(const char* section, const char* key, const std::string& def) const {
    const std::string v = UpperText(ini_.ReadString(section, key, def));
    Note(section, key, v, Source::File);
    return v;
  }
  int32_t Number(const char* section, const char* key, int32_t def) const {
    const auto raw = ini_.Get(section, key);
    const auto v = raw ? ToInt32(*raw) : std::optional<int32_t>(def);
    if (!v) {
      s_.Warnings.push_back(Name(section, key) + "=" + *raw + " was not understood" + CommentHint(*raw) +
                            "; the default " + std::to_string(def) + " is used");
    }
    Note(section, key, std::to_string(v.value_or(def)), v ? Source::File : Source::Fallback);
    return v.value_or(def);
  }
  bool Flag(const char* section, const char* key, bool def, FlagRule rule = FlagRule::AnyCase) const {
    const auto raw = ini_.Get(section, key);
    if (!raw) {
      Note(section, key, def ? "YES" : "NO", Source::File);
      return def;
    }
    const std::string upper = UpperText(*raw);
    const bool on = IsOnWord(rule == FlagRule::Capitals ? *raw : upper);
    if (IsFlagWord(upper) && (on || !IsOnWord(upper))) {
      Note(section, key, on ? "YES" : "NO", Source::File);
      return on;
    }
    const std::string what = Name(section, key) + "=" + *raw + " was not understood" + CommentHint(*raw);
    if (rule == FlagRule::Required) {
      s_.Errors.push_back(what + "; write YES or NO");
      Note(section, key, *raw, Source::Refused);
      return def;  // never weaker than the default, although start-up stops
    }
    s_.Warnings.push_back(what + (IsFlagWord(upper) ? "; taken as NO (on only when written in capitals)"
                                                    : "; taken as NO (a flag is YES or NO)"));
    Note(section, key, "NO", Source::TakenAsNo);
    return false;
  }
  // A list of addresses to listen on.  One that is not understood stops
  // start-up: a wrong guess could open a port to the world.
  std::vector<std::string> Addresses(const char* section, const char* key) const {
    const std::string raw = ini_.ReadString(section, key, "0.0.0.0");
    std::string why;
    const auto list = net::ParseListenList(raw, &why);
    if (!list) {
      s_.Errors.push_back(Name(section, key) + "=" + raw + ": " + why + CommentHint(raw));
      Note(section, key, raw, Source::Refused);
      return {};
    }
    std::string shown;
    for (const auto& a : *list) shown += (shown.empty() ? "" : ",") + a;
    Note(section, key, shown, Source::File);
    return *list;
  }

 private:
  static std::string Name(const char* section, const char* key) {
    return std::string("[") + section + "] " + key;
  }
  // A key missing from the file is a default, whatever the reading.
  void Note(const char* section, const char* key, const std::string& value, Source from) const {
    if (!uses_) return;
    uses_->push_back({section, key, value, ini_.Get(section, key) ? from : Source::Default});
  }
  const IniFile& ini_;
  std::vector<SettingUse>* uses_;
  Settings& s_;
};

void ReadGeneral(const Reader& r, Settings& s) {
  s.LogFile = r.Text("HARVOX", "LOGFILE", s.LogFile);
  s.Trace = r.Number("HARVOX", "TRACE", 0);
  s.CrLf = r.Flag("HARVOX", "CRLF", false, Reader::FlagRule::Capitals);
  s.Recover = r.Flag("HARVOX", "RECOVER", true);
  s.AgwAddress = r.Text("AGW", "ADDRESS", s.AgwAddress);
  s.AgwHostName = r.Text("AGW", "HOSTNAME", "");
  s.AgwLogin = r.Text("AGW", "LOGIN", "");
  s.AgwPassword = r.Text("AGW", "PASSW", "");
  s.AgwPort = r.Number("AGW", "PORT", 8000);
  s.AgwShared = r.Flag("AGW", "SHARED", false);
}

void ReadTelnet(const Reader& r, Settings& s) {
  s.TelnetEnabled = r.Flag("TELNET", "ENABLED", true);
  s.Security = r.Flag("TELNET", "SECURITY", true, Reader::FlagRule::Required);
  s.ServerCallsign = r.Upper("TELNET", "SERVER_CALLSIGN", "TELNET");
  s.ClientCallsign = r.Upper("TELNET", "CLIENT_CALLSIGN", "TNCLI");
  s.Welcome = r.Text("TELNET", "WELCOME", "");
  s.Prompt = r.Text("TELNET", "PROMPT", "");
  s.Bye = r.Text("TELNET", "BYE", "");
  s.NodePort = r.Number("TELNET", "NODEPORT", 0);
  s.TelnetPort = r.Number("TELNET", "PORT", 23);
  s.Timeout = r.Number("TELNET", "TIMEOUT", 600000);
  s.MaxTime = r.Number("TELNET", "MAXTIME", 3600000);
  s.MaxUsers = r.Number("TELNET", "MAXUSERS", 10);
  s.NodeCall = r.Upper("TELNET", "NODECALL", "");
  s.TelnetBind = r.Addresses("TELNET", "BIND");
}

void ReadMonitor(const Reader& r, Settings& s) {
  s.MonitorEnabled = r.Flag("MONITOR", "ENABLED", true);
  s.Split = r.Flag("MONITOR", "SPLIT", true);
  s.Details = r.Flag("MONITOR", "DETAILS", true);
  s.MonitorOwn = r.Flag("MONITOR", "OWN", true);
  s.MonitorRaw = r.Flag("MONITOR", "RAW", false);
  s.MonitorTimestamp = r.Flag("MONITOR", "TIMESTAMP", false);
  s.MonitorPort = r.Number("MONITOR", "PORT", 8123);
  s.Mask = r.Upper("MONITOR", "MASK", "IUSC");
  s.MonitorBind = r.Addresses("MONITOR", "BIND");
  s.MaxViewers = r.Number("MONITOR", "MAXVIEWERS", 64);
}

// The status page shows who is connected from where: it listens on one
// address, this machine's own unless BIND says otherwise, and a value not
// understood leaves it off or stops start-up, never opens it wider.
void ReadStatus(const Reader& r, const IniFile& ini, Settings& s) {
  s.StatusPort = r.Number("STATUS", "PORT", 0);
  if (ini.Get("STATUS", "BIND")) {
    const auto list = r.Addresses("STATUS", "BIND");
    if (list.size() > 1) s.Errors.push_back("[STATUS] BIND takes one address, not a list");
    s.StatusBind = list.size() == 1 ? list.front() : "";
  } else {
    s.StatusBind = r.Text("STATUS", "BIND", s.StatusBind);
  }
#ifndef HARVOX_STATUS_PAGE
  if (s.StatusPort != 0) {
    s.Errors.push_back("[STATUS] PORT=" + std::to_string(s.StatusPort) +
                       ": the status page is not built in (libmicrohttpd was missing at build time)");
  }
#endif
}

bool IsPort(int32_t port) { return port > 0 && port <= 65535; }

// A port no service can listen on or reach stops start-up: 0 would listen
// on a port the kernel picks, which nobody can find.
void CheckPorts(Settings& s) {
  const struct {
    bool used;
    const char* name;
    int32_t port;
  } ports[] = {{s.TelnetEnabled, "[TELNET] PORT", s.TelnetPort},
               {s.MonitorEnabled, "[MONITOR] PORT", s.MonitorPort},
               {true, "[AGW] PORT", s.AgwPort},
               {s.StatusPort != 0, "[STATUS] PORT", s.StatusPort}};
  for (const auto& p : ports) {
    if (p.used && !IsPort(p.port)) {
      s.Errors.push_back(std::string(p.name) + " " + std::to_string(p.port) +
                         " is no TCP port (1 to 65535)");
    }
  }
}

// Entries not understood, a list longer than a value may be (cut, it could
// lose DENY entries or end in a different one) and a key given twice (only
// the first counts) all leave the rules other than the sysop wrote them:
// start-up refuses each.
void ReadGateway(const Reader& r, const IniFile& ini, Settings& s) {
  s.GatewayAllow = r.Text("GATEWAY", "ALLOW", "");
  s.GatewayDeny = r.Text("GATEWAY", "DENY", "");
  s.Gateway = Destinations::Parse(s.GatewayAllow, s.GatewayDeny, s.Errors);
  s.MaxCircuits = r.Number("GATEWAY", "MAXCIRCUITS", 256);
  const std::pair<const char*, const std::string*> keys[] = {{"ALLOW", &s.GatewayAllow},
                                                              {"DENY", &s.GatewayDeny}};
  for (const auto& [key, value] : keys) {
    if (value->size() >= IniFile::kMaxValue) {
      s.Errors.push_back(std::string("[GATEWAY] ") + key + " is longer than " +
                         std::to_string(IniFile::kMaxValue - 1) + " characters");
    }
    for (const auto& d : ini.Duplicates()) {
      if (UpperText(d) == std::string("[GATEWAY] ") + key) {
        s.Errors.push_back(std::string("[GATEWAY] ") + key +
                           " stands more than once; write all its entries on one line");
        break;
      }
    }
  }
}

void ReadRoutes(const IniFile& ini, Settings& s) {
  bool cut = false;
  s.Routes = ini.SectionLines("TELNET.CLIENT", &cut);
  if (ini.Truncated()) {
    s.Notes.push_back("Create: HARVOX.INI is longer than " + std::to_string(IniFile::kMaxFileSize) +
                      " bytes, the rest is not read");
  }
  if (cut) {
    s.Notes.push_back("Create: Section TELNET.CLIENT holds more route names than " +
                      std::to_string(IniFile::kMaxKeyList) + " bytes, later routes are ignored");
  }
}

}  // namespace

Settings ReadSettings(const IniFile& ini, std::vector<SettingUse>* uses) {
  Settings s;
  const Reader r(ini, uses, s);
  ReadGeneral(r, s);
  ReadTelnet(r, s);
  ReadMonitor(r, s);
  ReadGateway(r, ini, s);
  ReadStatus(r, ini, s);
  ReadRoutes(ini, s);
  CheckPorts(s);
  for (auto& w : UnknownSettings(ini)) s.Warnings.push_back(std::move(w));
  return s;
}

std::vector<std::string> ParameterDump(const Settings& s) {
  const auto n = [](int32_t v) { return std::to_string(v); };
  // Credentials never reach the log in clear.
  const std::string password = s.AgwPassword.empty() ? "" : "****";
  return {
      "Create: Starting Harvox Version 1.20.00",
      "Create: Parameters",
      "  General",
      "      LOGFILE:     " + s.LogFile,
      "      TRACE:       " + n(s.Trace),
      "      RECOVER:     " + BoolToStr(s.Recover),
      "  AGWPE",
      "      HOST:        " + s.AgwHostName,
      "      ADDRESS:     " + s.AgwAddress,
      "      PORT:        " + n(s.AgwPort),
      "      LOGIN:       " + s.AgwLogin,
      "      PASSWORD:    " + password,
      "  TELNET",
      "      SERVER CALL  " + s.ServerCallsign,
      "      CLIENT CALL  " + s.ClientCallsign,
      "      PORT:        " + n(s.TelnetPort),
      "      TIMEOUT:     " + n(s.Timeout),
      "      MAX TIME:    " + n(s.MaxTime),
      "      MAX USER:    " + n(s.MaxUsers),
      "      NODEPORT:    " + n(s.NodePort),
      "      NODECALL:    " + s.NodeCall,
      "      WELCOME:     " + s.Welcome,
      "      PROMPT:      " + s.Prompt,
      "      BYE:         " + s.Bye,
      "      SECURITY:    " + BoolToStr(s.Security),
      "  MONITOR",
      "      ENABLED:     " + BoolToStr(s.MonitorEnabled),
      "      PORT:        " + n(s.MonitorPort),
      "      SPLIT:       " + BoolToStr(s.Split),
      "      CRLF:        " + BoolToStr(s.CrLf),
      "      MASK:        " + s.Mask,
      "      DETAILS:     " + BoolToStr(s.Details),
  };
}

Route ParseRoute(const std::string& line, int32_t timeout, int32_t maxtime) {
  std::string rest = line;
  Route r;
  r.Call = CutField(rest, '=');
  std::string target = CutField(rest, ',');
  r.Host = CutField(target, ':');
  r.PortText = target;
  const std::string timeout_text = CutField(rest, ',');
  const std::string maxtime_text = CutField(rest, ',');
  const std::string quiet_text = CutField(rest, ',');
  r.Target.Call = r.Call;
  r.Target.Address = r.Host;
  r.Target.Port = NumberOr(r.PortText, 23);
  r.Target.Timeout = NumberOr(timeout_text, timeout);
  r.Target.MaxTime = NumberOr(maxtime_text, maxtime);
  r.Target.Quiet = StrToBool(quiet_text);
  return r;
}

std::string RouteLogLine(const Route& r) {
  return "Create: Route Call(" + r.Call + ") Address(" + r.Host + ":" + r.PortText + ")";
}

std::string ListenerLogLine(const Listener& l) {
  return "Create: Telnet Listener for Call(" + l.Call + ") Mapped to (" + l.Address + ":" +
         std::to_string(l.Port) + ") Quiet(" + BoolToStr(l.Quiet) + ")";
}

bool DefaultNodeConfigured(const Settings& s) { return s.NodePort != 0 && !s.NodeCall.empty(); }

LocalSide ConfiguredLocalSide(const Settings& s) {
  LocalSide here;
  if (const auto a = net::ParseAddress(s.AgwHostName.empty() ? s.AgwAddress : s.AgwHostName)) {
    here.Engine.push_back(*a);
  }
  const auto port = [&](bool on, int32_t p) {
    if (on && p > 0 && p <= 65535) here.Listeners.push_back(static_cast<uint16_t>(p));
  };
  port(s.TelnetEnabled, s.TelnetPort);
  port(s.MonitorEnabled, s.MonitorPort);
  port(s.StatusPort != 0, s.StatusPort);
  return here;
}

}  // namespace harvox
