// Address parsing over inet_pton (which takes strict dotted IPv4, with no
// octal, hexadecimal or short forms) and inet_ntop.  Every piece of text is
// checked for length and characters before it reaches them.
//
// Re-entrancy: pure; see address.h.
#include "net/address.h"

#include <arpa/inet.h>

#include <algorithm>

namespace harvox::net {
namespace {

constexpr std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A decimal number of at most `digits` digits, no sign, no blanks.
std::optional<int> SmallNumber(std::string_view s, size_t digits) {
  if (!AllDigits(s) || s.size() > digits) return std::nullopt;
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<uint16_t> ParsePort(std::string_view s) {
  const auto v = SmallNumber(s, 5);
  if (!v || *v < 1 || *v > 65535) return std::nullopt;
  return static_cast<uint16_t>(*v);
}

std::string V6Text(const IpAddress& a) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, a.Bytes.data(), text, sizeof text);
  return text;
}

}  // namespace

IpAddress MakeV4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress r;
  std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), r.Bytes.begin());
  r.Bytes[12] = a;
  r.Bytes[13] = b;
  r.Bytes[14] = c;
  r.Bytes[15] = d;
  return r;
}

bool IpAddress::IsV4() const {
  return std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), Bytes.begin());
}

std::string IpAddress::ToString() const {
  if (!IsV4()) return V6Text(*this);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, Bytes.data() + 12, text, sizeof text);
  return text;
}

std::optional<IpAddress> ParseAddress(std::string_view text) {
  // Longest IPv6 text form with an embedded IPv4 address is 45 characters.
  if (text.empty() || text.size() > 45) return std::nullopt;
  const bool allowed = std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' ||
           c == ':';
  });
  if (!allowed) return std::nullopt;
  const std::string z(text);
  if (z.find(':') == std::string::npos) {
    uint8_t v4[4];
    if (inet_pton(AF_INET, z.c_str(), v4) != 1) return std::nullopt;
    return MakeV4(v4[0], v4[1], v4[2], v4[3]);
  }
  IpAddress r;
  if (inet_pton(AF_INET6, z.c_str(), r.Bytes.data()) != 1) return std::nullopt;
  return r;
}

bool IpNetwork::Contains(const IpAddress& a) const {
  const int whole = Prefix / 8;
  if (!std::equal(Base.Bytes.begin(), Base.Bytes.begin() + whole, a.Bytes.begin())) return false;
  const int bits = Prefix % 8;
  if (bits == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xff << (8 - bits));
  return (Base.Bytes[whole] & mask) == (a.Bytes[whole] & mask);
}

std::string IpNetwork::ToString() const {
  const bool v4 = Base.IsV4() && Prefix >= 96;
  if (Prefix == 128) return Base.ToString();
  return (v4 ? Base.ToString() : V6Text(Base)) + "/" + std::to_string(v4 ? Prefix - 96 : Prefix);
}

std::optional<IpNetwork> ParseNetwork(std::string_view text) {
  const size_t slash = text.find('/');
  const auto base = ParseAddress(text.substr(0, slash));
  if (!base) return std::nullopt;
  // A dotted address counts its prefix in IPv4 bits; a text one in IPv6
  // bits, even when it is a mapped IPv4 address.
  const bool dotted = text.substr(0, slash).find(':') == std::string_view::npos;
  IpNetwork n{*base, 128};
  if (slash != std::string_view::npos) {
    const auto bits = SmallNumber(text.substr(slash + 1), 3);
    if (!bits || *bits > (dotted ? 32 : 128)) return std::nullopt;
    n.Prefix = dotted ? 96 + *bits : *bits;
  }
  IpAddress masked{};
  for (size_t i = 0; i < 16; ++i) {
    const int keep = std::clamp(n.Prefix - static_cast<int>(i) * 8, 0, 8);
    masked.Bytes[i] = static_cast<uint8_t>(n.Base.Bytes[i] & (0xff00 >> keep));
  }
  if (masked != n.Base) return std::nullopt;
  return n;
}

bool AddressPattern::Matches(const IpAddress& a, uint16_t port) const {
  if (Port != 0 && Port != port) return false;
  return !Network || Network->Contains(a);
}

std::string AddressPattern::ToString() const {
  const std::string net = Network ? Network->ToString() : "*";
  if (Port == 0) return net;
  const bool v6 = Network && (!Network->Base.IsV4() || Network->Prefix < 96);
  return (v6 ? "[" + net + "]" : net) + ":" + std::to_string(Port);
}

std::optional<AddressPattern> ParsePattern(std::string_view text) {
  text = Trim(text);
  std::string host;
  std::string_view port;
  bool has_port = false;
  if (!text.empty() && text.front() == '[') {
    // [address] or [address/prefix] or [address]/prefix, then :port or nothing.
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = std::string(text.substr(1, close - 1));
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() == '/') {
      const size_t colon = rest.find(':');
      host += std::string(rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon);
    }
    if (!rest.empty() && rest.front() != ':') return std::nullopt;
    has_port = !rest.empty();
    if (has_port) port = rest.substr(1);
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    const size_t colon = text.find(':');
    host = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
    has_port = true;
  } else {
    host = std::string(text);  // no port, or a bare IPv6 block
  }
  AddressPattern p;
  if (has_port) {
    const auto number = ParsePort(port);
    if (!number) return std::nullopt;
    p.Port = *number;
  }
  if (host == "*") return p;
  const auto net = ParseNetwork(host);
  if (!net) return std::nullopt;
  p.Network = *net;
  return p;
}

}  // namespace harvox::net
