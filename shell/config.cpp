// Reading rules for HARVOX.INI.  A number is a non-empty run of decimal
// digits that fits a signed 32-bit integer; anything else takes the
// fallback.  Flags are YES/TRUE/ON after upper-casing, except CRLF, which
// must already be written in capitals.
#include "shell/config.h"

#include <utility>

#include "net/address.h"
#include "util/strings.h"

namespace harvox {
namespace {

class Reader {
 public:
  Reader(const IniFile& ini, std::vector<SettingUse>* uses) : ini_(ini), uses_(uses) {}
  std::string Text(const char* section, const char* key, const std::string& def) const {
    const std::string v = ini_.ReadString(section, key, def);
    Note(section, key, v, true);
    return v;
  }
  std::string Upper(const char* section, const char* key, const std::string& def) const {
    const std::string v = UpperText(ini_.ReadString(section, key, def));
    Note(section, key, v, true);
    return v;
  }
  int32_t Number(const char* section, const char* key, int32_t def) const {
    const std::string raw = ini_.ReadString(section, key, std::to_string(def));
    const int32_t v = NumberOr(raw, def);
    Note(section, key, std::to_string(v), IsNumber(raw));
    return v;
  }
  bool Flag(const char* section, const char* key, const char* def) const {
    return Flagged(section, key, def, true);
  }
  bool ExactFlag(const char* section, const char* key, const char* def) const {
    return Flagged(section, key, def, false);
  }

 private:
  static bool IsOn(const std::string& v) { return v == "YES" || v == "TRUE" || v == "ON"; }
  // Read as written: the same whatever the fallback.
  static bool IsNumber(const std::string& v) { return NumberOr(v, 0) == NumberOr(v, 1); }
  static bool IsOff(const std::string& v) { return v == "NO" || v == "NOT" || v == "FALSE" || v == "OFF"; }
  bool Flagged(const char* section, const char* key, const char* def, bool upper) const {
    const std::string raw = ini_.ReadString(section, key, def);
    const std::string v = upper ? UpperText(raw) : raw;
    // Anything but a yes is a no; a word that is neither is worth a remark.
    Note(section, key, IsOn(v) ? "YES" : "NO", IsOn(v) || IsOff(UpperText(raw)));
    return IsOn(v);
  }
  // `valid`: the file's text (if any) was read as written, not replaced.
  void Note(const char* section, const char* key, const std::string& value, bool valid) const {
    if (!uses_) return;
    using S = SettingUse::Source;
    const S from = !ini_.Get(section, key) ? S::Default : valid ? S::File : S::Fallback;
    uses_->push_back({section, key, value, from});
  }
  const IniFile& ini_;
  std::vector<SettingUse>* uses_;
};

// Entries not understood, a list longer than a value may be (cut, it could
// lose DENY entries or end in a different one) and a key given twice (only
// the first counts) all leave the rules other than the sysop wrote them.
void ReadGateway(const IniFile& ini, Settings& s) {
  s.Gateway = Destinations::Parse(s.GatewayAllow, s.GatewayDeny, s.GatewayErrors);
  const std::pair<const char*, const std::string*> keys[] = {{"ALLOW", &s.GatewayAllow},
                                                              {"DENY", &s.GatewayDeny}};
  for (const auto& [key, value] : keys) {
    if (value->size() >= IniFile::kMaxValue) {
      s.GatewayErrors.push_back(std::string("[GATEWAY] ") + key + " is longer than " +
                                std::to_string(IniFile::kMaxValue - 1) + " characters");
    }
    for (const auto& d : ini.Duplicates()) {
      if (UpperText(d) == std::string("[GATEWAY] ") + key) {
        s.GatewayErrors.push_back(std::string("[GATEWAY] ") + key +
                                  " stands more than once; write all its entries on one line");
        break;
      }
    }
  }
}

}  // namespace

Settings ReadSettings(const IniFile& ini, std::vector<SettingUse>* uses) {
  const Reader r(ini, uses);
  Settings s;
  s.LogFile = r.Text("HARVOX", "LOGFILE", s.LogFile);
  s.Trace = r.Number("HARVOX", "TRACE", 0);
  s.CrLf = r.ExactFlag("HARVOX", "CRLF", "NOT");
  s.Recover = r.Flag("HARVOX", "RECOVER", "YES");
  s.AgwAddress = r.Text("AGW", "ADDRESS", s.AgwAddress);
  s.AgwHostName = r.Text("AGW", "HOSTNAME", "");
  s.AgwLogin = r.Text("AGW", "LOGIN", "");
  s.AgwPassword = r.Text("AGW", "PASSW", "");
  s.AgwPort = r.Number("AGW", "PORT", 8000);
  s.TelnetEnabled = r.Flag("TELNET", "ENABLED", "YES");
  s.Security = r.Flag("TELNET", "SECURITY", "YES");
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
  s.MonitorEnabled = r.Flag("MONITOR", "ENABLED", "YES");
  s.Split = r.Flag("MONITOR", "SPLIT", "YES");
  s.Details = r.Flag("MONITOR", "DETAILS", "YES");
  s.MonitorPort = r.Number("MONITOR", "PORT", 8123);
  s.Mask = r.Upper("MONITOR", "MASK", "IUSC");
  s.GatewayAllow = r.Text("GATEWAY", "ALLOW", "");
  s.GatewayDeny = r.Text("GATEWAY", "DENY", "");
  ReadGateway(ini, s);
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
  return here;
}

}  // namespace harvox
