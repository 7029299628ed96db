// Periodic timer on the message loop: an interval in milliseconds, an
// enabled switch and one handler that receives the timer.  While enabled it
// fires every interval; disabling and enabling restarts the full interval;
// without a handler it fires into nothing.  An interval of 0 never fires.
//
// Re-entrancy: the handler may disable, re-arm or destroy its own timer.
// Asio may deliver a completion that was already queued when the timer was
// cancelled (it then reports success), so every completion is judged by a
// generation number that each re-arm, disable and destruction bumps.
#pragma once

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace harvox {

class Timer {
 public:
  using Handler = std::function<void(Timer&)>;

  Timer();
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetHandler(Handler h) { handler_ = std::move(h); }
  bool HasHandler() const { return static_cast<bool>(handler_); }
  // A new interval takes effect at once: a running timer starts it afresh.
  void SetInterval(uint32_t ms);
  uint32_t Interval() const { return interval_ms_; }
  void SetEnabled(bool on);
  bool Enabled() const { return enabled_; }
  // Disable then enable: the full interval starts again.  On a running
  // timer this only moves its due time (cheap enough for every line a user
  // types); the pending wait, woken early, waits again for the rest.
  void Restart();

 private:
  void Arm();
  void Wait(uint64_t generation);
  void Fired(uint64_t generation);

  asio::steady_timer timer_;
  Handler handler_;
  uint32_t interval_ms_ = 1000;
  bool enabled_ = false;
  uint64_t generation_ = 0;
  std::chrono::steady_clock::time_point due_;
  std::shared_ptr<bool> alive_;
};

}  // namespace harvox
