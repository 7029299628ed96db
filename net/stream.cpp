// Connection machinery: connect, readiness-driven data events, end-of-input
// detection, the ordered output queue and the graceful close.
//
// Input is never read by the stream itself: a readiness notice becomes one
// data event, and the owner reads.  When nothing is waiting at a notice the
// input has ended (orderly or by a reset), which a peeking recv tells apart.
// When the peer has hung up while bytes are still waiting, the data events
// go on until the reader has taken everything, so nothing is lost.
//
// Re-entrancy: see stream.h.  Every completion captures the stream itself,
// so the stream outlives its owner until Asio has delivered them all.
#include "net/stream.h"

#include "util/event_loop.h"

#include <asio/write.hpp>

#include "net/socket_state.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

namespace harvox::net::detail {

namespace {

using asio::ip::tcp;

constexpr auto kRetryDelay = std::chrono::milliseconds(100);
constexpr size_t kChunk = 16384;

}  // namespace

Stream::Stream() : socket_(Loop()), retry_(Loop()), deadline_(Loop()) {}

Stream::~Stream() = default;

template <typename Slot, typename... Args>
bool Stream::Emit(Slot slot, Args... args) {
  auto pin = shared_from_this();
  auto handler = events_.*slot;  // a copy: the handler may clear the slot
  if (handler) {
    try {
      handler(args...);
    } catch (...) {
      // A handler's failure must not unwind through the message loop.
    }
  }
  return !detached_;
}

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

// ---- input ----

void Stream::SetReading(bool on) {
  flow_paused_ = !on;
  if (on) ArmRead();
}

void Stream::ArmRead() {
  if (read_armed_ || Paused() || phase_ != Phase::Open) return;
  read_armed_ = true;
  socket_.async_wait(tcp::socket::wait_read,
                     [self = shared_from_this(), gen = gen_](const std::error_code& ec) {
                       self->ReadReady(gen, ec);
                     });
}

// The owner read nothing at the last event: ask again a little later rather
// than spinning on a readiness that nobody consumes.
void Stream::ArmRetry() {
  if (retry_armed_ || Paused() || phase_ != Phase::Open) return;
  retry_armed_ = true;
  retry_.expires_after(kRetryDelay);
  retry_.async_wait([self = shared_from_this(), gen = gen_](const std::error_code&) {
    if (gen != self->gen_) return;
    self->retry_armed_ = false;
    self->ArmRead();
  });
}

void Stream::ReadReady(uint64_t gen, const std::error_code& ec) {
  if (gen != gen_) return;
  read_armed_ = false;
  if (phase_ != Phase::Open || Paused()) return;
  if (ec) {
    End(ErrorKind::Receive, ToWinsock(ec), false);
    return;
  }
  CheckInput();
}

void Stream::CheckInput() {
  if (pending_error_ != 0) {
    End(ErrorKind::Disconnect, pending_error_, false);
    return;
  }
  std::error_code ec;
  const size_t waiting = socket_.available(ec);
  if (ec) {
    End(ErrorKind::Receive, ToWinsock(ec), false);
    return;
  }
  if (waiting == 0) {
    ProbeEnd(false);
    return;
  }
  const bool hung_up = PeerHungUp(socket_.native_handle());
  reads_ = 0;
  if (!Emit(&Events::readable) || phase_ != Phase::Open) return;
  if (hung_up && pending_error_ == 0) {
    const size_t left = socket_.available(ec);
    if (!ec && left == 0) {
      ProbeEnd(true);
      return;
    }
    if (reads_ == 0 && !Paused()) {
      // The peer is gone and the reader declined what is left: waiting
      // would only repeat the same event for ever.
      EndOfInput(true);
      return;
    }
  }
  if (reads_ > 0) {
    ArmRead();
  } else {
    ArmRetry();
  }
}

// Nothing is waiting: the input has ended, or the notice was stale.
void Stream::ProbeEnd(bool last_read) {
  char byte;
  const ssize_t r = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (r > 0) {
    ArmRead();
    return;
  }
  if (r == 0) {
    EndOfInput(last_read);
    return;
  }
  const int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
    ArmRead();
    return;
  }
  End(ErrorKind::Disconnect, err == EPIPE ? 0 : WinsockFromErrno(err), last_read);
}

// The input has ended: how?  The socket's pending error tells, unless a
// send took it first (and under load one often does): the kernel then
// still shows a reset connection as CLOSED, and the send's own completion
// carries the error.  A reset that follows the peer's orderly close (our
// late data refused, EPIPE) is still an orderly end.
void Stream::EndOfInput(bool last_read) {
  const int fd = socket_.native_handle();
  int err = PendingErrno(fd);
  if (err == 0 && KernelClosed(fd)) {
    if (writing_) {
      end_after_write_ = true;  // Written finishes the job
      end_last_read_ = last_read;
      return;
    }
    err = send_errno_ != 0 ? send_errno_ : ECONNRESET;
  }
  End(ErrorKind::Disconnect, err == EPIPE ? 0 : WinsockFromErrno(err), last_read);
}

void Stream::End(ErrorKind kind, int code, bool last_read) {
  phase_ = Phase::Ended;
  ++gen_;
  retry_.cancel();
  retry_armed_ = false;
  read_armed_ = false;
  if (code != 0) {
    broken_ = true;
    DropOutput();
  }
  Emit(&Events::ended, kind, code, last_read);
}

