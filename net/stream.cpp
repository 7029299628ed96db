// Connection machinery: connect, adopt and the graceful close.  Reading is
// in stream_read.cpp, the output queue in stream_write.cpp.
//
// Re-entrancy: see stream.h.  Every completion captures the stream itself,
// so the stream outlives its owner until Asio has delivered them all.
#include "net/stream.h"

#include "util/event_loop.h"

#include "net/socket_state.h"
#include "net/stream_emit.h"

#include <sys/socket.h>

#include <cerrno>

namespace harvox::net::detail {

namespace {

using asio::ip::tcp;

}  // namespace

Stream::Stream() : socket_(Loop()), retry_(Loop()), deadline_(Loop()) {}

Stream::~Stream() = default;

int Stream::Connect(const tcp::endpoint& to, bool keep_alive_and_reuse) {
  if (phase_ != Phase::Idle) return kWSAEISCONN;
  std::error_code ec;
  socket_.open(to.protocol(), ec);
  if (ec) return ToWinsock(ec);
  if (keep_alive_and_reuse) {
    socket_.set_option(asio::socket_base::keep_alive(true), ec);
    socket_.set_option(asio::socket_base::reuse_address(true), ec);
  }
  socket_.non_blocking(true, ec);
  NoDelay(socket_.native_handle());
  // Asio's own connect would wait for the outcome; a plain non-blocking
  // connect separates an immediate refusal from an attempt under way.
  if (!ec && ::connect(socket_.native_handle(), to.data(),
                       static_cast<socklen_t>(to.size())) != 0) {
    const int err = errno;
    if (err != EINPROGRESS && err != EINTR) ec = std::error_code(err, std::system_category());
  }
  if (ec) {
    const int code = ToWinsock(ec);
    std::error_code ignored;
    socket_.close(ignored);
    return code;
  }
  peer_ = to;
  phase_ = Phase::Connecting;
  socket_.async_wait(tcp::socket::wait_write,
                     [self = shared_from_this(), gen = gen_](const std::error_code& e) {
                       self->ConnectDone(gen, e);
                     });
  return 0;
}

void Stream::ConnectDone(uint64_t gen, const std::error_code& ec) {
  if (gen != gen_ || phase_ != Phase::Connecting) return;
  int code = ToWinsock(ec);
  if (code == 0) code = SocketErrorOf(socket_.native_handle());
  if (code != 0) {
    phase_ = Phase::Ended;
    broken_ = true;
    ++gen_;
    DropOutput();
    std::error_code ignored;
    socket_.close(ignored);
  } else {
    phase_ = Phase::Open;
    ArmRead();
    StartWrite();
  }
  Emit(&Events::connected, code);
}

bool Stream::Adopt(tcp::socket socket) {
  socket_ = std::move(socket);
  std::error_code ec;
  socket_.non_blocking(true, ec);
  NoDelay(socket_.native_handle());
  if (!ec) peer_ = socket_.remote_endpoint(ec);
  if (ec) {
    socket_.close(ec);
    phase_ = Phase::Closed;
    return false;
  }
  phase_ = Phase::Open;
  return true;
}

// ---- closing ----

void Stream::Close(bool graceful, std::chrono::milliseconds linger) {
  if (detached_) return;
  detached_ = true;
  events_ = Events{};
  ++gen_;
  retry_.cancel();
  const Phase was = phase_;
  if (!socket_.is_open() || !graceful || broken_ || was == Phase::Idle ||
      was == Phase::Connecting) {
    CloseNow();
    return;
  }
  phase_ = Phase::Closing;
  deadline_.expires_after(linger);
  deadline_.async_wait([self = shared_from_this()](const std::error_code&) {
    if (self->phase_ == Phase::Closing) self->CloseNow();
  });
  if (writing_) return;  // the write completion carries on
  if (out_bytes_ > 0) {
    StartWrite();
    return;
  }
  ShutdownAndLinger();
}

// Our side is done: tell the peer, then keep reading (and dropping) until
// it closes too.  Closing with unread input would make the kernel answer
// with a reset, and the peer could lose the last text we sent; a peer that
// sends on past kLingerDrop has stopped listening to us and gets the reset.
void Stream::ShutdownAndLinger() {
  std::error_code ec;
  socket_.shutdown(tcp::socket::shutdown_send, ec);
  if (ec) {
    CloseNow();
    return;
  }
  LingerRead();
}

void Stream::LingerRead() {
  if (!scratch_) scratch_ = std::make_unique<char[]>(kStreamChunk);
  socket_.async_read_some(asio::buffer(scratch_.get(), kStreamChunk),
                          [self = shared_from_this()](const std::error_code& ec, size_t n) {
                            if (self->phase_ != Phase::Closing) return;
                            self->lingered_ += n;
                            if (ec || self->lingered_ > kLingerDrop) {
                              self->CloseNow();
                            } else {
                              self->LingerRead();
                            }
                          });
}

void Stream::CloseNow() {
  phase_ = Phase::Closed;
  DropOutput();
  std::error_code ec;
  retry_.cancel();
  deadline_.cancel();
  socket_.close(ec);
}

}  // namespace harvox::net::detail
