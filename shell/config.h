// Settings of HARVOX.INI: defaults, the reading rules (number, flag,
// upper-cased, as written), the start banner with the parameter dump, the
// route lines of section TELNET.CLIENT and the gateway's destination rules.
//
// Re-entrancy: pure functions over an IniFile; no I/O besides Load.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/destinations.h"
#include "util/ini.h"

namespace harvox {

struct Settings {
  // HARVOX
  std::string LogFile = "HARVOX.LOG";
  int32_t Trace = 0;
  bool CrLf = false;
  bool Recover = true;
  // AGW
  std::string AgwAddress = "127.0.0.1";
  std::string AgwHostName;
  std::string AgwLogin;
  std::string AgwPassword;
  int32_t AgwPort = 8000;
  bool AgwShared = false;  // one engine connection for the three services
  // TELNET
  bool TelnetEnabled = true;
  bool Security = true;
  std::string ServerCallsign = "TELNET";
  std::string ClientCallsign = "TNCLI";
  std::string Welcome;
  std::string Prompt;
  std::string Bye;
  int32_t NodePort = 0;
  int32_t TelnetPort = 23;
  int32_t Timeout = 600000;
  int32_t MaxTime = 3600000;
  int32_t MaxUsers = 10;
  std::string NodeCall;
  std::vector<std::string> TelnetBind{"0.0.0.0"};  // addresses to listen on
  // MONITOR
  bool MonitorEnabled = true;
  bool Split = true;
  bool Details = true;
  bool MonitorOwn = true;  // the engine's own frames too
  bool MonitorRaw = false;  // control bytes as received, not as \xNN
  bool MonitorTimestamp = false;
  int32_t MonitorPort = 8123;
  std::string Mask = "IUSC";
  std::vector<std::string> MonitorBind{"0.0.0.0"};
  int32_t MaxViewers = 64;
  // GATEWAY: where the node prompt's T may lead, as written, and as read.
  // What is wrong with ALLOW or DENY goes to Errors.
  std::string GatewayAllow;
  std::string GatewayDeny;
  Destinations Gateway;
  int32_t MaxCircuits = 256;  // gateway circuits at once
  // STATUS: the status page; no port, no page.
  int32_t StatusPort = 0;
  std::string StatusBind = "127.0.0.1";
  // TELNET.CLIENT, one "key=value" line per route
  std::vector<std::string> Routes;
  // Level-1 lines about parts of the file that were not read.
  std::vector<std::string> Notes;
  // Values not understood and names not known, each naming section, key and
  // value and what is used instead: a level-1 line at start-up, a warning
  // of the check.
  std::vector<std::string> Warnings;
  // Values Harvox refuses to start with, each naming section, key and value.
  std::vector<std::string> Errors;
};

// One listener of the gateway: a callsign and where it leads.  An empty
// address means the node command prompt.
struct Listener {
  std::string Call;
  std::string Address;
  int32_t Port = 0;
  int32_t Timeout = 0;
  int32_t MaxTime = 0;
  bool Quiet = false;
};

struct Route {
  std::string Call;
  std::string Host;
  std::string PortText;
  Listener Target;  // valid only when Call and Host are both set
  bool Valid() const { return !Call.empty() && !Host.empty(); }
};

// Where a setting's value came from, for the configuration check.
struct SettingUse {
  // Fallback: no number, the default is used; TakenAsNo: no flag word (or
  // CRLF not in capitals); Refused: not understood, start-up refuses it.
  enum class Source { File, Default, Fallback, TakenAsNo, Refused };
  std::string Section, Key, Value;
  Source From = Source::Default;
};

// The settings by the reading rules.  With `uses`, also one entry per key
// read, in reading order, saying whether the file's value was taken, the key
// was missing, or the file's value was not understood and what it gave.
Settings ReadSettings(const IniFile& ini, std::vector<SettingUse>* uses = nullptr);
// The 32 lines of the banner and dump, without time stamps.
std::vector<std::string> ParameterDump(const Settings& s);
Route ParseRoute(const std::string& line, int32_t timeout, int32_t maxtime);
std::string RouteLogLine(const Route& r);
std::string ListenerLogLine(const Listener& l);
bool DefaultNodeConfigured(const Settings& s);
// The refusals of the gateway's rules that come from the settings: the
// engine's address when it is written as one, the Telnet and monitor ports.
LocalSide ConfiguredLocalSide(const Settings& s);

}  // namespace harvox
