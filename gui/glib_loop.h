// Runs the process's one Asio loop so that it also serves GLib's main
// context (the desktop's X11/Wayland connection, D-Bus, GTK timers).  Each
// turn asks GLib which file descriptors and time-out it wants, waits for
// them through Asio together with every socket and timer of the services,
// then lets GLib dispatch.  No polling timer and no second thread: an idle
// program sleeps in the kernel.
//
// Re-entrancy: main thread only; the thread that calls Run() owns GLib's
// default context for the program's life.  No GLib handler may run a nested
// main loop (it would freeze every socket).
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include <glib.h>

namespace harvox {

class GlibLoop {
 public:
  explicit GlibLoop(asio::io_context& io);
  ~GlibLoop();
  GlibLoop(const GlibLoop&) = delete;
  GlibLoop& operator=(const GlibLoop&) = delete;

  // Until the io_context is stopped.
  void Run();

 private:
  struct Watch;
  int Query(gint priority, gint* timeout);
  void WatchFds(int n);
  void Arm(const std::shared_ptr<Watch>& w, bool write);
  void ArmTimer(gint timeout_ms);

  asio::io_context& io_;
  GMainContext* ctx_;
  std::vector<GPollFD> fds_;
  std::map<int, std::shared_ptr<Watch>> watches_;
  asio::steady_timer timer_;
  bool timer_armed_ = false;
  std::chrono::steady_clock::time_point timer_due_;
};

}  // namespace harvox
