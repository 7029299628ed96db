// Listening TCP socket with per-connection events, as the Telnet server and
// the monitor server use it.  It listens on one port at one or more local
// addresses (IPv4 and IPv6), one system socket each, and raises the same
// events for connections from all of them.  It owns the connection objects
// it accepts and releases each one from the loop after its disconnect
// event.  A peer that stops reading while output piles up beyond
// MaxPendingOutput is closed.
//
// Re-entrancy: every handler may close any connection, close the listener
// or release the whole server socket; completions pin the shared state and
// find it detached afterwards.  Close on a connection raises
// OnClientDisconnect inside the call, once.
#pragma once

#include "net/connection.h"
#include "net/winsock.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace harvox {
class TLog;
}

namespace harvox::net {

namespace detail {
struct ServerState;
}

class TServerSocket {
 public:
  int Port = 0;
  // Local addresses to listen on, IPv4 or IPv6 text ("0.0.0.0", "::1").
  std::vector<std::string> Addresses{"0.0.0.0"};
  size_t MaxPendingOutput = 1 << 20;  // 0: no limit
  TLog* Log = nullptr;                // for the level-1 lines of this layer
  // Sent to a caller turned away because the process is out of
  // descriptors (one is kept spare for that, and for the log line).
  std::string RefusalText;

  TServerSocket();
  ~TServerSocket();
  TServerSocket(const TServerSocket&) = delete;
  TServerSocket& operator=(const TServerSocket&) = delete;

  bool Active() const;
  // Binds every address at Port (address reuse on; an IPv6 socket takes
  // IPv6 callers only, so "0.0.0.0" and "::" live side by side), listens
  // with the system's largest backlog (a burst of callers is never left
  // hanging unseen), logs each address at level 1 and raises OnListen.
  // With Port 0 every address gets the same ephemeral port.  A refusal at
  // any address (port in use, no such address, ...) closes what was opened
  // and throws std::system_error carrying the Windows Sockets code and the
  // address, before any event.  Does nothing while already listening.
  void Open();
  // Stops listening; accepted connections stay.
  void Close();
  // The port actually listened on (useful with Port 0), 0 when not listening.
  int LocalPort() const;
  // Accepted connections not yet closed.
  size_t ConnectionCount() const;

  std::function<void(TServerSocket&)> OnListen;
  std::function<void(TServerSocket&, Connection&)> OnAccept, OnClientRead, OnClientDisconnect;
  // code 0 on return = handled: nothing else is raised for that failure and
  // the connection stays until closed; otherwise the connection is closed.
  std::function<void(TServerSocket&, Connection&, ErrorKind, int& code)> OnClientError;

 private:
  std::shared_ptr<detail::ServerState> state_;
};

}  // namespace harvox::net
