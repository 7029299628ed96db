// A non-blocking TCP client for tests that drive the product on the main
// loop: it never blocks the loop; reads happen when a predicate asks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace harvox::test {

class TcpPeer {
 public:
  // From 127.0.0.1, or from the loopback address `from` (127.0.0.2, ...).
  explicit TcpPeer(int port, const char* from = nullptr);
  ~TcpPeer();
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  bool Connected() const { return fd_ >= 0; }
  void Send(const std::string& bytes);
  // Sends what the connection takes now, without waiting: the bytes taken.
  size_t SendSome(std::string_view bytes);
  // Everything received so far (reads what is waiting first).
  const std::string& Received();
  bool Has(const std::string& text) { return Received().find(text) != std::string::npos; }
  // The peer closed the connection (after everything it sent was read).
  bool Closed();
  void Clear() { received_.clear(); }
  void Close();
  // Abortive close: the product sees a connection reset.
  void Reset();
  // Stop reading (the product's output then backs up).
  void Stall() { stalled_ = true; }

 private:
  void Pump();
  int fd_ = -1;
  std::string received_;
  bool eof_ = false;
  bool stalled_ = false;
};

}  // namespace harvox::test
