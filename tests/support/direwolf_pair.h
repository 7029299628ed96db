// Two real packet engines (direwolf) joined by a simulated radio channel
// (harvox-ether), in a temporary working directory: station A (N0AAA) and
// station B (N0BBB), 9600 baud with short, deterministic timers.
//
// Each engine can be stopped and restarted alone while the other and the
// channel keep running.  Readiness is read from /proc/net/tcp, never probed
// by connecting (that would take one of the engine's three client slots).
// The destructor stops everything; the children also die with the test
// process.  The directory (configurations and logs) is removed afterwards
// unless the test failed or HARVOX_KEEP_ENGINE_DIR is set.
//
// The engines bind their ports on every address: run the test binary
// through tests/e2e/run_in_netns.sh.
//
// Re-entrancy: one owner thread (the test's main thread).
#pragma once

#include "support/child_process.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace harvox {
class EngineConnection;
class TL2;
}  // namespace harvox

namespace harvox::test {

enum class Station { A = 0, B = 1 };

class DirewolfPair {
 public:
  struct Options {
    uint16_t agw_a = 8001;
    uint16_t agw_b = 8002;
    uint16_t udp_a = 17001;  // where each engine hears the channel
    uint16_t udp_b = 17002;
    std::string extra_a, extra_b;  // configuration lines appended per engine
    std::vector<std::string> args_a, args_b;  // extra command-line arguments (-E 25 ...)
    std::chrono::milliseconds ready_timeout{30000};
  };

  DirewolfPair() : DirewolfPair(Options{}) {}
  explicit DirewolfPair(Options options) : options_(std::move(options)) {}
  ~DirewolfPair();
  DirewolfPair(const DirewolfPair&) = delete;
  DirewolfPair& operator=(const DirewolfPair&) = delete;

  // The engine program, or empty when it is not installed.
  static std::string EnginePath();

  // Channel first, then both engines; true when both AGW ports listen.
  bool Start(std::string* error = nullptr);
  bool StopEngine(Station s);
  bool StartEngine(Station s, std::string* error = nullptr);
  bool EngineRunning(Station s);
  void Stop();

  uint16_t AgwPort(Station s) const { return s == Station::A ? options_.agw_a : options_.agw_b; }
  static std::string Call(Station s) { return s == Station::A ? "N0AAA" : "N0BBB"; }
  const std::string& Dir() const { return dir_; }
  std::string LogPath(Station s) const;
  std::string EngineLog(Station s) const;
  // Wall time of the last Start() and of the last StartEngine().
  std::chrono::milliseconds StartTime() const { return start_time_; }
  std::chrono::milliseconds EngineStartTime() const { return engine_time_; }

  // HARVOX_E2E_SHARED=1 runs the suite as with [AGW] SHARED=YES: the links
  // a test puts on one engine share one connection to it.
  static bool SharedMode();
  // Before the link opens: in shared mode, onto the engine's shared
  // connection (made by the first link, gone with the last).
  void Share(TL2& link, Station s);

 private:
  static const char* Name(Station s) { return s == Station::A ? "A" : "B"; }
  bool MakeDir(std::string* error);
  bool StartEther(std::string* error);
  bool WaitListening(Station s, std::string* error);
  void WriteConfig(Station s) const;

  Options options_;
  std::string dir_;
  ChildProcess ether_;
  ChildProcess engines_[2];
  std::chrono::milliseconds start_time_{0};
  std::chrono::milliseconds engine_time_{0};
  std::weak_ptr<EngineConnection> shared_[2];
};

}  // namespace harvox::test

// Skips the current test when the engine is not installed.
#define HARVOX_REQUIRE_DIREWOLF()                                                  \
  do {                                                                             \
    if (::harvox::test::DirewolfPair::EnginePath().empty())                        \
      GTEST_SKIP() << "direwolf is not installed (apt-get install -y direwolf)";   \
  } while (0)
