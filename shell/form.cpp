// Start-up sequence and shutdown order.
#include "shell/form.h"

#include <exception>

#include "telnetd/telnetd.h"
#include "util/files.h"
#include "util/ini.h"

namespace harvox {

TForm1::TForm1() = default;
TForm1::~TForm1() = default;  // after FormDestroy, or at exit

TForm1::StartResult TForm1::FormCreate() {
  bool log_ready = false;
  try {
    const std::string ini_path = FindFile(WorkingDir() + "HARVOX.INI");
    Config = ReadSettings(IniFile::Load(ini_path));
    Log.FileName = Config.LogFile;
    Log.TraceLevel = static_cast<uint32_t>(Config.Trace);
    Log.SetActive(true);
    log_ready = true;
    WriteDump();
    if (!DefaultNodeConfigured(Config)) return StartResult::ConfigError;
    CreateServices();
    AddListeners();
    StartServices();
  } catch (const std::exception& e) {
    if (log_ready) Log.Write(1, "Create: Exception on Initialization Module");
    StartupError = e.what();
  } catch (...) {
    if (log_ready) Log.Write(1, "Create: Exception on Initialization Module");
    StartupError = "unknown error";
  }
  return StartResult::Running;
}

void TForm1::WriteDump() {
  for (const auto& line : ParameterDump(Config)) Log.Write(1, line);
}

void TForm1::AddListeners() {
  Listeners.push_back(Listener{Config.ClientCallsign, "", 0, Config.Timeout, Config.MaxTime, false});
  Log.Write(1, "Create: Default Client Listener Created");
  for (const auto& line : Config.Routes) {
    const Route route = ParseRoute(line, Config.Timeout, Config.MaxTime);
    Log.Write(1, RouteLogLine(route));
    if (!route.Valid()) continue;
    Listeners.push_back(route.Target);
    Log.Write(1, ListenerLogLine(route.Target));
  }
}

void TForm1::CreateServices() {
  if (!Config.TelnetEnabled) return;
  TelnetD = std::make_unique<TTelnetD>(&Log);
  TTelnetD& t = *TelnetD;
  t.ListenPort = Config.TelnetPort;
  t.MaxUsers = static_cast<uint32_t>(Config.MaxUsers);
  t.ServerCall = Config.ServerCallsign;
  t.DefNodePort = Config.NodePort;
  t.DefNodeCall = Config.NodeCall;
  t.SessionTimeout = Config.Timeout;
  t.Secure = Config.Security;
  t.AGWHost = Config.AgwHostName;
  t.AGWAddress = Config.AgwAddress;
  t.AGWPort = Config.AgwPort;
  t.AGWLogin = Config.AgwLogin;
  t.AGWPassword = Config.AgwPassword;
  t.OnLinkUp = [this](TTelnetD&) { OnLinkUp(); };
  t.OnLinkDown = [this](TTelnetD&) { OnLinkDown(); };
  t.Welcome = Config.Welcome;
  t.Bye = Config.Bye;
  t.Recover = Config.Recover;
  Log.Write(1, "Create: Telnet Server Created");
}

void TForm1::StartServices() {
  if (TelnetD) TelnetD->SetActive(true);
}

void TForm1::OnLinkUp() {
  LinkUp = true;
  if (OnLinkChange) OnLinkChange(true);
}

void TForm1::OnLinkDown() {
  LinkUp = false;
  if (OnLinkChange) OnLinkChange(false);
}

void TForm1::FormDestroy() {
  TelnetD.reset();  // writes its release line
}

}  // namespace harvox
