// HTTP on the loop through libmicrohttpd's external mode (see http_server.h).
// After each MHD_run the epoll descriptor is polled once without waiting:
// the loop's own epoll reports it by edges only, so work that is already
// waiting is run again at once instead of waiting for an edge.
#include "status/http_server.h"

#include <stdexcept>

#include "util/log.h"

#ifdef HARVOX_STATUS_PAGE

#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "net/ip_text.h"
#include "status/render.h"
#include "util/event_loop.h"

namespace harvox::status {

struct HttpServer::Impl {
  HttpServer& owner;
  TLog* log;
  SnapshotFn take;
  MHD_Daemon* daemon = nullptr;
  int port = 0;
  uint64_t served = 0;
  asio::posix::stream_descriptor events{Loop()};
  asio::steady_timer timer{Loop()};
  bool waiting = false;
  // Accepted connections: their descriptor and when they must be gone.
  struct Open {
    int fd;
    std::chrono::steady_clock::time_point deadline;
  };
  std::unordered_map<MHD_Connection*, Open> open;
  std::shared_ptr<char> life = std::make_shared<char>('\0');

  Impl(HttpServer& o, TLog* l, SnapshotFn t) : owner(o), log(l), take(std::move(t)) {}
  ~Impl() {
    timer.cancel();
    if (events.is_open()) {
      events.cancel();
      events.release();  // the descriptor is the library's
    }
    if (daemon) MHD_stop_daemon(daemon);
  }

  int Listen(const std::string& address, int wanted);
  void Run();
  void Schedule();
  void EndOverdue();
  MHD_Result Answer(MHD_Connection* c, const char* url, const char* method);
  void W(uint8_t level, const std::string& text) {
    if (log) log->Write(level, "{Status} " + text);
  }
};

namespace {

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char*, size_t* upload_size, void**) {
  *upload_size = 0;  // a body is never read
  return static_cast<HttpServer::Impl*>(cls)->Answer(c, url, method);
}

void OnConnection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  auto* impl = static_cast<HttpServer::Impl*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    impl->open.erase(c);
    return;
  }
  const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (!info) return;
  impl->open[c] = {info->connect_fd,
                   std::chrono::steady_clock::now() + std::chrono::milliseconds(impl->owner.DeadlineMs)};
}

void OnLibraryError(void* cls, const char* format, va_list args) {
  char text[256];
  std::vsnprintf(text, sizeof text, format, args);
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  static_cast<HttpServer::Impl*>(cls)->W(2, line);
}

MHD_Result Reply(MHD_Connection* c, unsigned status, const std::string& body, const char* type) {
  MHD_Response* r =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!r) return MHD_NO;
  MHD_add_response_header(r, "Content-Type", type);
  MHD_add_response_header(r, "Cache-Control", "no-store");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(r, "Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, "Allow", "GET, HEAD");
  const MHD_Result ok = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ok;
}

[[noreturn]] void Fail(const std::string& address, int port, const char* call, int err) {
  throw std::runtime_error("status page: " + std::string(call) + " " + net::EndpointText(address, port) +
                           ": " + std::strerror(err));
}

}  // namespace

