// TTNClient: the gateway that carries radio stations to Telnet hosts.
// Stations connect over AX.25 (through the engine) to one of its callsigns:
// a route leads straight to a fixed host, the default callsign to the node
// command processor, from which T opens a connection to any host.  Owns its
// engine link, its circuit table, the command processor and the outbound
// sockets.
//
// A circuit is one whole link: radio port, the station and the callsign it
// called.  Everything sent for a circuit names our callsign first.
//
// Re-entrancy: main thread only.  Closing a circuit's socket raises TNDisc
// inside the close; every path returns or re-finds the circuit afterwards.
// Sockets and resolvers are never released inside their own events: they
// are handed to the loop and freed after the event has returned.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "circuits/circuits.h"
#include "gateway/destinations.h"

namespace harvox {

class TLog;
class TL2;
class TL2CLI;
class Timer;
namespace net {
enum class ErrorKind;
class Connection;
class TClientSocket;
class TPing;
}  // namespace net

// One callsign the gateway answers.  Address empty: the command processor.
struct THook {
  std::string Call;
  std::string Address;
  int32_t Port = 0;
  int32_t Timeout = 0;  // ms; 0: circuits get no inactivity timer
  int32_t MaxTime = 0;  // ms; 0: circuits get no maximum-time timer
  bool Quiet = false;
};

class TTNClient {
 public:
  explicit TTNClient(TLog* log);
  ~TTNClient();
  TTNClient(const TTNClient&) = delete;
  TTNClient& operator=(const TTNClient&) = delete;

  // Settings.
  bool Active = false;
  std::string AGWHostName;
  std::string AGWAddress = "127.0.0.1";
  int32_t AGWPort = 8000;
  std::string AGWLogin, AGWPassword;
  std::string CallSign = "NOCALL";
  uint32_t Timeout = 600000;
  uint32_t MaxTime = 0;
  std::string Welcome = "Welcome to Harvox Version 0.1B Beta.00";
  std::string Prompt = "telnet>";
  std::string Bye = "73!";
  bool Recover = false;
  bool CRLF = false;
  // Most circuits at once ([GATEWAY] MAXCIRCUITS); a station beyond them
  // hears that the gateway is busy and is disconnected.
  uint32_t MaxCircuits = 256;
  // Floors SetActive applies to Timeout and MaxTime, and the wait before
  // the engine link is re-opened.  Tests lower them; 0 never fires.
  uint32_t TimeoutFloor = 60000;
  uint32_t MaxTimeFloor = 600000;
  uint32_t RecoverMs = 60000;
  // How long a station waits for its host's name to be looked up.
  uint32_t LookupLimit = 5000;
  // Where T may lead ([GATEWAY] ALLOW and DENY), and Harvox's own listening
  // ports, refused on this host's addresses unless allowed.
  Destinations Policy;
  std::vector<uint16_t> OwnPorts;
  // T commands refused by the destination rules, since start.
  uint64_t RefusedT = 0;

  // Most station data held while its host connection is set up, and most
  // queued for a host that does not take it.
  static constexpr size_t kMaxPending = 65536;
  static constexpr size_t kReadSize = 5001;
  // Most input at the prompt kept while the station's link is held.
  static constexpr size_t kMaxHeldCommands = 1024;

  THook* IsrtClient(const std::string& call, const std::string& address, int32_t port,
                    int32_t timeout, int32_t maxtime, bool quiet);
  THook* GetClient(const std::string& call);
  void SetActive(bool on);
  // Shutdown, first step: every station's link is ended after its drain,
  // every host connection closed, and no new station is taken.
  void Quiesce();
  // Nothing more waits to go to the engine.
  bool Quiet() const;

  TL2& Link() { return *L2; }
  TLLFSM& Table() { return Circuits; }
  TL2CLI& Processor() { return *CLIProc; }
  const std::vector<THook>& Hooks() const { return Listeners; }
  // The host a linked circuit reaches, and the bytes relayed each way;
  // none for a circuit not linked.
  struct Relayed {
    std::string Host;
    uint64_t ToHost = 0, ToStation = 0;
  };
  const Relayed* RelayedOf(int32_t circuit_id) const;

