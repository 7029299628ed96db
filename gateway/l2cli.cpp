// The node command processor: command table, line taking and parsing, the
// built-in quit and help, and the checks before a command reaches its owner.
#include "gateway/l2cli.h"

#include <exception>
#include <vector>

#include "util/log.h"
#include "util/strings.h"

namespace harvox {
namespace {

const char* TrueFalse(bool flag) { return flag ? "TRUE" : "FALSE"; }

}  // namespace

TL2CLI::~TL2CLI() {
  ResetCommands();
  W(1, "{L2CLI} Command Processor Object Destroyed");
}

void TL2CLI::W(uint8_t level, const std::string& text) {
  if (Log) Log->Write(level, text);
}

void TL2CLI::D(uint8_t level, const std::string& data) {
  if (Log) Log->Dump(level, data);
}

bool TL2CLI::AddCommand(const std::string& name, const std::string& help, bool args, uint8_t auth,
                        bool alias_on, const std::string& alias) {
  const std::string tail = std::string("> Args(") + TrueFalse(args) + ") Auth(" +
                           std::to_string(auth) + ") ";
  if (name.empty()) {
    W(1, "{L2CLI} Command NOT Loaded invalid command <" + tail + help);
    return false;
  }
  for (auto& slot : Commands) {
    if (!slot.Name.empty()) continue;
    slot = TCmd{UpperText(name), help, args ? uint8_t{1} : uint8_t{0}, auth,
                alias_on ? uint8_t{1} : uint8_t{0}, UpperText(alias)};
    W(1, "{L2CLI} Command Loaded <" + slot.Name + std::string("> Args(") + TrueFalse(args) +
             ") Auth(" + std::to_string(auth) + ") Alias(" + TrueFalse(alias_on) + ") Alias(" +
             slot.Alias + ") " + help);
    return true;
  }
  W(1, "{L2CLI} Command NOT Loaded <" + name + tail + help);
  return false;
}

void TL2CLI::ResetCommands() {
  Commands.fill(TCmd{});
  W(1, "{L2CLI} Command Processor Instruction Set Reset");
}

void TL2CLI::SetActive(bool on) {
  Active = on;
  W(1, on ? "{L2CLI} Command Processor Active" : "{L2CLI} Command Processor Inactive");
}

// The reply is each line's answer in turn, then the tails of the lines
// that went on (the innermost first), so every line but a final error or
// empty one adds its prompt at the end.
std::string TL2CLI::Execute(uint8_t port, const std::string& call, std::string& buffer,
                            uint8_t level) {
  std::string reply;
  std::vector<std::string> tails;
  D(5, buffer);  // once: a dump per line would grow with the square of the buffer
  HandOver = false;
  bool more = true;
  for (size_t lines = 0; more && !HandOver; ++lines) {
    if (lines >= kMaxLines && !buffer.empty()) {
      // Each line is answered with a prompt or more: a frame of empty lines
      // must not turn into pages of air time.
      W(2, "{L2CLI} More than " + std::to_string(kMaxLines) + " lines from " + call +
               ", the rest ignored");
      buffer.clear();
      reply += "\r*** Only " + std::to_string(kMaxLines) + " lines at a time\r";
      break;
    }
    std::string head, tail;
    try {
      more = Step(port, call, buffer, level, head, tail);
    } catch (const std::exception&) {
      W(1, "{L2CLI} Exception on Module Execute");
      head = "\r--Exception on Command Processor--\r" + Prompt;
      tail.clear();
      more = false;
    }
    reply += head;
    tails.push_back(std::move(tail));
  }
  for (auto t = tails.rbegin(); t != tails.rend(); ++t) reply += *t;
  return reply;
}

bool TL2CLI::Step(uint8_t port, const std::string& call, std::string& buffer, uint8_t level,
                  std::string& head, std::string& tail) {
  Prompt = PromptFor(call);
  W(4, "{L2CLI} Node Command Processor");
  if (buffer.empty()) {
    W(1, "{L2CLI} Empty buffer, ignored");
    return false;
  }
  if (buffer.find('\r') == std::string::npos) {
    if (buffer.find('\n') == std::string::npos) {
      W(1, "{L2CLI} Incomplete buffer, ignored");
      buffer.clear();
      head = Prompt;
      return false;
    }
    buffer = ReplaceChar(buffer, '\n', "\r");
  }
  std::string line;
  if (const size_t at = buffer.find("\r\n"); at != std::string::npos) {
    line = buffer.substr(0, at);
    buffer.erase(0, at + 2);
  } else {
    line = std::move(buffer);
    buffer.clear();
  }
  if (line.empty()) {
    head = Welcome + "\r";
    tail = Prompt;
    return true;
  }
  W(4, "{L2CLI} Command->" + line);
  D(4, line);
  if (line == "\r\n" || line == "\r") {
    head = Prompt + "\r";
    return false;
  }
  const size_t cr = line.find('\r');
  std::string token = line.substr(0, cr);
  const std::string remainder = cr == std::string::npos ? std::string() : line.substr(cr + 1);
  W(3, "{L2CLI} After Parsing I Token(" + token + ") Args(" + remainder + ")");
  if (token.empty() || token == " ") {
    head = Prompt + "\r";
    return false;
  }
  const std::string command = UpperText(CutWord(token));
  const std::string args = token;
  W(3, "{L2CLI} After Parsing II Token(" + command + ") Args(" + args + ")");
  tail = Prompt;
  if ((command == "B" || command == "Q") && FOnDisconnect) {
    FOnDisconnect(port, call);
    head = "\r" + Bye;
    return true;
  }
  if ((!command.empty() && command[0] == '?') || command == "H") {
    head = Help(port, call, command, args, level);
    return true;
  }
  const TCmd* cmd = Find(command);
  if (!cmd) {
    head = "*** Error, command " + command + " not valid, type ? for help\r" + Prompt;
    tail.clear();
    return false;
  }
  head = TableCommand(port, call, *cmd, command, args, level);
  return !buffer.empty();
}

std::string TL2CLI::Help(uint8_t port, const std::string& call, const std::string& command,
                         const std::string& args, uint8_t level) {
  std::string help = "\r";
  std::string given;
  if (FOnHelp) FOnHelp(port, call, command, args, 0, given);
  if (!given.empty()) return help + given;
  for (const auto& slot : Commands) {
    if (!slot.Name.empty() && slot.Auth <= level) help += slot.Name + " " + slot.Help + "\r";
  }
  return help;
}

const TCmd* TL2CLI::Find(const std::string& command) const {
  for (const auto& slot : Commands) {
    if (slot.Name.empty()) return nullptr;
    if (slot.Name == command) return &slot;
  }
  return nullptr;
}

std::string TL2CLI::TableCommand(uint8_t port, const std::string& call, const TCmd& cmd,
                                 std::string command, std::string args, uint8_t level) {
  W(3, "{L2Cli} Command Auth Level(" + std::to_string(cmd.Auth) + ") User Auth Level(" +
           std::to_string(level) + ")");
  if (cmd.Args == 1 && args.empty()) return "*** ERROR, Invalid or missing argument\r";
  if (cmd.Auth > level) return "*** ERROR, Not authorized for command <" + cmd.Name + ">\r";
  if (cmd.AliasOn == 1 && !cmd.Alias.empty()) {
    W(3, "{CLI} Alias Replacement Command(" + command + ") -> (" + cmd.Alias + ")");
    args = cmd.Alias;
    command = CutWord(args);
  }
  std::string answer;
  if (FOnCommand) FOnCommand(port, call, command, args, cmd.Auth, answer);
  return answer;
}

}  // namespace harvox
