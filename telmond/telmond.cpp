// The monitor server: viewers come and go on the listener; frames from the
// engine link are decoded, formatted once and queued on every viewer.
#include "telmond/telmond.h"

#include <ctime>
#include <exception>

#include "agw/l2.h"
#include "agw/monitor_text.h"
#include "net/connection.h"
#include "net/server_socket.h"
#include "util/files.h"
#include "util/message_file.h"
#include "util/log.h"
#include "util/strings.h"
#include "util/timer.h"

namespace harvox {
namespace {

// "hh:mm:ss " in local time.
std::string LocalClock() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  return std::string(text, std::strftime(text, sizeof text, "%H:%M:%S ", &local));
}

}  // namespace

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
  L2->FOnFrame = [this](TL2&, uint8_t port, uint8_t, char kind, const std::string&,
                        const std::string&, std::string_view data) {
    if (kind == 'T') OnOwnFrame(port, data);
  };
  W(1, "{TelMonD} L2 Telnet Object Created");
}

TTelMonD::~TTelMonD() {
  W(1, "{TND} Telnet Server Object Released");
  // Connections go before the table and the link, without raising events.
  Server.reset();
  Listening = false;  // a link event raised from here on arms no timer
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
    if (RecoverTimer) RecoverTimer->SetEnabled(false);
    Listening = false;
    L2->Close();
    Active = false;
    return;
  }
  W(3, "{TelMonD} <SetActive> TelnetD set as ACTIVE");
  Mask = UpperText(Mask);
  Server->Port = ListenPort;
  Server->Addresses = ListenAddresses;
  Server->Open();  // a port in use throws to the start-up sequence
  W(3, "{TelMonD} <SetActive> TelnetD Listener Activated");
  Listening = true;
  ConfigureLink();
  W(3, "{TelMonD} <SetActive> Telnet Object");
  Active = true;
}

void TTelMonD::ConfigureLink() {
  L2->Log = Log;
  // "MON-0" names the link only; it is never registered.
  L2->Configure("MON-0", {AGWHost, AGWAddress, AGWPort, AGWLogin, AGWPassword}, 1);
  // Monitor texts as well as raw frames: only they report the engine's own
  // transmissions.
  L2->SetMonitor("IUSC");
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
    Show(DecodeHeard(frame, port, Links, Log, L2->Port()));
  } catch (const std::exception&) {
    W(1, "{TelMonD} Exception on module OnAX25Frame");
  }
}

// A frame the engine sent: it may set up or end one of its links, whose
// frames from the far station are read by that.
void TTelMonD::OnOwnFrame(uint8_t port, std::string_view text) {
  try {
    if (!Active) return;
    const KissFrame f = ParseMonitorText(text);
    NoteSetUp(port, f, Links);
    if (Own) Show(f);
  } catch (const std::exception&) {
    W(1, "{TelMonD} Exception on module OnOwnFrame");
  }
}

void TTelMonD::Show(const KissFrame& f) {
  if (!MaskShows(Mask, f.FrameClass)) return;
  const MonitorFormat format{Details, Split, UseCRLF, Raw, Timestamp ? LocalClock() : ""};
  Broadcast(std::make_shared<const std::string>(MonitorLine(f, format)));
}

void TTelMonD::Broadcast(const std::shared_ptr<const std::string>& text) {
  Circuits.ForEach([&text](Circuit& c) {
    if (net::Connection* conn = c.Ucb.Socket()) conn->SendShared(text);
  });
}

void TTelMonD::Tell(const char* notice) {
  Broadcast(std::make_shared<const std::string>(notice + std::string(LineEnd())));
}

void TTelMonD::OnAX25AGWUp() {
  W(1, "{TelMonD} Event <OnAX25AGWUp> AGWPE(" + L2->CallSign() + ")");
  if (!Listening) return;
  Active = true;
  if (LostTold) Tell(kLinkRestored);
  LostTold = false;
}

// Monitoring has stopped: tell the viewers once, so that silence is not
// taken for a quiet channel.  They stay connected, and hear again once the
// link is re-opened.
void TTelMonD::LinkLost() {
  const bool was_active = Active;
  Active = false;
  if (was_active) {
    Tell(kLinkLost);
    LostTold = true;
  }
  if (!Recover || RecoverMs == 0) return W(1, "{TelMonD} Engine link: no new try, RECOVER is off");
  if (!Listening) return;
  if (!RecoverTimer) {
    RecoverTimer = std::make_unique<Timer>();
    RecoverTimer->SetHandler([this](Timer&) { OnRecoverTimer(); });
  }
  if (!RecoverTimer->Enabled()) W(1, "{TelMonD} Engine link: next try " + TLog::DueIn(RecoverMs));
  RecoverTimer->SetInterval(RecoverMs);
  RecoverTimer->SetEnabled(true);
}

void TTelMonD::OnRecoverTimer() {
  W(1, "{TelMonD} <OnTimer> Attempt recover of link with AGWPE");
  RecoverTimer->SetEnabled(false);
  L2->Open();
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
