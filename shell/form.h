// The main form: owns the trace log, the settings and the services for the
// life of the process.  FormCreate runs the start-up sequence once, before
// the loop runs; FormDestroy releases the services in shutdown order.
//
// Re-entrancy: main thread only.  No socket or timer event reaches a service
// before FormCreate returns, because the loop is not running yet.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shell/config.h"
#include "shell/systemd.h"
#include "util/log.h"

namespace harvox {


class TTelnetD;
class Timer;
class TTNClient;
class TTelMonD;
namespace status {
class HttpServer;
}

class TForm1 {
 public:
  enum class StartResult { Running, ConfigError };

  TForm1();
  ~TForm1();

  StartResult FormCreate();
  // Shutdown: releases the Telnet server, then the gateway client.
  void FormDestroy();
  // Graceful stop before FormDestroy: users are told and every AX.25 link
  // is ended after its drain, for at most ShutdownLimitMs in all; then done.
  void BeginShutdown(std::function<void()> done);
  uint32_t ShutdownLimitMs = 5000;

  TLog Log;
  Settings Config;
  // Listeners for the gateway, the default listener first.
  std::vector<Listener> Listeners;
  // Set when a start-up step failed: the cause, for standard error.
  std::string StartupError;
  // Why FormCreate returned ConfigError, one line each (file, section, key
  // and value where there is one), for standard error and the message box.
  std::vector<std::string> ConfigErrors;
  std::unique_ptr<TTelnetD> TelnetD;
  std::unique_ptr<TTNClient> TNClient;
  std::unique_ptr<TTelMonD> TelMonD;
  // The status page, when [STATUS] PORT is set.
  std::unique_ptr<status::HttpServer> StatusPage;
  const std::chrono::system_clock::time_point Started = std::chrono::system_clock::now();
  // Users, circuits, viewers and engine links now (systemd's status line).
  ServiceCounts Counts();
  // Whether the Telnet server's engine link is up (the tray icon's colour).
  bool LinkUp = false;
  // Told each change of LinkUp (the tray icon follows it).
  std::function<void(bool up)> OnLinkChange;

  static constexpr const char* kVersion = "Harvox 1.20.00";

 private:
  void WriteDump();
  bool ConfigUsable(const std::string& ini_path, bool ini_read);
  void LogGatewayRules();
  void AddListeners();
  void CreateServices();
  void CreateGateway();
  void AddListener(const Listener& l);
  void CreateMonitor();
  void StartServices();
  void StartStatusPage();
  void OnLinkUp();
  void OnLinkDown();
  void ShutdownTick();
  bool ServicesQuiet() const;

  std::unique_ptr<Timer> shutdown_timer_;
  std::chrono::steady_clock::time_point shutdown_deadline_;
  bool shutdown_forced_ = false;
  std::function<void()> shutdown_done_;
};

}  // namespace harvox
