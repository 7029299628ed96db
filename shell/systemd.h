// What systemd and its journal hear from Harvox.  The notifier sends READY=1
// once the services listen, a one-line STATUS= whenever the counts change,
// WATCHDOG=1 from the event loop while systemd watches, and STOPPING=1 at
// shutdown.  Not started by systemd (no NOTIFY_SOCKET), or built without
// libsystemd, it sends nothing and arms no timer.  Under the journal the
// log's level-1 lines also go to standard error with a syslog priority.
//
// Re-entrancy: main thread only.  The notifier's timer runs on the event
// loop and only reads the counts it is given; the text functions are pure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace harvox {

class Timer;

// How many of each are there now; links counts the services' engine links.
struct ServiceCounts {
  uint32_t Users = 0;     // Telnet users logged in
  uint32_t Circuits = 0;  // gateway circuits
  uint32_t Viewers = 0;   // monitor viewers
  uint32_t LinksUp = 0;
  uint32_t Links = 0;
};

// "3 users, 1 circuit, 2 viewers, engine up" ("engine down", "engine 2 of 3 up").
std::string StatusSummary(const ServiceCounts& c);

// The syslog priority of a log line, by what the line itself says: 3 (error)
// for exceptions, errors and failed start-up; 4 (warning) for what was
// refused, lost, not understood or could not be done, and failed logins;
// 6 (info) for the rest.  Only the text before the first value (in
// parentheses or quotes) counts, so what a user typed as the id of a
// failed login cannot raise it.
int JournalPriority(std::string_view line);

// Whether standard error is the journal's stream (JOURNAL_STREAM names it).
bool StderrIsJournal();
// "<priority>line\n" on standard error in one write.
void EchoToJournal(std::string_view line);

class SystemdNotifier {
 public:
  using Counter = std::function<ServiceCounts()>;
  explicit SystemdNotifier(Counter counts);
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  // Every service listens and the engine links are being opened.
  void Ready();
  void Stopping();

  // How often the counts are looked at.
  static constexpr uint32_t kStatusMs = 2000;

 private:
  void Tick();
  void Notify(const std::string& state);

  Counter counts_;
  std::unique_ptr<Timer> timer_;
  std::string status_;
  bool enabled_ = false;
  bool watchdog_ = false;
  bool stopping_ = false;
};

}  // namespace harvox
