// The saturating phase shared by the product and the baseline: every
// session keeps a fixed number of lines in flight, a warm-up passes, then
// the lines arriving at both ends are counted over a fixed span.
#include "load/phases.h"

#include "support/load_stats.h"

#include <algorithm>
#include <cstdio>

namespace harvox::load {

using test::NowNs;
using test::ThreadCpuNs;

void Progress(const char* phase) {
  static const int64_t start = NowNs();
  std::fprintf(stderr, "[%6.2f s] %s\n", static_cast<double>(NowNs() - start) / 1e9, phase);
}

void MachineShare::Start() {
  busy_ = test::MachineBusyNs().value_or(-1);
  self_ = test::ProcessCpuNs();
  wall_ = NowNs();
}

double MachineShare::OthersCpus() const {
  const auto busy = test::MachineBusyNs();
  if (!busy || busy_ < 0) return -1;
  const double others = static_cast<double>(*busy - busy_ - (test::ProcessCpuNs() - self_));
  return std::max(0.0, others / static_cast<double>(NowNs() - wall_));
}

Throughput MeasureSaturated(LoadDriver& driver, LoadShared& shared, const Settings& settings,
                            const std::function<uint64_t()>& far_end, const Waiter& wait_until) {
  const auto never = [] { return false; };
  driver.Saturate(settings.window);
  wait_until(never, settings.warm);
  driver.TakeRoundTrips();  // the warm-up's
  const uint64_t up0 = far_end(), down0 = shared.echoed.load();
  MachineShare share;
  share.Start();
  const int64_t cpu0 = ThreadCpuNs(), t0 = NowNs();
  wait_until(never, settings.span);
  const uint64_t up1 = far_end(), down1 = shared.echoed.load();
  const int64_t cpu1 = ThreadCpuNs(), t1 = NowNs();
  Throughput out;
  out.others_cpus = share.OthersCpus();
  out.round_trips_ns = driver.TakeRoundTrips();
  driver.StopSending();
  out.seconds = static_cast<double>(t1 - t0) / 1e9;
  out.up_per_s = static_cast<double>(up1 - up0) / out.seconds;
  out.down_per_s = static_cast<double>(down1 - down0) / out.seconds;
  out.thread_cpu_ns = cpu1 - cpu0;
  wait_until([&] { return driver.InFlight() == 0; }, milliseconds(5000));
  return out;
}

}  // namespace harvox::load
