// The per-connection state of the fake engine, shared by its two source
// files.  Touched on the engine thread only.
#pragma once

#include "support/fake_engine.h"

#include <asio/steady_timer.hpp>

#include <array>
#include <deque>
#include <set>
#include <utility>

namespace harvox::test {

struct FakeEngine::Client {
  struct Item {
    std::string bytes;
    milliseconds delay;
  };
  Client(int i, asio::ip::tcp::socket s, size_t max_data)
      : index(i), sock(std::move(s)), timer(sock.get_executor()), reader(max_data) {}

  int index;
  asio::ip::tcp::socket sock;
  asio::steady_timer timer;
  std::array<char, 4096> buf{};
  AgwFrameReader reader;
  std::deque<Item> out;
  bool writing = false;
  bool paused = false;
  bool served = false;  // false while waiting for a free client slot
  bool open = true;
  // Live links as (own call, remote call), upper case.
  std::set<std::pair<std::string, std::string>> links;
};

}  // namespace harvox::test
