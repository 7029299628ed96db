// The monitor server's fan-out: 100 viewers and a stream of raw frames from
// a fast fake engine, through the whole path (engine socket, reassembly,
// decoding, one shared line per frame, 100 viewer sockets), against a
// baseline in the same run that writes the same lines to 100 loopback
// sockets with plain send() calls and no decoding (one call per line per
// socket), and a ceiling that sends each socket all lines in one go.  One reader thread
// drains every viewer socket for both.  Reported per run: frames/s
// delivered to all viewers and main-thread CPU per frame; at the end the
// monitor's rate as a share of the baseline's.
//
// Threading: the product runs on the main thread (harvox::Loop()); the fake
// engine and the reader have threads of their own.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agw/l2.h"
#include "support/fake_engine.h"
#include "support/net_test_util.h"
#include "telmond/telmond.h"
#include "util/event_loop.h"

namespace harvox {
namespace {

constexpr int kViewers = 100;
constexpr int kFrames = 2000;  // per iteration
const std::string kWelcome = "\r\nWelcome to the AX.25 Monitor Telnet Server\r\n";

std::string Addr(const std::string& call, int ssid, bool last) {
  std::string a;
  for (size_t i = 0; i < 6; ++i) a += static_cast<char>((i < call.size() ? call[i] : ' ') << 1);
  return a + static_cast<char>(0x60 | (ssid << 1) | (last ? 1 : 0));
}

int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Reads and counts every byte arriving on a set of sockets.
class Reader {
 public:
  explicit Reader(std::vector<int> fds) : fds_(std::move(fds)), thread_([this] { Run(); }) {}
  ~Reader() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) ::close(fd);
  }
  uint64_t Bytes() const { return bytes_.load(); }

