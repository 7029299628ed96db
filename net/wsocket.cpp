// TWSocket: the engine transport's socket.  A stream per connection, a
// lookup object for names, and the mapping of both onto the five events.
//
// Re-entrancy: user handlers are raised through Raise, which copies the
// handler first.  After a handler returns, `life_` says whether the socket
// was released and `stream_` whether the session was closed inside.
#include "net/wsocket.h"

#include "net/ip_text.h"
#include "net/lookup.h"
#include "net/stream.h"
#include "net/winsock.h"
#include "util/strings.h"

namespace harvox::net {

namespace {

template <typename Handler, typename... Args>
void Raise(const Handler& slot, Args&&... args) {
  auto handler = slot;  // the handler may replace itself or release the socket
  if (!handler) return;
  try {
    handler(std::forward<Args>(args)...);
  } catch (...) {
    // A handler's failure must not disturb the socket's own bookkeeping.
  }
}

}  // namespace

TWSocket::TWSocket()
    : lookup_(detail::Lookup::Create(detail::Lookup::Family::Any)),
      life_(std::make_shared<char>('\0')) {}

TWSocket::~TWSocket() {
  lookup_->Cancel();
  if (stream_) stream_->Close(true);
}

void TWSocket::LookupHost(const std::string& name) {
  lookup_->Cancel();
  DnsResult.clear();
  if (auto literal = IpAddressText(name)) {
    DnsResult = *literal;
    Raise(OnDnsLookupDone, *this, uint16_t{0});
    return;
  }
  // The destructor cancels the lookup, so the callback never outlives us.
  const int code = lookup_->Start(name, [this](int result, const std::vector<std::string>& found) {
    if (result == 0) DnsResult = found.front();
    Raise(OnDnsLookupDone, *this, static_cast<uint16_t>(result));
  });
  if (code != 0) RaiseError(code);
}

void TWSocket::CancelLookup() {
  if (!lookup_->Pending()) return;
  lookup_->Cancel();
  Raise(OnDnsLookupDone, *this, static_cast<uint16_t>(kWSAEINTR));
}

void TWSocket::Connect() {
  if (stream_) return RaiseError(kWSAEISCONN);
  if (Proto != "tcp") return RaiseError(kWSAEPROTONOSUPPORT);
  const auto address = IpAddressText(Addr);
  const auto port = ToInt32(Port);
  if (!address || !port || *port <= 0 || *port > 65535) return RaiseError(kWSAEADDRNOTAVAIL);
  const asio::ip::tcp::endpoint to(asio::ip::make_address(*address),
                                   static_cast<unsigned short>(*port));
  auto stream = detail::Stream::Create();
  const int code = stream->Connect(to, true);
  if (code != 0) return RaiseError(code);
  detail::Stream* s = stream.get();  // pinned by the stream while it raises
  detail::Stream::Events events;
  events.connected = [this, s](int result) { StreamConnected(*s, result); };
  events.readable = [this, s] { StreamReadable(*s); };
  events.ended = [this, s](ErrorKind, int result, bool last_read) {
    StreamEnded(*s, result, last_read);
  };
  events.written = [this] { Raise(OnDataSent, *this, uint16_t{0}); };
  stream->SetEvents(std::move(events));
  stream_ = std::move(stream);
}

void TWSocket::Close() { EndSession(true, 0); }

void TWSocket::Abort() {
  std::weak_ptr<char> life = life_;
  CancelLookup();
  if (life.expired()) return;
  EndSession(false, 0);
}

void TWSocket::EndSession(bool graceful, int code) {
  auto s = std::move(stream_);
  if (!s) return;
  s->Close(graceful);
  Raise(OnSessionClosed, *this, static_cast<uint16_t>(code));
}

void TWSocket::StreamConnected(detail::Stream& s, int code) {
  std::weak_ptr<char> life = life_;
  Raise(OnSessionConnected, *this, static_cast<uint16_t>(code));
  if (code == 0 || life.expired() || stream_.get() != &s) return;
  // A failed attempt closes the socket unless the handler already did.
  EndSession(false, 0);
}

void TWSocket::StreamReadable(detail::Stream& s) {
  if (!OnDataAvailable) {
    s.DiscardInput();
    return;
  }
  Raise(OnDataAvailable, *this, uint16_t{0});
}

void TWSocket::StreamEnded(detail::Stream& s, int code, bool last_read) {
  if (!last_read) {
    // One last chance to read what is still waiting.
    std::weak_ptr<char> life = life_;
    Raise(OnDataAvailable, *this, uint16_t{0});
    if (life.expired() || stream_.get() != &s) return;
  }
  EndSession(code == 0, code);
}

void TWSocket::Send(const char* data, size_t n) {
  if (!stream_) return RaiseError(kWSAENOTCONN);
  stream_->Send(data, n);
}

int TWSocket::Receive(char* buf, size_t size) {
  if (!stream_) {
    LastError = kWSAENOTCONN;
    return -1;
  }
  const int n = stream_->Receive(buf, size);
  if (n < 0) LastError = stream_->LastError();
  return n;
}

TWSocket::State TWSocket::GetState() const {
  if (stream_) {
    return stream_->GetPhase() == detail::Stream::Phase::Connecting ? State::Connecting
                                                                     : State::Connected;
  }
  return lookup_->Pending() ? State::LookingUp : State::Closed;
}

size_t TWSocket::PendingOutput() const { return stream_ ? stream_->PendingOutput() : 0; }

void TWSocket::RaiseError(int code) {
  LastError = code;
  Raise(OnError, *this);
}

}  // namespace harvox::net
