// Line echo server; see echo_sink.h.  Sockets are touched on the sink
// thread only.
#include "support/echo_sink.h"

#include <fcntl.h>

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <array>
#include <string>

namespace harvox::test {

struct EchoSink::Conn {
  Conn(int i, asio::ip::tcp::socket s) : id(i), sock(std::move(s)) {}
  int id;
  asio::ip::tcp::socket sock;
  std::array<char, 8192> buf{};
  std::string out;       // waiting to be written
  std::string inflight;  // being written
  bool writing = false;
  bool reading = false;
  bool open = true;
};

namespace {

// Children the tool starts (the relay under test) must not hold our sockets.
void NoInherit(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

}  // namespace

EchoSink::EchoSink() : acceptor_(io_) {
  asio::error_code ec;
  const asio::ip::tcp::endpoint ep(asio::ip::make_address_v4("127.0.0.1"), 0);
  acceptor_.open(ep.protocol(), ec);
  if (!ec) NoInherit(acceptor_.native_handle());
  if (!ec) acceptor_.bind(ep, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) port_ = acceptor_.local_endpoint(ec).port();
  if (ec) {
    port_ = 0;
    return;
  }
  Accept();
  thread_ = std::thread([this] { io_.run(); });
}

EchoSink::~EchoSink() { Stop(); }

void EchoSink::Stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    asio::error_code ec;
    acceptor_.close(ec);
    auto all = conns_;
    for (auto& [id, c] : all) Close(c);
    io_.stop();
  });
  thread_.join();
  conns_.clear();
}

void EchoSink::Accept() {
  acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket sock) {
    if (ec) {
      if (acceptor_.is_open() && ec != asio::error::operation_aborted) Accept();
      return;
    }
    NoInherit(sock.native_handle());
    asio::error_code ignored;
    sock.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto c = std::make_shared<Conn>(next_id_++, std::move(sock));
    conns_[c->id] = c;
    ++open_;
    Accept();
    Read(c);
  });
}

void EchoSink::Read(const std::shared_ptr<Conn>& c) {
  if (c->reading || !c->open || c->out.size() + c->inflight.size() > kMaxPending) return;
  c->reading = true;
  c->sock.async_read_some(asio::buffer(c->buf), [this, c](const asio::error_code& ec, size_t n) {
    c->reading = false;
    if (ec) return Close(c);
    Received(c, n);
    Read(c);
  });
}

void EchoSink::Received(const std::shared_ptr<Conn>& c, size_t n) {
  uint64_t lines = 0;
  for (size_t i = 0; i < n; ++i) {
    c->out += c->buf[i];
    if (c->buf[i] == '\r') {
      c->out += '\n';
      ++lines;
    }
  }
  lines_ += lines;
  Write(c);
}

void EchoSink::Write(const std::shared_ptr<Conn>& c) {
  if (c->writing || !c->open || c->out.empty()) return;
  c->writing = true;
  c->inflight.swap(c->out);
  c->out.clear();
  asio::async_write(c->sock, asio::buffer(c->inflight), [this, c](const asio::error_code& ec, size_t) {
    c->writing = false;
    c->inflight.clear();
    if (ec) return Close(c);
    Write(c);
    Read(c);  // resumes a connection that was held back by its output
  });
}

void EchoSink::Close(const std::shared_ptr<Conn>& c) {
  if (!c->open) return;
  c->open = false;
  asio::error_code ec;
  c->sock.close(ec);
  conns_.erase(c->id);
  --open_;
}

}  // namespace harvox::test
