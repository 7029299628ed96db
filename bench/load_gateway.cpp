// Load run of the gateway.  Bulk: one local host sends a block of bytes to
// a station through the gateway and a fake engine that acknowledges at
// once, against socat relaying the same bytes between two local sockets in
// the same run.  The gateway's pace is set by the flow window towards the
// radio, so the figure compared is the CPU each relay spends per MB (the
// gateway's loop thread; socat's whole process), with the throughputs for
// information.  Circuits: many stations connect at once through a route to
// a local host; memory per circuit, then the time from a station's line
// (injected at the engine) to its bytes at the host.  Prints one table;
// asserts nothing.
//
// Usage: load_gateway [--busy] [megabytes] [circuits]   (default 64 and 1000;
// loopback only).  With --busy a burner spins at nice 19 on every CPU
// throughout, so both relays are measured on a machine busy with other work.
//
// Threading: the gateway runs on the main thread's loop; the driver, the
// host sockets and the baseline run on a second thread, and reach the
// gateway only through OnLoop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "agw/l2.h"
#include "load/burner.h"
#include "load/report.h"
#include "gateway/tnclient.h"
#include "support/child_process.h"
#include "support/fake_engine.h"
#include "support/load_stats.h"
#include "support/temp_dir.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace {

using namespace harvox;
using test::FakeEngine;
using load::Fmt;
using load::Row;
using test::NowNs;

void OnLoop(const std::function<void()>& fn) {
  std::promise<void> done;
  asio::post(Loop(), [&] { fn(); done.set_value(); });
  done.get_future().wait();
}

