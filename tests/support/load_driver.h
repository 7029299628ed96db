// The load driver: many Telnet users at once, on one thread of its own
// with its own io_context and non-blocking sockets (no thread per user).
// Each session can log in (user U0001.. with any password), then types
// tagged lines, either paced on a fixed schedule or as fast as the echoes
// come back with a fixed number of lines in flight, and counts the echoes.
//
// Threading: commands are posted to the driver thread and return at once;
// the counters are atomics, so the main thread polls them while it runs the
// product's loop.  Sessions are allocated up front, so the driver's own
// memory does not grow with the connections it makes.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/load_shared.h"

namespace harvox::test {

// "U0001" for session 0.
std::string UserIdOf(uint32_t session);

class LoadDriver {
 public:
  explicit LoadDriver(LoadShared& shared);
  ~LoadDriver();
  LoadDriver(const LoadDriver&) = delete;
  LoadDriver& operator=(const LoadDriver&) = delete;

  // Opens and closes as many sockets as there are sessions, so the
  // reactor's per-socket records exist before memory is measured.
  void WarmUp();
  // Connects the sessions not yet connected, up to (not including) index
  // `upto`, to 127.0.0.1:port, at most `window` waiting for their first
  // answer at a time; a later call goes on where the last one stopped.
  // With login, a session is ready once it has read " Users logged in.";
  // without, once connected.
  void Connect(uint16_t port, bool login, uint32_t window, uint32_t upto = UINT32_MAX);
  // Each ready session types `lines` lines, one every period_ms, starting
  // at an offset of (index % period_ms) ms.
  void Pace(uint32_t lines, uint32_t period_ms);
  // Each ready session keeps `window` lines in flight until StopSending.
  void Saturate(uint32_t window);
  void StopSending();
  void CloseAll();
  // Round trips (typed -> echo received) recorded since the last call.
  std::vector<int64_t> TakeRoundTrips();

  uint32_t Ready() const { return ready_.load(); }
  uint32_t Failed() const { return failed_.load(); }
  uint64_t Typed() const { return typed_.load(); }
  uint64_t InFlight() const { return typed_.load() - echoed_.load(); }
  uint64_t Stray() const { return stray_.load(); }
  bool PaceDone() const { return pace_done_.load(); }

 private:
  struct Session;
  void Post(std::function<void()> fn);
  void StartConnects();
  void Connected(Session& s, const asio::error_code& ec);
  void Read(Session& s);
  void Received(Session& s, size_t n);
  void Dialogue(Session& s);
  void BecomeReady(Session& s, std::string_view rest);
  void Echo(Session& s, std::string_view line);
  void Type(Session& s);
  void Flush(Session& s);
  void Fail(Session& s);
  void PaceTick();

  LoadShared& shared_;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  asio::steady_timer pace_timer_;
  std::vector<std::unique_ptr<Session>> sessions_;
  std::thread thread_;

  // Driver thread only.
  uint16_t port_ = 0;
  bool login_ = false;
  uint32_t connect_window_ = 4;
  uint32_t next_connect_ = 0;
  uint32_t connect_upto_ = 0;
  uint32_t waiting_first_ = 0;
  bool saturating_ = false;
  uint32_t window_ = 0;
  uint32_t pace_lines_ = 0, pace_period_ = 1;
  int64_t pace_start_ = 0;
  uint64_t pace_ticks_ = 0;
  std::vector<int64_t> round_trips_;

  std::atomic<uint32_t> ready_{0}, failed_{0};
  std::atomic<uint64_t> typed_{0}, echoed_{0}, stray_{0};
  std::atomic<bool> pace_done_{false};
};

}  // namespace harvox::test
