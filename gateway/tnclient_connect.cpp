// Inbound AX.25 connections: refusing or accepting a station, the choice
// between the command processor and a route, name resolution, the start of
// the outbound Telnet connection, its completion, and text files for the
// station.
#include "gateway/tnclient.h"

#include <exception>
#include <stdexcept>
#include <system_error>

#include "agw/frame.h"
#include "agw/l2.h"
#include "gateway/l2cli.h"
#include "net/client_socket.h"
#include "net/ping.h"
#include "net/winsock.h"
#include "util/files.h"
#include "util/message_file.h"
#include "util/log.h"
#include "util/timer.h"

namespace harvox {
namespace {

const char* TrueFalse(bool flag) { return flag ? "TRUE" : "FALSE"; }
constexpr uint8_t kPidNoL3 = 0xF0;

}  // namespace

// Our own callsign first: the engine ends a link only when the pair is
// named from our side.  A link still draining (its circuit ended during
// shutdown) keeps that drain: an immediate 'd' would lose its last words.
void TTNClient::Refuse(uint8_t port, const std::string& calling, const std::string& called) {
  L2->EndLinkAfterDrain(port, called, calling, {QueuedFrame{port, 0, 'd', called, calling, {}}});
}

// The listener that takes a station's connection, or none: refused.
const THook* TTNClient::AcceptingHook(uint8_t port, const std::string& calling,
                                      const std::string& called) {
  if (!Active || Stopping) {
    W(1, "{TNClient} Telnet Client object not active, AX.25 connection refused");
    Refuse(port, calling, called);
    return nullptr;
  }
  const THook* hook = GetClient(called);
  if (!hook) {
    W(1, "{TNClient} Telnet Client object do not exist, disconnect");
    Refuse(port, calling, called);
    return nullptr;
  }
  if (Circuits.Count() >= MaxCircuits && !FindLink(port, calling, called)) {
    W(1, "{TNClient} " + std::to_string(Circuits.Count()) + " circuits in use, " + calling +
             " refused");
    L2->SendData(port, kPidNoL3, called, calling, "\r*** Gateway busy\r");
    L2->EndLinkAfterDrain(port, called, calling, {QueuedFrame{port, 0, 'd', called, calling, {}}});
    return nullptr;
  }
  W(3, "{TNClient} Recovered Client (" + hook->Address + ":" + std::to_string(hook->Port) + ")");
  DestHost = hook->Address;
  if (DestHost.empty()) {
    W(3, "{TNClient} Event <FOnConnect> Call(" + std::to_string(port) + ":" + calling + ")");
    return hook;
  }
  W(3, "{TNClient} Set Address <" + DestHost + ":" + std::to_string(hook->Port) + ">");
  if (hook->Port != 0) return hook;
  W(1, "{TNClient} TCP/IP Port not informed or invalid");
  Refuse(port, calling, called);
  return nullptr;
}

void TTNClient::OnAGWConnect(uint8_t port, const std::string& calling, const std::string& called) {
  try {
    W(2, "{TNClient} Event <OnAGWConnect> Client(" + called + ")");
    const THook* found = AcceptingHook(port, calling, called);
    if (!found) return;
    const THook hook = *found;
    const bool cli = hook.Address.empty();
    Circuit* c = NewCircuit(port, calling, called, hook, cli);
    if (cli) {
      // An idle station at the prompt ends as an idle linked one does.
      if (c->Ucb.Timeout > 0) ArmTimer(c->Ucb.InactTimer(), c->Ucb.Timeout, false);
      W(3, "{TNClient} Welcome and Prompt files sent");
      SendFile(c, "WELCOME.TNC", Welcome);
      SendFile(c, "PROMPT.TNC", Prompt);
      return;
    }
    const std::string target = DestHost + ":" + std::to_string(hook.Port);
    if (L2->IsIP(DestHost)) {
      W(3, "{TNClient} Destination is Address(" + target + ")");
      Socket(c)->Address = DestHost;
      return ConnectKick(c);
    }
    W(3, "{TNClient} Destination is HostName(" + target + ")");
    if (!c->Ucb.Quiet) SendToStation(c, "\r*** Resolving Host Address <" + target + ">");
    StartLookup(c, DestHost, hook.Port);
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on OnAGWConnect");
  }
}

Circuit* TTNClient::NewCircuit(uint8_t port, const std::string& calling, const std::string& called,
                               const THook& hook, bool cli) {
  // A new connect notice for a link we still hold means the engine reset
  // that link: what the old circuit carried is gone.
  if (Circuit* old = FindLink(port, calling, called)) {
    W(2, "{TNClient} Link " + called + "->" + calling + " connected again, old circuit dropped");
    old->FSM = 5;
    RemoveCircuit(old);
  }
  CircuitTemplate t;
  t.Ucb.Kind = "TN";
  t.Ucb.Port = port;
  t.Ucb.UserCall = calling;
  t.Ucb.DestCall = called;
  t.Ucb.LoginTries = 0;
  t.Ucb.CLI = cli ? 1 : 0;
  W(1, "{TNClient} New control block created From(" + calling + ") To(" + called + ") Port(" +
           std::to_string(port) + ") Quiet(" + TrueFalse(hook.Quiet) + ")");
  Circuit* c = Circuits.Insert(t);
  c->Ucb.Timeout = hook.Timeout;
  c->Ucb.MaxTime = hook.MaxTime;
  c->Ucb.Quiet = hook.Quiet ? 1 : 0;
  W(1, std::string("{TNClient} Inserted New Control Block for Connection Quiet(") +
           TrueFalse(hook.Quiet) + ")");
  c->FSM = 1;
  NewSocket(c, cli ? 0 : hook.Port);
  // The host is read only as fast as the radio link takes its data.
  L2->WatchFlow(port, called, calling);
  return c;
}

// A fresh outbound socket for the circuit, not yet opened.
void TTNClient::NewSocket(Circuit* c, int32_t port) {
  auto socket = std::make_unique<net::TClientSocket>();
  socket->Port = port;
  socket->OnConnect = [this](net::TClientSocket&, net::Connection& conn) { TNConnect(conn); };
  socket->OnRead = [this](net::TClientSocket&, net::Connection& conn) { TNRead(conn); };
  socket->OnDisconnect = [this](net::TClientSocket&, net::Connection& conn) { TNDisc(conn); };
  socket->OnError = [this](net::TClientSocket&, net::Connection& conn, net::ErrorKind kind,
                           int& code) { TNError(conn, kind, code); };
  // A host that takes nothing while the station sends on is dropped (the
  // socket's close then ends the station's link) rather than fill memory.
  socket->MaxPendingOutput = kMaxPending;
  socket->OnOverflow = [this](net::TClientSocket&, net::Connection& conn) { TNOverflow(conn); };
  Circuits.SetTNSocket(c, socket.get(), &socket->Socket());
  Sockets.emplace(socket.get(), std::move(socket));
}

void TTNClient::StartLookup(Circuit* c, const std::string& host, int32_t port) {
  net::TClientSocket* s = Socket(c);
  s->Host = host;
  s->Port = port;
  auto ping = std::make_shared<net::TPing>();
  ping->OnDnsLookupDone = [this](net::TPing& p, uint16_t error) { OnDNSLookUpDone(p, error); };
  // One lookup per station at a time, also across its circuits and after
  // it left one: a name that never answers keeps no more than one thread.
  ping->Owner = c->Ucb.UserCall();
  ping->TimeLimit = LookupLimit;
  Pings[ping.get()] = ping;
  net::TPing* raw = ping.get();
  Circuits.SetPing(c, std::move(ping));
  W(3, "{TNClient} Resolving IP Address for (" + host + ")");
  try {
    raw->LookupHost(host);
  } catch (const std::runtime_error& e) {
    LookupFailed(c, e.what());
  }
}

// The name gave no address in time: the station is told and its link ends.
void TTNClient::LookupFailed(Circuit* c, const std::string& why) {
  W(1, "{TNClient} DNS can not resolve Host(" + Socket(c)->Host + "): " + why);
  const std::string text = "\rUnknown Host can not be resolved\r";
  if (AtNode(c)) return ReturnToPrompt(c, text);
  SendToStation(c, text);
  DropPing(c);
  c->FSM = 3;  // nothing will be linked; the station is on its way out
  DisconnectStation(c);
}

void TTNClient::OnDNSLookUpDone(net::TPing& ping, uint16_t error) {
  try {
    W(3, "{TNClient} <OnDNSLookUpDone>");
    Circuit* c = Circuits.FindByPing(&ping);
    if (!c) return W(1, "{TNClient} ERROR, Ping DNS Resolution, AX.25 Circuit not found");
    net::TClientSocket* s = Socket(c);
    if (error != 0) {
      W(1, "{TNClient} ERROR, <OnDNSLookUpDone> Error <> 0");
      return LookupFailed(c, net::WinsockText(error) + " (" + std::to_string(error) + ")");
    }
    const std::string host = s->Host;
    const std::vector<std::string> found = ping.DnsResults;
    s->Host.clear();
    s->Address = ping.DnsResult;
    DropPing(c);
    W(3, "{TNClient} DNS(" + host + ") is Addr(" + s->Address + ")");
    if (c->Ucb.CheckDest) {
      c->Ucb.CheckDest = 0;
      const std::string target = host + ":" + std::to_string(s->Port);
      const auto address = Vet(c, target, found, s->Port);
      if (!address) return BackToPrompt(c, target);
      s->Address = *address;
    }
    ConnectKick(c);
  } catch (const std::exception&) {
    W(1, "{MERLOX} Exception on OnDNSLookUpDone");
  }
}

void TTNClient::ConnectKick(Circuit* c) {
  try {
    W(4, "{TNClient} <ConnectKick>");
    if (c->Ucb.Timeout > 0) {
      W(3, "{TNClient} Inactive Timer armed (" + std::to_string(Timeout) + ")");
      ArmTimer(c->Ucb.InactTimer(), c->Ucb.Timeout, false);
    } else {
      c->Ucb.Timeout = 0;
      W(3, "{TNClient} Inactive timer not set");
    }
    if (c->Ucb.MaxTime > 0) {
      W(3, "{TNClient} Max Time Timer armed (" + std::to_string(MaxTime) + ")");
      ArmTimer(c->Ucb.MaxTimer(), c->Ucb.MaxTime, true);
    } else {
      W(3, "{TNClient} Max Timer not set");
    }
    net::TClientSocket* s = Socket(c);
    W(3, "{TNClient} Sending Connecting String to Originating Station");
    if (!c->Ucb.Quiet) {
      SendToStation(c, "\r*** Connecting with <" + s->Address + ":" + std::to_string(s->Port) + ">");
    }
    s->Open();
    W(3, "{TNClient} Activated Socket with Destination");
  } catch (const std::system_error& e) {
    // Refused before it started (no route, bad port, no address).
    if (Circuits.Contains(c)) ConnectFailed(c, e.code().value());
  } catch (const std::exception&) {
    W(1, "{TNClient} Exception on ConnectKick");
    if (Circuits.Contains(c)) TakeDown(c);
  }
}

void TTNClient::ArmTimer(Timer* t, int32_t interval, bool max) {
  t->SetInterval(static_cast<uint32_t>(interval));
  t->SetHandler([this, max](Timer& fired) { OnCircuitTimer(fired, max); });
  t->SetEnabled(true);
}

// Whether the circuit came through the command processor (its listener
// has no host of its own).
bool TTNClient::AtNode(const Circuit* c) const {
  for (const auto& hook : Listeners) {
    if (hook.Call == c->Ucb.DestCall) return hook.Address.empty();
  }
  return false;
}

// The host could not be reached.  The station is told why; from the node
// prompt it gets the prompt back and keeps its link, on a route its link
// ends once what it was sent has left.
void TTNClient::ConnectFailed(Circuit* c, int code) {
  net::TClientSocket* s = Socket(c);
  const std::string target = s->Address + ":" + std::to_string(s->Port);
  W(1, "{TNClient} Station " + c->Ucb.UserCall() + " could not reach Host(" + target + "): " +
           net::WinsockText(code) + " (" + std::to_string(code) + ")");
  const std::string why = code == net::kWSAECONNREFUSED
                              ? "\r*** Connection refused <" + target + ">\r"
                              : "\r*** Host <" + target + "> unreachable\r";
  if (AtNode(c)) return ReturnToPrompt(c, why);
  SendToStation(c, why);
  c->FSM = 3;
  c->Ucb.Pending.clear();
  DisconnectStation(c);
}

void TTNClient::TNConnect(net::Connection& conn) {
  try {
    W(1, "{TNClient} Telnet Connection established from (" + conn.PeerAddress() + ":" +
             std::to_string(conn.PeerPort()) + ")");
    Circuit* c = Circuits.FindByTNSocket(&conn);
    if (!c) return W(1, "{TNClient} Unable to find hook for connection");
    CircuitLinked(c, conn.PeerAddress() + ":" + std::to_string(conn.PeerPort()));
    const bool quiet = c->Ucb.Quiet != 0;
    W(1, std::string("{TNClient} Connection Hook Created Quiet(") + TrueFalse(quiet) + ")");
    c->FSM = quiet ? 1 : 2;
    W(1, quiet ? "{TNClient} FSM=1 because Quiet(TRUE)" : "{TNClient} FSM=2 because Quiet(FALSE)");
    if (quiet) return;
    SendToStation(c, "\r*** Linked with <" + conn.PeerAddress() + ":" +
                         std::to_string(conn.PeerPort()) + ">\r");
    if (c->Ucb.Pending.empty()) return;
    W(5, "{TNClient}: Direct Buffer send");
    D(5, c->Ucb.Pending);
    conn.SendText(c->Ucb.Pending);
    Traffic[c->Id].ToHost += c->Ucb.Pending.size();
    c->Ucb.Pending.clear();
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module TNConnect");
  }
}

void TTNClient::SendFile(Circuit* c, const std::string& name, const std::string& fallback) {
  W(3, "{TNClient} <SendFile> Sending file(" + name + ") to (" + c->Ucb.UserCall() + ")");
  const auto text = ReadMessageFile(name, "\r", Log, "{TNClient}");
  SendToStation(c, text ? *text : fallback + "\r");
}

}  // namespace harvox
