// TClientSocket: validates the target, starts the stream and turns the
// connection's hooks into its four events.
//
// Re-entrancy: each hook raises a copy of the user's handler as its last
// action; the connection checks afterwards whether it still exists.
#include "net/client_socket.h"

#include "net/lookup.h"
#include "net/stream.h"

#include <memory>
#include <system_error>

namespace harvox::net {

TClientSocket::~TClientSocket() {
  // The events go first, so the connection closes silently.
  OnConnect = nullptr;
  OnDisconnect = nullptr;
  OnRead = nullptr;
  OnError = nullptr;
  OnOverflow = nullptr;
  conn_.hooks_ = Connection::Hooks{};
}

void TClientSocket::Open() {
  if (conn_.Open()) return;
  const auto dotted = detail::DottedAddress(Address.empty() ? Host : Address);
  if (!dotted) throw std::system_error(WinsockError(kWSAEADDRNOTAVAIL), "connect");
  if (Port <= 0 || Port > 65535) throw std::system_error(WinsockError(kWSAEADDRNOTAVAIL), "connect");
  const asio::ip::tcp::endpoint to(asio::ip::make_address_v4(*dotted),
                                   static_cast<unsigned short>(Port));
  auto stream = detail::Stream::Create();
  const int code = stream->Connect(to, false);
  if (code != 0) throw std::system_error(WinsockError(code), "connect");
  conn_.Attach(std::move(stream), MakeHooks(), MaxPendingOutput);
}

Connection::Hooks TClientSocket::MakeHooks() {
  Connection::Hooks hooks;
  hooks.connected = [this](Connection& c) {
    auto fn = OnConnect;
    if (fn) fn(*this, c);
  };
  hooks.read = [this](Connection& c) {
    auto fn = OnRead;
    if (!fn) return false;
    fn(*this, c);
    return true;
  };
  hooks.disconnect = [this](Connection& c) {
    auto fn = OnDisconnect;
    if (fn) fn(*this, c);
  };
  hooks.error = [this](Connection& c, ErrorKind kind, int& code) {
    auto fn = OnError;
    if (fn) fn(*this, c, kind, code);
  };
  hooks.overflow = [this](Connection& c) {
    std::weak_ptr<char> life = c.life_;
    auto fn = OnOverflow;
    if (fn) fn(*this, c);
    if (!life.expired()) c.Close();
  };
  return hooks;
}

}  // namespace harvox::net
