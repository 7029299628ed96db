// Scale run: one product process with every service on the main loop (the
// Telnet server, the gateway with a route to local hosts, the monitor)
// holding 1,000 gateway circuits and 100 monitor viewers throughout, and
// Telnet users in two steps, 1,000 then 10,000, all logged in at once.  At
// each step: resident memory per idle Telnet session, the time from a typed
// line to its 'D' at the engine (p50, p99), and the product process's CPU
// per 1,000 lines, at the same offered line rate in both steps, so the
// growth from the first step to the second shows as a ratio.  The users,
// hosts, viewers and fake engines live in a forked driver process (see
// load/scale.h); the product's thread is pinned to one CPU, the driver to
// another.  Prints one table; asserts nothing; ends by itself.  With
// --busy, a burner spins at nice 19 on every CPU throughout, so the figures
// are those of a machine whose CPUs are busy with other work; the CPUs
// busy outside the product while typing and the load average are printed
// in either mode.  The latency target is for idle CPUs.
//
// Usage: load_scale [--busy] [users] [first step] [lines/s]
//        (default 10000 1000 10000; loopback only)
//
// Threading: the product runs on the main thread; the driver is a process.
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "load/burner.h"
#include "load/phases.h"
#include "load/report.h"
#include "load/scale.h"
#include "support/load_stats.h"
#include "support/temp_dir.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace {

using namespace harvox;
using load::Fmt;
using load::Row;
using load::ScaleSettings;
using load::Verdict;
using load::Words;
using std::chrono::milliseconds;

// Pins the calling thread (and the threads and processes it starts later).
void PinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

struct Product {
  TLog log;
  std::unique_ptr<TTelnetD> telnet;
  std::unique_ptr<TTNClient> gateway;
  std::unique_ptr<TTelMonD> monitor;
};

bool StartServices(Product& p, const test::WorkDir& wd, Words& ports, uint32_t sessions) {
  p.log.FileName = wd.File("HARVOX.LOG");
  p.log.SetActive(true);
  p.telnet = load::MakeTelnetServer(p.log, static_cast<uint16_t>(ports.Number()), sessions);
  p.gateway = std::make_unique<TTNClient>(&p.log);
  p.gateway->CallSign = "GATE";
  p.gateway->MaxCircuits = sessions;  // room for every background circuit
  p.gateway->AGWAddress = "127.0.0.1";
  p.gateway->AGWPort = static_cast<int32_t>(ports.Number());
  p.gateway->IsrtClient("GATE", "", 0, 0, 0, false);
  p.monitor = std::make_unique<TTelMonD>(&p.log);
  p.monitor->ListenPort = 0;
  p.monitor->AGWAddress = "127.0.0.1";
  p.monitor->AGWPort = static_cast<int32_t>(ports.Number());
  p.monitor->MaxViewers = p.monitor->MaxViewersPerAddress = 100000;  // the viewers share one address
  const auto host_port = static_cast<int32_t>(ports.Number());
  p.telnet->SetActive(true);
  p.gateway->SetActive(true);
  p.monitor->SetActive(true);
  if (!RunUntil(
          [&] { return p.telnet->Link().Active == 1 && p.gateway->Active && p.monitor->Link().Active == 1; },
          milliseconds(10000)))
    return false;
  p.gateway->IsrtClient("ROUTE", "127.0.0.1", host_port, 0, 0, false);
  RunFor(milliseconds(200));
  return true;
}

// Sends a command and runs the product until the driver answers.
std::string Ask(load::Channel& channel, const std::string& command, milliseconds timeout) {
  std::optional<std::string> reply;
  if (channel.Send(command)) RunUntil([&] { return (reply = channel.TryRead()).has_value(); }, timeout);
  return reply.value_or("none");
}

int64_t RssKiB() { return test::SelfStatusKiB("VmRSS").value_or(0); }

struct Step {
  uint32_t users = 0;
  double kib_per_session = 0;
  uint64_t typed = 0, samples = 0;
  int64_t p50_ns = 0, p99_ns = 0;
  double cpu_ms_per_1000 = 0;
  double others_cpus = -1;  // CPUs busy outside the product while typing
  std::string error;
};

