// Start-up sequence and shutdown order.
#include "shell/form.h"

#include <sys/resource.h>

#include <exception>
#include <stdexcept>
#include <utility>

#include "agw/engine_connection.h"
#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "shell/shared_engine.h"
#include "status/http_server.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"
#include "util/timer.h"
#include "util/files.h"
#include "util/ini.h"

namespace harvox {
namespace {

// Every caller and viewer holds a descriptor: the soft limit (often 1024)
// goes up to the hard one.  The text is the log line saying what it is.
std::string RaiseOpenFileLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return "Create: Open file limit unknown";
  const std::string before = std::to_string(lim.rlim_cur);
  if (lim.rlim_cur >= lim.rlim_max) return "Create: Open file limit " + before;
  lim.rlim_cur = lim.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) return "Create: Open file limit " + before + ", not raised";
  return "Create: Open file limit raised from " + before + " to " + std::to_string(lim.rlim_cur);
}

// The keys of the default node that are missing or 0, for the error.
std::string MissingNodeKeys(const Settings& s) {
  if (s.NodePort == 0 && s.NodeCall.empty()) return "[TELNET] NODEPORT and NODECALL are required";
  return s.NodePort == 0 ? "[TELNET] NODEPORT is required" : "[TELNET] NODECALL is required";
}

// A listener that cannot start names its service and port in the error.
void StartListening(const std::string& service, int32_t port, const std::function<void()>& start) {
  try {
    start();
  } catch (const std::exception& e) {
    throw std::runtime_error(service + " on port " + std::to_string(port) + ": " + e.what());
  }
}

// [AGW] SHARED=YES: the services' links go over one engine connection.
void ShareEngineConnection(TLog& log, TTelnetD* telnet, TTelMonD* monitor, TTNClient* gateway) {
  auto connection = std::make_shared<EngineConnection>(&log, true);
  if (telnet) telnet->Link().UseConnection(connection);
  if (monitor) monitor->Link().UseConnection(connection);
  if (gateway) gateway->Link().UseConnection(connection);
}

}  // namespace

TForm1::TForm1() = default;
// After FormDestroy, at the end of the process: what is left (the monitor
// server) goes the way the end of a process takes it, without log lines.
TForm1::~TForm1() { Log.TraceLevel = 0; }

TForm1::StartResult TForm1::FormCreate() {
  bool log_ready = false;
  try {
    const std::string ini_path = FindFile(WorkingDir() + "HARVOX.INI");
    if (!PathExists(ini_path)) {
      // Most likely started in the wrong folder: leave no log there.
      std::string dir = WorkingDir();
      if (dir.size() > 1) dir.pop_back();
      ConfigErrors.push_back("HARVOX.INI not found in " + dir);
      return StartResult::ConfigError;
    }
    const auto ini = IniFile::TryLoad(ini_path);
    Config = ReadSettings(ini.value_or(IniFile()));
    Log.FileName = Config.LogFile;
    Log.TraceLevel = static_cast<uint32_t>(Config.Trace);
    TLog::KeepPrevious(Log.FileName);  // the last run's lines, a crash's among them
    Log.SetActive(true);
    log_ready = true;
    WriteDump();
    if (!ConfigUsable(ini_path, ini.has_value())) return StartResult::ConfigError;
    Log.Write(1, RaiseOpenFileLimit());
    LogGatewayRules();
    CreateServices();
    CreateMonitor();
    CreateGateway();
    if (Config.AgwShared) ShareEngineConnection(Log, TelnetD.get(), TelMonD.get(), TNClient.get());
    AddListeners();
    TNClient->SetActive(true);
    StartServices();
    StartStatusPage();
  } catch (const std::exception& e) {
    StartupError = e.what();
    if (log_ready) Log.Write(1, "Create: Exception on Initialization Module");
    if (log_ready) Log.Write(1, "Create: start-up failed: " + StartupError);
  } catch (...) {
    if (log_ready) Log.Write(1, "Create: Exception on Initialization Module");
    StartupError = "unknown error";
  }
  return StartResult::Running;
}

void TForm1::WriteDump() {
  for (const auto& line : ParameterDump(Config)) Log.Write(1, line);
  for (const auto& line : Config.Notes) Log.Write(1, line);
  for (const auto& line : Config.Warnings) Log.Write(1, "Create: " + line);
}

// A value not understood where a wrong guess would open a door, or a port
// nobody could reach, stops start-up like missing node data.
bool TForm1::ConfigUsable(const std::string& ini_path, bool ini_read) {
  if (!ini_read && PathExists(ini_path)) {
    ConfigErrors.push_back(ini_path + " can not be read (no regular file, or no permission)");
  }
  for (const auto& e : Config.Errors) ConfigErrors.push_back(ini_path + " " + e);
  if (!DefaultNodeConfigured(Config)) {
    ConfigErrors.push_back("Default Node Data Not Configured: " + MissingNodeKeys(Config) + " in " + ini_path);
  }
  for (const auto& e : SharedCallClashes(Config, WorkingDir())) ConfigErrors.push_back(e);
  for (const auto& e : ConfigErrors) Log.Write(1, "Create: Configuration Error: " + e);
  return ConfigErrors.empty();
}

void TForm1::LogGatewayRules() {
  for (const auto& line : Config.Gateway.Describe(ConfiguredLocalSide(Config))) {
    Log.Write(1, "Create: Gateway T destinations, " + line);
  }
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
  t.ListenAddresses = Config.TelnetBind;
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
  m.ListenAddresses = Config.MonitorBind;
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
  m.Own = Config.MonitorOwn;
  m.Raw = Config.MonitorRaw;
  m.Timestamp = Config.MonitorTimestamp;
  m.MaxViewers = static_cast<uint32_t>(Config.MaxViewers);
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
  g.MaxCircuits = static_cast<uint32_t>(Config.MaxCircuits);
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
  if (TelnetD) StartListening("Telnet server", Config.TelnetPort, [this] { TelnetD->SetActive(true); });
  if (TelMonD) StartListening("monitor server", Config.MonitorPort, [this] { TelMonD->SetActive(true); });
}

ServiceCounts TForm1::Counts() {
  ServiceCounts n;
  const auto link = [&n](TL2& l2) {
    ++n.Links;
    if (l2.Active) ++n.LinksUp;
  };
  if (TelnetD) {
    n.Users = TelnetD->LoggedIn;
    link(TelnetD->Link());
  }
  if (TNClient) {
    n.Circuits = static_cast<uint32_t>(TNClient->Table().Count());
    link(TNClient->Link());
  }
  if (TelMonD) {
    n.Viewers = static_cast<uint32_t>(TelMonD->Viewers().Count());
    link(TelMonD->Link());
  }
  return n;
}

void TForm1::StartStatusPage() {
  if (Config.StatusPort == 0) return;
  StatusPage = std::make_unique<status::HttpServer>(&Log, [this] {
    return status::Take({TelnetD.get(), TNClient.get(), TelMonD.get()}, kVersion, Started);
  });
  StatusPage->Start(Config.StatusBind, Config.StatusPort);  // a port in use throws
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
  StatusPage.reset();
  TelnetD.reset();   // writes its release line
  TNClient.reset();  // unregisters its callsigns, writes its release lines
}

}  // namespace harvox
