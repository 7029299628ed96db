// A small blocking HTTP/1.0 client with a time limit on each step.
#include "shell/status_command.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "net/ip_text.h"
#include "shell/config.h"
#include "status/render.h"
#include "util/files.h"
#include "util/ini.h"

namespace harvox {
namespace {

constexpr int kStepMs = 5000;
constexpr size_t kMaxAnswer = 16 << 20;

bool Ready(int fd, short events) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, kStepMs) == 1;
}

// The whole answer to GET path, or none with *why set.
std::optional<std::string> Fetch(const std::string& address, int port, const std::string& path,
                                 std::string* why) {
  std::error_code ec;
  const asio::ip::tcp::endpoint at(asio::ip::make_address(address, ec), static_cast<uint16_t>(port));
  if (ec) return *why = address + " is no IP address", std::nullopt;
  const int fd = ::socket(at.protocol().family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return *why = std::strerror(errno), std::nullopt;
  const auto fail = [&](const std::string& text) {
    ::close(fd);
    *why = text;
    return std::nullopt;
  };
  if (::connect(fd, at.data(), static_cast<socklen_t>(at.size())) != 0 && errno != EINPROGRESS) {
    return fail(std::strerror(errno));
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (!Ready(fd, POLLOUT)) return fail("no connection within 5 s");
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) return fail(std::strerror(err));
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + net::EndpointText(address, port) +
                              "\r\nConnection: close\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    return fail("the request could not be sent");
  }
  std::string answer;
  char buf[16384];
  for (;;) {
    if (!Ready(fd, POLLIN)) return fail("no answer within 5 s");
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return fail(std::strerror(errno));
    if (n == 0) break;
    answer.append(buf, static_cast<size_t>(n));
    if (answer.size() > kMaxAnswer) return fail("the answer is too long");
  }
  ::close(fd);
  return answer;
}

// The body of a 200 answer, or none with *why set.
std::optional<std::string> Body(const std::string& answer, std::string* why) {
  const size_t end = answer.find("\r\n\r\n");
  const size_t eol = answer.find("\r\n");
  if (end == std::string::npos) return *why = "the answer is no HTTP", std::nullopt;
  const std::string status_line = answer.substr(0, eol);
  if (status_line.find(" 200") == std::string::npos)
    return *why = "the answer is " + status_line, std::nullopt;
  return answer.substr(end + 4);
}

}  // namespace

std::string ReachableAddress(const std::string& bind) {
  if (bind == "0.0.0.0") return "127.0.0.1";
  if (bind == "::") return "::1";
  return bind;
}

int StatusCommand(const std::string& dir) {
  const std::string ini_path = FindFile(dir + "HARVOX.INI");
  const auto ini = IniFile::TryLoad(ini_path);
  if (!ini) {
    std::fprintf(stderr, "harvox: HARVOX.INI not found or not readable in %s\n", dir.c_str());
    return 1;
  }
  const Settings s = ReadSettings(*ini);
  if (s.StatusPort <= 0 || s.StatusPort > 65535 || s.StatusBind.empty()) {
    std::fprintf(stderr, "harvox: the status page is not configured ([STATUS] PORT in %s)\n",
                 ini_path.c_str());
    return 1;
  }
  const std::string address = ReachableAddress(s.StatusBind);
  const std::string where = "http://" + net::EndpointText(address, s.StatusPort) + "/status.json";
  std::string why;
  const auto answer = Fetch(address, s.StatusPort, "/status.json", &why);
  const auto body = answer ? Body(*answer, &why) : std::nullopt;
  const auto lines = body ? status::TableFromJson(*body, &why) : std::vector<std::string>{};
  if (lines.empty()) {
    std::fprintf(stderr, "harvox: the status page %s is not reachable: %s (is Harvox running?)\n",
                 where.c_str(), why.c_str());
    return 1;
  }
  for (const auto& line : lines) std::printf("%s\n", line.c_str());
  return 0;
}

}  // namespace harvox
