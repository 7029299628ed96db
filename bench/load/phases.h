// The two halves of the Telnet load run and the figures each one yields:
// the product (the Telnet server on the main loop against the fake engine)
// and the baseline (a plain TCP relay of the same lines to an echo sink).
//
// Threading: both run from the main thread, which is the product's loop
// thread; the driver, the engine and the sink run on threads of their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/load_driver.h"

namespace harvox {
class TLog;
class TTelnetD;
}  // namespace harvox

namespace harvox::load {

using std::chrono::milliseconds;
using test::LoadDriver;
using test::LoadShared;

struct Settings {
  uint32_t sessions = 1000;
  uint32_t paced_lines = 20;    // per session, in the latency phase
  uint32_t pace_period_ms = 50; // one line per session per period: 20k lines/s offered
  uint32_t window = 8;          // lines in flight per session when saturating
  uint32_t connect_window = 4;  // connection attempts in flight (listen backlog is 5)
  milliseconds warm{500};       // saturating, before the measured span
  milliseconds span{4000};      // the measured span
};

struct Throughput {
  double up_per_s = 0;    // lines that reached the far end
  double down_per_s = 0;  // echoes that reached the Telnet clients
  double seconds = 0;
  int64_t thread_cpu_ns = 0;  // of the calling thread over the span
  double others_cpus = -1;    // CPUs busy outside this process over the span
  std::vector<int64_t> round_trips_ns;
};

struct ProductFigures {
  uint32_t logged_in = 0;
  uint32_t failed = 0;  // sessions that could not log in or were dropped
  double login_seconds = 0;
  std::optional<int64_t> rss_before_kib, rss_after_kib, hwm_before_kib, hwm_after_kib;
  uint64_t paced_lines = 0;       // typed in the latency phase
  double paced_seconds = 0;
  int64_t paced_cpu_ns = 0;
  double paced_others_cpus = -1;  // CPUs busy outside this process meanwhile
  std::vector<int64_t> engine_ns;  // typed -> 'D' at the engine
  std::vector<int64_t> paced_round_trips_ns;
  Throughput saturated;
  uint64_t stray = 0;        // echoes that matched no line in flight
  size_t violations = 0;     // engine rules the product broke
  std::string error;         // why the run stopped early
};

struct BaselineFigures {
  uint32_t connected = 0;
  Throughput saturated;
  std::string error;
};

// Measures how busy the machine is outside this process: Start, then
// OthersCpus gives the CPUs used by everything else since, on average.
class MachineShare {
 public:
  void Start();
  double OthersCpus() const;

 private:
  int64_t busy_ = -1, self_ = 0, wall_ = 0;
};

// One progress line on stderr, so a watcher (or a profiler) knows the phase.
void Progress(const char* phase);

ProductFigures RunProduct(const Settings& settings);
BaselineFigures RunBaseline(const Settings& settings);
// The product's Telnet server as every load run sets it up: room for
// `sessions` users, security off (any id with a password logs in with the
// users file empty), sessions that never time out, node NODE-1 on port 1.
// Not yet active.
std::unique_ptr<TTelnetD> MakeTelnetServer(TLog& log, uint16_t engine_port, uint32_t sessions);

// Runs the calling thread's work until pred holds or the timeout passes;
// returns pred's last value.
using Waiter = std::function<bool(const std::function<bool()>& pred, milliseconds timeout)>;

// Sleeps in short steps until pred holds or the timeout passes; for a
// thread that runs no loop of its own.  Returns pred's last value.
bool SleepUntil(const std::function<bool()>& pred, milliseconds timeout);

// Saturates the ready sessions for settings.warm + settings.span and
// measures the span; far_end counts the lines that reached the far end.
// Ends with every echo back (or a timeout).
Throughput MeasureSaturated(LoadDriver& driver, LoadShared& shared, const Settings& settings,
                            const std::function<uint64_t()>& far_end, const Waiter& wait_until);

}  // namespace harvox::load
