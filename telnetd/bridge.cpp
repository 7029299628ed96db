// The engine side of the Telnet server: registering a logged-in user's
// callsign, connecting it to the user's node, relaying data, and the life
// of the engine link itself.  Everything sent for a session names the
// user's callsign first and the node second, and data goes out only while
// that AX.25 connection is up.
#include <exception>
#include <stdexcept>
#include <utility>

#include "agw/l2.h"
#include "net/connection.h"
#include "util/log.h"
#include "telnetd/telnetd.h"
#include "util/strings.h"
#include "util/timer.h"

namespace harvox {
namespace {

constexpr uint8_t kPidNoL3 = 0xF0;

}  // namespace

void TTelnetD::ConfigureLink() {
  L2->Log = Log;
  L2->Configure(ServerCall, {AGWHost, AGWAddress, AGWPort, AGWLogin, AGWPassword}, 0);
  L2->Open();
}

void TTelnetD::OnAX25Register(const std::string& call, std::string_view data) {
  try {
    const int rc = data.empty() ? -1 : static_cast<uint8_t>(data[0]);
    if (rc < 0) throw std::runtime_error("empty registration reply");
    W(3, "{TelnetD} Event <OnAX25Register> " + call + " (" + std::to_string(rc) + ")");
    W(3, "{TelnetD} Registered <" + call + "> rc(" + std::to_string(rc) + ")");
    Circuit* c = Circuits.FindByCall(call);
    if (!c) return W(3, "{TelnetD} Control Block Not Found");
    net::Connection* conn = c->Ucb.Socket();
    if (rc != 1) {
      SendFile(*conn, "ALREADY.TNS", "\r\nAlready Registered, Try Later\r\n");
      return conn->Close();
    }
    auto& u = c->Ucb;
    conn->SendText("\r\nLogged in at " + u.LoginTime + " as " + u.UserCall());
    conn->SendText("\r\n" + std::to_string(LoggedIn) + " Users logged in." + "\r\n");
    c->FSM = 3;
    c->Extra.clear();
    u.MaxTimer()->SetEnabled(false);  // logged in: the login deadline is met
    // A blank line wakes the node; lines typed while waiting follow it.
    std::string& held = inputs_[c->Id].Held;
    held.insert(0, " \r");
    Circuits.SetPort(c, static_cast<uint8_t>(u.NodePort));
    u.DestCall = u.NodeCall;
    u.Via.clear();
    W(1, "{TelnetD} Logging User(" + u.UserId + ") at Node(" + std::to_string(u.NodePort) + ":" +
             u.NodeCall + ")");
    SendFile(*conn, "MOTD.TNS", "\r\n");
    L2->ConnectExt(u.Port(), kPidNoL3, u.UserCall(), u.DestCall, "");
  } catch (const std::exception&) {
    W(3, "{TelnetD} Exception on Module OnAX25Register");
  }
}

// The session a notice or data frame belongs to: the one whose AX.25 link
// it names whole (our user's callsign, the node, the port) while that link
// is being set up or is up.  Anything else on the air must not touch it.
Circuit* TTelnetD::SessionOfLink(uint8_t port, const std::string& from, const std::string& to) {
  Circuit* c = Circuits.FindByCall(to);
  if (!c) {
    W(3, "{TelnetD} Control Block Not Found");
    return nullptr;
  }
  const uint8_t own_port = c->Ucb.Port() == 0 ? 1 : c->Ucb.Port();  // 0 and 1 share wire port 0
  const bool linked = c->FSM == 3 || c->FSM == 4;
  if (linked && own_port == port && c->Ucb.DestCall == from) return c;
  W(2, "{TelnetD} Frame from <" + from + "> to <" + to + "> on Port(" + std::to_string(port) +
           ") belongs to no session link");
  return nullptr;
}

void TTelnetD::OnAX25Connect(uint8_t port, const std::string& from, const std::string& to) {
  try {
    W(2, "{TelnetD} Event <OnAX25Connect>");
    Circuit* c = SessionOfLink(port, from, to);
    if (!c) {
      // Nobody here asked for this link (a stranger calling a user's
      // callsign, or a node answering a session that has gone): end it.
      W(2, "{TelnetD} Unexpected connect <" + from + "> -> <" + to + ">, disconnecting it");
      return L2->DisconnectExt(port, to, from);
    }
    if (c->FSM != 3) return W(2, "{TelnetD} Connect notice for a session already connected");
    c->FSM = 4;
    // The user's input goes no faster than the radio takes it.
    L2->WatchFlow(c->Ucb.Port(), c->Ucb.UserCall(), c->Ucb.DestCall);
    std::string held = std::exchange(inputs_[c->Id].Held, std::string());
    if (held.empty()) return;
    L2->SendData(c->Ucb.Port(), kPidNoL3, c->Ucb.UserCall(), c->Ucb.DestCall, held);
  } catch (const std::exception&) {
    W(3, "{TelnetD} Exception on Module OnAX25Contact");
  }
}

void TTelnetD::OnAX25Data(uint8_t port, const std::string& from, const std::string& to,
                          std::string_view data) {
  try {
    W(2, "{TelnetD} Event <OnAX25Data>");
    Circuit* c = SessionOfLink(port, from, to);
    if (!c || c->FSM != 4) {
      return W(2, "{TelnetD} Data from <" + from + "> Len(" + std::to_string(data.size()) +
                      ") dropped");
    }
    c->Ucb.Socket()->SendText(ReplaceChar(data, '\r', "\r\n"));
    if (OnFirstData && c->Ucb.FirstData == 1) {
      c->Ucb.FirstData = 0;
      OnFirstData(*this, c->Ucb.UserCall(), c->Ucb.Auth);
    }
  } catch (const std::exception&) {
    W(3, "{TelnetD} Exception on Module OnAX25Data");
  }
}

void TTelnetD::OnAX25Disconnect(uint8_t port, const std::string& from, const std::string& to,
                                const std::string& text) {
  try {
    W(2, "{TelnetD} Event <OnAX25Disconnect>");
    W(3, "{TelnetD} Disconnect Port(" + std::to_string(port) + ") <" + from + "> <" + to +
             "> Message(" + text + ")");
    Circuit* c = SessionOfLink(port, from, to);
    if (!c) return;
    net::Connection* conn = c->Ucb.Socket();
    conn->SendText("\r\n" + text + "\r\n");
    Circuits.SetPort(c, 0);
    c->Ucb.DestCall.clear();
    c->Ucb.Via.clear();
    c->FSM = 2;
    SendFile(*conn, "GOODBYE.TNS", "\r\n73 & GoodBye!!\r\n");
    conn->Close();
  } catch (const std::exception&) {
    W(3, "{TelnetD} Exception on Module OnAX25Disconnect");
  }
}

// The node's link holds too many frames (or is free again): stop or resume
// reading the user who feeds it.
void TTelnetD::OnAX25Flow(const std::string& own, const std::string& remote, bool held) {
  try {
    Circuit* c = Circuits.FindByCall(own);
    if (!c || c->Ucb.DestCall != remote) return;
    // Every line the user sends holds its link until the engine answers.
    if (Tracing(3))
      W(3, "{TelnetD} Link " + own + "->" + remote + (held ? " full, input held" : " free, input read"));
    c->Ucb.Socket()->SetReading(!held);
  } catch (const std::exception&) {
    W(1, "{TelnetD} Exception on Module OnAX25Flow");
  }
}

void TTelnetD::OnAX25AGWUp() {
  W(1, "{TelnetD} Event <OnAX25AGWUp> AGWPE(" + L2->CallSign() + ")");
  if (OnLinkUp) OnLinkUp(*this);
}

void TTelnetD::OnAX25AGWDown() {
  W(1, "{TelnetD} Event <OnAX25AGWDown> AGWPE(" + L2->CallSign() + ")");
  EndSessionsOnLinkLoss();
  if (OnLinkDown) OnLinkDown(*this);
  ArmAGWTimer();
}

void TTelnetD::OnAX25AGWError() {
  W(1, "{TelnetD} Event <OnAX25AGWError> AGWPE(" + L2->CallSign() + ")");
  EndSessionsOnLinkLoss();
  if (OnLinkDown) OnLinkDown(*this);
  if (Recover) ArmAGWTimer();
}

// The engine dropped every link and registration of this connection when it
// went away.  Sessions that reached the engine are ended as a disconnection
// would end them; users still at the prompts stay.
void TTelnetD::EndSessionsOnLinkLoss() {
  Circuits.ForEach([this](Circuit& c) {
    const bool asked = c.FSM == 1 && c.Extra == kRegistrationAsked;
    if (!asked && c.FSM != 3 && c.FSM != 4) return;
    W(1, "{TelnetD} Engine link lost, ending session #" + std::to_string(c.Id));
    net::Connection* conn = c.Ucb.Socket();
    c.FSM = 2;
    conn->SendText("\r\n*** Packet engine link lost\r\n");
    SendFile(*conn, "GOODBYE.TNS", "\r\n73 & GoodBye!!\r\n");
    conn->Close();
  });
}

void TTelnetD::ArmAGWTimer() {
  if (!AGWTimer) {
    AGWTimer = std::make_unique<Timer>();
    AGWTimer->SetHandler([this](Timer&) { OnAGWTimer(); });
  }
  if (!AGWTimer->Enabled()) W(1, "{TelnetD} Engine link: next try " + TLog::DueIn(AGWReopenMs));
  AGWTimer->SetInterval(AGWReopenMs);
  AGWTimer->SetEnabled(true);
}

void TTelnetD::OnAGWTimer() {
  W(3, "{TelnetD} <OnAGWTimer>");
  AGWTimer->SetEnabled(false);
  L2->Open();
}

}  // namespace harvox
