// IPv4 and IPv6 addresses as values: parsing an address, an address block
// (address/prefix) and an address pattern with an optional port, and
// matching an address and port against them.  Used by the gateway's
// destination rules and by anything else that configures addresses.
//
// An IPv4 address is held in its IPv4-mapped IPv6 form (::ffff:a.b.c.d),
// so a mapped address and the IPv4 address it carries are the same value,
// and an IPv4 prefix of n bits is a prefix of 96 + n bits.
//
// Re-entrancy: pure functions over strings and values; no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harvox::net {

struct IpAddress {
  std::array<uint8_t, 16> Bytes{};

  bool IsV4() const;
  // Dotted for IPv4 (mapped ones too), the usual short form for IPv6.
  std::string ToString() const;
  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

IpAddress MakeV4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// A dotted IPv4 address (four decimal fields, no leading zeros) or an IPv6
// address in text form (no brackets, no zone); anything else is none.
std::optional<IpAddress> ParseAddress(std::string_view text);

// The addresses whose first Prefix bits (of the 128-bit form) are Base's.
struct IpNetwork {
  IpAddress Base;
  int Prefix = 128;

  bool Contains(const IpAddress& a) const;
  // "10.0.0.0/8", "2001:db8::/32"; a single address without the prefix.
  std::string ToString() const;
};

// "address" or "address/prefix" (0-32 for IPv4, 0-128 for IPv6).  A block
// with bits set beyond its prefix (10.1.2.3/8) is none: it was probably
// meant otherwise, and taking it either way could widen what it covers.
std::optional<IpNetwork> ParseNetwork(std::string_view text);

// An address block (or any address) with a port (or any port).
struct AddressPattern {
  std::optional<IpNetwork> Network;  // none: any address
  uint16_t Port = 0;                 // 0: any port

  bool Matches(const IpAddress& a, uint16_t port) const;
  // As it would be written: "10.0.0.0/8", "192.168.1.10:23",
  // "[2001:db8::/32]:23", "*:23".
  std::string ToString() const;
};

// One pattern as written, blanks around it ignored:
//   192.168.1.10   192.168.1.10:23   10.0.0.0/8   10.0.0.0/8:23
//   2001:db8::1   2001:db8::/32   [2001:db8::1]:23   [2001:db8::/32]:23
//   *   *:23
// A port is 1 to 65535 in decimal.  Anything else is none.
std::optional<AddressPattern> ParsePattern(std::string_view text);

}  // namespace harvox::net
