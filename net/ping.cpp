// TPing: the lookup object behind the resolver component's one event.
//
// Re-entrancy: the event is the last thing each path does, so a handler may
// release the resolver.  The destructor detaches first (`releasing_`, lookup
// cancelled) and only then raises the cancellation.
#include "net/ping.h"

#include "net/lookup.h"
#include "net/winsock.h"

#include <cstdio>
#include <stdexcept>

namespace harvox::net {

namespace {

void Raise(const std::function<void(TPing&, uint16_t)>& slot, TPing& sender, int code) {
  auto handler = slot;
  if (!handler) return;
  try {
    handler(sender, static_cast<uint16_t>(code));
  } catch (...) {
    // No error escapes from the event.
  }
}

}  // namespace

TPing::TPing() : lookup_(detail::Lookup::Create()) {}

TPing::~TPing() {
  releasing_ = true;
  if (!lookup_->Pending()) return;
  lookup_->Cancel();
  Raise(OnDnsLookupDone, *this, kWSAEINTR);
}

bool TPing::Pending() const { return lookup_->Pending(); }

void TPing::LookupHost(const std::string& name) {
  if (releasing_) return;
  lookup_->Cancel();
  DnsResult.clear();
  DnsResults.clear();
  if (auto dotted = detail::DottedAddress(name)) {
    DnsResult = *dotted;
    DnsResults = {*dotted};
    Raise(OnDnsLookupDone, *this, 0);
    return;
  }
  // The destructor cancels the lookup, so the callback never outlives us.
  const auto done = [this](int result, const std::vector<std::string>& found) {
    if (result == 0) {
      DnsResult = found.front();
      DnsResults = found;
    }
    Raise(OnDnsLookupDone, *this, result);
  };
  const int code = lookup_->Start(name, done, Owner, TimeLimit);
  if (code == 0) return;
  char text[64];
  std::snprintf(text, sizeof text, ": can't start DNS lookup, error #%d", code);
  throw std::runtime_error(name + text);
}

}  // namespace harvox::net
