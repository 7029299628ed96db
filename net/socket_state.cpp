// Questions to the kernel about one connected socket.
#include "net/socket_state.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/winsock.h"

namespace harvox::net::detail {

// True when the peer has shut down its sending side (or the connection
// broke) even though bytes may still be waiting.
bool PeerHungUp(int fd) {
  pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The pending error of a socket, as a Windows Sockets number (0: none).
int SocketErrorOf(int fd) { return WinsockFromErrno(PendingErrno(fd)); }

int PendingErrno(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err;
}

bool KernelClosed(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_CLOSE;
}

// Whole lines and whole frames are written at once; waiting for more bytes
// (Nagle) only delays them behind the peer's delayed acknowledgement.
void NoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace harvox::net::detail
