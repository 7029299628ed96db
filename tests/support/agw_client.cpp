// Blocking AGW client on plain POSIX sockets with poll() timeouts; see
// agw_client.h.
#include "support/agw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace harvox::test {
namespace {

using Clock = std::chrono::steady_clock;
// Frames passed over and never asked for; the oldest go first.
constexpr size_t kMaxBacklog = 10000;

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool Resolve(const std::string& host, uint16_t port, sockaddr_in& addr) {
  addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace

bool AgwClient::Connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
  Close();
  sockaddr_in addr;
  if (!Resolve(host, port, addr)) return false;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
      rc = 0;
  }
  if (rc != 0) {
    close(fd);
    return false;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
  reader_ = AgwFrameReader();
  backlog_.clear();
  return true;
}

bool AgwClient::SendRaw(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (fd_ >= 0 && !bytes.empty()) {
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, MillisLeft(deadline)) > 0) continue;
    }
    return false;
  }
  return fd_ >= 0;
}

// Reads what is available (waiting until the deadline for the first byte).
// False when nothing came: timeout, or the connection ended.
bool AgwClient::Fill(Clock::time_point deadline) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int ready = poll(&p, 1, MillisLeft(deadline));
  if (ready <= 0) return false;
  char buf[4096];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  reader_.Feed(std::string_view(buf, static_cast<size_t>(n)));
  if (reader_.Bad()) Close();
  return true;
}

std::optional<AgwFrame> AgwClient::Read(std::chrono::milliseconds timeout) {
  return ReadUntil({}, timeout);
}

std::optional<AgwFrame> AgwClient::ReadUntil(const Pred& pred, std::chrono::milliseconds timeout) {
  for (auto it = backlog_.begin(); it != backlog_.end(); ++it) {
    if (pred && !pred(*it)) continue;
    AgwFrame f = std::move(*it);
    backlog_.erase(it);
    return f;
  }
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    while (auto f = reader_.Next()) {
      if (!pred || pred(*f)) return f;
      backlog_.push_back(std::move(*f));
      if (backlog_.size() > kMaxBacklog) backlog_.pop_front();
    }
    if (!Fill(deadline)) return std::nullopt;
  }
}

void AgwClient::Close() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_RDWR);
  close(fd_);
  fd_ = -1;
}

}  // namespace harvox::test