// Logs users in up to `users`, lets them idle, then has every one of them
// type at the offered rate (each user one line per users/rate seconds).
Step RunStep(load::Channel& channel, Product& p, const ScaleSettings& s, uint32_t users, int64_t rss0) {
  Step out;
  load::Progress(("logging in up to " + std::to_string(users)).c_str());
  Words login(Ask(channel, "login " + std::to_string(p.telnet->BoundPort()) + " " + std::to_string(users),
                  milliseconds(180000)));
  login.Word();
  out.users = static_cast<uint32_t>(login.Number());
  if (out.users != users) out.error = "only " + std::to_string(out.users) + " users logged in";
  RunFor(milliseconds(1000));  // idle
  out.kib_per_session = static_cast<double>(RssKiB() - rss0) / users;
  const uint32_t period_ms = static_cast<uint32_t>(uint64_t{users} * 1000 / s.lines_per_s);
  load::Progress("typing");
  const int64_t cpu0 = test::ProcessCpuNs();
  load::MachineShare share;
  share.Start();
  Words pace(Ask(channel, "pace " + std::to_string(s.lines) + " " + std::to_string(period_ms),
                 milliseconds(uint64_t{s.lines} * period_ms + 40000)));
  const int64_t cpu = test::ProcessCpuNs() - cpu0;
  out.others_cpus = share.OthersCpus();
  pace.Word();
  out.typed = static_cast<uint64_t>(pace.Number());
  out.p50_ns = pace.Number();
  out.p99_ns = pace.Number();
  out.samples = static_cast<uint64_t>(pace.Number());
  if (out.typed > 0)
    out.cpu_ms_per_1000 = static_cast<double>(cpu) / 1e6 / (static_cast<double>(out.typed) / 1000);
  return out;
}

std::string Ratio(double first, double second) { return first > 0 ? Fmt("%.2f", second / first) : "n/a"; }

void Figure(const std::string& what, double first, double second, const char* format,
            const std::string& target) {
  Row(what, Fmt(format, first) + "  " + Fmt(format, second) + "  x" + Ratio(first, second), target);
}

void PrintSteps(const Step& a, const Step& b, bool busy) {
  std::printf("\n  %-54s %s\n", "",
              (std::to_string(a.users) + " users / " + std::to_string(b.users) + " users / ratio").c_str());
  Figure("memory per idle Telnet session (VmRSS, KiB)", a.kib_per_session, b.kib_per_session, "%.2f",
         std::string("< 8 KiB: ") + Verdict(b.kib_per_session < 8));
  Figure("typed line -> 'D' at the engine, p50 (ms)", a.p50_ns / 1e6, b.p50_ns / 1e6, "%.3f", "");
  Figure("typed line -> 'D' at the engine, p99 (ms)", a.p99_ns / 1e6, b.p99_ns / 1e6, "%.3f",
         busy ? std::string("< 1 ms when idle: busy run, not judged")
              : std::string("< 1 ms: ") + Verdict(b.p99_ns > 0 && b.p99_ns < 1000000));
  Figure("CPUs busy outside the product while typing", a.others_cpus, b.others_cpus, "%.2f",
         "driver and engines included");
  const double growth = a.cpu_ms_per_1000 > 0 ? b.cpu_ms_per_1000 / a.cpu_ms_per_1000 : 0;
  Figure("product CPU per 1,000 lines (ms)", a.cpu_ms_per_1000, b.cpu_ms_per_1000, "%.2f",
         std::string("growth < 20 %: ") + Verdict(growth > 0 && growth < 1.2));
  Row("lines typed (stamped at the engine)", std::to_string(a.typed) + " (" + std::to_string(a.samples) +
                                                 ")  " + std::to_string(b.typed) + " (" +
                                                 std::to_string(b.samples) + ")");
}

struct Background {
  int64_t linked = 0, hosts = 0, viewers = 0;
  double kib_per_circuit = 0, kib_per_viewer = 0;
};

Background OpenBackground(load::Channel& channel, Product& p, const ScaleSettings& s) {
  Background out;
  load::Progress("gateway circuits");
  int64_t rss = RssKiB();
  Words circuits(Ask(channel, "circuits " + std::to_string(s.circuits), milliseconds(60000)));
  circuits.Word();
  out.linked = circuits.Number();
  out.hosts = circuits.Number();
  RunFor(milliseconds(500));
  out.kib_per_circuit = static_cast<double>(RssKiB() - rss) / s.circuits;
  load::Progress("monitor viewers");
  rss = RssKiB();
  Words viewers(Ask(channel,
                    "viewers " + std::to_string(p.monitor->BoundPort()) + " " + std::to_string(s.viewers),
                    milliseconds(60000)));
  viewers.Word();
  out.viewers = viewers.Number();
  RunFor(milliseconds(500));
  out.kib_per_viewer = static_cast<double>(RssKiB() - rss) / s.viewers;
  return out;
}

