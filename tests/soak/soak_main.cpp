// The soak run: one Harvox (its start-up sequence, all three services) on
// the main thread's loop, against the fake engine, with Telnet users,
// stations and monitor viewers for a given time, while the engine now and
// then resets a connection, tears frames across TCP segments and sends a
// corrupt header.  It then checks that every byte that was owed arrived in
// order, that the login back-off never turned the soak's own users away,
// and that descriptors and memory went back to their idle level.  Exit
// status 0 only when all of that holds.
//
//   harvox_soak [SECONDS]     (or HARVOX_SOAK_SECONDS; default 600)
//
// SECONDS of load in all, the first 20 of them a warm-up after which the
// idle memory is taken.  HARVOX_SOAK_TRACE sets the product's TRACE (0 by
// default), HARVOX_SOAK_LOG its log file; HARVOX_SOAK_PROFILE=1 prints the
// live heap by allocation site at the end (sanitizer build).
//
// Threading: the product runs on the main thread; users, viewers, hosts and
// the engine's faults on the soak thread; the engine on its own.
#include <dirent.h>
#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" void __sanitizer_print_memory_profile(size_t top_percent, size_t max_contexts);
#endif

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "gateway/tnclient.h"
#include "shell/form.h"
#include "soak/soak.h"
#include "support/temp_dir.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"

namespace harvox::soak {

void Counters::Fault(const std::string& what) {
  std::lock_guard<std::mutex> lock(mu_);
  if (++faults_ <= 20) first_.push_back(what);
}

std::vector<std::string> Counters::FirstFaults() const {
  std::lock_guard<std::mutex> lock(mu_);
  return first_;
}

std::string TaggedLine(char kind, uint32_t slot, uint32_t gen, uint32_t seq) {
  std::string line =
      kind + std::to_string(slot) + "." + std::to_string(gen) + "." + std::to_string(seq) + " ";
  uint32_t x = (slot * 2654435761u) ^ (gen * 40503u) ^ (seq * 2246822519u) ^ 1u;
  const size_t size = line.size() + 8 + x % 112;
  while (line.size() < size) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    line += static_cast<char>('a' + x % 26);
  }
  return line;
}

namespace {

using test::AgwFrame;

size_t OpenFds() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n - 3;  // ".", ".." and the directory's own descriptor
}

// Bytes the program holds on the heap now (the sanitizer's own count in
// its build, where freed memory waits in quarantine).
size_t HeapKiB() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes() / 1024;
#else
  return mallinfo2().uordblks / 1024;
#endif
}

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kQuarantineKiB = 256 * 1024;
#else
constexpr size_t kQuarantineKiB = 0;
#endif

size_t RssKiB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  size_t kib = 0;
  while (in >> key) {
    if (key == "VmRSS:") return in >> kib, kib;
    in.ignore(1 << 12, '\n');
  }
  return 0;
}

// Runs fn on the soak thread and waits for it.
template <typename F>
auto OnSoak(asio::io_context& io, F fn) {
  std::packaged_task<decltype(fn())()> task(fn);
  auto result = task.get_future();
  asio::post(io, [&task] { task(); });
  return result.get();
}

std::string Monitored(uint64_t seq) {
  auto addr = [](const std::string& call, bool last) {
    std::string a;
    for (size_t i = 0; i < 6; ++i) a += static_cast<char>((i < call.size() ? call[i] : ' ') << 1);
    return a + static_cast<char>(0x60 | (last ? 1 : 0));
  };
  char info[16];
  std::snprintf(info, sizeof info, "<M%08llu>", static_cast<unsigned long long>(seq));
  // Long lines, so the viewer that never reads fills its queue.
  return std::string(1, '\0') + addr("CQ", false) + addr("S000A", true) + "\x03\xF0" + info +
         std::string(180, 'x') + "\r";
}

// The engine's side of the run: the node's echo for users, the monitor's
// frames, and the faults: resets, torn frames, corrupt headers.
struct Engine {
  test::FakeEngine fake;
  std::atomic<int> telnet{-1}, monitor{-1};
  std::atomic<uint64_t> frames{0}, violations{0}, monitored{0};
  std::vector<std::string> first_violations;  // engine thread

