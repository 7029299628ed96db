// Plain POSIX sockets on 127.0.0.1 that play the far end in socket-layer
// tests.  They never block the message loop for long: reads are
// non-blocking and polled from RunUntil predicates.
//
// Re-entrancy: test-thread only; no events of their own.
#pragma once

#include "util/event_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace harvox::net::test {

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline int LocalPortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// One end of a TCP connection.
class RawPeer {
 public:
  explicit RawPeer(int fd) : fd_(fd) {}
  // Loopback connects complete in the kernel, whether or not the listener
  // has accepted yet.
  static RawPeer ConnectTo(int port, int rcvbuf = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    const sockaddr_in a = Loopback(port);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return RawPeer(fd);
  }
  RawPeer(RawPeer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ~RawPeer() { Close(); }

  int LocalPort() const { return LocalPortOf(fd_); }
  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  void ShutdownSend() { ::shutdown(fd_, SHUT_WR); }
  // Closes with a reset instead of an orderly close.
  void Reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Reads whatever is waiting into `received`; notes the end of input.
  void Pump() {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        received.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) eof = true;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) reset = true;
      return;
    }
  }

  std::string received;
  bool eof = false;
  bool reset = false;

 private:
  int fd_;
};

// A listening socket on an ephemeral loopback port.
class RawListener {
 public:
  RawListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const sockaddr_in a = Loopback(0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::listen(fd_, 5);
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~RawListener() { ::close(fd_); }
  int Port() const { return LocalPortOf(fd_); }
  // Polls the loop until a connection is there.
  RawPeer Accept() {
    int fd = -1;
    RunUntil([&] { return (fd = ::accept(fd_, nullptr, nullptr)) >= 0; });
    return RawPeer(fd);
  }

 private:
  int fd_;
};

// A loopback port with nothing listening on it.
inline int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = Loopback(0);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  const int port = LocalPortOf(fd);
  ::close(fd);
  return port;
}

inline std::string Pattern(size_t size, unsigned seed = 0) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

// Runs the loop until the peer has `size` bytes (or its input ended).
inline bool PeerGets(RawPeer& peer, size_t size,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) {
  return RunUntil([&] {
    peer.Pump();
    return peer.received.size() >= size || peer.eof || peer.reset;
  }, timeout) && peer.received.size() >= size;
}

}  // namespace harvox::net::test
