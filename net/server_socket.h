// Listening TCP socket with per-connection events, as the Telnet server and
// the monitor server use it.  It owns the connection objects it accepts and
// releases each one from the loop after its disconnect event.  A peer that
// stops reading while output piles up beyond MaxPendingOutput is closed.
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
  // Binds 0.0.0.0:Port (address reuse on), listens with the system's
  // largest backlog (a burst of callers is never left hanging unseen) and
  // raises OnListen.  A refusal (port in use, ...) throws std::system_error
  // carrying the Windows Sockets code, before any event.  Does nothing while
  // already listening.
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
