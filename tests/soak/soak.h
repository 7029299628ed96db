// The soak run's shared pieces: its settings, the counters every part
// adds to, and the two loads it drives against one product process: the
// Crowd (Telnet users and monitor viewers, real sockets) and the Stations
// (radio stations played by the fake engine, with the Telnet hosts they
// reach through the gateway).
//
// Threading: the Crowd and the Stations' hosts run on the soak's own
// io_context thread, the Stations' receive side on the engine thread, the
// product on the main thread.  Counters are atomics; Fault() locks.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/fake_engine.h"

namespace harvox::soak {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Counters {
  // Telnet users.
  std::atomic<uint64_t> sessions{0}, completed{0}, esc{0}, mid_line{0}, pasted{0}, silent{0};
  std::atomic<uint64_t> cut{0}, busy_link{0}, already{0}, bad_failures{0}, bad_blocked{0};
  // Stations.
  std::atomic<uint64_t> stations{0}, echoed{0}, left_early{0}, refused{0}, closed{0};
  std::atomic<uint64_t> timed_out{0}, flooded{0}, stations_cut{0};
  // Monitor viewers and the engine's faults.
  std::atomic<uint64_t> viewer_lines{0}, monitor_frames{0}, resets{0}, corrupt{0}, torn{0};
  std::atomic<uint64_t> bytes_checked{0};

  void Fault(const std::string& what);
  uint64_t Faults() const { return faults_.load(); }
  std::vector<std::string> FirstFaults() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> first_;
  std::atomic<uint64_t> faults_{0};
};

// The deterministic filler of a tagged line, so the receiver can check
// every byte of it and not only its tag.
std::string TaggedLine(char kind, uint32_t slot, uint32_t gen, uint32_t seq);

// Telnet users (good ones on 127.0.0.2.., a few guessing passwords from
// their own addresses) and monitor viewers.
class Crowd {
 public:
  static constexpr uint32_t kGuessers = 10;
  Crowd(asio::io_context& io, Counters& n, uint32_t users, uint32_t viewers);
  ~Crowd();
  void Start(uint16_t telnet_port, uint16_t monitor_port);
  // No new sessions; those running finish their round.
  void Wind();
  void Resume();
  // Every session (and viewer) closed.
  bool Idle(bool viewers_too) const;
  // Every reading viewer has seen all frames sent.
  bool ViewersHave(uint64_t frames_sent) const;
  void CloseViewers(uint64_t frames_sent);
  // The addresses of the good users, for the back-off probe.
  std::vector<std::string> GoodAddresses() const;
  static std::string UserId(uint32_t slot) { return "SOAK" + std::to_string(slot); }

 private:
  struct User;
  struct Viewer;
  void ReadViewer(Viewer& v);
  std::vector<std::unique_ptr<User>> users_;
  std::vector<std::unique_ptr<Viewer>> viewers_;
  asio::io_context& io_;
  Counters& n_;
  uint16_t telnet_port_ = 0;
  bool winding_ = false;
};

// Stations through the gateway's routes to local hosts: echoing, refusing,
// closing, silent and flooding.  The engine script delivers what the
// gateway sends them.
class Stations {
 public:
  Stations(asio::io_context& io, test::FakeEngine& engine, Counters& n, uint32_t count);
  ~Stations();
  // The route lines of HARVOX.INI for the hosts (listening once made).
  std::string Routes() const;
  void Start();
  void Wind();
  void Resume() { winding_ = false; }
  bool Idle() const;
  // Engine thread: a frame the gateway sent.  The gateway's engine client
  // is the one that registers the routes.
  void OnFrame(int client, const test::AgwFrame& f);
  // The gateway's link was reset: every station on it is gone.
  void LinkLost();
  int GatewayClient() const { return gateway_.load(); }

 private:
  struct Station;
  struct Hosts;
  void Tick();
  void Call(Station& s, Clock::time_point now, std::vector<test::AgwFrame>& out);
  void Step(Station& s, Clock::time_point now, std::vector<test::AgwFrame>& out);
  std::unique_ptr<Hosts> hosts_;
  std::vector<std::unique_ptr<Station>> stations_;
  asio::io_context& io_;
  test::FakeEngine& engine_;
  Counters& n_;
  std::atomic<int> gateway_{-1};
  std::atomic<bool> winding_{false};
  std::unique_ptr<asio::steady_timer> tick_;
};

}  // namespace harvox::soak
