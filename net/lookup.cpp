// Host-name lookup through the lookup pool: every IPv4 address of the name,
// or with Family::Any the first IPv6 one when there is no IPv4 address.
//
// Re-entrancy: see lookup.h.  The pool's completion and the deadline's
// handler hold weak references, so neither keeps this object alive nor
// reaches it after its release.
#include "net/lookup.h"

#include "net/lookup_pool.h"
#include "net/winsock.h"
#include "util/event_loop.h"

#include <asio/ip/address.hpp>
#include <asio/ip/address_v4.hpp>

#include <algorithm>
#include <chrono>

namespace harvox::net::detail {

std::optional<std::string> DottedAddress(const std::string& text) {
  std::error_code ec;
  const auto address = asio::ip::make_address_v4(text, ec);
  if (ec) return std::nullopt;
  return address.to_string();
}

Lookup::Lookup(Family family) : deadline_(Loop()), family_(family) {}

Lookup::~Lookup() {
  if (ticket_ != 0) LookupPool::Get().Cancel(ticket_);
}

int Lookup::Start(const std::string& name, Done done, const std::string& tag, uint32_t limit_ms) {
  Cancel();
  const uint64_t gen = gen_;
  std::weak_ptr<Lookup> weak = weak_from_this();
  int refusal = 0;
  ticket_ = LookupPool::Get().Submit(
      name, family_ == Family::V4, tag,
      [weak, gen](int code, const std::vector<std::string>& found) {
        if (auto self = weak.lock()) self->Finished(gen, code, found);
      },
      refusal);
  if (ticket_ == 0) return refusal;
  pending_ = true;
  done_ = std::move(done);
  if (limit_ms == 0) return 0;
  deadline_.expires_after(std::chrono::milliseconds(limit_ms));
  deadline_.async_wait([weak, gen](const std::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) self->Finished(gen, kWSAETIMEDOUT, {});
  });
  return 0;
}

void Lookup::Cancel() {
  ++gen_;
  if (!pending_) return;
  pending_ = false;
  done_ = nullptr;
  deadline_.cancel();
  LookupPool::Get().Cancel(ticket_);
  ticket_ = 0;
}

void Lookup::Finished(uint64_t gen, int code, const std::vector<std::string>& found) {
  if (gen != gen_ || !pending_) return;
  pending_ = false;
  ++gen_;
  deadline_.cancel();
  LookupPool::Get().Cancel(ticket_);  // overdue: its answer is not wanted
  ticket_ = 0;
  std::vector<std::string> addresses;
  std::string first_v6;
  if (code == 0) {
    for (const auto& text : found) {
      std::error_code ec;
      const auto a = asio::ip::make_address(text, ec);
      if (ec) continue;
      if (a.is_v6()) {
        if (family_ == Family::Any && first_v6.empty()) first_v6 = a.to_string();
        continue;
      }
      const std::string v4 = a.to_string();
      if (std::find(addresses.begin(), addresses.end(), v4) == addresses.end()) {
        addresses.push_back(v4);
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
