#include "support/tcp_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace harvox::test {

namespace {

// The IPv4 or IPv6 socket address of text and port in out; its length, 0
// when the text is no address.
socklen_t SocketAddress(const char* text, int port, sockaddr_in6& out) {
  out = sockaddr_in6{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  if (inet_pton(AF_INET6, text, &out.sin6_addr) == 1) {
    out.sin6_family = AF_INET6;
    out.sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof out;
  }
  if (inet_pton(AF_INET, text, &v4->sin_addr) != 1) return 0;
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(port));
  return sizeof *v4;
}

}  // namespace

TcpPeer::TcpPeer(int port, const char* from, const char* to) {
  sockaddr_in6 source, addr;
  const socklen_t length = SocketAddress(to, port, addr);
  fd_ = length ? socket(addr.sin6_family, SOCK_STREAM, 0) : -1;
  if (fd_ < 0) return;
  if (from) {
    const socklen_t source_length = SocketAddress(from, 0, source);
    if (!source_length || bind(fd_, reinterpret_cast<sockaddr*>(&source), source_length) != 0) {
      Close();
      return;
    }
  }
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

TcpPeer::~TcpPeer() { Close(); }

void TcpPeer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void TcpPeer::Reset() {
  if (fd_ < 0) return;
  const linger abort{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  Close();
}

void TcpPeer::Send(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
  }
}

size_t TcpPeer::SendSome(std::string_view bytes) {
  if (fd_ < 0 || bytes.empty()) return 0;
  const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

void TcpPeer::Pump() {
  if (fd_ < 0 || eof_ || stalled_) return;
  char buf[65536];
  while (true) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      received_.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) eof_ = true;
    return;
  }
}

const std::string& TcpPeer::Received() {
  Pump();
  return received_;
}

bool TcpPeer::Closed() {
  Pump();
  return eof_;
}

}  // namespace harvox::test
