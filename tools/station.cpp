// harvox-station: a radio station on the console.  Connects over an AGW
// engine from CALLSIGN to TOCALL, prints what the far side sends (CR as a
// line end) and sends each line typed, ended with CR.  Ends when the link
// ends, on end of input (after disconnecting), or on Ctrl-C.
//
//   harvox-station HOST:PORT CALLSIGN TOCALL
#include "support/agw_client.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

using harvox::test::AgwClient;
using harvox::test::AgwFrame;
using namespace std::chrono_literals;

std::atomic<bool> g_done{false};

void Print(const std::string& data) {
  std::string out = data;
  for (auto& c : out) {
    if (c == '\r') c = '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

// Everything from the engine: data, and the notices of the link.
void Listen(AgwClient& agw) {
  while (!g_done && agw.Connected()) {
    auto f = agw.Read(100ms);
    if (!f) continue;
    if (f->kind == 'D') Print(f->data);
    if (f->kind == 'C') Print(f->data.substr(0, f->data.find('\r')) + "\r");
    if (f->kind == 'd') {
      Print(f->data.substr(0, f->data.find('\r')) + "\r");
      g_done = true;
    }
  }
  g_done = true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: harvox-station HOST:PORT CALLSIGN TOCALL\n");
    return 2;
  }
  const std::string where = argv[1];
  const size_t colon = where.rfind(':');
  const long port = colon == std::string::npos ? 0 : std::strtol(where.c_str() + colon + 1, nullptr, 10);
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "harvox-station: bad HOST:PORT %s\n", argv[1]);
    return 2;
  }
  const std::string me = argv[2], to = argv[3];
  AgwClient agw;
  if (!agw.Connect(where.substr(0, colon), static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "harvox-station: cannot reach the engine at %s\n", argv[1]);
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  agw.Send({.kind = 'X', .from = me, .to = "", .data = ""});
  agw.ReadUntil([](const AgwFrame& f) { return f.kind == 'X'; }, 3000ms);
  std::printf("Calling %s from %s... (Ctrl-D ends the link)\n", to.c_str(), me.c_str());
  agw.Send({.kind = 'C', .from = me, .to = to, .data = ""});
  std::thread listener([&] { Listen(agw); });
  std::string line;
  while (!g_done && std::getline(std::cin, line)) {
    agw.Send({.kind = 'D', .pid = 0xF0, .from = me, .to = to, .data = line + "\r"});
  }
  if (!g_done) {
    agw.Send({.kind = 'd', .from = me, .to = to, .data = ""});
    for (int i = 0; i < 50 && !g_done; ++i) std::this_thread::sleep_for(100ms);
  }
  g_done = true;
  listener.join();
  agw.Close();
  return 0;
}
