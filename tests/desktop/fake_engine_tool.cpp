// The fake engine as a process, for the desktop test: prints its port and a
// free port for the Telnet server, then obeys lines on standard input:
// "stop" closes the listener and every client (the engine goes away),
// "start" listens again on the same port, "quit" ends.
#include <asio/ip/tcp.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "support/fake_engine.h"

namespace {

int FreePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor a(io);
  std::error_code ec;
  a.open(asio::ip::tcp::v4(), ec);
  a.bind({asio::ip::make_address_v4("127.0.0.1"), 0}, ec);
  return ec ? 0 : a.local_endpoint(ec).port();
}

}  // namespace

int main() {
  harvox::test::FakeEngine engine;
  std::printf("%u %d\n", engine.Port(), FreePort());
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "stop") engine.Stop();
    if (line == "start") engine.Start();
    if (line == "quit") break;
    std::printf("%s done, %zu clients\n", line.c_str(), engine.ClientCount());
    std::fflush(stdout);
  }
  return 0;
}
