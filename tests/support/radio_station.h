// A radio station for end-to-end tests: an AGW client of a real engine,
// served by its own thread, that calls one callsign, collects what it
// receives and notes the link's start and end.
//
// Threading: Say may be called from the test's thread while the station's
// thread reads; Got and the flags are safe from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "support/agw_client.h"

namespace harvox::test {

class RadioStation {
 public:
  RadioStation(uint16_t agw_port, std::string call, std::string to)
      : call_(std::move(call)), to_(std::move(to)) {
    ok_ = agw_.Connect("127.0.0.1", agw_port);
    if (!ok_) return;
    agw_.Send({.kind = 'X', .from = call_, .to = "", .data = ""});
    ok_ = agw_.ReadUntil([](const AgwFrame& f) { return f.kind == 'X'; }, std::chrono::seconds(5))
              .has_value();
    agw_.Send({.kind = 'C', .from = call_, .to = to_, .data = ""});
    thread_ = std::thread([this] { Serve(); });
  }
  ~RadioStation() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  RadioStation(const RadioStation&) = delete;
  RadioStation& operator=(const RadioStation&) = delete;

  bool Ok() const { return ok_; }
  void Say(const std::string& text) {
    agw_.Send({.kind = 'D', .pid = 0xF0, .from = call_, .to = to_, .data = text});
  }
  // Ends the link from this side.
  void Hangup() { agw_.Send({.kind = 'd', .from = call_, .to = to_, .data = ""}); }
  std::string Got() {
    std::lock_guard<std::mutex> lock(mu_);
    return got_;
  }
  bool Has(const std::string& text) { return Got().find(text) != std::string::npos; }
  bool Connected() const { return connected_; }
  bool Disconnected() const { return disconnected_; }

 private:
  void Serve() {
    while (!stop_ && agw_.Connected()) {
      auto f = agw_.Read(std::chrono::milliseconds(50));
      if (!f) continue;
      if (f->kind == 'C') connected_ = true;
      if (f->kind == 'd') disconnected_ = true;
      if (f->kind != 'D') continue;
      std::lock_guard<std::mutex> lock(mu_);
      got_ += f->data;
    }
  }

  AgwClient agw_;
  std::string call_, to_;
  std::thread thread_;
  std::mutex mu_;
  std::string got_;
  std::atomic<bool> stop_{false}, connected_{false}, disconnected_{false};
  bool ok_ = false;
};

}  // namespace harvox::test
