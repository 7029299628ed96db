// IP address texts over asio's parsers (inet_pton underneath: no short
// forms such as "127.1", no names).
#include "net/ip_text.h"

namespace harvox::net {

namespace {

std::string_view Trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

asio::ip::address Unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

// An IPv4-mapped address counts as the IPv4 address it carries.
std::optional<asio::ip::address> Parse(std::string_view text) {
  std::error_code ec;
  const auto address = asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  return Unmapped(address);
}

// The wildcard of the address's family stands in the list beside it.
bool Covered(const std::vector<asio::ip::address>& list, std::string* why) {
  for (const auto& wild : list) {
    if (!wild.is_unspecified()) continue;
    for (const auto& other : list) {
      if (other != wild && other.is_v4() == wild.is_v4()) {
        *why = wild.to_string() + " already covers " + other.to_string();
        return true;
      }
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> IpAddressText(std::string_view text) {
  const auto address = Parse(text);
  if (!address) return std::nullopt;
  return address->to_string();
}

std::optional<std::vector<std::string>> ParseListenList(std::string_view text, std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  std::vector<asio::ip::address> list;
  std::string_view rest = text;
  while (true) {
    const size_t comma = rest.find(',');
    const std::string_view entry = Trimmed(rest.substr(0, comma));
    const auto address = Parse(entry);
    if (!address) {
      *why = entry.empty() ? "an entry is empty" : "'" + std::string(entry) + "' is no IP address";
      return std::nullopt;
    }
    bool seen = false;
    for (const auto& a : list) seen = seen || a == *address;
    if (!seen) list.push_back(*address);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (Covered(list, why)) return std::nullopt;
  std::vector<std::string> texts;
  for (const auto& a : list) texts.push_back(a.to_string());
  return texts;
}

std::string ReadableAddress(const asio::ip::address& address) {
  return Unmapped(address).to_string();
}

std::string EndpointText(const std::string& address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace harvox::net
