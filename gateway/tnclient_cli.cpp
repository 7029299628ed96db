// Node commands: the gateway's handlers of the command processor's events
// (quit, help, T), the start of a Telnet connection from the prompt, and the
// destination rules every address T would reach must pass.
#include "gateway/tnclient.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "agw/l2.h"
#include "agw/tcp_client.h"
#include "gateway/l2cli.h"
#include "net/address.h"
#include "net/client_socket.h"
#include "net/interfaces.h"
#include "util/files.h"
#include "util/log.h"
#include "util/timer.h"
#include "util/strings.h"

namespace harvox {

// The circuit whose input the processor is executing; the events name only
// the port and the station, which may hold links to two of our callsigns.
Circuit* TTNClient::CLICircuit(uint8_t port, const std::string& call) {
  if (!Active) {
    W(1, "{TNClient} Telnet Client object not active, AX.25 connection refused");
    return nullptr;
  }
  Circuit* c = CurrentCLI;
  if (!c || c->Ucb.Port() != port || c->Ucb.UserCall() != call) {
    c = Circuits.FindCircuit(port, call, "TN");
  }
  if (!c) W(1, "{TNClient} Telnet Client instance not found, data ignored");
  return c;
}

// B or Q: the goodbye now; the link ends after the processor's reply
// (OnAGWData), so the station gets both.
void TTNClient::OnCLIDisconnect(uint8_t port, const std::string& call) {
  W(2, "{TNClient} Event <OnCLIDisconnect>");
  Circuit* c = CLICircuit(port, call);
  if (!c) return;
  SendFile(c, "GOODBYE.TNC", Bye);
  QuitAsked = true;
}

void TTNClient::OnCLIHelp(uint8_t port, const std::string& call, const std::string& args,
                          std::string& reply) {
  W(2, "{TNClient} Event <OnCLIDisconnect>");
  Circuit* c = CLICircuit(port, call);
  if (!c) return;
  std::string rest = args;
  const std::string topic = UpperText(CutWord(rest));
  if (!topic.empty()) {
    // A topic names a file in TEXT/ only: no paths from the air.
    const bool plain = topic.find_first_of("/\\") == std::string::npos && topic != "." &&
                       topic != "..";
    const std::string fallback = "\r*** No help about topic available\r";
    if (plain) return SendFile(c, topic, fallback);
    return SendToStation(c, fallback + "\r");
  }
  if (FileExists(FindFile(WorkingDir() + "TEXT/HELP.TNC"))) {
    SendFile(c, "HELP.TNC", "");
    reply += Prompt;
    return;
  }
  reply += "Help file not found\r" + Prompt;
}

void TTNClient::OnCLICommand(uint8_t port, const std::string& call, const std::string& command,
                             const std::string& args, std::string& reply) {
  Circuit* c = CLICircuit(port, call);
  if (!c) return;
  if (command != "T") {
    reply = "\rInvalid command <" + command + ">\r";
    return;
  }
  reply = ConnectTo(c, args);
}

namespace {

std::string NotAllowed(const std::string& target) {
  return "\r*** Host <" + target + "> is not allowed\r";
}

}  // namespace

// T host[:port].  A port too large for a number throws to the processor,
// which answers with its exception text.  An address is checked at once
// (refused: the station stays at the prompt); a name after its lookup.
std::string TTNClient::ConnectTo(Circuit* c, const std::string& args) {
  std::string rest = args;
  const std::string host = CutField(rest, ':');
  const std::string port_text = CutWord(rest);
  int32_t port = 23;
  if (IsNumeric(port_text)) {
    const auto value = ToInt32(port_text);
    if (!value) throw std::out_of_range("port " + port_text);
    port = *value;
  }
  if (host.empty()) return "\rInvalid or no Address given\r";
  net::TClientSocket* s = Socket(c);
  const std::string target = host + ":" + std::to_string(port);
  if (L2->IsIP(host)) {
    W(3, "{TNClient} Destination is Address(" + target + ")");
    const auto address = Vet(c, target, {host}, port);
    if (!address) return NotAllowed(target);
    c->Ucb.CLI = 0;
    CLIProc->HandOver = true;
    s->Address = *address;
    s->Port = port;
    ConnectKick(c);
    return {};
  }
  c->Ucb.CLI = 0;
  CLIProc->HandOver = true;
  c->Ucb.CheckDest = 1;
  W(3, "{TNClient} Destination is HostName(" + target + ")");
  SendToStation(c, "\r*** Resolving Host Address <" + target + ">\r");
  StartLookup(c, host, port);
  return {};
}

// What the default refusals need to know of the running system.  Read at
// each T: the engine's address may come from a lookup, and this host's
// addresses change.
LocalSide TTNClient::Here() const {
  LocalSide here;
  for (const std::string& text : {L2->Transport().Address, AGWAddress}) {
    const auto a = net::ParseAddress(text);
    if (a && std::find(here.Engine.begin(), here.Engine.end(), *a) == here.Engine.end()) {
      here.Engine.push_back(*a);
    }
  }
  here.Host = net::HostAddresses();
  here.Listeners = OwnPorts;
  return here;
}

// The first of a T's addresses the rules admit, in canonical form: the
// connection goes to it and to nothing looked up again.  None admitted:
// the refusal is logged with the rule for each address.
std::optional<std::string> TTNClient::Vet(Circuit* c, const std::string& target,
                                          const std::vector<std::string>& addresses, int32_t port) {
  const LocalSide here = Here();
  std::string refused;
  for (const auto& text : addresses) {
    const auto a = net::ParseAddress(text);
    DestinationVerdict v{false, "no address"};
    if (a && port >= 1 && port <= 65535) {
      v = Policy.Check(*a, static_cast<uint16_t>(port), here);
    } else if (a) {
      v.Rule = "no TCP port";
    }
    if (v.Allowed) {
      W(3, "{TNClient} Destination " + text + ":" + std::to_string(port) + " allowed: " + v.Rule);
      return a->ToString();
    }
    refused += (refused.empty() ? "" : "; ") + text + " refused by " + v.Rule;
  }
  ++RefusedT;
  W(1, "{TNClient} Station " + c->Ucb.UserCall() + " may not reach Host(" + target + "): " +
           (refused.empty() ? std::string("no address") : refused));
  return std::nullopt;
}

// A T refused after its lookup: the station is at the prompt again.  What
// it typed meanwhile was meant for the host, not for the prompt: dropped.
void TTNClient::BackToPrompt(Circuit* c, const std::string& target) {
  ReturnToPrompt(c, NotAllowed(target));
}

// A T from the prompt that came to nothing: the station hears why and is at
// the prompt again, with a fresh socket and only the prompt's idle limit.
void TTNClient::ReturnToPrompt(Circuit* c, const std::string& why) {
  auto& u = c->Ucb;
  u.InactTimer()->SetEnabled(false);
  u.MaxTimer()->SetEnabled(false);
  if (u.Timeout > 0) ArmTimer(u.InactTimer(), u.Timeout, false);
  u.Pending.clear();  // meant for the host that was not reached
  u.CLI = 1;
  DropPing(c);
  ReleaseSocket(c);
  NewSocket(c, 0);
  SendToStation(c, why);
  // Inside the processor's run its reply carries the prompt, and the lines
  // after the T are commands again.
  if (c == CurrentCLI) {
    CLIProc->HandOver = false;
    return;
  }
  SendToStation(c, CLIProc->PromptFor(u.UserCall()));
}

}  // namespace harvox
