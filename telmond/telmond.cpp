// The monitor server: viewers come and go on the listener; frames from the
// engine link are decoded, formatted once and queued on every viewer.
#include "telmond/telmond.h"

#include <exception>

#include "agw/l2.h"
#include "net/connection.h"
#include "net/server_socket.h"
#include "util/files.h"
#include "util/message_file.h"
#include "util/log.h"
#include "util/strings.h"

namespace harvox {

TTelMonD::TTelMonD(TLog* log) : Log(log) {
  W(1, "{TelMonD} Object Creation");
  W(1, "{TND} Telnet Server Object Created");
  Server = std::make_unique<net::TServerSocket>();
  Server->Log = log;
  Server->MaxPendingOutput = kViewerOutputCap;
  Server->OnListen = [this](net::TServerSocket&) { TNListen(); };
  Server->OnAccept = [this](net::TServerSocket&, net::Connection& c) { TNAccept(c); };
  Server->OnClientRead = [this](net::TServerSocket&, net::Connection& c) { TNClientRead(c); };
  Server->OnClientDisconnect = [this](net::TServerSocket&, net::Connection& c) {
    TNClientDisconnect(c);
  };
  Server->OnClientError = [this](net::TServerSocket&, net::Connection& c, net::ErrorKind,
                                 int& code) { TNClientError(c, code); };
  L2 = std::make_unique<TL2>(log);
  L2->SetMonitor("N");
  L2->FOnAGWUp = [this](TL2&) { OnAX25AGWUp(); };
  L2->FOnAGWDown = [this](TL2&) { OnAX25AGWDown(); };
  L2->FOnAGWError = [this](TL2&) { OnAX25AGWError(); };
  L2->FOnKissFrame = [this](TL2&, uint8_t port, std::string_view frame) {
    OnAX25Frame(port, frame);
  };
  W(1, "{TelMonD} L2 Telnet Object Created");
}

TTelMonD::~TTelMonD() {
  W(1, "{TND} Telnet Server Object Released");
  // Connections go before the table and the link, without raising events.
  Server.reset();
}

void TTelMonD::W(uint8_t level, std::string_view text) {
  if (Log) Log->Write(level, text);
}

int32_t TTelMonD::BoundPort() const { return Server ? Server->LocalPort() : 0; }

void TTelMonD::SetActive(bool on) {
  W(3, "{TelMonD} <SetActive>");
  if (!on) {
    W(3, "{TelMonD} <SetActive> TelnetD set as INACTIVE");
    if (Server) Server->Close();
    L2->Close();
    Active = false;
    return;
  }
  W(3, "{TelMonD} <SetActive> TelnetD set as ACTIVE");
  Mask = UpperText(Mask);
  Server->Port = ListenPort;
  Server->Open();  // a port in use throws to the start-up sequence
  W(3, "{TelMonD} <SetActive> TelnetD Listener Activated");
  ConfigureLink();
  W(3, "{TelMonD} <SetActive> Telnet Object");
  Active = true;
}

void TTelMonD::ConfigureLink() {
  L2->Log = Log;
  // "MON-0" names the link only; it is never registered.
  L2->Configure("MON-0", {AGWHost, AGWAddress, AGWPort, AGWLogin, AGWPassword}, 1);
  L2->Open();
}

void TTelMonD::TNListen() {
  W(1, "{TelMonD} TelnetD Server Ready.");
  Active = true;
}

void TTelMonD::SendFile(net::Connection& conn, const std::string& name, const std::string& builtin) {
  W(3, "{TelMonD} <SendFile> Sending file(" + name + ") to (" + conn.PeerAddress() + ":" +
           std::to_string(conn.PeerPort()) + ")");
  const auto text = ReadMessageFile(name, "\r\n", Log, "{TelMonD}");
  conn.SendText(text ? *text : builtin);
}

void TTelMonD::TNAccept(net::Connection& conn) {
  try {
    W(2, "{TelMonD} TN Server Accepted a connection from " + conn.PeerAddress() + ":" +
             std::to_string(conn.PeerPort()));
    if (!Admit(conn)) return;
    CircuitTemplate t;
    t.Ucb.Socket = &conn;
    Circuit* c = Circuits.Insert(t);
    if (!c) {
      W(1, "{TelMonD} ERROR: Unable to allocate a new connection.");
      SendFile(conn, "SYSTEM.TNS", "\r\nSystem Error, Try Later\r\n");
      return conn.Close();
    }
    Slots.Take(conn.PeerAddress(), c->Id);
    W(2, "{TelMonD} TN Socket #" + std::to_string(c->Id) + " initialized.");
    c->FSM = 0;
    c->Ucb.LoginTries = 0;
    c->Ucb.UserId.clear();
    c->Ucb.Password.clear();
    c->Ucb.DestCall.clear();
    c->Ucb.Via.clear();
    c->Ucb.LoginTime = TLog::TimeStamp();
    // The circuit's inactivity timer stays disarmed: viewers never time out.
    SendFile(conn, "WELCOME.TNS", "\r\nWelcome to the AX.25 Monitor Telnet Server\r\n");
  } catch (const std::exception&) {
    W(1, "{TelMonD} Exception on TNAccept");
  }
}

// Whether a caller may watch; one who may not is told and closed at once.
bool TTelMonD::Admit(net::Connection& conn) {
  const std::string address = conn.PeerAddress();
  const bool full = !Slots.Fits(address, {MaxViewersPerAddress, MaxViewers});
  if (L2->Active && !full) return true;
  if (full) {
    W(2, "{TelMonD} Viewer from " + address + " turned away: " + std::to_string(Slots.CountOf(address)) +
             " of its own and " + std::to_string(Slots.Count()) + " in all");
  }
  SendFile(conn, "BUSY.TNS", "\r\nServer Busy, Try Later\r\n");
  conn.CloseQuickly();
  return false;
}

void TTelMonD::Forget(Circuit* c) {
  Slots.Give(c->Id);
  Circuits.Remove(c);
}

void TTelMonD::TNClientRead(net::Connection& conn) {
  try {
    char buffer[16385];
    conn.ReceiveInto(buffer, sizeof buffer);  // viewers have nothing to say
  } catch (const std::exception&) {
    W(1, "{TelMonD} TNClient Read");
  }
}

void TTelMonD::TNClientDisconnect(net::Connection& conn) {
  try {
    W(1, "{TelMonD} TN Server Disconnected the socket");
    Circuit* c = Circuits.FindBySocket(&conn);
    if (!c) return W(2, "{TelMonD} TN Socket not found.");
    W(2, "{TelMonD} TN Socket #" + std::to_string(c->Id) + " destroyed.");
    Forget(c);
  } catch (const std::exception&) {
    W(1, "{TelMonD} Exception TNClientDisconnect");
  }
}

void TTelMonD::TNClientError(net::Connection& conn, int& code) {
  code = 0;  // handled: the socket layer raises nothing more for it
  try {
    W(2, "TN Socket Error");
    Circuit* c = Circuits.FindBySocket(&conn);
    if (!c) return;
    Forget(c);
    // A failed connection has no viewer left: close it rather than keep
    // it for ever.  Its disconnect event finds no viewer.
    conn.Close();
  } catch (const std::exception&) {
    W(1, "{TelMonD} TNClient Error");
  }
}

void TTelMonD::OnAX25Frame(uint8_t port, std::string_view frame) {
  try {
    if (!Active) return;
    const KissFrame f = DecodeHeard(frame, port, Links, Log, L2->Port());
    if (!MaskShows(Mask, f.FrameClass)) return;
    const MonitorFormat format{Details, Split, UseCRLF};
    Broadcast(std::make_shared<const std::string>(MonitorLine(f, format)));
  } catch (const std::exception&) {
    W(1, "{TelMonD} Exception on module OnAX25Frame");
  }
}

void TTelMonD::Broadcast(const std::shared_ptr<const std::string>& text) {
  Circuits.ForEach([&text](Circuit& c) {
    if (net::Connection* conn = c.Ucb.Socket()) conn->SendShared(text);
  });
}

void TTelMonD::OnAX25AGWUp() {
  W(1, "{TelMonD} Event <OnAX25AGWUp> AGWPE(" + L2->CallSign() + ")");
}

// Monitoring has stopped for good: tell the viewers once, so that silence
// is not taken for a quiet channel.  They stay connected.
void TTelMonD::LinkLost() {
  const bool was_active = Active;
  Active = false;
  if (was_active) Broadcast(std::make_shared<const std::string>(kLinkLost + std::string(LineEnd())));
}

void TTelMonD::OnAX25AGWDown() {
  try {
    W(1, "{TelMonD} Event <OnAX25AGWDown> AGWPE(" + L2->CallSign() + ")");
    LinkLost();
  } catch (const std::exception&) {
    W(1, "{TelMonD} <OnAX25AGWDown>");
  }
}

void TTelMonD::OnAX25AGWError() {
  try {
    W(1, "{TelMonD} Event <OnAX25AGWError> AGWPE(" + L2->CallSign() + ")");
    LinkLost();
  } catch (const std::exception&) {
    W(1, "{TelMonD} Exception on module OnAX25AGWError");
  }
}

}  // namespace harvox
