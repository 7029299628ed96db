// Load run of the Telnet server: 1,000 users logged in at once relay
// tagged lines through the server to a fake engine that echoes them, first
// at a fixed offered rate (latency), then as fast as they go (throughput);
// then the same lines through socat to an echo sink, as the baseline of a
// plain TCP relay.  Prints one table; asserts nothing; ends by itself.
//
// Usage: load_telnet [sessions]   (default 1000; loopback only)
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "load/phases.h"
#include "load/report.h"
#include "support/load_stats.h"

namespace {

using harvox::load::BaselineFigures;
using harvox::load::Fmt;
using harvox::load::Ms;
using harvox::load::Row;
using harvox::load::Verdict;
using harvox::load::ProductFigures;
using harvox::load::Settings;
using harvox::test::Percentile;

void PrintProduct(const Settings& s, const ProductFigures& p) {
  std::printf("\nProduct: Telnet server on the main loop, fake engine echoing every line\n");
  Row("sessions logged in", std::to_string(p.logged_in) + "/" + std::to_string(s.sessions) +
                                Fmt(" in %.2f s", p.login_seconds));
  if (p.rss_before_kib && p.rss_after_kib) {
    const double rss = static_cast<double>(*p.rss_after_kib - *p.rss_before_kib) / s.sessions;
    const double hwm = static_cast<double>(*p.hwm_after_kib - *p.hwm_before_kib) / s.sessions;
    Row("memory per idle session (VmRSS / VmHWM)", Fmt("%.1f", rss) + Fmt(" / %.1f KiB", hwm),
        std::string("< 20 KiB: ") + Verdict(hwm < 20.0));
  }
  if (p.paced_lines == 0) return;
  Row("paced: lines typed (offered rate)", std::to_string(p.paced_lines) +
                                               Fmt(" (%.0f/s)", 1000.0 * s.sessions / s.pace_period_ms));
  Row("paced: typed -> 'D' at engine p50 / p99 ms", Ms(p.engine_ns, 0.5) + " / " + Ms(p.engine_ns, 0.99),
      std::string("p99 < 2 ms: ") + Verdict(Percentile(p.engine_ns, 0.99).value_or(INT64_MAX) < 2000000));
  Row("paced: round trip p50 / p99 ms", Ms(p.paced_round_trips_ns, 0.5) + " / " +
                                             Ms(p.paced_round_trips_ns, 0.99));
  Row("paced: product thread CPU per 1,000 lines", Fmt("%.2f ms", p.paced_cpu_ns / 1e6 / (p.paced_lines / 1000.0)));
  Row("paced: CPUs busy outside this process", Fmt("%.2f", p.paced_others_cpus),
      p.paced_others_cpus > 0.2 ? "other work ran: latency includes its queueing" : "");
  const auto& t = p.saturated;
  Row("saturated: user -> engine lines/s", Fmt("%.0f", t.up_per_s));
  Row("saturated: engine -> user lines/s", Fmt("%.0f", t.down_per_s));
  Row("saturated: round trip p50 / p99 ms", Ms(t.round_trips_ns, 0.5) + " / " + Ms(t.round_trips_ns, 0.99));
  if (t.up_per_s > 0)
    Row("saturated: product thread CPU per 1,000 lines",
        Fmt("%.2f ms", t.thread_cpu_ns / 1e6 / (t.up_per_s * t.seconds / 1000.0)));
  Row("saturated: product thread busy", Fmt("%.0f %%", 100.0 * t.thread_cpu_ns / 1e9 / t.seconds));
  Row("saturated: CPUs busy outside this process", Fmt("%.2f", t.others_cpus));
  Row("failed sessions / stray echoes / engine rule breaches",
      std::to_string(p.failed) + " / " + std::to_string(p.stray) + " / " + std::to_string(p.violations));
}

void PrintBaseline(const Settings& s, const ProductFigures& p, const BaselineFigures& b) {
  std::printf("\nBaseline: socat (a process per connection) to an echo sink\n");
  Row("connections", std::to_string(b.connected) + "/" + std::to_string(s.sessions));
  if (b.connected == 0) return;
  const auto& t = b.saturated;
  Row("saturated: user -> sink lines/s", Fmt("%.0f", t.up_per_s));
  Row("saturated: sink -> user lines/s", Fmt("%.0f", t.down_per_s));
  Row("saturated: round trip p50 / p99 ms", Ms(t.round_trips_ns, 0.5) + " / " + Ms(t.round_trips_ns, 0.99));
  Row("saturated: CPUs busy outside this process (socat)", Fmt("%.2f", t.others_cpus));
  if (t.up_per_s <= 0 || p.saturated.up_per_s <= 0) return;
  const double ratio = std::min(p.saturated.up_per_s, p.saturated.down_per_s) /
                       std::min(t.up_per_s, t.down_per_s);
  std::printf("\n");
  Row("relay throughput product / baseline", Fmt("%.2f", ratio), std::string(">= 0.5: ") + Verdict(ratio >= 0.5));
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Settings settings;
  if (argc > 1) settings.sessions = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (settings.sessions == 0 || settings.sessions > 9999) {
    std::fprintf(stderr, "usage: %s [sessions 1..9999]\n", argv[0]);
    return 2;
  }
  // Every session costs a descriptor on each side, and socat's side too.
  harvox::load::RaiseFdLimit(4 * settings.sessions + 256);
  std::printf("Telnet load: %u sessions, %u paced lines each, %u in flight when saturated, %.1f s spans\n",
              settings.sessions, settings.paced_lines, settings.window, settings.span.count() / 1000.0);
  std::fflush(stdout);
  const ProductFigures product = harvox::load::RunProduct(settings);
  const BaselineFigures baseline = harvox::load::RunBaseline(settings);
  std::printf("CPUs: %u\n", std::thread::hardware_concurrency());
  PrintProduct(settings, product);
  PrintBaseline(settings, product, baseline);
  if (!product.error.empty()) std::printf("\nproduct run: %s\n", product.error.c_str());
  if (!baseline.error.empty()) std::printf("baseline run: %s\n", baseline.error.c_str());
  return product.error.empty() && baseline.error.empty() ? 0 : 1;
}
