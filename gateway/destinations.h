// Where the node prompt's T command may lead: the sysop's DENY and ALLOW
// entries ([GATEWAY] in HARVOX.INI), then the built-in refusals, then
// admission.  A DENY match refuses; an ALLOW match admits; otherwise
// loopback, unspecified, link-local, private, shared, multicast and
// broadcast addresses, the engine's address and this host's own addresses
// (Harvox's own listening ports among them) are refused, and every other
// address is admitted.  Routes are the sysop's own and never come here.
//
// Re-entrancy: plain values; Check and Describe read only their arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"

namespace harvox {

struct DestinationVerdict {
  bool Allowed = false;
  std::string Rule;  // the rule that decided, as written for the log
};

// What of the running system is refused unless an ALLOW entry admits it.
struct LocalSide {
  std::vector<net::IpAddress> Engine;  // the engine's addresses, every port
  std::vector<net::IpAddress> Host;    // this host's own addresses, every port
  std::vector<uint16_t> Listeners;     // Harvox's own listening ports
};

class Destinations {
 public:
  // Comma-separated entries (see net::ParsePattern); blanks around entries
  // and empty entries are ignored.  Each entry not understood adds a line
  // naming it to `errors` and is left out: a caller must not run with a
  // policy that had errors, since a DENY entry left out opens a door.
  static Destinations Parse(std::string_view allow, std::string_view deny,
                            std::vector<std::string>& errors);

  DestinationVerdict Check(const net::IpAddress& address, uint16_t port,
                           const LocalSide& here) const;
  // The rules in the order they apply, one line each.
  std::vector<std::string> Describe(const LocalSide& here) const;

  std::vector<net::AddressPattern> Allow, Deny;
};

}  // namespace harvox
