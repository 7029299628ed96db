// The fake engine as a process, for the desktop tests: prints its port and
// a free port for the Telnet server (with an argument N, N free ports, for
// the other servers too), then obeys lines on standard input:
// "stop" closes the listener and every client (the engine goes away),
// "start" listens again on the same port, "quit" ends.
#include <asio/ip/tcp.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <iostream>
#include <string>
#include <vector>

#include "support/fake_engine.h"

namespace {

// Each port stays bound until all are printed, so no two are the same.
std::string FreePorts(int n) {
  asio::io_context io;
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> held;
  std::string out;
  for (int i = 0; i < n; ++i) {
    held.push_back(std::make_unique<asio::ip::tcp::acceptor>(io));
    std::error_code ec;
    held.back()->open(asio::ip::tcp::v4(), ec);
    held.back()->bind({asio::ip::make_address_v4("127.0.0.1"), 0}, ec);
    out += " " + std::to_string(ec ? 0 : held.back()->local_endpoint(ec).port());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  harvox::test::FakeEngine engine;
  const int ports = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  std::printf("%u%s\n", engine.Port(), FreePorts(ports).c_str());
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