  void Script(Stations& stations, Counters& n) {
    fake.SetScript([this, &stations, &n](test::FakeEngine& e, int client, const AgwFrame& f) {
      if (++frames % 1024 == 0) {
        for (const auto& v : e.Violations())
          if (++violations <= 5) first_violations.push_back(v);
        e.Clear();  // it records every frame
      }
      if (f.kind == 'k') monitor = client;
      if (f.kind == 'X' && f.from.rfind("SK", 0) == 0) telnet = client;
      if (f.kind == 'D' && f.to == "NODE") {
        const AgwFrame echo{f.port, 'D', 0xF0, f.to, f.from, f.data};
        if (frames % 20 == 0) {
          ++n.torn;
          e.SendTorn(echo, uint32_t(frames), client);
        } else {
          e.Send(echo, client);
        }
      }
      stations.OnFrame(client, f);
    });
  }
  // A header whose length has non-zero upper bytes: the product must drop
  // the connection and take the link-loss path.
  static std::string CorruptHeader() {
    AgwFrame f{0, 'D', 0xF0, "NODE", "SK1-1", ""};
    std::string h = f.Encode();
    h[30] = 1;
    return h;
  }
};

struct Run {
  uint32_t seconds = 600;
  Counters n;
  asio::io_context io;
  Engine engine;
  Stations stations{io, engine.fake, n, 200};
  Crowd crowd{io, n, 500, 20};
  std::unique_ptr<asio::steady_timer> chaos;
  uint64_t ticks = 0;
  bool feeding = true, faults = false;

  // Every 50 ms: monitor frames; every 30 s a fault on an engine connection:
  // the Telnet server's twice, then the gateway's (so a circuit may live
  // past its 60 s time-out), each time in turn a reset or a corrupt header.
  void Chaos() {
    if (feeding && engine.monitor >= 0) {
      for (int i = 0; i < 2; ++i) {
        const AgwFrame k{0, 'K', 0, "", "", Monitored(engine.monitored)};
        const bool tear = engine.monitored % 10 == 0;
        if (tear) ++n.torn;
        if (tear ? engine.fake.SendTorn(k, uint32_t(engine.monitored), engine.monitor)
                 : engine.fake.Send(k, engine.monitor))
          ++engine.monitored;
      }
    }
    if (faults && ++ticks % 600 == 0) Fault(ticks / 600);
    chaos->expires_after(milliseconds(50));
    chaos->async_wait([this](const asio::error_code& ec) {
      if (!ec) Chaos();
    });
  }
  void Fault(uint64_t k) {
    const bool gateway = k % 3 == 0, reset = (gateway ? k / 3 : k) % 2 == 1;
    const int client = gateway ? stations.GatewayClient() : engine.telnet.load();
    if (client < 0) return;
    if (gateway) stations.LinkLost();
    if (reset) {
      if (engine.fake.ResetClient(client)) ++n.resets;
    } else if (engine.fake.SendRaw(Engine::CorruptHeader(), 0, milliseconds(0), client)) {
      ++n.corrupt;
    }
  }
};

// Two ports free now, for the Telnet and monitor servers (0 stops start-up).
std::pair<int, int> FreePorts() {
  asio::io_context io;
  const asio::ip::tcp::endpoint any(asio::ip::tcp::v4(), 0);
  asio::ip::tcp::acceptor a(io, any), b(io, any);
  return {a.local_endpoint().port(), b.local_endpoint().port()};
}

void WriteConfig(const Run& run) {
  const auto [telnet_port, monitor_port] = FreePorts();
  std::string users = "[USERS]\n";
  for (uint32_t i = 0; i < 500; ++i)
    users += Crowd::UserId(i) + "=pw" + std::to_string(i) + ",SK" + std::to_string(i) + "-1\n";
  test::WriteFile("USERS.INI", users);
  // The trace is off by default: at level 1 every host read is dumped.
  const char* trace = std::getenv("HARVOX_SOAK_TRACE");
  const char* log = std::getenv("HARVOX_SOAK_LOG");
  test::WriteFile("HARVOX.INI", "[HARVOX]\nTRACE=" + std::string(trace ? trace : "0") +
                                    "\nLOGFILE=" + std::string(log ? log : "HARVOX.LOG") +
                                    "\n[AGW]\nPORT=" + std::to_string(run.engine.fake.Port()) +
                                    "\n[TELNET]\nPORT=" + std::to_string(telnet_port) +
                                    "\nNODEPORT=1\nNODECALL=NODE\nMAXUSERS=1000\n"
                                    "TIMEOUT=60000\n[MONITOR]\nPORT=" + std::to_string(monitor_port) +
                                    "\n[TELNET.CLIENT]\n" +
                                    run.stations.Routes());
}

