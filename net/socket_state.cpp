// Questions to the kernel about one connected socket.
#include "net/socket_state.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/winsock.h"

namespace harvox::net::detail {

// The kernel raises POLLIN only for waiting bytes or an ended input, and
// an ended input always comes with POLLRDHUP: POLLIN alone means data.
InputLook LookAtInput(int fd) {
  pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  if (::poll(&p, 1, 0) < 0) return InputLook::Unknown;
  if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) return InputLook::HungUp;
  return (p.revents & POLLIN) != 0 ? InputLook::Data : InputLook::Quiet;
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
