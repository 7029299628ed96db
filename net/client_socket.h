// Outbound TCP connection with connection-object events, as the gateway
// uses it for its Telnet hosts.  It never resolves names: the caller gives
// a dotted address (in Address, or in Host when Address is empty).
//
// Re-entrancy: Close raises OnDisconnect inside the call, before it
// returns; a second Close does nothing.  Every handler may close or release
// this socket.  Releasing it closes the connection without any event.
#pragma once

#include "net/connection.h"
#include "net/winsock.h"

#include <functional>
#include <string>

namespace harvox::net {

class TClientSocket {
 public:
  std::string Address, Host;
  int Port = 0;
  // Output queued for a peer that does not read: past this many bytes the
  // queue is dropped and the connection closed (OnOverflow, then the usual
  // OnDisconnect).  0: no limit.  Taken at Open.
  size_t MaxPendingOutput = 0;

  TClientSocket() = default;
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  // Connecting or connected.
  bool Active() const { return conn_.Open(); }
  // Starts connecting; an attempt the system refuses at once throws
  // std::system_error (Windows Sockets code) and raises nothing.  Does
  // nothing while already active.
  void Open();
  // OnDisconnect inside, also while still connecting.
  void Close() { conn_.Close(); }
  Connection& Socket() { return conn_; }

  std::function<void(TClientSocket&, Connection&)> OnConnect, OnDisconnect, OnRead, OnOverflow;
  // code 0 on return = handled: nothing else is raised for that failure.
  std::function<void(TClientSocket&, Connection&, ErrorKind, int& code)> OnError;

 private:
  Connection::Hooks MakeHooks();

  Connection conn_;
};

}  // namespace harvox::net