// The run's phases on the main thread, which drives the product's loop.
struct Phases {
  Run& run;
  TForm1& form;
  std::vector<std::string> good;  // the soak users' addresses
  Clock::time_point last = Clock::now();
  size_t idle_fds = 0, peak_fds = 0, after_fds = 0, idle_rss = 0, peak_rss = 0, after_rss = 0;
  size_t idle_heap = 0, after_heap = 0;
  uint64_t frames = 0;

  // Once a second: the peaks, and whether the back-off holds a soak user.
  void Sample() {
    if (Clock::now() - last < milliseconds(1000)) return;
    last = Clock::now();
    peak_fds = std::max(peak_fds, OpenFds());
    peak_rss = std::max(peak_rss, RssKiB());
    for (const auto& address : good) {
      if (form.TelnetD->Guard.Blocked(address, LoginGuard::Clock::now()))
        run.n.Fault("the login back-off turned away " + address);
    }
  }
  void Load(uint32_t seconds) {
    OnSoak(run.io, [&] { return run.faults = true, run.crowd.Resume(), run.stations.Resume(), 0; });
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) RunFor(milliseconds(200)), Sample();
  }
  // No new rounds; the running ones finish (the viewers stay).
  void Settle() {
    OnSoak(run.io, [&] { return run.faults = false, run.crowd.Wind(), run.stations.Wind(), 0; });
    const bool quiet = RunUntil(
        [&] {
          Sample();
          return OnSoak(run.io, [&] { return run.crowd.Idle(false) && run.stations.Idle(); }) &&
                 form.TelnetD->Sessions().Count() == 0 && form.TNClient->Table().Count() == 0;
        },
        milliseconds(90000));
    if (!quiet) run.n.Fault("the load did not wind down within 90 s");
    RunFor(milliseconds(2000));
  }
  // The viewers get the last monitor frames and close.
  void EndViewers() {
    OnSoak(run.io, [&] { return run.feeding = false, 0; });
    frames = run.engine.monitored;
    RunUntil([&] { return OnSoak(run.io, [&] { return run.crowd.ViewersHave(frames); }); },
             milliseconds(30000));
    OnSoak(run.io, [&] { return run.crowd.CloseViewers(frames), 0; });
    if (!RunUntil([&] { return form.TelMonD->Viewers().Count() == 0; }, milliseconds(10000)))
      run.n.Fault("the monitor kept viewers that closed");
    RunFor(milliseconds(1000));
  }
  int Report(double took);
};

// The figures, the checks of the levels, and the exit status.
int Phases::Report(double took) {
  const Counters& n = run.n;
  auto u = [](const std::atomic<uint64_t>& a) { return static_cast<unsigned long long>(a.load()); };
  std::printf(
      "soak: %.0f s; users: %llu sessions, %llu completed (%llu by ESC), %llu mid-line, "
      "%llu pastes of 100 KiB, %llu never reading, %llu cut by engine faults, %llu refused "
      "while the link was down, %llu already on\n",
      took, u(n.sessions), u(n.completed), u(n.esc), u(n.mid_line), u(n.pasted), u(n.silent),
      u(n.cut), u(n.busy_link), u(n.already));
  std::printf("soak: guessers: %llu failed logins, %llu turned away\n", u(n.bad_failures),
              u(n.bad_blocked));
  std::printf(
      "soak: stations: %llu rounds, %llu echoed, %llu left early, %llu refused, %llu closed "
      "by the host, %llu timed out, %llu flooded, %llu cut by engine faults\n",
      u(n.stations), u(n.echoed), u(n.left_early), u(n.refused), u(n.closed), u(n.timed_out),
      u(n.flooded), u(n.stations_cut));
  std::printf(
      "soak: viewers: %llu monitor frames sent, %llu lines checked; bytes checked in order: "
      "%llu\n",
      static_cast<unsigned long long>(frames), u(n.viewer_lines), u(n.bytes_checked));
  std::printf(
      "soak: engine: %llu resets, %llu corrupt headers, %llu torn frames, %llu 'D' frames "
      "after the link ended\n",
      u(n.resets), u(n.corrupt), u(n.torn), u(run.engine.violations));
  for (const auto& v : run.engine.first_violations) std::printf("soak:   engine: %s\n", v.c_str());
  // Allocator retention and the reactor's reused records stay; growth with
  // the load does not.  The heap in use is the exact measure; resident
  // memory in the sanitizer build also holds its quarantine of freed blocks
  // (up to 256 MiB), which fills at its own pace.
  const size_t rss_tolerance = 16 * 1024 + idle_rss / 10 + kQuarantineKiB;
  const size_t heap_tolerance = 4 * 1024;
  std::printf(
      "soak: fds idle %zu, peak %zu, after %zu; RSS idle %zu KiB, peak %zu KiB, after %zu KiB "
      "(tolerance %zu KiB); heap in use idle %zu KiB, after %zu KiB (tolerance %zu KiB)\n",
      idle_fds, peak_fds, after_fds, idle_rss, peak_rss, after_rss, rss_tolerance, idle_heap,
      after_heap, heap_tolerance);
  if (after_fds != idle_fds) run.n.Fault("descriptors did not return to their idle count");
  if (after_rss > idle_rss + rss_tolerance)
    run.n.Fault("resident memory stayed above its idle level");
  if (after_heap > idle_heap + heap_tolerance)
    run.n.Fault("heap in use stayed above its idle level");
  if (n.bad_blocked == 0 && run.seconds >= 60) run.n.Fault("the guessers were never turned away");
  if (n.completed == 0 || n.echoed == 0 || n.viewer_lines == 0)
    run.n.Fault("some of the load never got through");
  for (const auto& f : n.FirstFaults()) std::printf("soak: FAULT %s\n", f.c_str());
  std::printf("soak: %s (%llu faults)\n", n.Faults() ? "FAILED" : "passed",
              static_cast<unsigned long long>(n.Faults()));
  return n.Faults() ? 1 : 0;
}

