// The driver process of the scale run (see scale.h): the fake engines of
// the three services, the simulated Telnet users, the gateway's local hosts
// and the monitor viewers.  Typed lines are stamped here when typed and
// again when their 'D' reaches the engine, on the same steady clock.
//
// Threading: RunScaleDriver serves commands on the process's main thread
// with blocking calls; the users' driver and each engine have a thread of
// their own and share only atomics with it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "load/phases.h"
#include "load/scale.h"
#include "support/fake_engine.h"
#include "support/load_driver.h"
#include "support/load_echo.h"
#include "support/load_stats.h"

namespace harvox::load {

Channel::~Channel() { ::close(fd_); }

bool Channel::Send(const std::string& line) {
  const std::string bytes = line + "\n";
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> Channel::TakeLine() {
  const size_t lf = buf_.find('\n');
  if (lf == std::string::npos) return std::nullopt;
  std::string line = buf_.substr(0, lf);
  buf_.erase(0, lf + 1);
  return line;
}

std::optional<std::string> Channel::TryRead() {
  char chunk[512];
  while (!closed_) {
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0) closed_ = true;
    if (n <= 0) break;
    buf_.append(chunk, static_cast<size_t>(n));
  }
  return TakeLine();
}

std::optional<std::string> Channel::Read() {
  char chunk[512];
  for (;;) {
    if (auto line = TakeLine()) return line;
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return std::nullopt;
    buf_.append(chunk, static_cast<size_t>(n));
  }
}

namespace {

using test::AgwFrame;
using test::FakeEngine;

int ListenLoopback(int backlog, uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// A viewer that connected and read the monitor's welcome; -1 otherwise.
int Viewer(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string seen;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    while (seen.find("Welcome") == std::string::npos && ::poll(&p, 1, 5000) > 0) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      seen.append(buf, static_cast<size_t>(n));
    }
  }
  if (seen.find("Welcome") != std::string::npos) return fd;
  ::close(fd);
  return -1;
}

// The Telnet engine's socket takes every user's lines; with the default
// buffer a short stall of this (shared) CPU would overflow it, and the
// kernel's drop and 200 ms retransmission would show in the figures as the
// product's latency.
FakeEngine::Options WideReceive() {
  FakeEngine::Options o;
  o.receive_buffer = 4 << 20;
  return o;
}

class Driver {
 public:
  Driver(Channel& channel, const ScaleSettings& settings)
      : channel_(channel),
        settings_(settings),
        shared_(settings.sessions, 2 * settings.lines),
        echo_(std::make_shared<test::EngineEcho>(shared_)),
        telnet_(WideReceive()),
        users_(shared_) {
    telnet_.SetScript(
        [echo = echo_](FakeEngine& e, int client, const AgwFrame& f) { echo->OnFrame(e, client, f); });
    gateway_.SetScript([this](FakeEngine& e, int, const AgwFrame& f) {
      if (f.kind == 'D' && f.data.find("*** Linked with") != std::string::npos) ++linked_;
      if (++gateway_frames_ % 256 == 0) e.Clear();
    });
    listener_ = ListenLoopback(static_cast<int>(settings.circuits) + 16, &host_port_);
  }
  ~Driver() {
    for (int fd : hosts_) ::close(fd);
    for (int fd : viewers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }

  int Serve() {
    channel_.Send("ports " + std::to_string(telnet_.Port()) + " " + std::to_string(gateway_.Port()) + " " +
                  std::to_string(monitor_.Port()) + " " + std::to_string(host_port_));
    while (auto line = channel_.Read()) {
      Words w(*line);
      const std::string what = w.Word();
      const int64_t a = w.Number(), b = w.Number();  // in order: arguments are not
      if (what == "login")
        Login(static_cast<uint16_t>(a), static_cast<uint32_t>(b));
      else if (what == "pace")
        Pace(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
      else if (what == "circuits")
        Circuits(static_cast<uint32_t>(a));
      else if (what == "viewers")
        Viewers(static_cast<uint16_t>(a), static_cast<uint32_t>(b));
      else if (what == "quit")
        return Quit();
    }
    return 1;  // the product went away
  }

 private:
  void Login(uint16_t port, uint32_t upto) {
    users_.Connect(port, true, settings_.connect_window, upto);
    // Gives up once nothing has moved for a while, however many are left.
    uint64_t seen = 0;
    int64_t moved = test::NowNs();
    SleepUntil(
        [&] {
          const uint32_t ready = users_.Ready(), failed = users_.Failed(), data = shared_.FirstDataSeen();
          if (ready + failed + data != seen) seen = ready + failed + data, moved = test::NowNs();
          return (ready + failed >= upto && data >= ready) || test::NowNs() - moved > 15000000000;
        },
        milliseconds(600000));
    channel_.Send("login " + std::to_string(std::min(users_.Ready(), shared_.FirstDataSeen())) + " " +
                  std::to_string(users_.Failed()));
  }

  // The stamps of this step's lines are taken and cleared, so the next
  // step's figures are its own.
  void Pace(uint32_t lines, uint32_t period_ms) {
    const uint64_t typed0 = users_.Typed();
    users_.Pace(lines, period_ms);
    SleepUntil([&] { return users_.PaceDone() && users_.InFlight() == 0; },
               milliseconds(uint64_t{lines} * period_ms + 30000));
    std::vector<int64_t> ns;
    for (size_t i = 0; i < size_t{shared_.sessions} * shared_.paced_lines; ++i) {
      const int64_t v = shared_.engine_ns[i].exchange(0);
      if (v > 0) ns.push_back(v);
    }
    const auto p50 = test::Percentile(ns, 0.5), p99 = test::Percentile(ns, 0.99);
    users_.TakeRoundTrips();  // not reported; kept from growing
    channel_.Send("pace " + std::to_string(users_.Typed() - typed0) + " " + std::to_string(p50.value_or(0)) +
                  " " + std::to_string(p99.value_or(0)) + " " + std::to_string(ns.size()));
  }

  void Circuits(uint32_t count) {
    auto call = [](uint32_t i) { return "N" + std::to_string(100000 + i); };
    for (uint32_t i = 0; i < count; ++i)
      gateway_.Send({.port = 0,
                     .kind = 'C',
                     .from = call(i),
                     .to = "ROUTE",
                     .data = "*** CONNECTED To Station " + call(i) + "\r"});
    pollfd p{listener_, POLLIN, 0};
    while (hosts_.size() < count && ::poll(&p, 1, 10000) > 0) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd >= 0) hosts_.push_back(fd);
    }
    SleepUntil([&] { return linked_.load() >= count; }, milliseconds(30000));
    channel_.Send("circuits " + std::to_string(linked_.load()) + " " + std::to_string(hosts_.size()));
  }