int Stream::Receive(char* buf, size_t size) {
  if (phase_ != Phase::Open && phase_ != Phase::Ended) {
    last_error_ = kWSAENOTCONN;
    return -1;
  }
  if (!socket_.is_open()) {
    last_error_ = kWSAENOTCONN;
    return -1;
  }
  if (size == 0) return 0;
  if (size > INT_MAX) size = INT_MAX;
  ++reads_;
  std::error_code ec;
  const size_t n = socket_.read_some(asio::buffer(buf, size), ec);
  if (!ec) {
    ArmRead();  // reading re-enables the data event
    return static_cast<int>(n);
  }
  if (ec == asio::error::would_block || ec == asio::error::try_again ||
      ec == asio::error::interrupted) {
    last_error_ = kWSAEWOULDBLOCK;
    ArmRead();
    return -1;
  }
  if (ec == asio::error::eof || ec == asio::error::broken_pipe) {  // see EndOfInput
    ArmRead();  // the readiness check reports the end
    return 0;
  }
  last_error_ = ToWinsock(ec);
  if (phase_ == Phase::Open) {
    pending_error_ = last_error_;
    ArmRead();
  }
  return -1;
}

void Stream::PauseReading(bool paused) {
  backlog_paused_ = paused;
  if (!paused) ArmRead();
}

void Stream::DiscardInput() {
  auto chunk = std::make_unique<char[]>(kChunk);
  Receive(chunk.get(), kChunk);
}

// ---- output ----

void Stream::Send(const char* data, size_t size) {
  if (size == 0 || broken_) return;
  if (phase_ == Phase::Idle || phase_ == Phase::Closing || phase_ == Phase::Closed) return;
  // Bytes join the last owned piece unless a running write is using it.
  if (out_.empty() || out_.back().shared || out_.size() <= inflight_pieces_) out_.emplace_back();
  out_.back().own.append(data, size);
  out_bytes_ += size;
  StartWrite();
}

void Stream::SendShared(std::shared_ptr<const std::string> bytes) {
  if (!bytes || bytes->empty() || broken_) return;
  if (phase_ == Phase::Idle || phase_ == Phase::Closing || phase_ == Phase::Closed) return;
  out_bytes_ += bytes->size();
  out_.push_back(Piece{std::move(bytes), {}});
  StartWrite();
}

// Forgets the output no running write uses (that part goes with the write).
void Stream::DropOutput() {
  while (out_.size() > inflight_pieces_) out_.pop_back();
  out_bytes_ = 0;
  for (const Piece& p : out_) out_bytes_ += p.Bytes().size();
  if (out_.empty()) {
    out_pos_ = 0;
  } else {
    out_bytes_ -= out_pos_;
  }
}

size_t Stream::Gather(Buffers& buffers) const {
  size_t n = 0;
  for (; n < buffers.size() && n < out_.size(); ++n) {
    std::string_view bytes = out_[n].Bytes();
    if (n == 0) bytes.remove_prefix(out_pos_);
    buffers[n] = asio::buffer(bytes.data(), bytes.size());
  }
  for (size_t i = n; i < buffers.size(); ++i) buffers[i] = asio::const_buffer();
  return n;
}

void Stream::Consume(size_t n) {
  out_bytes_ -= n;
  while (n > 0) {
    const size_t taken = std::min(n, out_.front().Bytes().size() - out_pos_);
    n -= taken;
    out_pos_ += taken;
    if (out_pos_ == out_.front().Bytes().size()) {
      out_.pop_front();
      out_pos_ = 0;
    }
  }
}

void Stream::StartWrite() {
  if (writing_ || broken_ || out_bytes_ == 0) return;
  if (phase_ != Phase::Open && phase_ != Phase::Ended && phase_ != Phase::Closing) return;
  Buffers buffers;
  inflight_pieces_ = Gather(buffers);
  writing_ = true;
  socket_.async_write_some(buffers, [self = shared_from_this()](const std::error_code& ec, size_t n) {
    self->Written(ec, n);
  });
}

void Stream::Written(const std::error_code& ec, size_t n) {
  writing_ = false;
  inflight_pieces_ = 0;
  if (phase_ == Phase::Closed) {
    DropOutput();
    return;
  }
  Consume(n);
  // Whatever more the socket takes goes out now: many small pieces (monitor
  // lines) must not wait for one loop turn per gathered write.
  std::error_code e = ec;
  while (!e && out_bytes_ > 0 && !broken_) {
    Buffers buffers;
    Gather(buffers);
    Consume(socket_.write_some(buffers, e));
  }
  if (e && e != asio::error::would_block && e != asio::error::try_again) {
    DropOutput();
    send_errno_ = e.category() == std::system_category() ? e.value() : ECONNRESET;
    if (phase_ == Phase::Closing) {
      CloseNow();
    } else if (phase_ == Phase::Open && end_after_write_) {
      EndOfInput(end_last_read_);
    } else if (phase_ == Phase::Open && e != asio::error::broken_pipe) {
      End(ErrorKind::Send, ToWinsock(e), false);
    } else {
      // The peer closed in order and refused what came after: the input
      // side reports that end once its last bytes are read.
      broken_ = true;
    }
    return;
  }
  if (end_after_write_ && phase_ == Phase::Open) {
    EndOfInput(end_last_read_);
    return;
  }
  if (out_bytes_ > 0) {
    StartWrite();
  } else if (phase_ == Phase::Closing) {
    ShutdownAndLinger();
    return;
  }
  if (n > 0 && phase_ == Phase::Open) Emit(&Events::written);
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
  if (!scratch_) scratch_ = std::make_unique<char[]>(kChunk);
  socket_.async_read_some(asio::buffer(scratch_.get(), kChunk),
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
