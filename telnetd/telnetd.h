// TTelnetD: the Telnet server through which people reach the packet
// network.  Listens on one port, greets each caller, runs the login
// dialogue against USERS.INI, then registers the user's callsign with the
// engine, connects it to the user's node and relays lines both ways.
//
// Re-entrancy: main thread only.  Closing a session's connection raises
// TNClientDisconnect inside the close, which removes the session: every
// path returns right after a close and never touches the session again.
// The engine link's handlers may close sessions too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "circuits/circuits.h"
#include "telnetd/address_slots.h"
#include "telnetd/login_guard.h"
#include "telnetd/telnet_input.h"

namespace harvox {

class TLog;
class TL2;
class CachedIniFile;
class Timer;
namespace net {
class Connection;
class TServerSocket;
enum class ErrorKind;
}  // namespace net

class TTelnetD {
 public:
  explicit TTelnetD(TLog* log);
  ~TTelnetD();
  TTelnetD(const TTelnetD&) = delete;
  TTelnetD& operator=(const TTelnetD&) = delete;

  // Settings.
  bool Active = false;
  int32_t ListenPort = 8002;
  std::vector<std::string> ListenAddresses{"0.0.0.0"};  // IPv4 or IPv6
  uint32_t UserCount = 0;  // sessions, at the prompts or logged in
  uint32_t LoggedIn = 0;   // users past the password, compared with MaxUsers
  // Most users logged in, and most sessions at the login prompts in all.
  uint32_t MaxUsers = 0;
  // Most sessions at the login prompts from one address.  A caller beyond
  // either prompt limit closes the oldest session in the way.
  uint32_t PromptsPerAddress = 4;
  std::string UsersFile = "USERS.INI";
  std::string Welcome = "*** Welcome to Harvox Version 0.1B Beta.00";
  std::string Bye = "Bye!";
  std::string ServerCall = "NOCALL";
  int32_t DefNodePort = 0;
  std::string DefNodeCall;
  int32_t SessionTimeout = 600000;
  bool Secure = true;
  uint8_t DefAuth = 0;
  bool Recover = false;
  std::string AGWHost, AGWAddress;
  int32_t AGWPort = 0;
  std::string AGWLogin, AGWPassword;
  // How long the engine link stays down before it is opened again.
  uint32_t AGWReopenMs = 60000;
  // From the accept, how long a caller may take to log in; input does not
  // extend it, so idle callers cannot hold every slot.
  uint32_t LoginDeadlineMs = 60000;

  // Notifications for the owner.
  std::function<void(TTelnetD&)> OnLinkUp, OnLinkDown;
  std::function<void(TTelnetD&, const std::string& call, uint8_t auth)> OnFirstData;

  void SetActive(bool on);
  // Failed logins per address.
  LoginGuard Guard;
  // Logins past the password, and failed ones, since start.
  uint64_t LoginsOk = 0, LoginsFailed = 0;
  // Shutdown, first step: every user is told, every session's AX.25 link is
  // ended after its drain and its callsign unregistered, and no caller is
  // taken any more.  The connections stay open until the server is released.
  void Quiesce();
  // Nothing more waits to go to the engine.
  bool Quiet() const;
  TL2& Link() { return *L2; }
  TLLFSM& Sessions() { return Circuits; }
  int32_t BoundPort() const;

  // How long an ESC that ended a read waits for the byte that says whether
  // it starts a terminal sequence; nothing by then, and it is the escape.
  static constexpr uint32_t kEscapeWaitMs = 500;
  // Longest line a user may type before the connection is closed.
  static constexpr size_t kMaxLine = 4096;
  // Most input held for a session while its AX.25 connection is set up.
  static constexpr size_t kMaxHeld = 65536;
  // Marks (in Circuit::Extra) a session whose callsign registration was asked.
  static constexpr const char* kRegistrationAsked = "REG";
  // The outcome of a login check; Unavailable: the users file exists but
  // could not be read, which is not the user's failure.
  enum class Verdict { Admitted, Refused, Unavailable };

 private:
  // Listener events.
  void TNListen();
  void TNAccept(net::Connection& conn);
  bool Admit(net::Connection& conn);
  bool MakePromptRoom(const std::string& address);
  void StartSession(Circuit* c, const std::string& address);
  void TNClientRead(net::Connection& conn);
  void TNClientDisconnect(net::Connection& conn);
  void TNClientError(net::Connection& conn, int& code);
  void OnTimer(Timer& timer);
  // Session work.
  void SendFile(net::Connection& conn, const std::string& name, const std::string& builtin);
  // What handling one line left to do with the rest of the input.
  enum class After { Next, DropRest, Gone };
  void ParseTNRequest(Circuit* c, std::string_view text);
  bool TakeLines(Circuit* c);
  void AwaitEscape(Circuit* c);
  void OnEscapeWait(int32_t id);
  After HandleLine(Circuit* c, const std::string& line);
  After TakePassword(Circuit* c, const std::string& line);
  After HoldLine(Circuit* c, const std::string& line);
  After LoginFailed(Circuit* c, const std::string& why);
  After Refuse(Circuit* c, const std::string& file, const std::string& builtin);
  // why: the reason of a refusal, for the failed-login line.
  Verdict Security(Circuit* c, std::string& why);
  std::optional<Verdict> ReadUsers(std::vector<std::string>& lines, std::string& why);
  // At the login or password prompt: what the session reads may hold a password.
  bool InLoginDialogue(const Circuit* c) const;
  void EndAX25Side(Circuit* c);
  void BecomeUser(Circuit* c);
  void ForgetSession(Circuit* c);
  // Engine link.
  void ConfigureLink();
  void OnAX25Register(const std::string& call, std::string_view data);
  Circuit* SessionOfLink(uint8_t port, const std::string& from, const std::string& to);
  void OnAX25Connect(uint8_t port, const std::string& from, const std::string& to);
  void OnAX25Data(uint8_t port, const std::string& from, const std::string& to,
                  std::string_view data);
  void OnAX25Disconnect(uint8_t port, const std::string& from, const std::string& to,
                        const std::string& text);
  void OnAX25AGWUp();
  void OnAX25AGWDown();
  void OnAX25AGWError();
  void OnAX25Backlog(bool hold);
  void OnAX25Flow(const std::string& own, const std::string& remote, bool held);
  void EndSessionsOnLinkLoss();
  void ArmAGWTimer();
  void OnAGWTimer();
  void W(uint8_t level, std::string_view text);
  void D(uint8_t level, std::string_view data);
  // Whether a line of that level would be written: per-line trace text is
  // only put together when it is.
  bool Tracing(uint8_t level) const;

  // Per session, beside its circuit: the Telnet filter's state and the
  // lines held for the node until its AX.25 link is up.
  struct SessionInput {
    Circuit* Session = nullptr;
    TelnetInput Filter;
    std::string Held;
    std::string Address;    // the caller's, for the login back-off
    bool AtPrompt = true;   // holds a prompt slot; false once logged in
    std::unique_ptr<Timer> EscapeWait;  // made when first needed
  };
  std::unordered_map<int32_t, SessionInput> inputs_;  // by circuit Id
  AddressSlots Prompts;  // sessions at the login prompts, by circuit Id

  bool Stopping = false;
  TLog* Log;
  std::unique_ptr<net::TServerSocket> Server;
  TLLFSM Circuits;
  std::unique_ptr<TL2> L2;
  std::unique_ptr<Timer> AGWTimer;
  std::unique_ptr<CachedIniFile> Users;
  bool EngineBacklog = false;  // sessions' input is held while set
};

}  // namespace harvox
