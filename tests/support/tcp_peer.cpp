#include "support/tcp_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace harvox::test {

TcpPeer::TcpPeer(int port, const char* from) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  if (from && (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
               bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
    Close();
    return;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
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
