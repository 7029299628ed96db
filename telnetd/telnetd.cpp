// The Telnet server's sessions: accepting, greeting, reading, time-outs and
// the end of a session.  The login dialogue is in parse.cpp, the users file
// in security.cpp and the engine side in bridge.cpp.
#include "telnetd/telnetd.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <set>

#include "agw/l2.h"
#include "agw/tcp_client.h"
#include "net/connection.h"
#include "net/server_socket.h"
#include "telnetd/password.h"
#include "util/log.h"
#include "util/files.h"
#include "util/message_file.h"
#include "util/ini.h"
#include "util/timer.h"

namespace harvox {

TTelnetD::TTelnetD(TLog* log) : Log(log) {
  W(1, "{TelnetD} Object Creation");
  W(1, "{TND} Telnet Server Object Created");
  Server = std::make_unique<net::TServerSocket>();
  Server->Log = log;
  Server->OnListen = [this](net::TServerSocket&) { TNListen(); };
  Server->OnAccept = [this](net::TServerSocket&, net::Connection& c) { TNAccept(c); };
  Server->OnClientRead = [this](net::TServerSocket&, net::Connection& c) { TNClientRead(c); };
  Server->OnClientDisconnect = [this](net::TServerSocket&, net::Connection& c) {
    TNClientDisconnect(c);
  };
  Server->OnClientError = [this](net::TServerSocket&, net::Connection& c, net::ErrorKind,
                                 int& code) { TNClientError(c, code); };
  L2 = std::make_unique<TL2>(log);
  L2->FOnRegister = [this](TL2&, const std::string& call, std::string_view d) {
    OnAX25Register(call, d);
  };
  L2->FOnConnectEx = [this](TL2&, uint8_t port, const std::string& from, const std::string& to,
                            const std::string&) { OnAX25Connect(port, from, to); };
  L2->FOnData = [this](TL2&, uint8_t port, const std::string& from, const std::string& to,
                       uint8_t, std::string_view d) { OnAX25Data(port, from, to, d); };
  L2->FOnDisconnectEx = [this](TL2&, uint8_t port, const std::string& from,
                               const std::string& to, const std::string& text) {
    OnAX25Disconnect(port, from, to, text);
  };
  L2->FOnAGWUp = [this](TL2&) { OnAX25AGWUp(); };
  L2->FOnAGWDown = [this](TL2&) { OnAX25AGWDown(); };
  L2->FOnAGWError = [this](TL2&) { OnAX25AGWError(); };
  L2->FOnBacklog = [this](TL2&, bool hold) { OnAX25Backlog(hold); };
  L2->FOnFlow = [this](TL2&, uint8_t, const std::string& own, const std::string& remote,
                       bool held) { OnAX25Flow(own, remote, held); };
  Users = std::make_unique<CachedIniFile>();
  Server->RefusalText = "\r\nSystem Error, Try Later\r\n";
  L2->SetMonitor("N");
  W(1, "{TelnetD} L2 Telnet Object Created");
}

TTelnetD::~TTelnetD() {
  W(1, "{TND} Telnet Server Object Released");
  if (AGWTimer) AGWTimer->SetEnabled(false);
  AGWTimer.reset();
  // Connections go before the table and the link, without raising events.
  Server.reset();
}

void TTelnetD::W(uint8_t level, std::string_view text) {
  if (Log) Log->Write(level, text);
}

void TTelnetD::D(uint8_t level, std::string_view data) {
  if (Log) Log->Dump(level, data);
}

bool TTelnetD::Tracing(uint8_t level) const { return Log && Log->Enabled(level); }

int32_t TTelnetD::BoundPort() const { return Server ? Server->LocalPort() : 0; }

void TTelnetD::SetActive(bool on) {
  W(3, "{TelnetD} <SetActive>");
  if (!on) {
    W(3, "{TelnetD} <SetActive> TelnetD set as INACTIVE");
    if (Server) Server->Close();
    L2->Close();
    Active = false;
    return;
  }
  W(3, "{TelnetD} <SetActive> TelnetD set as ACTIVE");
  Server->Port = ListenPort;
  Server->Addresses = ListenAddresses;
  Server->Open();  // a port in use throws to the start-up sequence
  W(3, "{TelnetD} <SetActive> TelnetD Listener Activated");
  ConfigureLink();
  W(3, "{TelnetD} <SetActive> Telnet Object");
  Active = true;
}

void TTelnetD::TNListen() {
  W(1, "{TelnetD} TelnetD Server Ready.");
  Active = true;
}

namespace {

// Said once per file and process: every caller would repeat it.
}  // namespace

void TTelnetD::SendFile(net::Connection& conn, const std::string& name, const std::string& builtin) {
  W(3, "{TelnetD} <SendFile> Sending file(" + name + ") to (" + conn.PeerAddress() + ":" +
           std::to_string(conn.PeerPort()) + ")");
  const auto text = ReadMessageFile(name, "\r\n", Log, "{TelnetD}");
  conn.SendText(text ? *text : builtin);
}

void TTelnetD::TNAccept(net::Connection& conn) {
  try {
    W(2, "{TelnetD} TN Server Accepted a connection from " + conn.PeerAddress() + ":" +
             std::to_string(conn.PeerPort()));
    if (!Admit(conn)) return;
    CircuitTemplate t;
    t.Ucb.Socket = &conn;
    Circuit* c = Circuits.Insert(t);
    if (!c) {
      W(1, "{TelnetD} ERROR: Unable to allocate a new connection.");
      SendFile(conn, "SYSTEM.TNS", "\r\nSystem Error, Try Later\r\n");
      return conn.CloseQuickly();
    }
    StartSession(c, conn.PeerAddress());
  } catch (const std::exception&) {
    W(1, "{TelnetD} Exception on TNAccept");
  }
}

// Whether a caller may come to the login prompt; one who may not is told
// and closed.  Room at the prompts is made by closing older sessions.
bool TTelnetD::Admit(net::Connection& conn) {
  const std::string address = conn.PeerAddress();
  if (!L2->Active || Stopping) {
    SendFile(conn, "BUSY.TNS", "\r\nServer Busy, Try Later\r\n");
  } else if (Guard.Blocked(address, LoginGuard::Clock::now())) {
    W(2, "{TelnetD} Caller from " + address + " turned away after failed logins");
    SendFile(conn, "BUSY.TNS", "\r\nServer Busy, Try Later\r\n");
  } else if (LoggedIn >= MaxUsers || !MakePromptRoom(address)) {
    SendFile(conn, "MAXUSER.TNS", "\r\nMaximum users logged in, try later\r\n");
  } else {
    return true;
  }
  conn.CloseQuickly();
  return false;
}

// Room at the login prompts for one more caller from address: the oldest
// session of that address, or of all when the total is reached, is closed
// until there is, so held prompts are taken back by each new caller.
// False when closing makes no room (a limit of 0).
bool TTelnetD::MakePromptRoom(const std::string& address) {
  const SlotLimits limits{PromptsPerAddress, MaxUsers};
  while (!Prompts.Fits(address, limits)) {
    const std::optional<int32_t> oldest = Prompts.InTheWay(address, limits);
    if (!oldest) return false;
    const auto it = inputs_.find(*oldest);
    if (it != inputs_.end() && it->second.Session) {
      W(2, "{TelnetD} Login prompts full, closing session #" + std::to_string(*oldest) + " of " +
               it->second.Address + " for a caller from " + address);
      net::Connection* conn = it->second.Session->Ucb.Socket();
      SendFile(*conn, "BUSY.TNS", "\r\nServer Busy, Try Later\r\n");
      conn->CloseQuickly();  // its session leaves the prompts inside
    }
    Prompts.Give(*oldest);
  }
  return true;
}

void TTelnetD::StartSession(Circuit* c, const std::string& address) {
  inputs_[c->Id] = SessionInput{c, {}, {}, address, true, nullptr};
  Prompts.Take(address, c->Id);
  ++UserCount;
  W(2, "{TelnetD} TN Socket #" + std::to_string(c->Id) + " initialized.");
  net::Connection& conn = *c->Ucb.Socket();
  if (EngineBacklog) conn.PauseReading(true);
  c->FSM = 0;
  c->Ucb.LoginTries = 0;
  c->Ucb.LoginTime = TLog::TimeStamp();
  Timer* timer = c->Ucb.InactTimer();
  timer->SetInterval(static_cast<uint32_t>(SessionTimeout));
  timer->SetHandler([this](Timer& t) { OnTimer(t); });
  timer->SetEnabled(true);
  Timer* deadline = c->Ucb.MaxTimer();
  deadline->SetInterval(LoginDeadlineMs);
  deadline->SetHandler([this](Timer& t) { OnTimer(t); });
  deadline->SetEnabled(true);
  SendFile(conn, "WELCOME.TNS", "\r\n" + Welcome + "\r\n");
  conn.SendText("Login:");
}

// The engine connection has a backlog: no session's input is read until it
// drained, so one user's paste can neither grow the process nor keep the
// others' registrations and connects waiting behind it.
void TTelnetD::OnAX25Backlog(bool hold) {
  try {
    W(3, std::string("{TelnetD} Engine backlog, input ") + (hold ? "held" : "resumed"));
    EngineBacklog = hold;
    Circuits.ForEach([hold](Circuit& c) {
      if (net::Connection* conn = c.Ucb.Socket()) conn->PauseReading(hold);
    });
  } catch (const std::exception&) {
    W(1, "{TelnetD} Exception on Module OnAX25Backlog");
  }
}

void TTelnetD::TNClientRead(net::Connection& conn) {
  try {
    char buffer[5001];
    const int n = conn.ReceiveInto(buffer, sizeof buffer);
    if (n <= 0) return;
    const std::string_view text(buffer, static_cast<size_t>(n));
    Circuit* c = Circuits.FindBySocket(&conn);
    W(3, "TN Data Available:");
    D(3, !c || InLoginDialogue(c) ? kSecretMask : text);
    if (!c) return conn.Close();
    c->Ucb.InactTimer()->Restart();
    TL2::SendBatch batch(*L2);  // the lines of one read leave together
    ParseTNRequest(c, text);
  } catch (const std::exception&) {
    W(1, "{TelnetD} TNClient Read");
  }
}

void TTelnetD::OnTimer(Timer& timer) {
  W(3, "{TelnetD} <OnTimer> Data Buffer");
  Circuit* c = Circuits.FindByTimer(&timer);
  if (!c) c = Circuits.FindByMaxTimer(&timer);  // the login deadline
  if (!c) {
    W(3, "{TelnetD} Timer object not found");
    return timer.SetEnabled(false);
  }
  timer.SetEnabled(false);
  net::Connection* conn = c->Ucb.Socket();
  SendFile(*conn, "INACTIVE.TNS", "\r\nInactivity Timeout, closing session\r\n");
  conn->Close();
}

// The engine side of a session that ends: the AX.25 link is ended once
// what was sent on it has left, then the callsign is unregistered.  In
// state 2 the link is gone already: a 'd' would only bring a notice for a
// link nobody holds.
void TTelnetD::EndAX25Side(Circuit* c) {
  const std::string user = c->Ucb.UserCall();
  if (c->FSM == 4) L2->ForgetFlow(c->Ucb.Port(), user, c->Ucb.DestCall);
  if (c->FSM > 2) {
    const uint8_t port = c->Ucb.Port();
    const std::string dest = c->Ucb.DestCall;
    W(3, "{TelnetD} Sending disconnect to circuit (" + std::to_string(port) + ":" + dest + ")");
    std::vector<QueuedFrame> after{{port, 0, 'd', user, dest, {}}};
    if (!user.empty()) after.push_back({0, 0, 'x', user, {}, {}});
    L2->EndLinkAfterDrain(port, user, dest, std::move(after));
    return;
  }
  L2->AGWUnRegister(user);
}

// Past the password: the session leaves the prompts and counts as a user.
void TTelnetD::BecomeUser(Circuit* c) {
  SessionInput& in = inputs_[c->Id];
  if (!in.AtPrompt) return;
  in.AtPrompt = false;
  Prompts.Give(c->Id);
  ++LoggedIn;
  ++LoginsOk;
  c->Ucb.Since = std::chrono::system_clock::now();
}

void TTelnetD::ForgetSession(Circuit* c) {
  const auto it = inputs_.find(c->Id);
  if (it != inputs_.end() && !it->second.AtPrompt) --LoggedIn;
  Prompts.Give(c->Id);
  EndAX25Side(c);
  inputs_.erase(c->Id);
  Circuits.Remove(c);
  --UserCount;
}

void TTelnetD::Quiesce() {
  try {
    W(1, "{TelnetD} Shutting down: ending " + std::to_string(Circuits.Count()) + " sessions");
    Stopping = true;
    // Each session leaves the table now; its connection, no longer found,
    // is closed if the user sends anything, and released with the server.
    Circuits.ForEach([this](Circuit& c) {
      c.Ucb.Socket()->SendText("\r\n*** Harvox is shutting down\r\n");
      ForgetSession(&c);
    });
  } catch (const std::exception&) {
    W(1, "{TelnetD} Exception on Quiesce");
  }
}

bool TTelnetD::Quiet() const {
  return L2->DrainsPending() == 0 && L2->Transport().PendingOutput() == 0;
}

void TTelnetD::TNClientDisconnect(net::Connection& conn) {
  try {
    W(1, "{TelnetD} TN Server Disconnected the socket");
    Circuit* c = Circuits.FindBySocket(&conn);
    if (!c) return W(2, "{TelnetD} TN Socket not found.");
    W(2, "{TelnetD} TN Socket #" + std::to_string(c->Id) + " destroyed.");
    ForgetSession(c);
  } catch (const std::exception&) {
    W(1, "{TelnetD} Exception TNClientDisconnect");
  }
}

void TTelnetD::TNClientError(net::Connection& conn, int& code) {
  code = 0;  // handled: the socket layer raises nothing more for it
  try {
    W(2, "TN Socket Error");
    Circuit* c = Circuits.FindBySocket(&conn);
    if (!c) return;
    ForgetSession(c);
    // A failed connection has no session left to serve: close it rather
    // than leave it open for ever.  Its disconnect event finds no session.
    conn.Close();
  } catch (const std::exception&) {
    W(1, "{TelnetD} TNClient Error");
  }
}

}  // namespace harvox