void PrintHeader(const ScaleSettings& s, rlim_t fds, rlim_t need, const std::vector<int>& cpus,
                 size_t burners) {
  std::printf(
      "Scale run: %u Telnet users (first step %u), %u gateway circuits, %u monitor viewers, "
      "%u lines/s offered, %u lines per user per step\n",
      s.sessions, s.first_step, s.circuits, s.viewers, s.lines_per_s, s.lines);
  const std::string pins = cpus.empty() ? "one CPU: nothing pinned"
                                        : "product pinned to CPU " + std::to_string(cpus[0]) +
                                              ", driver and engines to CPU " + std::to_string(cpus[1]);
  std::printf("open-file limit %llu per process (%llu needed%s); %s\n", static_cast<unsigned long long>(fds),
              static_cast<unsigned long long>(need),
              fds < need ? ": too low, raise the hard limit (ulimit -Hn)" : "", pins.c_str());
  std::printf("load average %s at the start; %s\n", load::LoadAverage().c_str(),
              burners > 0 ? ("CPUs busy: " + std::to_string(burners) + " burners at nice 19").c_str()
                          : "no burners");
  std::fflush(stdout);
}

void PrintTable(const Background& bg, const Step& first, const Step& second, Words& quit, bool busy) {
  std::printf("\n");
  Row("gateway circuits linked / hosts connected",
      std::to_string(bg.linked) + " / " + std::to_string(bg.hosts));
  Row("memory per gateway circuit / monitor viewer (KiB)",
      Fmt("%.2f", bg.kib_per_circuit) + " / " + Fmt("%.2f", bg.kib_per_viewer));
  Row("monitor viewers welcomed", std::to_string(bg.viewers));
  PrintSteps(first, second, busy);
  quit.Word();
  const int64_t breaches = quit.Number(), stray = quit.Number(), failed = quit.Number();
  Row("engine rule breaches / stray echoes / failed users",
      std::to_string(breaches) + " / " + std::to_string(stray) + " / " + std::to_string(failed));
}

int RunProduct(load::Channel& channel, const ScaleSettings& s, pid_t child, bool busy) {
  test::WorkDir wd;
  test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\n");
  Product p;
  Words ports(channel.Read().value_or(""));
  std::string error;
  Background bg;
  Step first, second;
  if (ports.Word() != "ports" || !StartServices(p, wd, ports, s.sessions)) {
    error = "the services did not come up";
  } else {
    bg = OpenBackground(channel, p, s);
    const int64_t rss0 = RssKiB();
    first = RunStep(channel, p, s, s.first_step, rss0);
    second = RunStep(channel, p, s, s.sessions, rss0);
  }
  load::Progress("closing");
  Words quit(Ask(channel, "quit", milliseconds(30000)));
  RunUntil([&] { return p.telnet == nullptr || p.telnet->UserCount == 0; }, milliseconds(10000));
  int status = 0;
  ::waitpid(child, &status, 0);
  PrintTable(bg, first, second, quit, busy);
  Row("load average at the end", load::LoadAverage());
  for (const std::string& e : {error, first.error, second.error})
    if (!e.empty()) std::printf("\nrun: %s\n", e.c_str());
  return error.empty() && first.error.empty() && second.error.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  ScaleSettings s;
  const bool busy = argc > 1 && std::string(argv[1]) == "--busy";
  const int first = busy ? 2 : 1;
  if (argc > first) s.sessions = static_cast<uint32_t>(std::strtoul(argv[first], nullptr, 10));
  if (argc > first + 1) s.first_step = static_cast<uint32_t>(std::strtoul(argv[first + 1], nullptr, 10));
  if (argc > first + 2) s.lines_per_s = static_cast<uint32_t>(std::strtoul(argv[first + 2], nullptr, 10));
  if (s.sessions == 0 || s.sessions > 99999 || s.first_step == 0 || s.first_step > s.sessions ||
      s.lines_per_s == 0) {
    std::fprintf(stderr, "usage: %s [--busy] [users 1..99999] [first step <= users] [lines/s > 0]\n",
                 argv[0]);
    return 2;
  }
  const rlim_t need = s.sessions + s.circuits + s.viewers + 256;
  const rlim_t fds = load::RaiseFdLimit(need);
  const std::vector<int> cpus = load::AllowedCpus();
  const bool pinned = cpus.size() >= 2;
  load::CpuBurner burner;  // forked before any other child, so none holds the channel
  if (busy) burner.Start(cpus);
  if (pinned) PinTo(cpus[1]);  // the driver, and the product until it moves
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pair[0]);
    load::Channel channel(pair[1]);
    std::_Exit(load::RunScaleDriver(channel, s));
  }
  ::close(pair[1]);
  if (pinned) PinTo(cpus[0]);
  load::Channel channel(pair[0]);
  PrintHeader(s, fds, need, pinned ? cpus : std::vector<int>{}, burner.Running());
  return RunProduct(channel, s, child, busy);
}