 private:
  void Run() {
    std::vector<pollfd> p;
    for (int fd : fds_) p.push_back({fd, POLLIN, 0});
    std::vector<char> buf(1 << 16);
    while (!stop_) {
      if (::poll(p.data(), p.size(), 20) <= 0) continue;
      for (const pollfd& e : p) {
        if (!(e.revents & POLLIN)) continue;
        const ssize_t n = ::recv(e.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) bytes_ += static_cast<uint64_t>(n);
      }
    }
  }
  std::vector<int> fds_;
  std::atomic<uint64_t> bytes_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Bench {
  test::FakeEngine engine;
  TTelMonD monitor{nullptr};
  std::string burst;     // kFrames 'K' frames as the engine sends them
  std::string line;      // what each of them becomes for a viewer
  std::vector<int> baseline_fds;  // sending ends of the baseline sockets
  std::unique_ptr<Reader> reader;
  uint64_t expected = 0;  // bytes the reader has when every run so far is delivered
  bool ok = false;

  Bench() {
    const std::string info(60, 'x');
    const std::string frame = std::string(1, '\0') + Addr("APRS", 0, false) + Addr("N0CALL", 7, false) +
                              Addr("WIDE1", 1, true) + "\x03\xF0" + info;
    test::AgwFrame k;
    k.kind = 'K';
    k.data = frame;
    for (int i = 0; i < kFrames; ++i) burst += k.Encode();
    line = "N0CALL-7>APRS Via(WIDE1-1) {UI} Pid(F0):\r" + info + "\r";
    monitor.ListenPort = 0;
    monitor.Split = true;
    monitor.UseCRLF = false;
    monitor.AGWAddress = "127.0.0.1";
    monitor.AGWPort = engine.Port();
    monitor.MaxViewers = monitor.MaxViewersPerAddress = kViewers;  // all from one address
    monitor.SetActive(true);
    if (!engine.RunLoopUntilFrame(test::IsKind('k')).has_value()) return;
    std::vector<int> reading;
    for (size_t i = 1; i <= kViewers; ++i) {  // the listener's backlog is short: one at a time
      reading.push_back(Connect(monitor.BoundPort()));
      if (!RunUntil([&] { return monitor.Viewers().Count() == i; })) return;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in any = net::test::Loopback(0);
    ::bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    ::listen(listener, kViewers);
    for (int i = 0; i < kViewers; ++i) {
      reading.push_back(Connect(net::test::LocalPortOf(listener)));
      baseline_fds.push_back(::accept(listener, nullptr, nullptr));
    }
    ::close(listener);
    reader = std::make_unique<Reader>(reading);
    expected = kWelcome.size() * kViewers;
    ok = RunUntil([&] { return monitor.Viewers().Count() == kViewers && reader->Bytes() >= expected; },
                  std::chrono::seconds(20));
  }
  ~Bench() {
    for (int fd : baseline_fds) ::close(fd);
  }
  static int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = net::test::Loopback(port);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return fd;
  }
  bool Delivered() { return reader->Bytes() >= expected; }
};

Bench& Shared() {
  static Bench* b = new Bench;  // lives to the end of the process
  return *b;
}

void Report(benchmark::State& state, int64_t cpu_ns) {
  const double frames = static_cast<double>(state.iterations()) * kFrames;
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["cpu_us/frame"] = static_cast<double>(cpu_ns) / 1000.0 / frames;
  state.counters["viewers"] = kViewers;
}

void BM_MonitorToViewers(benchmark::State& state) {
  Bench& b = Shared();
  if (!b.ok) return state.SkipWithError("set-up failed");
  int64_t cpu = 0;
  for (auto _ : state) {
    const int64_t start = ThreadCpuNs();
    b.expected += static_cast<uint64_t>(b.line.size()) * kFrames * kViewers;
    b.engine.SendRaw(b.burst);
    if (!RunUntil([&] { return b.Delivered(); }, std::chrono::seconds(60))) {
      return state.SkipWithError("frames not delivered");
    }
    cpu += ThreadCpuNs() - start;
  }
  Report(state, cpu);
}

void BM_RawWriteBaseline(benchmark::State& state) {
  Bench& b = Shared();
  if (!b.ok) return state.SkipWithError("set-up failed");
  int64_t cpu = 0;
  for (auto _ : state) {
    const int64_t start = ThreadCpuNs();
    b.expected += static_cast<uint64_t>(b.line.size()) * kFrames * kViewers;
    for (int i = 0; i < kFrames; ++i) {
      for (int fd : b.baseline_fds) {
        for (size_t sent = 0; sent < b.line.size();) {
          const ssize_t n = ::send(fd, b.line.data() + sent, b.line.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) return state.SkipWithError("send failed");
          sent += static_cast<size_t>(n);
        }
      }
    }
    while (!b.Delivered()) std::this_thread::yield();
    cpu += ThreadCpuNs() - start;
  }
  Report(state, cpu);
}

// Not a target, a ceiling: each socket gets the whole run's lines in one
// send loop, as if every frame had arrived at once.
void BM_BulkWriteCeiling(benchmark::State& state) {
  Bench& b = Shared();
  if (!b.ok) return state.SkipWithError("set-up failed");
  std::string all;
  for (int i = 0; i < kFrames; ++i) all += b.line;
  int64_t cpu = 0;
  for (auto _ : state) {
    const int64_t start = ThreadCpuNs();
    b.expected += static_cast<uint64_t>(all.size()) * kViewers;
    for (int fd : b.baseline_fds) {
      for (size_t sent = 0; sent < all.size();) {
        const ssize_t n = ::send(fd, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return state.SkipWithError("send failed");
        sent += static_cast<size_t>(n);
      }
    }
    while (!b.Delivered()) std::this_thread::yield();
    cpu += ThreadCpuNs() - start;
  }
  Report(state, cpu);
}

BENCHMARK(BM_RawWriteBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MonitorToViewers)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BulkWriteCeiling)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console table, and the last frames/s of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      const auto it = r.counters.find("frames/s");
      if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace
}  // namespace harvox

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  harvox::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double product = reporter.rates["BM_MonitorToViewers/real_time"];
  const double baseline = reporter.rates["BM_RawWriteBaseline/real_time"];
  const double ceiling = reporter.rates["BM_BulkWriteCeiling/real_time"];
  if (product > 0 && baseline > 0 && ceiling > 0) {
    std::printf("Monitor frames/s to %d viewers: %.0f%% of the raw-write baseline (target 70%%), "
                "%.0f%% of the bulk-write ceiling\n",
                harvox::kViewers, 100.0 * product / baseline, 100.0 * product / ceiling);
  }
  benchmark::Shutdown();
  return 0;
}