  void Viewers(uint16_t port, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      const int fd = Viewer(port);
      if (fd >= 0) viewers_.push_back(fd);
    }
    channel_.Send("viewers " + std::to_string(viewers_.size()));
  }

  int Quit() {
    const uint64_t stray = users_.Stray();
    const uint32_t failed = users_.Failed();
    users_.CloseAll();
    telnet_.SetScript({});
    const size_t breaches = echo_->Violations() + telnet_.Violations().size();
    channel_.Send("quit " + std::to_string(breaches) + " " + std::to_string(stray) + " " +
                  std::to_string(failed));
    return 0;
  }

  Channel& channel_;
  const ScaleSettings settings_;
  test::LoadShared shared_;
  std::shared_ptr<test::EngineEcho> echo_;
  std::atomic<uint32_t> linked_{0};
  uint64_t gateway_frames_ = 0;  // gateway engine thread only
  // Declared after what their threads touch, so they stop first.
  FakeEngine telnet_, gateway_, monitor_;
  test::LoadDriver users_;
  int listener_ = -1;
  uint16_t host_port_ = 0;
  std::vector<int> hosts_, viewers_;
};

}  // namespace

int RunScaleDriver(Channel& channel, const ScaleSettings& settings) {
  Driver driver(channel, settings);
  return driver.Serve();
}

}  // namespace harvox::load