bool StartProduct(Run& run, TForm1& form) {
  if (form.FormCreate() != TForm1::StartResult::Running || !form.StartupError.empty()) {
    std::fprintf(stderr, "soak: the product did not start: %s\n", form.StartupError.c_str());
    return false;
  }
  form.TelnetD->AGWReopenMs = 1000;  // an engine restart, not a minute's outage
  form.TNClient->RecoverMs = 1000;
  return RunUntil([&] { return run.engine.monitor >= 0 && run.stations.GatewayClient() >= 0; },
                  milliseconds(10000));
}

}  // namespace

int Main(uint32_t seconds) {
  test::WorkDir dir;
  Run run;
  run.seconds = seconds;
  run.engine.Script(run.stations, run.n);
  WriteConfig(run);
  auto work = asio::make_work_guard(run.io);
  std::thread soak([&] { run.io.run(); });
  TForm1 form;
  if (!StartProduct(run, form)) return 1;
  RunFor(milliseconds(1000));
  Phases p{run, form, {}};
  p.idle_fds = p.peak_fds = OpenFds();
  p.peak_rss = RssKiB();
  const auto t0 = Clock::now();
  p.good = OnSoak(run.io, [&] {
    run.crowd.Start(uint16_t(form.TelnetD->BoundPort()), uint16_t(form.TelMonD->BoundPort()));
    run.stations.Start();
    run.chaos = std::make_unique<asio::steady_timer>(run.io);
    run.Chaos();
    return run.crowd.GoodAddresses();
  });
  // Memory is compared with its level after a first round of the same load,
  // when the allocator's caches (and the sanitizer's quarantine) have filled.
  const uint32_t warm = std::min<uint32_t>(20, seconds / 4 + 1);
  p.Load(warm);
  p.Settle();
  p.idle_rss = RssKiB(), p.idle_heap = HeapKiB();
  p.Load(seconds > warm ? seconds - warm : 1);
  p.Settle();
  p.after_rss = RssKiB(), p.after_heap = HeapKiB();
#if defined(__SANITIZE_ADDRESS__)
  if (std::getenv("HARVOX_SOAK_PROFILE")) __sanitizer_print_memory_profile(90, 30);
#endif
  const double took = std::chrono::duration<double>(Clock::now() - t0).count();
  p.EndViewers();
  p.after_fds = OpenFds();
  OnSoak(run.io, [&] { return run.chaos->cancel(), 0; });

  bool down = false;
  form.BeginShutdown([&] { down = true; });
  RunUntil([&] { return down; }, milliseconds(10000));
  form.FormDestroy();
  work.reset();
  run.io.stop();
  soak.join();
  run.engine.fake.Stop();
  return p.Report(took);
}

}  // namespace harvox::soak

int main(int argc, char** argv) {
  const char* env = std::getenv("HARVOX_SOAK_SECONDS");
  const char* arg = argc > 1 ? argv[1] : env;
  const long seconds = arg ? std::strtol(arg, nullptr, 10) : 600;
  return harvox::soak::Main(seconds > 0 ? uint32_t(seconds) : 600);
}
