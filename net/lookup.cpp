// Host-name lookup over asio::ip::tcp::resolver: every IPv4 address of the
// name, or with Family::Any the first IPv6 one when there is no IPv4 address.
//
// Re-entrancy: see lookup.h.  The completion captures the object, so it
// stays alive until Asio has delivered the result of every lookup started.
#include "net/lookup.h"

#include "net/winsock.h"
#include "util/event_loop.h"

#include <asio/ip/address_v4.hpp>

#include <algorithm>

namespace harvox::net::detail {

using asio::ip::tcp;

std::optional<std::string> DottedAddress(const std::string& text) {
  std::error_code ec;
  const auto address = asio::ip::make_address_v4(text, ec);
  if (ec) return std::nullopt;
  return address.to_string();
}

Lookup::Lookup(Family family) : resolver_(Loop()), family_(family) {}

int Lookup::Start(const std::string& name, Done done) {
  Cancel();
  const uint64_t gen = gen_;
  try {
    auto done = [self = shared_from_this(), gen](const std::error_code& ec,
                                                 const tcp::resolver::results_type& r) {
      self->Finished(gen, ec, r);
    };
    if (family_ == Family::V4) {
      resolver_.async_resolve(tcp::v4(), name, "", std::move(done));
    } else {
      resolver_.async_resolve(name, "", std::move(done));
    }
  } catch (const std::system_error& e) {
    return ToWinsock(e.code()) ? ToWinsock(e.code()) : kWSAETIMEDOUT;
  } catch (...) {
    return kWSAENOBUFS;
  }
  pending_ = true;
  done_ = std::move(done);
  return 0;
}

void Lookup::Cancel() {
  ++gen_;
  if (!pending_) return;
  pending_ = false;
  done_ = nullptr;
  resolver_.cancel();
}

void Lookup::Finished(uint64_t gen, const std::error_code& ec,
                      const tcp::resolver::results_type& results) {
  if (gen != gen_ || !pending_) return;
  pending_ = false;
  ++gen_;
  int code = ToWinsock(ec);
  std::vector<std::string> addresses;
  std::string first_v6;
  if (code == 0) {
    for (const auto& entry : results) {
      const auto a = entry.endpoint().address();
      if (a.is_v6()) {
        if (family_ == Family::Any && first_v6.empty()) first_v6 = a.to_string();
        continue;
      }
      const std::string text = a.to_string();
      if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
        addresses.push_back(text);
      }
    }
    if (addresses.empty() && !first_v6.empty()) addresses.push_back(first_v6);
    if (addresses.empty()) code = kWSANO_DATA;
  }
  auto done = std::move(done_);
  done_ = nullptr;
  if (done) done(code, addresses);
}

}  // namespace harvox::net::detail