MHD_Result HttpServer::Impl::Answer(MHD_Connection* c, const char* url, const char* method) {
  ++served;
  const std::string m = method ? method : "";
  if (m != "GET" && m != "HEAD")
    return Reply(c, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n", "text/plain");
  const std::string path = url ? url : "";
  if (path == "/") return Reply(c, MHD_HTTP_OK, ToHtml(take(), owner.RefreshS), "text/html; charset=utf-8");
  if (path == "/status.json") return Reply(c, MHD_HTTP_OK, ToJson(take()), "application/json");
  if (path == "/metrics") {
    return Reply(c, MHD_HTTP_OK, ToMetrics(take()), "text/plain; version=0.0.4; charset=utf-8");
  }
  return Reply(c, MHD_HTTP_NOT_FOUND, "Not found\n", "text/plain");
}

// A listening socket of our own, so that a failure names its cause.
int HttpServer::Impl::Listen(const std::string& address, int wanted) {
  std::error_code ec;
  const auto ip = asio::ip::make_address(address, ec);
  if (ec) throw std::runtime_error("status page: " + address + " is no IP address");
  const asio::ip::tcp::endpoint at(ip, static_cast<uint16_t>(wanted));
  const int fd = ::socket(ip.is_v4() ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(address, wanted, "socket", errno);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (ip.is_v6()) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(fd, at.data(), static_cast<socklen_t>(at.size())) != 0 || ::listen(fd, 64) != 0) {
    const int err = errno;
    ::close(fd);
    Fail(address, wanted, "bind", err);
  }
  asio::ip::tcp::endpoint bound;
  socklen_t len = static_cast<socklen_t>(bound.capacity());
  ::getsockname(fd, bound.data(), &len);
  port = bound.port();
  return fd;
}

void HttpServer::Impl::Run() {
  MHD_run(daemon);
  EndOverdue();
  Schedule();
}

// A connection past its deadline is shut down under the library, which
// then sees it end and closes it on its next run.
void HttpServer::Impl::EndOverdue() {
  const auto now = std::chrono::steady_clock::now();
  for (auto& [c, o] : open) {
    if (o.fd >= 0 && now >= o.deadline) {
      W(2, "Request deadline passed, connection closed");
      ::shutdown(o.fd, SHUT_RDWR);
      o.fd = -1;
    }
  }
}

void HttpServer::Impl::Schedule() {
  std::weak_ptr<char> alive = life;
  pollfd p{events.native_handle(), POLLIN, 0};
  if (::poll(&p, 1, 0) > 0) {
    asio::post(Loop(), [this, alive] {
      if (!alive.expired()) Run();
    });
    return;
  }
  if (!waiting) {
    waiting = true;
    events.async_wait(asio::posix::descriptor_base::wait_read, [this, alive](const std::error_code& ec) {
      if (alive.expired()) return;
      waiting = false;
      if (!ec) Run();
    });
  }
  auto due = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(daemon, &ms) == MHD_YES) {
    due = std::min(due, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
  }
  for (const auto& [c, o] : open) {
    if (o.fd >= 0) due = std::min(due, o.deadline);
  }
  timer.expires_at(due);
  timer.async_wait([this, alive](const std::error_code& ec) {
    if (!ec && !alive.expired()) Run();
  });
}

HttpServer::HttpServer(TLog* log, SnapshotFn take)
    : impl_(std::make_unique<Impl>(*this, log, std::move(take))) {}
HttpServer::~HttpServer() = default;

void HttpServer::Start(const std::string& address, int port) {
  Impl& s = *impl_;
  const int fd = s.Listen(address, port);
  const unsigned flags =
      MHD_USE_EPOLL | MHD_USE_ERROR_LOG | (address.find(':') != std::string::npos ? MHD_USE_IPv6 : 0);
  s.daemon =
      MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, &s, MHD_OPTION_LISTEN_SOCKET, fd,
                       MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(MaxConnections),
                       MHD_OPTION_CONNECTION_MEMORY_LIMIT, MaxRequest, MHD_OPTION_CONNECTION_TIMEOUT,
                       static_cast<unsigned>((DeadlineMs + 999) / 1000), MHD_OPTION_NOTIFY_CONNECTION,
                       &OnConnection, &s, MHD_OPTION_EXTERNAL_LOGGER, &OnLibraryError, &s, MHD_OPTION_END);
  if (!s.daemon) {
    ::close(fd);
    throw std::runtime_error("status page: the HTTP library did not start on " +
                             net::EndpointText(address, s.port));
  }
  const auto* info = MHD_get_daemon_info(s.daemon, MHD_DAEMON_INFO_EPOLL_FD);
  s.events.assign(info->epoll_fd);
  s.W(1, "Status page on http://" + net::EndpointText(address, s.port) + "/");
  s.Schedule();
}

int HttpServer::BoundPort() const { return impl_->port; }
uint64_t HttpServer::Served() const { return impl_->served; }

}  // namespace harvox::status

#else  // no libmicrohttpd

namespace harvox::status {

struct HttpServer::Impl {};

HttpServer::HttpServer(TLog*, SnapshotFn) {}
HttpServer::~HttpServer() = default;

void HttpServer::Start(const std::string& address, int port) {
  throw std::runtime_error("status page on " + address + ":" + std::to_string(port) +
                           ": not built in (libmicrohttpd was missing at build time)");
}

int HttpServer::BoundPort() const { return 0; }
uint64_t HttpServer::Served() const { return 0; }

}  // namespace harvox::status

#endif
