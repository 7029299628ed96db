// The status page's data: a plain record of what the three services hold at
// one moment (engine links, Telnet users, gateway circuits, monitor
// viewers, counters), and the one function that fills it.  The services
// know nothing of it; it reads them through their read-only accessors.
// Renderers (status/render.h) turn it into JSON, metrics and HTML.
//
// Re-entrancy: main thread only; Take reads the services and changes
// nothing, so it may run from any handler of the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace harvox {

class TTelnetD;
class TTNClient;
class TTelMonD;

namespace status {

using Clock = std::chrono::system_clock;

struct EngineLink {
  std::string Service;  // "telnet", "gateway", "monitor"
  std::string Address;
  int32_t Port = 0;
  bool Up = false;
  Clock::time_point Since;
  uint64_t FramesIn = 0, FramesOut = 0;
};

struct TelnetUser {
  std::string UserId, Callsign, Address, State;
  Clock::time_point Since;
  uint64_t BytesIn = 0, BytesOut = 0;  // from and to the user
};

struct GatewayCircuit {
  std::string Station, OurCall, Host, State;
  Clock::time_point Since;
  uint64_t BytesToHost = 0, BytesToStation = 0;
};

struct MonitorViewer {
  std::string Address;
  Clock::time_point Since;
  uint64_t BytesOut = 0;
  bool CutOff = false;  // fell too far behind, or being closed
};

struct Counters {
  uint64_t LoginsOk = 0, LoginsFailed = 0, BlockedAddresses = 0, RefusedT = 0;
};

struct Snapshot {
  std::string Version;
  Clock::time_point Now, Started;
  std::vector<EngineLink> Links;
  std::vector<TelnetUser> Users;
  std::vector<GatewayCircuit> Circuits;
  std::vector<MonitorViewer> Viewers;
  Counters Count;
};

// The services a snapshot reads; a service that is not running is null.
struct Services {
  TTelnetD* Telnet = nullptr;
  TTNClient* Gateway = nullptr;
  TTelMonD* Monitor = nullptr;
};

Snapshot Take(const Services& from, const std::string& version, Clock::time_point started);

// A Telnet session's and a gateway circuit's state in words, from the
// service's state number.
std::string TelnetState(uint8_t fsm, bool registering);
std::string GatewayState(uint8_t fsm, bool at_prompt, bool linked);

}  // namespace status
}  // namespace harvox
