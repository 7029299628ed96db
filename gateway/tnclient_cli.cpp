// Node commands: the gateway's handlers of the command processor's events
// (quit, help, T) and the start of a Telnet connection from the prompt.
#include "gateway/tnclient.h"

#include <exception>
#include <stdexcept>

#include "agw/l2.h"
#include "net/client_socket.h"
#include "util/files.h"
#include "util/log.h"
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

// T host[:port].  A port too large for a number throws to the processor,
// which answers with its exception text.
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
  c->Ucb.CLI = 0;
  net::TClientSocket* s = Socket(c);
  const std::string target = host + ":" + std::to_string(port);
  if (L2->IsIP(host)) {
    W(3, "{TNClient} Destination is Address(" + target + ")");
    s->Address = host;
    s->Port = port;
    ConnectKick(c);
    return {};
  }
  W(3, "{TNClient} Destination is HostName(" + target + ")");
  SendToStation(c, "\r*** Resolving Host Address <" + target + ">\r");
  StartLookup(c, host, port);
  return {};
}

}  // namespace harvox
