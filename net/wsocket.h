// The engine socket: an event-driven TCP client with its own host-name
// lookup, as the engine transport uses it.  It never fails towards its
// caller: a call the system refuses at once raises OnError with LastError
// set.  One read per data event: the handler reads, and unread bytes lead
// to another data event later.
//
// Event order per connection: OnDnsLookupDone (after LookupHost),
// OnSessionConnected, OnDataAvailable..., OnSessionClosed (once).  When the
// peer closes, one more OnDataAvailable comes before OnSessionClosed unless
// the last one already saw the end.
//
// Re-entrancy: Close raises OnSessionClosed(0) inside the call.  Every
// handler may call any operation of this socket or release it; nothing of
// the socket is touched after a handler released it.  Releasing closes
// without OnSessionClosed and drops a pending lookup silently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace harvox::net {

namespace detail {
class Stream;
class Lookup;
}  // namespace detail

class TWSocket {
 public:
  std::string Addr, Port, Proto = "tcp", DnsResult;
  int LastError = 0;
  std::function<void(TWSocket&, uint16_t code)> OnSessionConnected, OnSessionClosed,
      OnDataAvailable, OnDnsLookupDone;
  // A write to the connection finished: PendingOutput has shrunk.
  std::function<void(TWSocket&, uint16_t code)> OnDataSent;
  std::function<void(TWSocket&)> OnError;

  TWSocket();
  ~TWSocket();
  TWSocket(const TWSocket&) = delete;
  TWSocket& operator=(const TWSocket&) = delete;

  // An IPv4 or IPv6 address answers with OnDnsLookupDone(0) before
  // returning; a name is resolved in the background (its first IPv4
  // address, else its first IPv6 one).  A new lookup replaces a pending one
  // silently.
  void LookupHost(const std::string& name);
  // A pending lookup ends with OnDnsLookupDone(10004), inside the call.
  void CancelLookup();
  // Starts connecting to Addr:Port, Addr an IPv4 or IPv6 address
  // (keep-alive and address reuse on); OnSessionConnected follows.  Refused
  // at once: OnError only.
  void Connect();
  // Graceful: queued output still goes out.  OnSessionClosed(0) inside.
  void Close();
  // CancelLookup, drop queued output, close at once; OnSessionClosed(0).
  void Abort();
  void Send(const char* data, size_t n);
  int Receive(char* buf, size_t size);

  enum class State { Closed, LookingUp, Connecting, Connected };
  State GetState() const;
  size_t PendingOutput() const;

 private:
  void EndSession(bool graceful, int code);
  void StreamConnected(detail::Stream& s, int code);
  void StreamReadable(detail::Stream& s);
  void StreamEnded(detail::Stream& s, int code, bool last_read);
  void RaiseError(int code);

  std::shared_ptr<detail::Stream> stream_;
  std::shared_ptr<detail::Lookup> lookup_;
  // Expires with this object: code that raised an event checks it.
  std::shared_ptr<char> life_;
};

}  // namespace harvox::net
