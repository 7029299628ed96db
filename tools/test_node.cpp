// harvox-test-node: a tiny AX.25 node on an AGW engine, for demos and
// manual tests.  Registers CALLSIGN, greets callers, echoes their lines and
// disconnects on BYE; prints what happens.  Ends on SIGINT or SIGTERM.
//
//   harvox-test-node HOST:PORT CALLSIGN
#include "support/test_node.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {
volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: harvox-test-node HOST:PORT CALLSIGN\n");
    return 2;
  }
  std::string where = argv[1];
  size_t colon = where.rfind(':');
  long port = colon == std::string::npos ? 0 : std::strtol(where.c_str() + colon + 1, nullptr, 10);
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "harvox-test-node: bad HOST:PORT %s\n", argv[1]);
    return 2;
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  harvox::test::TestNode node(where.substr(0, colon), static_cast<uint16_t>(port), argv[2]);
  node.SetEventSink([](const std::string& event) {
    std::printf("%s\n", event.c_str());
    std::fflush(stdout);
  });
  node.Start();
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  node.Stop();
  return 0;
}
