// Output side of a stream: the ordered queue of owned and shared pieces,
// gathered writes, and what a failed write means for the connection.
//
// Output waits for the end of the loop turn (a chunk's worth goes at once),
// so many small sends from one turn's handlers leave together.
//
// Re-entrancy: see stream.h.  A running write owns the leading pieces it
// gathered (inflight_pieces_); nothing else touches them until it returns.
// The posted first write pins the stream and checks the phase when it runs.
#include "net/stream.h"

#include <asio/post.hpp>

#include "net/socket_state.h"
#include "net/stream_emit.h"

#include <algorithm>
#include <cerrno>

namespace harvox::net::detail {

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

void Stream::Gather(Buffers& buffers) const {
  size_t& n = buffers.count;
  for (n = 0; n < buffers.pieces.size() && n < out_.size(); ++n) {
    std::string_view bytes = out_[n].Bytes();
    if (n == 0) bytes.remove_prefix(out_pos_);
    buffers.pieces[n] = asio::buffer(bytes.data(), bytes.size());
  }
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

// The first write waits for the end of the loop turn, so what the turn's
// handlers queue (a reader's lines, the echoes of one engine read) goes out
// in one system call and one packet rather than one each.  A chunk's worth
// goes at once: waiting output counts as the connection's backlog.
void Stream::StartWrite() {
  if (out_bytes_ >= kStreamChunk) return WriteQueued();
  if (writing_ || write_posted_ || broken_ || out_bytes_ == 0) return;
  if (phase_ != Phase::Open && phase_ != Phase::Ended && phase_ != Phase::Closing) return;
  write_posted_ = true;
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    self->write_posted_ = false;
    self->WriteQueued();
  });
}

void Stream::WriteQueued() {
  if (writing_ || broken_ || out_bytes_ == 0) return;
  if (phase_ != Phase::Open && phase_ != Phase::Ended && phase_ != Phase::Closing) return;
  writing_ = true;
  auto done = [self = shared_from_this()](const std::error_code& ec, size_t n) { self->Written(ec, n); };
  if (out_.size() == 1) {  // the usual case: one piece, a plain send
    inflight_pieces_ = 1;
    socket_.async_write_some(asio::buffer(out_.front().Bytes().substr(out_pos_)), std::move(done));
    return;
  }
  Buffers buffers;
  Gather(buffers);
  inflight_pieces_ = buffers.count;
  socket_.async_write_some(buffers, std::move(done));
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
    if (out_.size() == 1) {
      Consume(socket_.write_some(asio::buffer(out_.front().Bytes().substr(out_pos_)), e));
      continue;
    }
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
    WriteQueued();  // the socket is full: wait until it takes more
  } else if (phase_ == Phase::Closing) {
    ShutdownAndLinger();
    return;
  }
  if (n > 0 && phase_ == Phase::Open) Emit(&Events::written);
}

}  // namespace harvox::net::detail
