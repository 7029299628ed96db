// Input side of a stream: readiness-driven data events and end-of-input
// detection.
//
// Input is never read by the stream itself: a readiness notice becomes one
// data event, and the owner reads.  When nothing is waiting at a notice the
// input has ended (orderly or by a reset), which a peeking recv tells apart.
// When the peer has hung up while bytes are still waiting, the data events
// go on until the reader has taken everything, so nothing is lost.
//
// Re-entrancy: see stream.h; every event goes through Emit (stream_emit.h).
#include "net/stream.h"

#include "net/socket_state.h"
#include "net/stream_emit.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <utility>

#include <asio/post.hpp>

namespace harvox::net::detail {

namespace {

using asio::ip::tcp;

constexpr auto kRetryDelay = std::chrono::milliseconds(100);

}  // namespace

void Stream::SetReading(bool on) {
  flow_paused_ = !on;
  if (on) ArmRead();
}

void Stream::ArmRead() {
  if (read_armed_ || Paused() || phase_ != Phase::Open) return;
  read_armed_ = true;
  if (std::exchange(input_left_, false)) {
    asio::post(socket_.get_executor(), [self = shared_from_this(), gen = gen_] {
      self->ReadReady(gen, {});
    });
    return;
  }
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
  // One poll answers the usual case (bytes waiting, peer still there);
  // only a hang-up or no answer needs the count of waiting bytes.
  const InputLook look = LookAtInput(socket_.native_handle());
  std::error_code ec;
  if (look == InputLook::Quiet) {
    ProbeEnd(false);
    return;
  }
  if (look != InputLook::Data) {
    const size_t waiting = socket_.available(ec);
    if (ec) {
      End(ErrorKind::Receive, ToWinsock(ec), false);
      return;
    }
    if (waiting == 0) {
      ProbeEnd(false);
      return;
    }
  }
  const bool hung_up = look == InputLook::HungUp;
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
    input_left_ = n == size;
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
  auto chunk = std::make_unique<char[]>(kStreamChunk);
  Receive(chunk.get(), kStreamChunk);
}

}  // namespace harvox::net::detail
