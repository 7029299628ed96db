// Line assembly and the login dialogue of a Telnet session.  Input is
// filtered of Telnet commands as it arrives and collected in the session's
// Pending until a CR (or an ESC) completes a line; backspaces edit the line,
// and the line is handled by the session's state.  One pass over the input:
// lines are taken at a moving offset and Pending is trimmed once.  Input
// read during the login dialogue may hold the password (typed ahead at the
// login prompt, too): the log shows a fixed mask for it, never the bytes.
#include <exception>

#include "agw/l2.h"
#include "net/connection.h"
#include "telnetd/password.h"
#include "telnetd/telnetd.h"
#include "util/log.h"
#include "util/strings.h"
#include "util/timer.h"

namespace harvox {
namespace {

constexpr char kESC = 27;
constexpr uint8_t kPidNoL3 = 0xF0;

bool HasEsc(const std::string& s) { return s.find(kESC) != std::string::npos; }

std::string WithoutCr(const std::string& line) { return line.substr(0, line.size() - 1); }

}  // namespace

bool TTelnetD::InLoginDialogue(const Circuit* c) const {
  return (c->FSM == 0 || c->FSM == 1) && c->Extra != kRegistrationAsked;
}

void TTelnetD::ParseTNRequest(Circuit* c, std::string_view text) {
  if (Tracing(3)) W(3, "{ParseTNRequest} Data Buffer Len(" + std::to_string(text.size()) + ")");
  D(4, InLoginDialogue(c) ? kSecretMask : text);
  SessionInput& in = inputs_[c->Id];
  if (in.EscapeWait) in.EscapeWait->SetEnabled(false);  // these bytes decide
  in.Filter.Feed(text, c->Ucb.Pending);
  if (TakeLines(c) && in.Filter.EscapeHeld()) AwaitEscape(c);
}

// Handles every complete line of Pending; false when the session was
// closed (and removed) on the way.
bool TTelnetD::TakeLines(Circuit* c) {
  std::string& pending = c->Ucb.Pending;
  size_t at = 0;
  std::string line;
  while (NextLine(pending, at, line)) {
    const bool password = c->FSM == 1 && InLoginDialogue(c);
    W(4, "{TelnetD} Parsing for BackSpace");
    D(4, password ? kSecretMask : line);
    line = EditBackspaces(line);
    W(4, "{TelnetD} Parsing for BackSpace COMPLETED");
    D(4, password ? kSecretMask : line);
    if (Tracing(3)) W(3, "Parsed from TN Request: " + (password ? std::string(kSecretMask) : line));
    const After next = HandleLine(c, line);
    if (next == After::Gone) return false;
    if (next == After::DropRest) at = pending.size();
  }
  pending.erase(0, at);
  if (inputs_[c->Id].Filter.SinceLineEnd() > kMaxLine) {
    W(1, "{TelnetD} Input line too long on session #" + std::to_string(c->Id) + ", closing");
    c->Ucb.Socket()->Close();
    return false;
  }
  if (Tracing(5)) W(5, "Left in TN Buffer is " + (InLoginDialogue(c) ? std::string(kSecretMask) : pending));
  return true;
}

// The read ended in an ESC: the next bytes tell whether it starts a key's
// sequence.  When none come for a while, it was the user's escape.
void TTelnetD::AwaitEscape(Circuit* c) {
  SessionInput& in = inputs_[c->Id];
  if (!in.EscapeWait) {
    in.EscapeWait = std::make_unique<Timer>();
    in.EscapeWait->SetInterval(kEscapeWaitMs);
    in.EscapeWait->SetHandler([this, id = c->Id](Timer&) { OnEscapeWait(id); });
  }
  in.EscapeWait->SetEnabled(true);
}

void TTelnetD::OnEscapeWait(int32_t id) {
  try {
    const auto it = inputs_.find(id);
    if (it == inputs_.end() || !it->second.Session) return;
    it->second.EscapeWait->SetEnabled(false);
    Circuit* c = it->second.Session;
    it->second.Filter.ReleaseEscape(c->Ucb.Pending);
    TakeLines(c);
  } catch (const std::exception&) {
    W(1, "{TelnetD} Exception on Module OnEscapeWait");
  }
}

// Handles one line by the session's state.
TTelnetD::After TTelnetD::HandleLine(Circuit* c, const std::string& line) {
  net::Connection* conn = c->Ucb.Socket();
  const bool esc = HasEsc(line);
  const bool registering = c->FSM == 1 && c->Extra == kRegistrationAsked;
  if (esc && c->FSM != 4) return conn->Close(), After::Gone;
  if (registering || c->FSM == 3) return HoldLine(c, line);
  switch (c->FSM) {
    case 0:
      c->Ucb.UserId = WithoutCr(line);
      c->FSM = 1;
      conn->SendText("\r\nPassword:");
      return After::Next;
    case 1:
      return TakePassword(c, line);
    case 4:
      if (esc) {
        conn->SendText("\r\nEscape...\r\n");
        const uint8_t port = c->Ucb.Port();
        const std::string& user = c->Ucb.UserCall();
        L2->EndLinkAfterDrain(port, user, c->Ucb.DestCall, {{port, 0, 'd', user, c->Ucb.DestCall, {}}});
        return After::Next;
      }
      // What users type is theirs: only the finest level shows it.
      W(5, "{TelnetD} Sending Data");
      D(5, line);
      L2->SendData(c->Ucb.Port(), kPidNoL3, c->Ucb.UserCall(), c->Ucb.DestCall, line);
      c->Ucb.InactTimer()->Restart();
      return After::Next;
    default:
      return After::Next;  // state 2: the session is ending, input is dropped
  }
}

// The password line: check it, then ask the engine for the user's callsign.
TTelnetD::After TTelnetD::TakePassword(Circuit* c, const std::string& line) {
  c->Ucb.Password = WithoutCr(line);
  std::string why;
  const Verdict v = Security(c, why);
  c->Ucb.Password.clear();  // checked: no copy is kept
  if (v != Verdict::Admitted) {
    if (v == Verdict::Refused) return LoginFailed(c, why);
    // The users file could not be read: not the user's fault, not counted.
    SendFile(*c->Ucb.Socket(), "SYSTEM.TNS", "\r\nSystem Error, Try Later\r\n");
    c->Ucb.Socket()->CloseQuickly();
    return After::Gone;
  }
  const std::string call = c->Ucb.UserCall();
  // Hidden for the lookup, so only another session holding it is found.
  Circuits.SetUserCall(c, "");
  const bool taken = Circuits.FindByCall(call) != nullptr;
  Circuits.SetUserCall(c, call);
  if (taken) {
    W(1, "{TelnetD} Call(" + call + ") already has a session, login of UserId(" + c->Ucb.UserId +
             ") refused");
    return Refuse(c, "ALREADY.TNS", "\r\nAlready Registered, Try Later\r\n");
  }
  if (!L2->Active) {
    W(1, "{TelnetD} Engine link down, login of UserId(" + c->Ucb.UserId + ") refused");
    return Refuse(c, "BUSY.TNS", "\r\nServer Busy, Try Later\r\n");
  }
  if (LoggedIn >= MaxUsers) {  // filled up while this user was at the prompts
    W(1, "{TelnetD} Maximum users logged in, login of UserId(" + c->Ucb.UserId + ") refused");
    return Refuse(c, "MAXUSER.TNS", "\r\nMaximum users logged in, try later\r\n");
  }
  BecomeUser(c);
  // An earlier session under this callsign may still wait to end its link;
  // it ends now, so its late frames cannot end or unregister this one.
  L2->FinishDrainsOf(call);
  c->Extra = kRegistrationAsked;
  L2->AGWRegister(call);
  W(1, "{TelnetD} Logged UserId(" + c->Ucb.UserId + ") Paswd(****)");
  return After::DropRest;  // what was typed after the password is dropped
}

// A refusal after the password check: the callsign was never registered by
// this session, so nothing at all goes to the engine for it.
TTelnetD::After TTelnetD::Refuse(Circuit* c, const std::string& file, const std::string& builtin) {
  Circuits.SetUserCall(c, "");
  net::Connection* conn = c->Ucb.Socket();
  SendFile(*conn, file, builtin);
  conn->Close();
  return After::Gone;
}

// Lines typed while the callsign is registered or the link is set up wait,
// edited and in order, until the link is up.
TTelnetD::After TTelnetD::HoldLine(Circuit* c, const std::string& line) {
  std::string& held = inputs_[c->Id].Held;
  held += line;
  if (held.size() + c->Ucb.Pending.size() <= kMaxHeld) return After::Next;
  W(1, "{TelnetD} Too much input held for session #" + std::to_string(c->Id) + ", closing");
  c->Ucb.Socket()->Close();
  return After::Gone;
}

TTelnetD::After TTelnetD::LoginFailed(Circuit* c, const std::string& why) {
  net::Connection* conn = c->Ucb.Socket();
  const std::string& address = inputs_[c->Id].Address;
  W(1, FailedLoginLine(address, c->Ucb.UserId, why));
  ++LoginsFailed;
  if (Guard.Failed(address, LoginGuard::Clock::now())) {
    W(1, "{TelnetD} Address(" + address + ") blocked for a while after " +
             std::to_string(LoginGuard::kFailures) + " failed logins");
  }
  if (++c->Ucb.LoginTries <= 3) {
    W(1, "{TelnetD} Invalid attempt to Log UserId(" + c->Ucb.UserId + ")");
    SendFile(*conn, "BADID.TNS", "\r\nInvalid Login\r\n");
    conn->SendText("\r\nLogin:");
    c->FSM = 0;
    return After::Next;
  }
  SendFile(*conn, "LOGINERR.TNS", "\r\nMaximum invalid tries... bye!\r\n");
  W(1, "{TelnetD} Failure to Log UserId(" + c->Ucb.UserId + ")");
  conn->Close();
  return After::Gone;
}

}  // namespace harvox
