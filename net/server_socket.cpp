// TServerSocket: the acceptor, the table of accepted connections and the
// mapping of each connection's hooks onto the server's events.
//
// Re-entrancy: the state lives in a shared object that completions capture;
// the destructor detaches it (owner cleared, generation bumped) and drops
// the connections silently.  A connection's release is deferred to the
// loop and looks the state up through a weak reference.
#include "net/server_socket.h"

#include "net/stream.h"
#include "util/log.h"
#include "util/event_loop.h"

#include <asio/steady_timer.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <unordered_map>

namespace harvox::net {

namespace detail {

using asio::ip::tcp;

struct ServerState : std::enable_shared_from_this<ServerState> {
  explicit ServerState(TServerSocket* o) : owner(o), acceptor(Loop()), retry(Loop()) {}
  ~ServerState() { ReleaseSpare(); }

  void TakeSpare() {
    if (spare < 0) spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  void ReleaseSpare() {
    if (spare >= 0) ::close(spare);
    spare = -1;
  }
  void AtLimit();
  bool RefuseAtLimit();

  void StartAccept();
  void Accepted(uint64_t g, const std::error_code& ec, tcp::socket socket);
  void Adopt(tcp::socket socket);
  Connection::Hooks MakeHooks();
  void WriteLog(const std::string& text) const {
    if (owner && owner->Log) owner->Log->Write(1, text);
  }

  TServerSocket* owner;  // null once the server socket is released
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  uint64_t gen = 0;
  bool active = false;
  int spare = -1;  // a descriptor held back for RefuseAtLimit
  std::unordered_map<Connection*, std::unique_ptr<Connection>> conns;
};

void ServerState::StartAccept() {
  acceptor.async_accept([self = shared_from_this(), g = gen](const std::error_code& ec,
                                                             tcp::socket socket) {
    self->Accepted(g, ec, std::move(socket));
  });
}

void ServerState::Accepted(uint64_t g, const std::error_code& ec, tcp::socket socket) {
  if (g != gen || !owner || !active) return;
  if (ec == asio::error::no_descriptors) {
    AtLimit();
    return;
  }
  if (ec) {
    // Out of descriptors or the like: try again shortly rather than spin.
    WriteLog("{TCPIP} Accept failed, error #" + std::to_string(ToWinsock(ec)));
    retry.expires_after(std::chrono::milliseconds(100));
    retry.async_wait([self = shared_from_this(), g](const std::error_code&) {
      if (g == self->gen && self->owner && self->active) self->StartAccept();
    });
    return;
  }
  StartAccept();  // before the handler runs: it may close the listener
  Adopt(std::move(socket));
}

// Out of descriptors (accept fails so even with nobody waiting).  A caller
// waiting in the backlog would hang there unanswered: the spare descriptor
// pays for the log line and for accepting him, and he is told and closed at
// once.  Then accepting goes on when the next caller arrives.
void ServerState::AtLimit() {
  pollfd p{acceptor.native_handle(), POLLIN, 0};
  const bool waiting = ::poll(&p, 1, 0) > 0;
  if (waiting && !RefuseAtLimit()) {
    retry.expires_after(std::chrono::milliseconds(100));  // no spare: do not spin
    retry.async_wait([self = shared_from_this(), g = gen](const std::error_code&) {
      if (g == self->gen && self->owner && self->active) self->StartAccept();
    });
    return;
  }
  acceptor.async_wait(tcp::acceptor::wait_read,
                      [self = shared_from_this(), g = gen](const std::error_code& ec) {
                        if (!ec && g == self->gen && self->owner && self->active) self->StartAccept();
                      });
}

bool ServerState::RefuseAtLimit() {
  if (spare < 0) return false;
  ReleaseSpare();
  WriteLog("{TCPIP} Out of descriptors, refusing a caller");
  const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    const std::string& text = owner->RefusalText;
    if (!text.empty()) (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
  }
  TakeSpare();
  return fd >= 0;
}

void ServerState::Adopt(tcp::socket socket) {
  auto stream = Stream::Create();
  if (!stream->Adopt(std::move(socket))) return;  // the peer left before we saw it
  std::unique_ptr<Connection> owned(new Connection());
  Connection& c = *owned;
  conns.emplace(&c, std::move(owned));
  c.Attach(stream, MakeHooks(), owner->MaxPendingOutput);
  stream->Start();
  auto fn = owner->OnAccept;
  if (!fn) return;
  try {
    fn(*owner, c);
  } catch (...) {
    // A handler's failure must not unwind through the message loop.
  }
}

Connection::Hooks ServerState::MakeHooks() {
  Connection::Hooks hooks;
  hooks.read = [this](Connection& c) {
    TServerSocket* o = owner;
    auto fn = o ? o->OnClientRead : nullptr;
    if (!fn) return false;
    fn(*o, c);
    return true;
  };
  hooks.disconnect = [this](Connection& c) {
    TServerSocket* o = owner;
    auto fn = o ? o->OnClientDisconnect : nullptr;
    if (fn) fn(*o, c);
  };
  hooks.error = [this](Connection& c, ErrorKind kind, int& code) {
    TServerSocket* o = owner;
    auto fn = o ? o->OnClientError : nullptr;
    if (fn) fn(*o, c, kind, code);
  };
  hooks.closed = [this](Connection& c) {
    Defer([state = weak_from_this(), key = &c] {
      if (auto s = state.lock()) s->conns.erase(key);
    });
  };
  hooks.overflow = [this](Connection& c) {
    WriteLog("{TCPIP} Output queue overflow, closing connection from " + c.PeerAddress() + ":" +
             std::to_string(c.PeerPort()));
    c.Close();
  };
  return hooks;
}

}  // namespace detail

TServerSocket::TServerSocket() : state_(std::make_shared<detail::ServerState>(this)) {}

TServerSocket::~TServerSocket() {
  state_->owner = nullptr;
  Close();
  // Released without events; queued output still goes out.
  auto doomed = std::move(state_->conns);
  state_->conns.clear();
}

bool TServerSocket::Active() const { return state_->active; }

void TServerSocket::Open() {
  auto& st = *state_;
  if (st.active) return;
  using asio::ip::tcp;
  const auto fail = [&st](const char* call, int code) {
    std::error_code ignored;
    st.acceptor.close(ignored);
    throw std::system_error(WinsockError(code), call);
  };
  if (Port < 0 || Port > 65535) fail("bind", kWSAEINVAL);
  std::error_code ec;
  st.acceptor.open(tcp::v4(), ec);
  if (ec) fail("socket", ToWinsock(ec));
  st.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  st.acceptor.bind(tcp::endpoint(tcp::v4(), static_cast<unsigned short>(Port)), ec);
  if (ec) fail("bind", ToWinsock(ec));
  st.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) fail("listen", ToWinsock(ec));
  st.TakeSpare();
  st.active = true;
  ++st.gen;
  st.StartAccept();
  auto pin = state_;
  auto fn = OnListen;
  if (!fn) return;
  try {
    fn(*this);
  } catch (...) {
    // Listening has started; a failing handler does not undo that.
  }
}

void TServerSocket::Close() {
  auto& st = *state_;
  if (!st.active) return;
  st.active = false;
  ++st.gen;
  st.retry.cancel();
  st.ReleaseSpare();
  std::error_code ignored;
  st.acceptor.close(ignored);
}

int TServerSocket::LocalPort() const {
  std::error_code ec;
  if (!state_->active) return 0;
  const auto endpoint = state_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

size_t TServerSocket::ConnectionCount() const {
  size_t n = 0;
  for (const auto& entry : state_->conns) {
    if (entry.first->Open()) ++n;
  }
  return n;
}

}  // namespace harvox::net
