// Filling the snapshot from the services' tables and links.
#include "status/snapshot.h"

#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "net/client_socket.h"
#include "net/connection.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"

namespace harvox::status {
namespace {

EngineLink LinkOf(const char* service, const TL2& l2) {
  return {service, l2.Address(), l2.Port(), l2.Active != 0, l2.StateSince, l2.FramesIn, l2.FramesOut};
}

void TakeTelnet(TTelnetD& t, Snapshot& s) {
  s.Links.push_back(LinkOf("telnet", t.Link()));
  const TLLFSM& table = t.Sessions();
  for (const Circuit* c = table.Head(); c; c = table.Next(c)) {
    const net::Connection* conn = c->Ucb.Socket();
    s.Users.push_back({c->Ucb.UserId, c->Ucb.UserCall(), conn ? conn->PeerAddress() : "",
                       TelnetState(c->FSM, c->Extra == TTelnetD::kRegistrationAsked), c->Ucb.Since,
                       conn ? conn->BytesIn() : 0, conn ? conn->BytesOut() : 0});
  }
  s.Count.LoginsOk = t.LoginsOk;
  s.Count.LoginsFailed = t.LoginsFailed;
  s.Count.BlockedAddresses = t.Guard.BlockedCount(LoginGuard::Clock::now());
}

void TakeGateway(TTNClient& g, Snapshot& s) {
  s.Links.push_back(LinkOf("gateway", g.Link()));
  const TLLFSM& table = g.Table();
  for (const Circuit* c = table.Head(); c; c = table.Next(c)) {
    const auto* relayed = g.RelayedOf(c->Id);
    GatewayCircuit gc{c->Ucb.UserCall(), c->Ucb.DestCall, "",
                      GatewayState(c->FSM, c->Ucb.CLI != 0, relayed != nullptr), c->Ucb.Since};
    if (relayed) {
      gc.Host = relayed->Host;
      gc.BytesToHost = relayed->ToHost;
      gc.BytesToStation = relayed->ToStation;
    } else if (const net::TClientSocket* sock = c->Ucb.TNSocket(); sock && !c->Ucb.CLI) {
      gc.Host = sock->Address.empty() ? "" : sock->Address + ":" + std::to_string(sock->Port);
    }
    s.Circuits.push_back(std::move(gc));
  }
  s.Count.RefusedT = g.RefusedT;
}

void TakeMonitor(TTelMonD& m, Snapshot& s) {
  s.Links.push_back(LinkOf("monitor", m.Link()));
  const TLLFSM& table = m.Viewers();
  for (const Circuit* c = table.Head(); c; c = table.Next(c)) {
    const net::Connection* conn = c->Ucb.Socket();
    const bool cut = !conn || !conn->Open() || conn->PendingOutput() > TTelMonD::kViewerOutputCap;
    s.Viewers.push_back({conn ? conn->PeerAddress() : "", c->Ucb.Since, conn ? conn->BytesOut() : 0, cut});
  }
}

}  // namespace

std::string TelnetState(uint8_t fsm, bool registering) {
  switch (fsm) {
    case 0:
      return "login";
    case 1:
      return registering ? "registering" : "password";
    case 2:
      return "ending";
    case 3:
      return "connecting";
    case 4:
      return "connected";
  }
  return "state " + std::to_string(fsm);
}

std::string GatewayState(uint8_t fsm, bool at_prompt, bool linked) {
  if (fsm >= 3) return "ending";
  if (linked) return "linked";
  return at_prompt ? "prompt" : "connecting";
}

Snapshot Take(const Services& from, const std::string& version, Clock::time_point started) {
  Snapshot s;
  s.Version = version;
  s.Now = Clock::now();
  s.Started = started;
  if (from.Telnet) TakeTelnet(*from.Telnet, s);
  if (from.Gateway) TakeGateway(*from.Gateway, s);
  if (from.Monitor) TakeMonitor(*from.Monitor, s);
  return s;
}

}  // namespace harvox::status
