// Relay between station and host with the line-end rules, the circuit
// timers, teardown from either side, and the loss and recovery of the
// engine link.
//
// Teardown: a host that closes or fails moves its circuit to state 3 and
// ends the station's link once what it was sent has left; the station's
// disconnect notice then removes the circuit.  A station that leaves first
// moves it to 5, in which the close of the host socket stays silent.
//
// Logging: what stations and hosts send each other is theirs, and a busy
// circuit would fill the disk: per-read lines and dumps are level 5 only;
// level 1 has one line when a circuit is linked and one when it ends.
#include "gateway/tnclient.h"

#include <algorithm>
#include <exception>

#include "agw/frame.h"
#include "agw/l2.h"
#include "gateway/l2cli.h"
#include "gateway/line_ends.h"
#include "net/client_socket.h"
#include "net/winsock.h"
#include "util/log.h"
#include "util/timer.h"

namespace harvox {
namespace {

const char* TrueFalse(bool flag) { return flag ? "TRUE" : "FALSE"; }

}  // namespace

// No more than the station's link can take before the engine's queue for
// it reaches the window (one engine frame carries kSplitSize bytes).
size_t TTNClient::ReadSize(net::Connection& conn) {
  const Circuit* c = Circuits.FindByTNSocket(&conn);
  if (!c) return kReadSize;
  const size_t room = L2->FlowRoom(c->Ucb.Port(), c->Ucb.DestCall, c->Ucb.UserCall());
  return std::min(kReadSize, room * kSplitSize);
}

void TTNClient::TNRead(net::Connection& conn) {
  try {
    char buffer[kReadSize];
    const int n = conn.ReceiveInto(buffer, ReadSize(conn));
    if (n <= 0) return;
    std::string_view text(buffer, static_cast<size_t>(n));
    std::string converted;  // only when the line ends change
    if (Log && Log->Enabled(5)) W(5, "{TNClient} <TNRead> Data Received Len(" + std::to_string(n) + ")");
    D(5, text);
    Circuit* c = Circuits.FindByTNSocket(&conn);
    if (!c) return W(1, "{TNClient} Unable to find hook for connection");
    auto& u = c->Ucb;
    if (u.Quiet) c->FSM = 2;
    if (u.Quiet && LfOnly(text)) {
      W(5, "{TNClient} LF->CRLF Replacement, before");
      D(5, text);
      bool lf_host = u.bCRLF != 0;
      converted = HostToStation(text, true, lf_host);
      text = converted;
      u.bCRLF = 1;
      W(5, "{TNClient} LF->CRLF Replacement, after bCRLF->TRUE");
      D(5, text);
    }
    if (!u.Pending.empty()) {
      const std::string held = StationToHost(u.Pending, u.Quiet != 0, u.bCRLF != 0, false);
      u.Pending.clear();
      W(5, "{TNClient}: Delayed Send");
      D(5, held);
      conn.SendText(held);
      Traffic[c->Id].ToHost += held.size();
    }
    if (c->FSM != 2) return W(5, "{TNClient} <TNRead> Hook at FSM<>2, exit");
    SendToStation(c, text);
    Traffic[c->Id].ToStation += text.size();
    RestartInactivity(c);
    W(3, "{TNClient} <TNRead> Data Sent to AX.25 stream and timeout set");
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module TNRead");
  }
}

void TTNClient::OnAGWData(uint8_t port, const std::string& calling, const std::string& called,
                          std::string_view data) {
  try {
    if (Log && Log->Enabled(5)) W(5, "{TNClient} Event <OnAGWData> Client(" + calling + ") To(" + called + ")");
    D(5, data);
    if (!Active) {
      W(1, "{TNClient} Telnet Client object not active, AX.25 connection refused");
      return Refuse(port, calling, called);
    }
    Circuit* c = FindLink(port, calling, called);
    if (!c) {
      W(1, "{TNClient} Telnet Client instance not found, data ignored");
      return Refuse(port, calling, called);
    }
    auto& u = c->Ucb;
    if (Log && Log->Enabled(5)) {
      W(5, std::string("{TNClient} Client Control Block CLI(") + TrueFalse(u.CLI) + ") Quiet(" +
               TrueFalse(u.Quiet) + ") FSM(" + std::to_string(c->FSM) + ")");
    }
    if (u.CLI) return Command(c, data);
    if (!Socket(c)) {
      W(1, "{TNClient} Telnet Client instance invalid or corrupted");
      return Refuse(port, calling, called);
    }
    if (u.Quiet) {
      W(5, "{TnClient} Entered to check if Convers<cr>");
      if (IsConvers(data)) return W(5, "{TNClient} Discarded Frame(" + std::string(data) + ")");
    }
    if (c->FSM == 1) return HoldForHost(c, data);
    if (c->FSM != 2) return W(5, "{TNClient} Telnet Client in process of being disconnected");
    if (u.bCRLF && u.Quiet && CrOnly(data)) W(5, "{TNClient} Condition met to replace CR->LF");
    const std::string out = StationToHost(data, u.Quiet != 0, u.bCRLF != 0, CRLF);
    if (Log && Log->Enabled(5)) W(5, "{TNClient} Data Sent Len(" + std::to_string(out.size()) + ")");
    D(5, out);
    SendToHost(c, out);
    RestartInactivity(c);
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module OnAGWData");
  }
}

// Station input at the prompt.  While the station's link is held, replies
// would only queue in the engine: a little input waits for the link to be
// free again (OnFlow), the rest is dropped.
void TTNClient::Command(Circuit* c, std::string_view data) {
  auto& u = c->Ucb;
  RestartInactivity(c);
  if (L2->FlowHeld(u.Port(), u.DestCall, u.UserCall())) {
    if (u.Pending.size() + data.size() <= kMaxHeldCommands) {
      u.Pending.append(data);
    } else {
      W(2, "{TNClient} Input from " + u.UserCall() + " while its link is held, dropped");
    }
    return;
  }
  std::string buffer = std::move(u.Pending);
  u.Pending.clear();
  buffer.append(data);
  CurrentCLI = c;
  QuitAsked = false;
  const std::string reply = CLIProc->Execute(u.Port(), u.UserCall(), buffer, 0);
  CurrentCLI = nullptr;
  if (!Circuits.Contains(c)) return;
  if (!reply.empty()) SendToStation(c, reply);
  // Lines after a T are the station's first words to its host.
  if (CLIProc->HandOver && !buffer.empty() && !u.CLI && c->FSM == 1) HoldForHost(c, buffer);
  if (!QuitAsked) return;
  // The goodbye and the reply above reach the station before the link ends.
  c->FSM = 3;
  u.CLI = 0;
  DisconnectStation(c);
}

// Station data before the host can take it.  Held up to a limit: a station
// that keeps sending meanwhile is disconnected rather than fill memory.
void TTNClient::HoldForHost(Circuit* c, std::string_view data) {
  W(5, "{TNClient} Hook FSM=1 Store Data");
  D(5, data);
  const std::string held = StationToHost(data, false, false, CRLF);
  if (c->Ucb.Pending.size() + held.size() > kMaxPending) {
    W(1, "{TNClient} Data held for the host beyond " + std::to_string(kMaxPending) +
             " bytes, disconnecting " + c->Ucb.UserCall());
    return TakeDown(c);
  }
  c->Ucb.Pending += held;
}

void TTNClient::TNDisc(net::Connection& conn) {
  try {
    W(1, "{TNClient} <TNDisc> Disconnected from Telnet Client Object");
    Circuit* c = Circuits.FindByTNSocket(&conn);
    if (!c) return W(1, "{TNClient} Unable to find hook for connection");
    if (c->FSM == 5) return;
    c->FSM = 3;
    DisconnectStation(c);
    W(3, "{TNClient} <TNDisc> Sending disconnect to AX.25 side");
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module TNDisc");
  }
}

void TTNClient::TNOverflow(net::Connection& conn) {
  const Circuit* c = Circuits.FindByTNSocket(&conn);
  if (!c) return;
  W(1, "{TNClient} Host " + conn.PeerAddress() + ":" + std::to_string(conn.PeerPort()) +
           " takes no data, more than " + std::to_string(kMaxPending) +
           " bytes queued for it, disconnecting " + c->Ucb.UserCall());
}

void TTNClient::TNError(net::Connection& conn, net::ErrorKind kind, int& code) {
  try {
    const int error = code;
    W(1, "{L2} <TNError> Socket Error from Telnet Server: " + net::WinsockText(error) + " (" +
             std::to_string(error) + ")");
    code = 0;
    Circuit* c = Circuits.FindByTNSocket(&conn);
    if (!c) return W(1, "{TNClient} Unable to find hook for connection");
    if (c->FSM == 5) {
      RemoveCircuit(c);
      return W(3, "{TNClient} <TNError> FSM=5 ->Telnet hook destroyed");
    }
    if (kind == net::ErrorKind::Connect && c->FSM == 1) return ConnectFailed(c, error);
    c->FSM = 3;
    DisconnectStation(c);
    W(3, "{TNClient} <TNError> Sent disconnect to AX.25 side");
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module TNError");
  }
}

void TTNClient::OnAGWDisconnect(uint8_t port, const std::string& calling,
                                const std::string& called, const std::string& text) {
  try {
    W(2, "{TNClient} Event <OnAGWDisconnect>");
    W(3, "{TNClient} Disconnect Port(" + std::to_string(port) + ") <" + calling + "> <" + called +
             "> Message(" + text + ")");
    Circuit* c = FindLink(port, calling, called);
    if (!c) return W(1, "{TNClient} Telnet Client instance not found, data ignored");
    if (c->FSM == 1 || c->FSM == 3) {
      W(1, "{TNClient} Telnet Client instance not connected yet");
    } else if (!Socket(c)) {
      W(1, "{TNClient} Telnet Client instance invalid or corrupted");
    }
    // The station's link is gone: the host socket's close must send nothing
    // more to the engine for it.
    c->FSM = 5;
    const bool had_socket = Socket(c) != nullptr;
    RemoveCircuit(c);
    if (had_socket) W(3, "{TNClient} Telnet hook destroyed");
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module ONAGWDisconnect");
  }
}

void TTNClient::OnCircuitTimer(Timer& timer, bool max) {
  const char* module = max ? "{TNClient} Exception on module OnTimerMax"
                           : "{TNClient} Exception on module OnTimer";
  try {
    W(3, max ? "{TNClient} <OnTimerMax>" : "{TNClient} <OnTimer> Inactivity Trigger");
    Circuit* c = max ? Circuits.FindByMaxTimer(&timer) : Circuits.FindByTimer(&timer);
    if (!c) {
      W(1, "{TNClient} Timer Object not found");
      return timer.SetEnabled(false);
    }
    switch (c->FSM) {
      case 1:
        W(1, c->Ucb.CLI ? "{TNClient} Station " + c->Ucb.UserCall() + " idle at the prompt"
                        : std::string("{TNClient} Still Trying to achieve Telnet connection"));
        return TakeDown(c);
      case 2:
        W(1, "{TNClient} Connection sustain, disconnecting Telnet end");
        return TakeDown(c);
      case 3:
        W(1, "{TNClient} Telnet already disconnected, disconnecting AX.25");
        return DisconnectStation(c);
      case 5:
        W(1, "{TNClient} AX.25 already disconnected, disconnecting Telnet");
        return TakeDown(c);
      default:
        W(3, "{TNClient} <TNRead> AX.25 Disconnection forced");
        return DisconnectStation(c);
    }
  } catch (const std::exception&) {
    W(1, module);
  }
}

void TTNClient::OnAGWDown() {
  try {
    W(1, "{TNClient} Event <OnAGWDown> AGWPE(" + L2->CallSign() + ")");
    LinkLost();
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on Module OnAGWDown");
  }
}

void TTNClient::OnAGWError() {
  try {
    W(1, "{TNClient} Event <OnAGWError> AGWPE(" + L2->CallSign() + ")");
    LinkLost();
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module OnAGWError");
  }
}

// The engine dropped every AX.25 link of this connection when it went away
// (silently).  Each circuit ends here; nothing more goes to the engine for
// it, since a link it no longer holds must never see data.
void TTNClient::LinkLost() {
  Active = false;
  Circuits.ForEach([this](Circuit& c) {
    W(1, "{TNClient} Engine link lost, circuit " + c.Ucb.DestCall + "->" + c.Ucb.UserCall() +
             " ended");
    c.FSM = 5;
    RemoveCircuit(&c);
  });
  if (!Recover || RecoverMs == 0) return W(1, "{TNClient} Engine link: no new try, RECOVER is off");
  if (!RecoverTimer) {
    RecoverTimer = std::make_unique<Timer>();
    RecoverTimer->SetHandler([this](Timer&) { OnRecoverTimer(); });
  }
  if (!RecoverTimer->Enabled()) W(1, "{TNClient} Engine link: next try " + TLog::DueIn(RecoverMs));
  RecoverTimer->SetInterval(RecoverMs);
  RecoverTimer->SetEnabled(true);
}

// The station's link is held (too much queued in the engine) or free again:
// stop or resume reading the host that feeds it, or the station's commands.
void TTNClient::OnFlow(uint8_t port, const std::string& own, const std::string& station,
                       bool held) {
  try {
    Circuit* c = FindLink(port, station, own);
    if (!c || !Socket(c)) return;
    Socket(c)->Socket().SetReading(!held);
    if (!held && c->Ucb.CLI && !c->Ucb.Pending.empty()) Command(c, {});
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on module OnFlow");
  }
}

void TTNClient::OnRecoverTimer() {
  W(1, "{TNClient} <OnTimer> Attempt recover of link with AGWPE");
  RecoverTimer->SetEnabled(false);
  L2->Open();
}

}  // namespace harvox
