// The connection object: maps its stream's events onto the owner's hooks,
// and runs Close (disconnect event first, then the socket).
//
// Re-entrancy: every hook call is followed by a check of `life_` (was the
// connection released?) and of `stream_` (was it closed?) before anything
// else is touched.  Output-limit checks are deferred to the loop so that a
// close never happens inside a caller's SendText.
#include "net/connection.h"

#include "net/ip_text.h"
#include "net/stream.h"
#include "util/event_loop.h"

namespace harvox::net {

Connection::~Connection() {
  if (stream_) stream_->Close(true);
}

void Connection::Attach(std::shared_ptr<detail::Stream> stream, Hooks hooks,
                        size_t max_pending) {
  stream_ = std::move(stream);
  hooks_ = std::move(hooks);
  closing_ = false;
  overflow_ = false;
  max_pending_ = max_pending;
  peer_address_ = ReadableAddress(stream_->Peer().address());
  peer_port_ = stream_->Peer().port();
  detail::Stream* s = stream_.get();  // pinned by the stream while it raises
  detail::Stream::Events events;
  events.connected = [this, s](int code) { StreamConnected(*s, code); };
  events.readable = [this, s] { StreamReadable(*s); };
  events.ended = [this, s](ErrorKind kind, int code, bool) { StreamEnded(*s, kind, code); };
  stream_->SetEvents(std::move(events));
  if (!reading_) stream_->SetReading(false);
}

void Connection::StreamConnected(detail::Stream& s, int code) {
  if (code != 0) {
    // The connection never came up: only the error is reported.
    if (stream_.get() == &s) stream_.reset();
    s.Close(false);
    int handled = code;
    auto hook = hooks_.error;
    if (hook) hook(*this, ErrorKind::Connect, handled);
    return;
  }
  auto hook = hooks_.connected;
  if (hook) hook(*this);
}

void Connection::StreamReadable(detail::Stream& s) {
  auto hook = hooks_.read;
  if (!hook || !hook(*this)) s.DiscardInput();
}

void Connection::StreamEnded(detail::Stream& s, ErrorKind kind, int code) {
  if (code == 0) {  // the peer closed in order
    Close();
    return;
  }
  std::weak_ptr<char> life = life_;
  int handled = code;
  auto hook = hooks_.error;
  if (hook) hook(*this, kind, handled);
  if (life.expired() || stream_.get() != &s) return;  // released or closed inside
  if (handled != 0) {
    // Nobody took care of the failure: end the connection the usual way.
    Close();
    return;
  }
  // Handled: the object stays open until its owner closes it, but the
  // broken socket is given back now.
  s.Close(false);
}

namespace {
constexpr std::chrono::milliseconds kRefusalLinger{1000};
}  // namespace

void Connection::Close() { CloseWith(true, detail::Stream::kLinger); }

void Connection::CloseQuickly() { CloseWith(true, kRefusalLinger); }

void Connection::PauseReading(bool paused) {
  if (stream_) stream_->PauseReading(paused);
}

void Connection::CloseWith(bool graceful, std::chrono::milliseconds linger) {
  if (!stream_ || closing_) return;
  closing_ = true;
  std::weak_ptr<char> life = life_;
  auto hook = hooks_.disconnect;
  try {
    if (hook) hook(*this);
  } catch (...) {
    // The close goes on: a failing handler must not leave it half done.
  }
  if (life.expired()) return;  // released inside; its destructor closed the socket
  auto s = std::move(stream_);
  closing_ = false;
  s->Close(graceful && !overflow_, linger);
  auto closed = hooks_.closed;
  if (closed) closed(*this);
}

void Connection::SendText(std::string_view bytes) {
  if (!stream_ || overflow_ || bytes.empty()) return;
  stream_->Send(bytes.data(), bytes.size());
  bytes_out_ += bytes.size();
  AfterSend();
}

void Connection::SendShared(std::shared_ptr<const std::string> bytes) {
  if (!stream_ || overflow_ || !bytes || bytes->empty()) return;
  bytes_out_ += bytes->size();
  stream_->SendShared(std::move(bytes));
  AfterSend();
}

void Connection::AfterSend() {
  if (max_pending_ == 0 || overflow_check_queued_ || stream_->PendingOutput() <= max_pending_) {
    return;
  }
  // Judged from the loop: by then the socket has taken what it could, and
  // a close cannot pull the connection away under the caller's feet.
  overflow_check_queued_ = true;
  Defer([life = std::weak_ptr<char>(life_), this] {
    if (!life.expired()) CheckOverflow();
  });
}

void Connection::CheckOverflow() {
  overflow_check_queued_ = false;
  if (!stream_ || closing_ || stream_->PendingOutput() <= max_pending_) return;
  overflow_ = true;  // whatever is queued is dropped at the close
  auto hook = hooks_.overflow;
  if (hook) {
    hook(*this);
  } else {
    Close();
  }
}

int Connection::ReceiveInto(char* buf, size_t size) {
  const int n = stream_ ? stream_->Receive(buf, size) : -1;
  if (n > 0) bytes_in_ += static_cast<uint64_t>(n);
  return n;
}

void Connection::SetReading(bool on) {
  reading_ = on;
  if (stream_) stream_->SetReading(on);
}

size_t Connection::PendingOutput() const { return stream_ ? stream_->PendingOutput() : 0; }

bool Connection::Open() const { return stream_ != nullptr && !closing_; }

}  // namespace harvox::net
