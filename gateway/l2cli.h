// TL2CLI: the node command processor a radio station talks to at the
// gateway's default callsign.  Holds a table of up to 30 commands, turns a
// buffer of station input into one reply that always ends with a prompt,
// answers help, errors and quit itself, and hands table commands to its
// owner through events.  Knows nothing of sockets or AX.25.
//
// Re-entrancy: main thread only.  Execute takes the buffer a line at a
// time in a loop (a buffer of thousands of empty lines must not cost a
// stack frame each); the events run inside Execute and may call anything of
// the owner, but must not destroy the processor.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace harvox {

class TLog;

struct TCmd {
  std::string Name;  // upper case; empty: a free slot
  std::string Help;
  uint8_t Args = 0;  // 1: needs at least one argument
  uint8_t Auth = 0;  // lowest level allowed
  uint8_t AliasOn = 0;
  std::string Alias;  // command line that replaces the command, upper case
};

class TL2CLI {
 public:
  using DisconnectEvent = std::function<void(uint8_t port, const std::string& call)>;
  // reply is empty on entry; what the handler leaves there is the answer.
  using CommandEvent = std::function<void(uint8_t port, const std::string& call,
                                          const std::string& command, const std::string& args,
                                          uint8_t auth, std::string& reply)>;

  static constexpr size_t kSlots = 30;
  // Lines of one buffer that Execute takes; the rest is dropped with a note.
  static constexpr size_t kMaxLines = 8;

  TL2CLI() = default;
  ~TL2CLI();
  TL2CLI(const TL2CLI&) = delete;
  TL2CLI& operator=(const TL2CLI&) = delete;

  bool AddCommand(const std::string& name, const std::string& help, bool args, uint8_t auth,
                  bool alias_on, const std::string& alias);
  void ResetCommands();
  void SetActive(bool on);
  // Executes the lines of buffer (which it consumes, at most kMaxLines of
  // them) for a station at the given level; returns the reply for the
  // station.  A command handler that sets HandOver ends the run: the lines
  // after its command stay in buffer.
  std::string Execute(uint8_t port, const std::string& call, std::string& buffer, uint8_t level);
  // The prompt a station sees: "{CALL de NODECALL}:" and CR.
  std::string PromptFor(const std::string& call) const {
    return "{" + call + " de " + NodeCall + "}:\r";
  }

  bool Active = false;
  std::string NodeCall;
  std::string Welcome;
  std::string Bye;
  std::string Prompt;
  std::array<TCmd, kSlots> Commands;
  // Set by a command handler when the station leaves the processor (its
  // further input is for someone else); cleared by each Execute.
  bool HandOver = false;
  DisconnectEvent FOnDisconnect;
  CommandEvent FOnCommand;
  CommandEvent FOnHelp;
  TLog* Log = nullptr;

 private:
  // One line of buffer: its answer goes to head, and tail is what follows
  // the answers of the lines after it.  True when those lines are to run.
  bool Step(uint8_t port, const std::string& call, std::string& buffer, uint8_t level,
            std::string& head, std::string& tail);
  std::string Help(uint8_t port, const std::string& call, const std::string& command,
                   const std::string& args, uint8_t level);
  std::string TableCommand(uint8_t port, const std::string& call, const TCmd& cmd,
                           std::string command, std::string args, uint8_t level);
  const TCmd* Find(const std::string& command) const;
  void W(uint8_t level, const std::string& text);
  void D(uint8_t level, const std::string& data);
};

}  // namespace harvox
