// One turn of the joint loop, as GLib's own g_main_context_iteration does it,
// with Asio doing the waiting.  Two details keep it from losing events:
// every Asio handler is followed by a fresh GLib query (a source added by a
// handler does not wake anything), and GLib's descriptors are polled once
// without waiting before the loop blocks (Asio's reactor only reports new
// readiness, so a descriptor that became ready earlier would be missed).
#include "gui/glib_loop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/posix/stream_descriptor.hpp>

namespace harvox {

struct GlibLoop::Watch {
  Watch(asio::io_context& io, int fd) : sd(io) {
    std::error_code ec;
    sd.assign(fd, ec);  // a descriptor the reactor refuses is still polled each turn
  }
  asio::posix::stream_descriptor sd;
  bool read_armed = false;
  bool write_armed = false;
  bool wanted = false;
};

GlibLoop::GlibLoop(asio::io_context& io)
    : io_(io), ctx_(g_main_context_default()), fds_(16), timer_(io) {
  g_main_context_acquire(ctx_);
}

GlibLoop::~GlibLoop() {
  for (auto& [fd, w] : watches_) {
    std::error_code ec;
    w->sd.cancel(ec);
    w->sd.release();  // GLib owns the descriptor; never close it here
  }
  g_main_context_release(ctx_);
}

void GlibLoop::Run() {
  // Only stop() ends the loop: a turn in which GLib wants nothing and no
  // service has work must not stop the io_context by running out of work.
  auto guard = asio::make_work_guard(io_);
  while (!io_.stopped()) {
    gint priority = 0;
    const gboolean ready = g_main_context_prepare(ctx_, &priority);
    gint timeout = -1;
    const int n = Query(priority, &timeout);
    WatchFds(n);
    ArmTimer(ready ? 0 : timeout);
    if (ready || timeout == 0 || g_poll(fds_.data(), n, 0) > 0) {
      io_.poll();
    } else {
      io_.run_one();
    }
    g_poll(fds_.data(), n, 0);  // fills revents for GLib's check
    if (g_main_context_check(ctx_, priority, fds_.data(), n)) g_main_context_dispatch(ctx_);
  }
}

int GlibLoop::Query(gint priority, gint* timeout) {
  for (;;) {
    const int n = g_main_context_query(ctx_, priority, timeout, fds_.data(),
                                       static_cast<gint>(fds_.size()));
    if (n <= static_cast<int>(fds_.size())) return n;
    fds_.resize(static_cast<size_t>(n));
  }
}

void GlibLoop::WatchFds(int n) {
  for (auto& [fd, w] : watches_) w->wanted = false;
  for (int i = 0; i < n; ++i) {
    GPollFD& p = fds_[static_cast<size_t>(i)];
    p.revents = 0;
    auto& w = watches_[p.fd];
    if (!w) w = std::make_shared<Watch>(io_, p.fd);
    w->wanted = true;
    if ((p.events & (G_IO_IN | G_IO_PRI | G_IO_HUP | G_IO_ERR)) && !w->read_armed) Arm(w, false);
    if ((p.events & G_IO_OUT) && !w->write_armed) Arm(w, true);
  }
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (it->second->wanted) {
      ++it;
      continue;
    }
    std::error_code ec;
    it->second->sd.cancel(ec);
    it->second->sd.release();  // GLib dropped (and may close) it
    it = watches_.erase(it);
  }
}

void GlibLoop::Arm(const std::shared_ptr<Watch>& w, bool write) {
  (write ? w->write_armed : w->read_armed) = true;
  w->sd.async_wait(write ? asio::posix::stream_descriptor::wait_write
                         : asio::posix::stream_descriptor::wait_read,
                   [w, write](const std::error_code&) {
                     (write ? w->write_armed : w->read_armed) = false;
                   });
}

// The timer is only moved earlier, never cancelled for a later deadline:
// cancelling every turn would wake the loop every turn.  A timer that fires
// early costs one extra turn.
void GlibLoop::ArmTimer(gint timeout_ms) {
  if (timeout_ms < 0) return;
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  if (timer_armed_ && timer_due_ <= due) return;
  timer_armed_ = true;
  timer_due_ = due;
  timer_.expires_at(due);
  timer_.async_wait([this](const std::error_code& ec) {
    if (ec != asio::error::operation_aborted) timer_armed_ = false;
  });
}

}  // namespace harvox
