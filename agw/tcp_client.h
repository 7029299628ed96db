// TTCPClient: the thin TCP layer under one engine link.  Opens its socket
// straight to an IPv4 address or after a name lookup, reports the
// connection's life through four events, sends bytes and reads on request.
// It knows nothing of frames.
//
// Re-entrancy: main thread only.  Events may re-enter Open/Close/SendText;
// the socket layer raises OnSessionClosed inside Close.  The owner may not
// destroy the transport inside one of its events (TL2 never does).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace harvox {

class TLog;
namespace net {
class TWSocket;
}

class TTCPClient {
 public:
  using Event = std::function<void(TTCPClient&, int code)>;

  explicit TTCPClient(TLog* log);
  ~TTCPClient();
  TTCPClient(const TTCPClient&) = delete;
  TTCPClient& operator=(const TTCPClient&) = delete;

  std::string Address;
  std::string HostName;
  int32_t Port = 0;
  bool Active = false;
  TLog* Log;

  Event OnConnected, OnDisconnected, OnDataAvailable, OnError;

  void SetActive(bool on);
  void Open();
  void Close();
  void SendText(std::string_view bytes);
  int Receive(char* buffer, size_t size);
  size_t PendingOutput() const;

 private:
  void Raise(const Event& e, int code);
  void DnsLookupDone(uint16_t code);
  void SessionConnected(uint16_t code);
  void SessionClosed(uint16_t code);
  void SocketError();
  void Write(uint8_t level, std::string_view text);

  std::unique_ptr<net::TWSocket> socket_;
};

}  // namespace harvox
