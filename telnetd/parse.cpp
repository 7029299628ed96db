// Line assembly and the login dialogue of a Telnet session.  Input is
// collected in the session's Pending until a CR (or an ESC) completes a
// line; a few Telnet negotiation bytes are filtered out, backspaces edit the
// line, and the line is handled by the session's state.
#include <exception>

#include "agw/l2.h"
#include "net/connection.h"
#include "util/log.h"
#include "telnetd/telnetd.h"
#include "util/strings.h"
#include "util/timer.h"

namespace harvox {
namespace {

constexpr char kCR = '\r';
constexpr char kESC = 27;
constexpr char kBS = 8;
constexpr uint8_t kPidNoL3 = 0xF0;

std::string Filtered(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (char ch : in) {
    const auto b = static_cast<uint8_t>(ch);
    if (b != 10 && b != 255 && b != 254 && b != 1) out += ch;
  }
  return out;
}

void EditBackspaces(std::string& line) {
  for (size_t at = line.find(kBS); at != std::string::npos; at = line.find(kBS)) {
    if (at == 0) {
      line.erase(0, 1);
    } else {
      line.erase(at - 1, 2);
    }
  }
}

bool HasEsc(const std::string& s) { return s.find(kESC) != std::string::npos; }

std::string WithoutCr(const std::string& line) { return line.substr(0, line.size() - 1); }

}  // namespace

void TTelnetD::ParseTNRequest(Circuit* c, std::string_view text) {
  W(3, "{ParseTNRequest} Data Buffer Len(" + std::to_string(text.size()) + ")");
  D(4, text);
  c->Ucb.Pending.append(text);
  std::string line;
  while (true) {
    net::Connection* conn = c->Ucb.Socket();
    if (c->FSM == 3) {
      // While the AX.25 connection is set up the input is held, in the order
      // typed, and goes to the node in one piece once it is up.
      c->Ucb.Pending = Filtered(c->Ucb.Pending);
      if (HasEsc(c->Ucb.Pending)) return conn->Close();
      if (c->Ucb.Pending.size() > kMaxHeld) {
        W(1, "{TelnetD} Too much input held for session #" + std::to_string(c->Id) + ", closing");
        return conn->Close();
      }
      break;
    }
    if (!TakeLine(c, line)) {
      if (c->Ucb.Pending.size() > kMaxLine) {
        W(1, "{TelnetD} Input line too long on session #" + std::to_string(c->Id) + ", closing");
        return conn->Close();
      }
      break;
    }
    if (!HandleLine(c, line)) return;  // the session is gone
  }
  W(5, "Left in TN Buffer is " + c->Ucb.Pending);
}

// Takes the next complete line (ending in CR) out of Pending.
bool TTelnetD::TakeLine(Circuit* c, std::string& line) {
  std::string& pending = c->Ucb.Pending;
  if (pending.empty()) return false;
  pending = Filtered(pending);
  if (pending.find(kCR) == std::string::npos && !HasEsc(pending)) return false;
  line = CutField(pending, kCR) + kCR;
  W(4, "{TelnetD} Parsing for BackSpace");
  D(4, line);
  EditBackspaces(line);
  W(4, "{TelnetD} Parsing for BackSpace COMPLETED");
  D(4, line);
  W(3, "Parsed from TN Request: " + line);
  return true;
}

// Handles one line by the session's state.  False when the session was
// closed (and so removed).
bool TTelnetD::HandleLine(Circuit* c, const std::string& line) {
  net::Connection* conn = c->Ucb.Socket();
  const bool esc = HasEsc(line);
  switch (c->FSM) {
    case 0:
      if (esc) return conn->Close(), false;
      c->Ucb.UserId = WithoutCr(line);
      c->FSM = 1;
      conn->SendText("\r\nPassword:");
      return true;
    case 1:
      if (esc) return conn->Close(), false;
      c->Ucb.Password = WithoutCr(line);
      if (const Verdict v = Security(c); v != Verdict::Admitted) {
        if (v == Verdict::Refused) return LoginFailed(c);
        SendFile(*conn, "SYSTEM.TNS", "\r\nSystem Error, Try Later\r\n");  // not counted
        return conn->CloseQuickly(), false;
      }
      c->Ucb.Pending.clear();
      c->Extra = kRegistrationAsked;
      L2->AGWRegister(c->Ucb.UserCall());
      W(1, "{TelnetD} Logged UserId(" + c->Ucb.UserId + ") Paswd(****)");
      return true;
    case 2:
      if (esc) return conn->Close(), false;
      return true;
    case 4:
      if (esc) {
        conn->SendText("\r\nEscape...\r\n");
        const uint8_t port = c->Ucb.Port();
        const std::string& user = c->Ucb.UserCall();
        L2->EndLinkAfterDrain(port, user, c->Ucb.DestCall, {{port, 0, 'd', user, c->Ucb.DestCall, {}}});
        return true;
      }
      W(3, "{TelnetD} Sending Data");
      D(3, line);
      L2->SendData(c->Ucb.Port(), kPidNoL3, c->Ucb.UserCall(), c->Ucb.DestCall, line);
      c->Ucb.InactTimer()->Restart();
      return true;
    default:
      return true;
  }
}

bool TTelnetD::LoginFailed(Circuit* c) {
  net::Connection* conn = c->Ucb.Socket();
  if (++c->Ucb.LoginTries <= 3) {
    W(1, "{TelnetD} Invalid attempt to Log UserId(" + c->Ucb.UserId + ")");
    SendFile(*conn, "BADID.TNS", "\r\nInvalid Login\r\n");
    conn->SendText("\r\nLogin:");
    c->FSM = 0;
    return true;
  }
  SendFile(*conn, "LOGINERR.TNS", "\r\nMaximum invalid tries... bye!\r\n");
  W(1, "{TelnetD} Failure to Log UserId(" + c->Ucb.UserId + ")");
  conn->Close();
  return false;
}

}  // namespace harvox
