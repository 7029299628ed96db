// Periodic timer over asio::steady_timer.  The pending wait is identified by
// a generation number: any re-arm, disable or destruction bumps it, so a
// completion that Asio had already queued is recognised as stale even when
// it reports success.  `alive_` outlives the object inside the completion,
// so a handler may destroy its own timer.
#include "util/timer.h"

#include "util/event_loop.h"

namespace harvox {

Timer::Timer() : timer_(Loop()), alive_(std::make_shared<bool>(true)) {}

Timer::~Timer() {
  *alive_ = false;
  ++generation_;
  timer_.cancel();
}

void Timer::SetInterval(uint32_t ms) {
  // The same interval again only starts it afresh, as cheaply as Restart.
  if (ms == interval_ms_ && enabled_) return Restart();
  interval_ms_ = ms;
  if (enabled_) Arm();
}

void Timer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) {
    Arm();
  } else {
    ++generation_;
    timer_.cancel();
  }
}

void Timer::Restart() {
  // While enabled with an interval, a wait of this generation is always
  // pending (Fired re-arms before anything else).
  if (enabled_ && interval_ms_ != 0) {
    due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms_);
    return;
  }
  SetEnabled(false);
  SetEnabled(true);
}

void Timer::Arm() {
  const uint64_t generation = ++generation_;
  // An interval of 0 means "never": a time-out of 0 switches it off rather
  // than firing at once, over and over.
  if (interval_ms_ == 0) return (void)timer_.cancel();
  due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms_);
  Wait(generation);
}

void Timer::Wait(uint64_t generation) {
  timer_.expires_at(due_);
  std::weak_ptr<bool> alive = alive_;
  timer_.async_wait([this, alive, generation](const std::error_code&) {
    auto token = alive.lock();
    if (!token || !*token) return;
    Fired(generation);
  });
}

void Timer::Fired(uint64_t generation) {
  if (generation != generation_ || !enabled_) return;
  // Restarted since this wait began: wait for the rest.
  if (std::chrono::steady_clock::now() < due_) return Wait(generation);
  // Re-arm first: the handler may disable, re-arm or destroy the timer.
  Arm();
  if (!handler_) return;
  auto keep = handler_;  // the handler may replace itself while running
  keep(*this);
}

}  // namespace harvox