bool Wait(const std::function<bool()>& pred, int seconds) {
  for (int i = 0; i < seconds * 1000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

int Listen(int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, backlog);
  return fd;
}

int PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

struct Bulk {
  double seconds = 0;
  uint64_t frames = 0;
  double cpu_seconds = 0;  // the gateway's own thread, or the whole socat process
};

// The block through the gateway: a quiet route, so the station gets the
// host's bytes and nothing else.
Bulk ProductBulk(FakeEngine& engine, std::unique_ptr<TTNClient>& gw, const std::string& block,
                 const std::string& station) {
  std::atomic<uint64_t> bytes{0}, frames{0};
  engine.SetScript([&](FakeEngine&, int, const test::AgwFrame& f) {
    if (f.kind != 'D' || f.to != station) return;
    bytes += f.data.size();
    ++frames;
  });
  const int listener = Listen(4);
  OnLoop([&] { gw->IsrtClient("BULK", "127.0.0.1", PortOf(listener), 0, 0, true); });
  engine.Send({.port = 0, .kind = 'C', .from = station, .to = "BULK",
               .data = "*** CONNECTED To Station " + station + "\r"});
  const int host = ::accept(listener, nullptr, nullptr);
  int64_t cpu0 = 0, cpu1 = 0;
  OnLoop([&] { cpu0 = test::ThreadCpuNs(); });
  const int64_t t0 = NowNs();
  std::thread sender([&] { SendAll(host, block); });
  // The fake engine keeps every frame it got; emptied as we go, so its own
  // bookkeeping does not set the pace.
  int polls = 0;
  const bool whole = Wait([&] {
    if (++polls % 20 == 0) engine.Clear();
    return bytes >= block.size();
  }, 600);
  OnLoop([&] { cpu1 = test::ThreadCpuNs(); });
  // A pass that did not get the whole block through counts for nothing.
  Bulk out{whole ? static_cast<double>(NowNs() - t0) / 1e9 : 0, frames.load(),
           static_cast<double>(cpu1 - cpu0) / 1e9};
  sender.join();
  ::close(host);
  ::close(listener);
  engine.SetScript({});
  engine.Clear();
  return out;
}

// The same block through socat, from one local socket to another.  Zero
// seconds when socat could not run.
Bulk BaselineBulk(const std::string& block, std::string* error) {
  const int sink = Listen(4);
  const int relay_port = [] {
    const int fd = Listen(1);
    const int port = PortOf(fd);
    ::close(fd);
    return port;
  }();
  test::TempDir dir;
  test::ChildProcess socat;
  if (!socat.Start({"socat", "TCP-LISTEN:" + std::to_string(relay_port) + ",reuseaddr",
                    "TCP:127.0.0.1:" + std::to_string(PortOf(sink))},
                   dir.Path(), dir.File("socat.log"), error)) {
    return {};
  }
  int source = -1;
  Wait([&] { return (source = ConnectTo(relay_port)) >= 0; }, 5);
  const int far = ::accept(sink, nullptr, nullptr);
  const int64_t cpu0 = load::ProcessCpuNsOf(socat.Pid());
  const int64_t t0 = NowNs();
  std::thread sender([&] { SendAll(source, block); });
  std::vector<char> buf(1 << 16);
  size_t got = 0;
  while (got < block.size()) {
    const ssize_t n = ::recv(far, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  const int64_t cpu1 = load::ProcessCpuNsOf(socat.Pid());
  Bulk out{got >= block.size() ? static_cast<double>(NowNs() - t0) / 1e9 : 0, 0,
           cpu0 >= 0 && cpu1 >= 0 ? static_cast<double>(cpu1 - cpu0) / 1e9 : 0};
  if (out.seconds == 0 && error) *error = "socat ended before the block was through";
  sender.join();
  ::close(source);
  ::close(far);
  ::close(sink);
  return out;
}

struct Circuits {
  size_t linked = 0;
  double kib_per_circuit = 0;
  std::vector<int64_t> latency_ns;
};

Circuits ManyCircuits(FakeEngine& engine, std::unique_ptr<TTNClient>& gw, size_t count) {
  Circuits out;
  std::atomic<size_t> linked{0};
  engine.SetScript([&](FakeEngine&, int, const test::AgwFrame& f) {
    if (f.kind == 'D' && f.data.find("*** Linked with") != std::string::npos) ++linked;
  });
  const int listener = Listen(static_cast<int>(count) + 16);
  OnLoop([&] { gw->IsrtClient("ROUTE", "127.0.0.1", PortOf(listener), 0, 0, false); });
  const auto rss0 = test::SelfStatusKiB("VmRSS");
  auto call = [](size_t i) { return "N" + std::to_string(100000 + i); };
  for (size_t i = 0; i < count; ++i) {
    engine.Send({.port = 0, .kind = 'C', .from = call(i), .to = "ROUTE",
                 .data = "*** CONNECTED To Station " + call(i) + "\r"});
  }
  std::vector<pollfd> hosts;
  for (size_t i = 0; i < count; ++i) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) hosts.push_back({fd, POLLIN, 0});
  }
  Wait([&] { return linked >= count; }, 60);
  out.linked = linked;
  const auto rss1 = test::SelfStatusKiB("VmRSS");
  if (rss0 && rss1) out.kib_per_circuit = static_cast<double>(*rss1 - *rss0) / count;
  engine.SetScript({});
  char buf[4096];
  for (size_t round = 0; round < 2; ++round) {
    for (size_t i = 0; i < count; ++i) {
      const int64_t t0 = NowNs();
      engine.Send({.port = 0, .kind = 'D', .pid = 0xF0, .from = call(i), .to = "ROUTE",
                   .data = "line " + std::to_string(i) + "\r"});
      bool got = false;
      while (!got && ::poll(hosts.data(), hosts.size(), 2000) > 0) {
        for (auto& h : hosts) {
          if (!(h.revents & POLLIN)) continue;
          got = ::recv(h.fd, buf, sizeof buf, 0) > 0 || got;
        }
      }
      if (got) out.latency_ns.push_back(NowNs() - t0);
    }
    engine.Clear();
  }
  for (auto& h : hosts) ::close(h.fd);
  ::close(listener);
  return out;
}

// Keeps the shorter time and, separately, the smaller CPU time of the passes
// that got the whole block through.
void Better(Bulk& best, const Bulk& pass) {
  if (pass.seconds <= 0) return;
  if (best.seconds <= 0 || pass.seconds < best.seconds) {
    best.seconds = pass.seconds;
    best.frames = pass.frames;
  }
  if (pass.cpu_seconds > 0 && (best.cpu_seconds <= 0 || pass.cpu_seconds < best.cpu_seconds))
    best.cpu_seconds = pass.cpu_seconds;
}

void PrintBulk(double mb, const Bulk& product, const Bulk& baseline, const std::string& error) {
  if (product.seconds <= 0) {
    Row("bulk host -> station, through the gateway", "n/a: the block did not get through");
    return;
  }
  const double product_ms = 1e3 * product.cpu_seconds / mb;
  Row("bulk host -> station: gateway CPU per MB", Fmt("%.2f ms", product_ms));
  Row("  throughput (bounded by the window)", Fmt("%.1f MB/s", mb / product.seconds));
  Row("  'D' frames to the engine", Fmt("%.0f frames/s", product.frames / product.seconds));
  if (baseline.seconds <= 0 || baseline.cpu_seconds <= 0) {
    Row("bulk through socat (baseline)", "n/a: " + (error.empty() ? "its CPU time unreadable" : error));
    return;
  }
  const double baseline_ms = 1e3 * baseline.cpu_seconds / mb;
  Row("bulk through socat: socat CPU per MB", Fmt("%.2f ms", baseline_ms));
  Row("  throughput", Fmt("%.1f MB/s", mb / baseline.seconds));
  const double ratio = product_ms / baseline_ms;
  Row("  gateway / socat, CPU per MB", Fmt("%.2f", ratio), std::string("target <= 3: ") + load::Verdict(ratio <= 3));
}

void Drive(size_t megabytes, size_t count) {
  FakeEngine engine;
  TLog log;  // off: the figures are the relay's, not the trace log's
  std::unique_ptr<TTNClient> gw;
  OnLoop([&] {
    gw = std::make_unique<TTNClient>(&log);
    gw->CallSign = "GATE";
    gw->AGWPort = engine.Port();
    gw->MaxCircuits = static_cast<uint32_t>(count + 16);  // the bulk circuits too
    gw->IsrtClient("GATE", "", 0, 0, 0, false);
    gw->SetActive(true);
  });
  Wait([&] { bool up = false; OnLoop([&] { up = gw->Active; }); return up; }, 10);
  const std::string block(megabytes << 20, 'x');
  // Each side three times, alternating, and the better figure of each: the
  // machine is shared, and a single pass swings with its load.
  Bulk product, baseline;
  std::string error;
  for (int pass = 0; pass < 3; ++pass) {
    Better(product, ProductBulk(engine, gw, block, "N0BLK-" + std::to_string(pass + 1)));
    Better(baseline, BaselineBulk(block, &error));
  }
  const Circuits many = ManyCircuits(engine, gw, count);
  OnLoop([&] { gw.reset(); });

  const double mb = static_cast<double>(block.size()) / 1e6;
  std::printf("\nGateway load run (%zu MiB bulk, %zu circuits)\n", megabytes, count);
  PrintBulk(mb, product, baseline, error);
  Row("circuits linked", std::to_string(many.linked) + "/" + std::to_string(count));
  Row("memory per circuit (RSS, fake engine included)", Fmt("%.1f KiB", many.kib_per_circuit),
      many.kib_per_circuit < 16 ? "target < 16 KiB: met" : "target < 16 KiB: MISSED");
  const auto p50 = test::Percentile(many.latency_ns, 0.50);
  const auto p99 = test::Percentile(many.latency_ns, 0.99);
  if (p50 && p99) {
    Row("station line -> host, p50", Fmt("%.3f ms", static_cast<double>(*p50) / 1e6));
    Row("station line -> host, p99", Fmt("%.3f ms", static_cast<double>(*p99) / 1e6),
        *p99 < 2000000 ? "target < 2 ms: met" : "target < 2 ms: MISSED");
  }
  Row("samples", std::to_string(many.latency_ns.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const bool busy = argc > 1 && std::string(argv[1]) == "--busy";
  const int first = busy ? 2 : 1;
  const size_t megabytes = argc > first ? std::stoul(argv[first]) : 64;
  const size_t count = argc > first + 1 ? std::stoul(argv[first + 1]) : 1000;
  load::RaiseFdLimit(3 * count + 256);
  load::CpuBurner burner;  // forked before any thread starts
  if (busy) burner.Start(load::AllowedCpus());
  std::printf("CPUs busy: %s; load average %s\n",
              busy ? (std::to_string(burner.Running()) + " burners at nice 19").c_str() : "none started",
              load::LoadAverage().c_str());
  auto work = asio::make_work_guard(Loop());
  std::thread driver([&] {
    Drive(megabytes, count);
    asio::post(Loop(), [&] { work.reset(); Loop().stop(); });
  });
  Loop().run();
  driver.join();
  return 0;
}
