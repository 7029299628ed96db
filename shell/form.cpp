// Start-up sequence and shutdown order.
#include "shell/form.h"

#include <exception>
#include <utility>

#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"
#include "util/timer.h"
#include "util/files.h"
#include "util/ini.h"

namespace harvox {

TForm1::TForm1() = default;
// After FormDestroy, at the end of the process: what is left (the monitor
// server) goes the way the end of a process takes it, without log lines.
TForm1::~TForm1() { Log.TraceLevel = 0; }

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
    if (!GatewayRulesUsable()) return StartResult::Running;
    CreateServices();
    CreateMonitor();
    CreateGateway();
    AddListeners();
    TNClient->SetActive(true);
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
  for (const auto& line : Config.Notes) Log.Write(1, line);
}

// Rules other than the sysop wrote could let stations reach what they
// should not: nothing starts with them.
bool TForm1::GatewayRulesUsable() {
  for (const auto& e : Config.GatewayErrors) Log.Write(1, "Create: Configuration Error: " + e);
  if (!Config.GatewayErrors.empty()) {
    Log.Write(1, "Create: The gateway's destination rules are not usable, Harvox does not start");
    StartupError = Config.GatewayErrors.front() + " (Harvox does not start)";
    return false;
  }
  for (const auto& line : Config.Gateway.Describe(ConfiguredLocalSide(Config))) {
    Log.Write(1, "Create: Gateway T destinations, " + line);
  }
  return true;
}

void TForm1::AddListeners() {
  Listeners.push_back(Listener{Config.ClientCallsign, "", 0, Config.Timeout, Config.MaxTime, false});
  AddListener(Listeners.back());
  Log.Write(1, "Create: Default Client Listener Created");
  for (const auto& line : Config.Routes) {
    const Route route = ParseRoute(line, Config.Timeout, Config.MaxTime);
    Log.Write(1, RouteLogLine(route));
    if (!route.Valid()) continue;
    Listeners.push_back(route.Target);
    AddListener(route.Target);
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

void TForm1::CreateMonitor() {
  if (!Config.MonitorEnabled) return;
  TelMonD = std::make_unique<TTelMonD>(&Log);
  TTelMonD& m = *TelMonD;
  m.ListenPort = Config.MonitorPort;
  m.AGWHost = Config.AgwHostName;
  m.AGWAddress = Config.AgwAddress;
  m.AGWPort = Config.AgwPort;
  m.AGWLogin = Config.AgwLogin;
  m.AGWPassword = Config.AgwPassword;
  m.Recover = Config.Recover;
  m.Split = Config.Split;
  m.UseCRLF = Config.CrLf;
  m.Mask = Config.Mask;
  m.Details = Config.Details;
  Log.Write(1, "Create: Monitor Telnet Server Created");
}

void TForm1::CreateGateway() {
  TNClient = std::make_unique<TTNClient>(&Log);
  TTNClient& g = *TNClient;
  g.AGWHostName = Config.AgwHostName;
  g.AGWAddress = Config.AgwAddress;
  g.AGWPort = Config.AgwPort;
  g.AGWLogin = Config.AgwLogin;
  g.AGWPassword = Config.AgwPassword;
  g.Timeout = static_cast<uint32_t>(Config.Timeout);
  g.MaxTime = static_cast<uint32_t>(Config.MaxTime);
  g.CallSign = Config.ClientCallsign;
  g.Recover = Config.Recover;
  g.CRLF = Config.CrLf;
  g.Policy = Config.Gateway;
  g.OwnPorts = ConfiguredLocalSide(Config).Listeners;
  // Empty texts leave the gateway's own.
  if (!Config.Welcome.empty()) g.Welcome = Config.Welcome;
  if (!Config.Prompt.empty()) g.Prompt = Config.Prompt;
  if (!Config.Bye.empty()) g.Bye = Config.Bye;
  Log.Write(1, "Create: Telnet Client Created");
}

void TForm1::AddListener(const Listener& l) {
  TNClient->IsrtClient(l.Call, l.Address, l.Port, l.Timeout, l.MaxTime, l.Quiet);
}

void TForm1::StartServices() {
  if (TelnetD) TelnetD->SetActive(true);
  if (TelMonD) TelMonD->SetActive(true);
}

void TForm1::OnLinkUp() {
  LinkUp = true;
  if (OnLinkChange) OnLinkChange(true);
}

void TForm1::OnLinkDown() {
  LinkUp = false;
  if (OnLinkChange) OnLinkChange(false);
}

void TForm1::BeginShutdown(std::function<void()> done) {
  shutdown_done_ = std::move(done);
  Log.Write(1, "Shutdown: ending every link, at most " + std::to_string(ShutdownLimitMs) + " ms");
  if (TelnetD) TelnetD->Quiesce();
  if (TNClient) TNClient->Quiesce();
  shutdown_deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ShutdownLimitMs);
  shutdown_timer_ = std::make_unique<Timer>();
  shutdown_timer_->SetHandler([this](Timer&) { ShutdownTick(); });
  shutdown_timer_->SetInterval(20);
  shutdown_timer_->SetEnabled(true);
}

bool TForm1::ServicesQuiet() const {
  return (!TelnetD || TelnetD->Quiet()) && (!TNClient || TNClient->Quiet());
}

void TForm1::ShutdownTick() {
  const auto now = std::chrono::steady_clock::now();
  if (!ServicesQuiet() && now < shutdown_deadline_) return;
  if (!ServicesQuiet() && !shutdown_forced_) {
    // Time is up: what still waits for a drain goes now, and gets a moment
    // to reach the engine before the connection closes.
    Log.Write(1, "Shutdown: time is up, disconnecting the links that did not drain");
    if (TelnetD) TelnetD->Link().FinishAllDrains();
    if (TNClient) TNClient->Link().FinishAllDrains();
    shutdown_forced_ = true;
    shutdown_deadline_ = now + std::chrono::milliseconds(1000);
    return;
  }
  shutdown_timer_->SetEnabled(false);
  // Runs once; the caller may destroy everything, this form's timer too.
  if (auto done = std::exchange(shutdown_done_, nullptr)) done();
}

void TForm1::FormDestroy() {
  TelnetD.reset();   // writes its release line
  TNClient.reset();  // unregisters its callsigns, writes its release lines
}

}  // namespace harvox
