// The connection object of an accepted connection (TServerSocket) or of an
// outbound one (TClientSocket).  Users identify their session by its
// address; it is handed to every event by reference.  It carries bytes
// only: no line handling.
//
// Re-entrancy: Close raises the owner's disconnect event inside the call,
// once; a second Close does nothing.  Every event handler may close this
// connection or release its owner; the connection then touches nothing of
// itself after the handler returns.  An accepted connection is released by
// the server socket later, from the loop, after its disconnect event.
#pragma once

#include "net/winsock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace harvox::net {

namespace detail {
class Stream;
struct ServerState;
}  // namespace detail

class TClientSocket;

class Connection {
 public:
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Never blocks, never drops: what the peer cannot take yet is queued and
  // goes out in order.  Nothing is sent once the connection has ended.
  void SendText(std::string_view bytes);
  // The same for one text queued on many connections: each holds a
  // reference to the buffer, none copies it.
  void SendShared(std::shared_ptr<const std::string> bytes);
  // One read of at most size waiting bytes: their number, 0 or less when
  // nothing could be read.
  int ReceiveInto(char* buf, size_t size);
  // "127.0.0.1", "::1"; an IPv4-mapped peer as its IPv4 text.
  std::string PeerAddress() const { return peer_address_; }
  int PeerPort() const { return peer_port_; }
  // Raises the disconnect event, then closes; queued output still goes out.
  void Close();
  // Close for a caller who is turned away: what is queued gets at most a
  // second to go out, so refusals never pile up descriptors.
  void CloseQuickly();
  // While paused the connection raises no data event (its input waits in
  // the kernel, and the peer is slowed down by TCP itself).
  void PauseReading(bool paused);
  size_t PendingOutput() const;
  // Off: no read events until switched on again (flow control); the peer's
  // data waits, nothing is lost.  The setting holds from before Open on: a
  // connection that starts held is not read until switched on.
  void SetReading(bool on);
  // Connecting or connected, and not yet closed.
  bool Open() const;
  // Bytes read by the owner, and bytes queued to go out, over the
  // connection's life (the status page's traffic figures).
  uint64_t BytesIn() const { return bytes_in_; }
  uint64_t BytesOut() const { return bytes_out_; }

 private:
  friend class TClientSocket;
  friend struct detail::ServerState;

  // How a connection reports to its owner.  Each hook is the last thing
  // the connection does before checking whether it still exists.
  struct Hooks {
    std::function<void(Connection&)> connected;
    std::function<bool(Connection&)> read;        // false: nobody reads, drop the bytes
    std::function<void(Connection&)> disconnect;  // inside Close, before the socket closes
    std::function<void(Connection&, ErrorKind, int&)> error;
    std::function<void(Connection&)> closed;      // after the socket closed
    std::function<void(Connection&)> overflow;    // queued output beyond the limit
  };

  Connection() = default;
  void Attach(std::shared_ptr<detail::Stream> stream, Hooks hooks, size_t max_pending);
  void CloseWith(bool graceful, std::chrono::milliseconds linger);
  void StreamConnected(detail::Stream& s, int code);
  void StreamReadable(detail::Stream& s);
  void StreamEnded(detail::Stream& s, ErrorKind kind, int code);
  void CheckOverflow();
  void AfterSend();

  std::shared_ptr<detail::Stream> stream_;
  Hooks hooks_;
  // Expires with this object: tells code that raised an event whether the
  // handler released the connection.
  std::shared_ptr<char> life_ = std::make_shared<char>('\0');
  bool closing_ = false;
  bool overflow_ = false;
  bool overflow_check_queued_ = false;
  size_t max_pending_ = 0;  // 0: no limit
  bool reading_ = true;     // SetReading, kept for the next stream too
  std::string peer_address_;
  int peer_port_ = 0;
  uint64_t bytes_in_ = 0, bytes_out_ = 0;
};

}  // namespace harvox::net
