// TTCPClient: the thin TCP layer under one engine link.  Opens its socket
// straight to an IPv4 address or after a name lookup, reports the
// connection's life through four events, sends bytes and reads on request.
// It knows nothing of frames.
//
// Flow: the engine connection is shared by every user of a service, so its
// unsent output is watched here.  Above HoldMark OnBacklog(1) asks the
// owner to stop feeding it; below ResumeMark OnBacklog(0) lets it go on.
// Feeding stops so early that a control frame ('X', 'C', 'd', ...) never
// waits behind more than about HoldMark of user data.  Output beyond
// MaxPending means the engine itself has stopped reading: the connection
// is dropped (OnDisconnected), from the loop, never inside SendText.
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
  Event OnBacklog;  // code 1: hold back new data; 0: go on
  size_t HoldMark = 64 * 1024;
  size_t ResumeMark = 16 * 1024;
  size_t MaxPending = 4 * 1024 * 1024;
  bool Backlogged() const { return backlogged_; }

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
  void CheckBacklog();
  void CheckStall();
  void ClearBacklog();

  std::unique_ptr<net::TWSocket> socket_;
  bool backlogged_ = false;
  bool stall_check_queued_ = false;
  // Expires with this object: a deferred check finds it gone.
  std::shared_ptr<char> life_ = std::make_shared<char>('\0');
};

}  // namespace harvox