 private:
  // Start and registration (tnclient.cpp).
  void LoadCommands();
  void OnPort();
  void OnAGWRegister(const std::string& call, std::string_view data);
  void OnAGWUp();
  // Inbound connections and routes (tnclient_connect.cpp).
  void OnAGWConnect(uint8_t port, const std::string& calling, const std::string& called);
  const THook* AcceptingHook(uint8_t port, const std::string& calling, const std::string& called);
  void Refuse(uint8_t port, const std::string& calling, const std::string& called);
  Circuit* NewCircuit(uint8_t port, const std::string& calling, const std::string& called,
                      const THook& hook, bool cli);
  void StartLookup(Circuit* c, const std::string& host, int32_t port);
  void OnDNSLookUpDone(net::TPing& ping, uint16_t error);
  void LookupFailed(Circuit* c, const std::string& why);
  void ConnectKick(Circuit* c);
  void ArmTimer(Timer* t, int32_t interval, bool max);
  void TNConnect(net::Connection& conn);
  void SendFile(Circuit* c, const std::string& name, const std::string& fallback);
  // Relay, timers and teardown (tnclient_relay.cpp).
  size_t ReadSize(net::Connection& conn);
  void TNRead(net::Connection& conn);
  void OnAGWData(uint8_t port, const std::string& calling, const std::string& called,
                 std::string_view data);
  void Command(Circuit* c, std::string_view data);
  void HoldForHost(Circuit* c, std::string_view data);
  void TNDisc(net::Connection& conn);
  void TNOverflow(net::Connection& conn);
  void TNError(net::Connection& conn, net::ErrorKind kind, int& code);
  void ConnectFailed(Circuit* c, int code);
  bool AtNode(const Circuit* c) const;
  void NewSocket(Circuit* c, int32_t port);
  void OnAGWDisconnect(uint8_t port, const std::string& calling, const std::string& called,
                       const std::string& text);
  void OnCircuitTimer(Timer& timer, bool max);
  void OnAGWDown();
  void OnAGWError();
  void LinkLost();
  void OnRecoverTimer();
  void OnFlow(uint8_t port, const std::string& own, const std::string& station, bool held);
  // Node commands (tnclient_cli.cpp).
  void OnCLIDisconnect(uint8_t port, const std::string& call);
  void OnCLIHelp(uint8_t port, const std::string& call, const std::string& args,
                 std::string& reply);
  void OnCLICommand(uint8_t port, const std::string& call, const std::string& command,
                    const std::string& args, std::string& reply);
  std::string ConnectTo(Circuit* c, const std::string& args);
  LocalSide Here() const;
  std::optional<std::string> Vet(Circuit* c, const std::string& target,
                                 const std::vector<std::string>& addresses, int32_t port);
  void BackToPrompt(Circuit* c, const std::string& target);
  void ReturnToPrompt(Circuit* c, const std::string& why);
  Circuit* CLICircuit(uint8_t port, const std::string& call);
  // Circuit helpers.
  Circuit* FindLink(uint8_t port, const std::string& station, const std::string& own);
  void SendToStation(Circuit* c, std::string_view text);
  void DisconnectStation(Circuit* c);
  void TakeDown(Circuit* c);
  void ReleaseSocket(Circuit* c);
  void DropPing(Circuit* c);
  void RemoveCircuit(Circuit* c);
  void RestartInactivity(Circuit* c);
  void SendToHost(Circuit* c, std::string_view data);
  // The level-1 record of a circuit: one line when it is linked with its
  // host, one when it ends, with the bytes relayed each way.
  void CircuitLinked(Circuit* c, const std::string& host);
  void CircuitEnded(Circuit* c);
  net::TClientSocket* Socket(Circuit* c) const { return c->Ucb.TNSocket(); }
  void W(uint8_t level, std::string_view text);
  void D(uint8_t level, std::string_view data);

  TLog* Log;
  std::vector<THook> Listeners;
  std::unique_ptr<TL2CLI> CLIProc;
  std::string DestHost;
  std::unique_ptr<TL2> L2;
  TLLFSM Circuits;
  std::unique_ptr<Timer> RecoverTimer;
  std::unordered_map<net::TClientSocket*, std::unique_ptr<net::TClientSocket>> Sockets;
  // A second owner of each circuit's resolver, so that its release can wait
  // until its own event has returned.
  std::unordered_map<net::TPing*, std::shared_ptr<net::TPing>> Pings;
  // The circuit whose station input the command processor is executing,
  // and whether that station asked to leave.
  Circuit* CurrentCLI = nullptr;
  bool QuitAsked = false;
  bool Stopping = false;
  std::unordered_map<int32_t, Relayed> Traffic;  // by circuit Id, linked circuits only
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace harvox
