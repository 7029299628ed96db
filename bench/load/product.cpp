// The product half of the load run: a Telnet server on the main loop with
// room for every session, security off and an empty users file (so any id
// with a password logs in as <id>-11), against the fake engine, whose
// script stamps each tagged 'D' on arrival and echoes it back from the node.
//
// Threading: RunProduct runs on the main thread and drives the product's
// loop while it waits; the engine script runs on the engine thread and
// touches only the atomics of LoadShared and its own counters.
#include <algorithm>
#include <memory>

#include "agw/l2.h"
#include "load/phases.h"
#include "util/log.h"
#include "support/fake_engine.h"
#include "support/load_echo.h"
#include "support/load_stats.h"
#include "support/temp_dir.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"

namespace harvox::load {
namespace {

using test::AgwFrame;
using test::EngineEcho;
using test::FakeEngine;
using test::LoadDriver;
using test::LoadShared;
using test::NowNs;

bool LogIn(LoadDriver& driver, LoadShared& shared, TTelnetD& server, const Settings& settings,
           ProductFigures& out) {
  const int64_t t0 = NowNs();
  driver.Connect(static_cast<uint16_t>(server.BoundPort()), true, settings.connect_window);
  RunUntil(
      [&] {
        return driver.Ready() + driver.Failed() >= settings.sessions &&
               shared.FirstDataSeen() >= driver.Ready();
      },
      milliseconds(20000));
  out.login_seconds = static_cast<double>(NowNs() - t0) / 1e9;
  out.logged_in = std::min(driver.Ready(), shared.FirstDataSeen());
  out.failed = driver.Failed();
  if (out.logged_in == settings.sessions) return true;
  out.error = "only " + std::to_string(out.logged_in) + " sessions logged in";
  return false;
}

void Paced(LoadDriver& driver, LoadShared& shared, const Settings& settings, ProductFigures& out) {
  const uint64_t typed0 = driver.Typed();
  MachineShare share;
  share.Start();
  const int64_t cpu0 = test::ThreadCpuNs(), t0 = NowNs();
  driver.Pace(settings.paced_lines, settings.pace_period_ms);
  if (!RunUntil([&] { return driver.PaceDone() && driver.InFlight() == 0; }, milliseconds(10000)))
    out.error = "paced lines still in flight at the time limit";
  out.paced_cpu_ns = test::ThreadCpuNs() - cpu0;
  out.paced_others_cpus = share.OthersCpus();
  out.paced_seconds = static_cast<double>(NowNs() - t0) / 1e9;
  out.paced_lines = driver.Typed() - typed0;
  out.paced_round_trips_ns = driver.TakeRoundTrips();
  for (size_t i = 0; i < size_t{shared.sessions} * shared.paced_lines; ++i) {
    const int64_t ns = shared.engine_ns[i].load();
    if (ns > 0) out.engine_ns.push_back(ns);
  }
}

}  // namespace

std::unique_ptr<TTelnetD> MakeTelnetServer(TLog& log, uint16_t engine_port, uint32_t sessions) {
  auto server = std::make_unique<TTelnetD>(&log);
  server->ListenPort = 0;
  server->MaxUsers = sessions;
  server->PromptsPerAddress = sessions;  // every simulated user comes from 127.0.0.1
  server->Secure = false;
  server->SessionTimeout = 24 * 3600 * 1000;
  server->ServerCall = "TELNET";
  server->DefNodePort = 1;
  server->DefNodeCall = "NODE-1";
  server->AGWAddress = "127.0.0.1";
  server->AGWPort = engine_port;
  return server;
}

ProductFigures RunProduct(const Settings& settings) {
  ProductFigures out;
  test::WorkDir wd;
  test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\n");
  TLog log;
  log.FileName = wd.File("HARVOX.LOG");
  log.TraceLevel = 0;
  log.SetActive(true);
  LoadShared shared(settings.sessions, settings.paced_lines);
  auto echo = std::make_shared<EngineEcho>(shared);
  FakeEngine engine;
  engine.SetScript([echo](FakeEngine& e, int client, const AgwFrame& f) { echo->OnFrame(e, client, f); });
  auto server = MakeTelnetServer(log, engine.Port(), settings.sessions);
  server->SetActive(true);
  if (!RunUntil([&] { return server->Link().Active == 1; }, milliseconds(5000))) {
    out.error = "the engine link did not come up";
    return out;
  }
  LoadDriver driver(shared);
  driver.WarmUp();
  RunFor(milliseconds(200));
  out.rss_before_kib = test::SelfStatusKiB("VmRSS");
  out.hwm_before_kib = test::SelfStatusKiB("VmHWM");
  Progress("logging in");
  if (LogIn(driver, shared, *server, settings, out)) {
    RunFor(milliseconds(500));  // idle
    out.rss_after_kib = test::SelfStatusKiB("VmRSS");
    out.hwm_after_kib = test::SelfStatusKiB("VmHWM");
    Progress("paced lines");
    Paced(driver, shared, settings, out);
    Progress("saturating");
    out.saturated = MeasureSaturated(
        driver, shared, settings, [&] { return shared.at_engine.load(); },
        [](const std::function<bool()>& pred, milliseconds timeout) { return RunUntil(pred, timeout); });
  }
  out.stray = driver.Stray();
  out.failed = driver.Failed();
  Progress("closing");
  driver.CloseAll();
  RunUntil([&] { return server->UserCount == 0; }, milliseconds(5000));
  RunFor(milliseconds(100));
  engine.SetScript({});
  out.violations = echo->Violations() + engine.Violations().size();
  return out;
}

}  // namespace harvox::load
