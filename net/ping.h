// The resolver component: one asynchronous IPv4 host-name lookup at a time,
// reported by OnDnsLookupDone on the message loop; the lookups of different
// resolvers run side by side.  Only the lookup is offered; no echo
// requests are ever sent.
//
// Re-entrancy: the handler may start a new lookup or release the resolver.
// Releasing it while a lookup is pending raises OnDnsLookupDone(10004) once,
// from the destructor; the resolver ignores every call from that handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace harvox::net {

namespace detail {
class Lookup;
}

class TPing {
 public:
  std::string DnsResult;  // empty while a lookup runs and after a failed one
  // Every IPv4 address of the name, DnsResult first; empty like DnsResult.
  std::vector<std::string> DnsResults;
  std::function<void(TPing&, uint16_t code)> OnDnsLookupDone;
  // Who asks: while a lookup for the same owner still runs (even one
  // dropped since), LookupHost refuses.  Empty: no such limit.
  std::string Owner;
  // A lookup unanswered after this many ms ends with 10060; 0: no limit.
  uint32_t TimeLimit = 0;

  TPing();
  ~TPing();
  TPing(const TPing&) = delete;
  TPing& operator=(const TPing&) = delete;

  // A pending lookup is dropped silently.  A dotted address answers with
  // OnDnsLookupDone(0) before returning.  A lookup the system refuses to
  // start throws std::runtime_error("<name>: can't start DNS lookup, error #<code>").
  void LookupHost(const std::string& name);
  bool Pending() const;

 private:
  std::shared_ptr<detail::Lookup> lookup_;
  bool releasing_ = false;
};

}  // namespace harvox::net
