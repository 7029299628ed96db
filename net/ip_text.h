// IP addresses as text, IPv4 and IPv6 alike: the list of addresses a
// server listens on (the BIND settings), the readable form of a peer's
// address, and address:port for log lines.
//
// Re-entrancy: pure functions, no I/O; callable from any thread.
#pragma once

#include <asio/ip/address.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harvox::net {

// The canonical text of an IPv4 or IPv6 address written as one ("::1",
// "127.0.0.1", "fe80::1%2"), or none for anything else (names included).
std::optional<std::string> IpAddressText(std::string_view text);

// A comma-separated list of addresses to listen on.  Blanks around entries
// are ignored; the addresses come back canonical, in order, each once.
// None, with *why saying which entry and what is wrong, when an entry is
// no address (empty ones and names included), or when a wildcard (0.0.0.0
// or ::) stands beside another address of its family, which it covers.
std::optional<std::vector<std::string>> ParseListenList(std::string_view text, std::string* why);

// What log lines and per-address tables show of a peer: the usual text,
// and an IPv4-mapped IPv6 address as its IPv4 text.
std::string ReadableAddress(const asio::ip::address& address);

// "127.0.0.1:23", "[::1]:23".
std::string EndpointText(const std::string& address, int port);

}  // namespace harvox::net
