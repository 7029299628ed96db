// TServerSocket: the acceptors (one per listening address), the table of
// accepted connections and the mapping of each connection's hooks onto the
// server's events.
//
// Re-entrancy: the state lives in a shared object that completions capture;
// the destructor detaches it (owner cleared, generation bumped) and drops
// the connections silently.  Every completion checks the generation before
// it touches its acceptor, so Close may drop the acceptors at any time.  A
// connection's release is deferred to the loop and looks the state up
// through a weak reference.
#include "net/server_socket.h"

#include "net/ip_text.h"
#include "net/stream.h"
#include "util/log.h"
#include "util/event_loop.h"

#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <unordered_map>
#include <vector>

namespace harvox::net {

namespace detail {

using asio::ip::tcp;

// One listening address.
struct Acceptor {
  Acceptor() : socket(Loop()), retry(Loop()) {}
  tcp::acceptor socket;
  asio::steady_timer retry;
  std::string name;  // address:port, for messages
};

struct ServerState : std::enable_shared_from_this<ServerState> {
  explicit ServerState(TServerSocket* o) : owner(o) {}
  ~ServerState() { ReleaseSpare(); }

  void TakeSpare() {
    if (spare < 0) spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  void ReleaseSpare() {
    if (spare >= 0) ::close(spare);
    spare = -1;
  }
  void Listen(const std::vector<std::string>& addresses, int port);
  void ListenAt(const std::string& address, int& port);
  bool Current(uint64_t g) const { return g == gen && owner && active; }
  void AtLimit(Acceptor& a);
  bool RefuseAtLimit(Acceptor& a);
  void RetryLater(Acceptor& a);

  void StartAccept(Acceptor& a);
  void Accepted(Acceptor& a, const std::error_code& ec, tcp::socket socket);
  void Adopt(tcp::socket socket);
  Connection::Hooks MakeHooks();
  void WriteLog(const std::string& text) const {
    if (owner && owner->Log) owner->Log->Write(1, text);
  }

  TServerSocket* owner;  // null once the server socket is released
  std::vector<std::unique_ptr<Acceptor>> acceptors;
  uint64_t gen = 0;
  bool active = false;
  int spare = -1;  // a descriptor held back for RefuseAtLimit
  std::unordered_map<Connection*, std::unique_ptr<Connection>> conns;
};

[[noreturn]] void Fail(const std::string& call, int code) {
  throw std::system_error(WinsockError(code), call);
}

// Opens one acceptor; port 0 becomes the port the system chose.
void ServerState::ListenAt(const std::string& text, int& port) {
  const auto parsed = IpAddressText(text);
  auto a = std::make_unique<Acceptor>();
  a->name = EndpointText(parsed ? *parsed : text, port);
  if (!parsed) Fail("bind " + a->name, kWSAEADDRNOTAVAIL);
  const tcp::endpoint at(asio::ip::make_address(*parsed), static_cast<unsigned short>(port));
  std::error_code ec;
  a->socket.open(at.protocol(), ec);
  if (ec) Fail("socket " + a->name, ToWinsock(ec));
  if (at.address().is_v6()) {
    a->socket.set_option(asio::ip::v6_only(true), ec);
    if (ec) Fail("setsockopt " + a->name, ToWinsock(ec));
  }
  a->socket.set_option(asio::socket_base::reuse_address(true), ec);
  a->socket.bind(at, ec);
  if (ec) Fail("bind " + a->name, ToWinsock(ec));
  a->socket.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) Fail("listen " + a->name, ToWinsock(ec));
  port = a->socket.local_endpoint(ec).port();
  a->name = EndpointText(*parsed, port);
  acceptors.push_back(std::move(a));
}

void ServerState::Listen(const std::vector<std::string>& addresses, int port) {
  if (addresses.empty()) Fail("bind", kWSAEADDRNOTAVAIL);
  // An ephemeral port that is free at the first address may be taken at
  // another: then all of them try again with a new one.
  for (int attempt = 1;; ++attempt) {
    int at = port;
    try {
      for (const auto& address : addresses) ListenAt(address, at);
      return;
    } catch (const std::system_error& e) {
      acceptors.clear();
      if (port != 0 || attempt == 16 || e.code().value() != kWSAEADDRINUSE) throw;
    }
  }
}

void ServerState::StartAccept(Acceptor& a) {
  a.socket.async_accept([self = shared_from_this(), g = gen, &a](const std::error_code& ec,
                                                                 tcp::socket socket) {
    if (self->Current(g)) self->Accepted(a, ec, std::move(socket));
  });
}

void ServerState::RetryLater(Acceptor& a) {
  a.retry.expires_after(std::chrono::milliseconds(100));
  a.retry.async_wait([self = shared_from_this(), g = gen, &a](const std::error_code&) {
    if (self->Current(g)) self->StartAccept(a);
  });
}

void ServerState::Accepted(Acceptor& a, const std::error_code& ec, tcp::socket socket) {
  if (ec == asio::error::no_descriptors) {
    AtLimit(a);
    return;
  }
  if (ec) {
    // Out of descriptors or the like: try again shortly rather than spin.
    WriteLog("{TCPIP} Accept failed, error #" + std::to_string(ToWinsock(ec)));
    RetryLater(a);
    return;
  }
  StartAccept(a);  // before the handler runs: it may close the listener
  Adopt(std::move(socket));
}

// Out of descriptors (accept fails so even with nobody waiting).  A caller
// waiting in the backlog would hang there unanswered: the spare descriptor
// pays for the log line and for accepting him, and he is told and closed at
// once.  Then accepting goes on when the next caller arrives.
void ServerState::AtLimit(Acceptor& a) {
  pollfd p{a.socket.native_handle(), POLLIN, 0};
  const bool waiting = ::poll(&p, 1, 0) > 0;
  if (waiting && !RefuseAtLimit(a)) {
    RetryLater(a);  // no spare: do not spin
    return;
  }
  a.socket.async_wait(tcp::acceptor::wait_read,
                      [self = shared_from_this(), g = gen, &a](const std::error_code& ec) {
                        if (!ec && self->Current(g)) self->StartAccept(a);
                      });
}

bool ServerState::RefuseAtLimit(Acceptor& a) {
  if (spare < 0) return false;
  ReleaseSpare();
  WriteLog("{TCPIP} Out of descriptors, refusing a caller");
  const int fd = ::accept4(a.socket.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
  if (Port < 0 || Port > 65535) detail::Fail("bind", kWSAEINVAL);
  st.Listen(Addresses, Port);
  st.TakeSpare();
  st.active = true;
  ++st.gen;
  for (auto& a : st.acceptors) {
    st.WriteLog("{TCPIP} Listening on " + a->name);
    st.StartAccept(*a);
  }
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
  st.ReleaseSpare();
  // Pending completions find the generation changed and touch nothing.
  st.acceptors.clear();
}

int TServerSocket::LocalPort() const {
  std::error_code ec;
  if (!state_->active || state_->acceptors.empty()) return 0;
  const auto endpoint = state_->acceptors.front()->socket.local_endpoint(ec);
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
