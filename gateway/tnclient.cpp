// The gateway object: creation with its command set, listeners, start and
// stop, registration of the listener callsigns, and the helpers every
// handler shares (finding a circuit by its whole link, sending to the
// station, ending and releasing a circuit).
#include "gateway/tnclient.h"

#include <exception>

#include "agw/l2.h"
#include "agw/tcp_client.h"
#include "gateway/l2cli.h"
#include "net/client_socket.h"
#include "net/ping.h"
#include "util/event_loop.h"
#include "util/log.h"
#include "util/timer.h"

namespace harvox {
namespace {

constexpr uint8_t kPidNoL3 = 0xF0;
const char* TrueFalse(bool flag) { return flag ? "TRUE" : "FALSE"; }

}  // namespace

TTNClient::TTNClient(TLog* log) : Log(log) {
  L2 = std::make_unique<TL2>(log);
  L2->FOnConnectEx = [this](TL2&, uint8_t port, const std::string& from, const std::string& to,
                            const std::string&) { OnAGWConnect(port, from, to); };
  L2->FOnDisconnectEx = [this](TL2&, uint8_t port, const std::string& from,
                               const std::string& to, const std::string& text) {
    OnAGWDisconnect(port, from, to, text);
  };
  L2->FOnData = [this](TL2&, uint8_t port, const std::string& from, const std::string& to,
                       uint8_t, std::string_view data) { OnAGWData(port, from, to, data); };
  L2->FOnAGWUp = [this](TL2&) { OnAGWUp(); };
  L2->FOnAGWDown = [this](TL2&) { OnAGWDown(); };
  L2->FOnAGWError = [this](TL2&) { OnAGWError(); };
  L2->FOnRegister = [this](TL2&, const std::string& call, std::string_view data) {
    OnAGWRegister(call, data);
  };
  L2->FOnPort = [this](TL2&) { OnPort(); };
  L2->FOnFlow = [this](TL2&, uint8_t port, const std::string& own, const std::string& station,
                       bool held) { OnFlow(port, own, station, held); };
  L2->SetMonitor("N");
  CLIProc = std::make_unique<TL2CLI>();
  CLIProc->Log = log;
  CLIProc->Prompt = Prompt;
  CLIProc->Bye = Bye;
  CLIProc->Welcome = Welcome;
  CLIProc->FOnDisconnect = [this](uint8_t port, const std::string& call) {
    OnCLIDisconnect(port, call);
  };
  CLIProc->FOnCommand = [this](uint8_t port, const std::string& call, const std::string& cmd,
                               const std::string& args, uint8_t, std::string& reply) {
    OnCLICommand(port, call, cmd, args, reply);
  };
  CLIProc->FOnHelp = [this](uint8_t port, const std::string& call, const std::string&,
                            const std::string& args, uint8_t, std::string& reply) {
    OnCLIHelp(port, call, args, reply);
  };
  W(1, "{TNClient} Command Processor Created");
  LoadCommands();
  W(1, "{TNClient} Command Processor Language Created");
  W(1, "{TNClient} Telnet Client Object Created");
}

TTNClient::~TTNClient() {
  if (RecoverTimer) RecoverTimer->SetEnabled(false);
  RecoverTimer.reset();
  W(1, "{TNClient} AGW Timer Stopped");
  for (const auto& hook : Listeners) {
    W(1, "{TNClient} Call(" + hook.Call + ") Unregistered");
    L2->AGWUnRegister(hook.Call);
  }
  Listeners.clear();
  W(1, "{TNClient} Telnet client stopped");
  // Circuits go before the link, without raising anything into this object.
  Circuits.ForEach([this](Circuit& c) {
    c.FSM = 5;
    RemoveCircuit(&c);
  });
}

void TTNClient::W(uint8_t level, std::string_view text) {
  if (Log) Log->Write(level, text);
}

void TTNClient::D(uint8_t level, std::string_view data) {
  if (Log) Log->Dump(level, data);
}

void TTNClient::LoadCommands() {
  CLIProc->ResetCommands();
  CLIProc->AddCommand("T", "Telnet", true, 0, false, "");
  CLIProc->AddCommand("PING", "Ping a Host", true, 8, false, "");
  CLIProc->AddCommand("B", "Disconnect", false, 0, false, "");
  CLIProc->SetActive(true);
}

THook* TTNClient::IsrtClient(const std::string& call, const std::string& address, int32_t port,
                             int32_t timeout, int32_t maxtime, bool quiet) {
  try {
    W(3, "{TNClient} IsrtClient: Call(" + call + ") Addr(" + address + ":" +
             std::to_string(port) + ")");
    for (auto& hook : Listeners) {
      if (hook.Call != call) continue;
      hook = THook{call, address, port, timeout, maxtime, quiet};
      W(1, std::string("{TNClient} Entry Updated Quiet(") + TrueFalse(quiet) + ")");
      return &hook;
    }
    Listeners.push_back(THook{call, address, port, timeout, maxtime, quiet});
    W(1, std::string("{TNClient} New entry created Quiet(") + TrueFalse(quiet) + ")");
    return &Listeners.back();
  } catch (const std::exception&) {
    W(1, "IsrtClient: Exception on Module");
    return nullptr;
  }
}

THook* TTNClient::GetClient(const std::string& call) {
  W(3, "{TNClient} GetClient: Call(" + call + ")");
  for (auto& hook : Listeners) {
    if (hook.Call == call) return &hook;
  }
  return nullptr;
}

void TTNClient::SetActive(bool on) {
  try {
    W(3, "{TNClient} <SetActive>");
    if (!on) {
      if (L2) L2->Close();
      return;
    }
    W(3, "{TNClient} <SetActive> Telnet Client set as ACTIVE");
    L2->Configure(CallSign, {AGWHostName, AGWAddress, AGWPort, AGWLogin, AGWPassword}, 0);
    L2->Open();
    if (Timeout < TimeoutFloor) Timeout = TimeoutFloor;
    if (MaxTime < MaxTimeFloor) MaxTime = MaxTimeFloor;
    CLIProc->NodeCall = CallSign;
  } catch (const std::exception&) {
    W(3, "{TNClient} Exception on module SetActive");
  }
}

void TTNClient::OnPort() {
  try {
    W(1, "{TNClient} Event <OnPort> AGWPE(" + L2->CallSign() + ")");
    for (const auto& hook : Listeners) L2->AGWRegister(hook.Call);
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module OnPort");
  }
}

void TTNClient::OnAGWRegister(const std::string& call, std::string_view data) {
  try {
    const int rc = data.empty() ? 0 : static_cast<uint8_t>(data[0]);
    W(3, "{TNClient} Event <OnAGWRegister> " + call + " (" + std::to_string(rc) + ")");
    W(3, "{TNClient} Registered <" + call + "> rc(" + std::to_string(rc) + ")");
    if (rc == 1) {
      Active = true;
      return;
    }
    W(1, "{TNCClient} Failure to register call <" + call + "> with AGWPE");
    Active = false;
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module OnAGWRegister");
  }
}

void TTNClient::OnAGWUp() {
  try {
    W(1, "{TNClient} Event <OnAGWUp> AGWPE(" + L2->CallSign() + ")");
    Active = true;
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module AGWUp");
  }
}

// ---- circuit helpers ----

// The circuit of one whole link.  The table's own lookup ignores the
// callsign the station called; a station may hold links to two of ours.
Circuit* TTNClient::FindLink(uint8_t port, const std::string& station, const std::string& own) {
  Circuit* c = Circuits.FindCircuit(port, station, "TN");
  if (!c || c->Ucb.DestCall == own) return c;
  for (c = Circuits.Next(c); c; c = Circuits.Next(c)) {
    const auto& u = c->Ucb;
    if (u.Port() == port && u.UserCall() == station && u.Kind() == "TN" && u.DestCall == own) {
      return c;
    }
  }
  return nullptr;
}

void TTNClient::SendToStation(Circuit* c, std::string_view text) {
  L2->SendData(c->Ucb.Port(), kPidNoL3, c->Ucb.DestCall, c->Ucb.UserCall(), text);
}

// What was sent to the station leaves before the link is ended.
void TTNClient::Quiesce() {
  try {
    W(1, "{TNClient} Shutting down: ending " + std::to_string(Circuits.Count()) + " circuits");
    Stopping = true;
    Circuits.ForEach([this](Circuit& c) {
      // 3: the station's link is already being ended; 5: it is gone.
      if (c.FSM != 3 && c.FSM != 5) DisconnectStation(&c);
      c.FSM = 5;  // the host socket's close sends nothing more
      RemoveCircuit(&c);
    });
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module Quiesce");
  }
}

bool TTNClient::Quiet() const {
  return L2->DrainsPending() == 0 && L2->Transport().PendingOutput() == 0;
}

void TTNClient::DisconnectStation(Circuit* c) {
  const uint8_t port = c->Ucb.Port();
  const std::string& own = c->Ucb.DestCall;
  const std::string& station = c->Ucb.UserCall();
  L2->EndLinkAfterDrain(port, own, station, {QueuedFrame{port, 0, 'd', own, station, {}}});
}

// The gateway ends a circuit itself: through the host side when that is
// connected (TNDisc then ends the station side), else at once.
void TTNClient::TakeDown(Circuit* c) {
  net::TClientSocket* s = Socket(c);
  if (s && s->Active()) return s->Close();
  c->FSM = 3;
  c->Ucb.Pending.clear();
  DropPing(c);
  DisconnectStation(c);
}

void TTNClient::ReleaseSocket(Circuit* c) {
  net::TClientSocket* s = Socket(c);
  if (!s) return;
  Circuits.SetTNSocket(c, nullptr, nullptr);
  s->OnConnect = nullptr;
  s->OnRead = nullptr;
  s->OnDisconnect = nullptr;
  s->OnError = nullptr;
  s->Close();  // what the host was sent still goes out
  auto it = Sockets.find(s);
  if (it == Sockets.end()) return;
  std::shared_ptr<net::TClientSocket> owned(std::move(it->second));
  Sockets.erase(it);
  Defer([owned] {});  // freed from the loop, never inside its own event
}

void TTNClient::DropPing(Circuit* c) {
  net::TPing* p = c->Ucb.Ping();
  if (!p) return;
  p->OnDnsLookupDone = nullptr;
  std::shared_ptr<net::TPing> owned;
  if (auto it = Pings.find(p); it != Pings.end()) {
    owned = std::move(it->second);
    Pings.erase(it);
  }
  Circuits.SetPing(c, nullptr);
  if (owned) Defer([owned] {});
}

void TTNClient::RemoveCircuit(Circuit* c) {
  CircuitEnded(c);
  L2->ForgetFlow(c->Ucb.Port(), c->Ucb.DestCall, c->Ucb.UserCall());
  ReleaseSocket(c);
  DropPing(c);
  Circuits.Remove(c);
}

void TTNClient::RestartInactivity(Circuit* c) {
  if (c->Ucb.Timeout == 0) return;  // the circuit has no inactivity timer
  Timer* t = c->Ucb.InactTimer();
  t->SetEnabled(false);
  t->SetInterval(Timeout);
  if (Timeout != 0) t->SetEnabled(true);
}

void TTNClient::SendToHost(Circuit* c, std::string_view data) {
  if (net::TClientSocket* s = Socket(c)) s->Socket().SendText(data);
  if (auto it = Traffic.find(c->Id); it != Traffic.end()) it->second.ToHost += data.size();
}

const TTNClient::Relayed* TTNClient::RelayedOf(int32_t circuit_id) const {
  const auto it = Traffic.find(circuit_id);
  return it == Traffic.end() ? nullptr : &it->second;
}

void TTNClient::CircuitLinked(Circuit* c, const std::string& host) {
  Traffic[c->Id] = Relayed{host};
  c->Ucb.Since = std::chrono::system_clock::now();
  W(1, "{TNClient} Circuit " + c->Ucb.UserCall() + " -> " + host + " linked");
}

void TTNClient::CircuitEnded(Circuit* c) {
  auto it = Traffic.find(c->Id);
  if (it == Traffic.end()) return;
  const Relayed& r = it->second;
  W(1, "{TNClient} Circuit " + c->Ucb.UserCall() + " -> " + r.Host + " ended, " +
           std::to_string(r.ToHost) + " bytes to the host, " + std::to_string(r.ToStation) +
           " bytes to the station");
  Traffic.erase(it);
}

}  // namespace harvox
