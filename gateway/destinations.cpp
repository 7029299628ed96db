// The T destination rules: the entry lists, the built-in ranges and the
// order in which they are applied.
//
// Re-entrancy: pure; the range table is built once and never changed.
#include "gateway/destinations.h"

#include <algorithm>

namespace harvox {
namespace {

struct Range {
  net::IpNetwork Network;
  const char* Kind;
};

// Addresses no station has business reaching through the gateway: this
// machine, the local networks around it, and one-to-many addresses.
const std::vector<Range>& Ranges() {
  static const std::vector<Range> table = [] {
    const struct {
      const char* text;
      const char* kind;
    } rows[] = {
        {"127.0.0.0/8", "loopback"},      {"::1", "loopback"},
        {"0.0.0.0/8", "unspecified"},     {"::", "unspecified"},
        {"169.254.0.0/16", "link-local"}, {"fe80::/10", "link-local"},
        {"10.0.0.0/8", "private"},        {"172.16.0.0/12", "private"},
        {"192.168.0.0/16", "private"},    {"fc00::/7", "private"},
        {"100.64.0.0/10", "shared"},      {"224.0.0.0/4", "multicast"},
        {"ff00::/8", "multicast"},        {"255.255.255.255", "broadcast"},
    };
    std::vector<Range> out;
    for (const auto& r : rows) out.push_back({*net::ParseNetwork(r.text), r.kind});
    return out;
  }();
  return table;
}

void ParseList(std::string_view list, const char* name, std::vector<net::AddressPattern>& into,
               std::vector<std::string>& errors) {
  while (true) {
    const size_t comma = list.find(',');
    std::string_view entry = list.substr(0, comma);
    const size_t first = entry.find_first_not_of(" \t");
    if (first != std::string_view::npos) {
      entry = entry.substr(first, entry.find_last_not_of(" \t") + 1 - first);
      if (const auto p = net::ParsePattern(entry)) {
        into.push_back(*p);
      } else {
        errors.push_back(std::string("[GATEWAY] ") + name + " entry '" + std::string(entry) +
                         "' is not an address, block or port");
      }
    }
    if (comma == std::string_view::npos) return;
    list.remove_prefix(comma + 1);
  }
}

bool Has(const std::vector<net::IpAddress>& list, const net::IpAddress& a) {
  return std::find(list.begin(), list.end(), a) != list.end();
}

std::string Joined(const std::vector<std::string>& items, const std::string& none) {
  if (items.empty()) return none;
  std::string out;
  for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
  return out;
}

std::string Entries(const std::vector<net::AddressPattern>& list) {
  std::vector<std::string> texts;
  for (const auto& p : list) texts.push_back(p.ToString());
  return Joined(texts, "none");
}

}  // namespace

Destinations Destinations::Parse(std::string_view allow, std::string_view deny,
                                 std::vector<std::string>& errors) {
  Destinations d;
  ParseList(allow, "ALLOW", d.Allow, errors);
  ParseList(deny, "DENY", d.Deny, errors);
  return d;
}

DestinationVerdict Destinations::Check(const net::IpAddress& a, uint16_t port,
                                       const LocalSide& here) const {
  for (const auto& p : Deny) {
    if (p.Matches(a, port)) return {false, "DENY " + p.ToString()};
  }
  for (const auto& p : Allow) {
    if (p.Matches(a, port)) return {true, "ALLOW " + p.ToString()};
  }
  for (const auto& r : Ranges()) {
    if (r.Network.Contains(a)) return {false, std::string(r.Kind) + " " + r.Network.ToString()};
  }
  if (Has(here.Engine, a)) return {false, "the engine's address " + a.ToString()};
  if (Has(here.Host, a)) {
    const auto& own = here.Listeners;
    if (std::find(own.begin(), own.end(), port) != own.end()) {
      return {false, "Harvox's own port " + std::to_string(port) + " on this host"};
    }
    return {false, "this host's own address " + a.ToString()};
  }
  return {true, "a public address"};
}

std::vector<std::string> Destinations::Describe(const LocalSide& here) const {
  std::vector<std::string> lines = {"DENY: " + Entries(Deny), "ALLOW: " + Entries(Allow)};
  std::vector<std::string> kinds;
  for (const auto& r : Ranges()) {
    if (std::find(kinds.begin(), kinds.end(), r.Kind) == kinds.end()) kinds.push_back(r.Kind);
  }
  for (const auto& kind : kinds) {
    std::vector<std::string> nets;
    for (const auto& r : Ranges()) {
      if (r.Kind == kind) nets.push_back(r.Network.ToString());
    }
    lines.push_back("refused, " + kind + ": " + Joined(nets, ""));
  }
  std::vector<std::string> engine, ports;
  for (const auto& a : here.Engine) engine.push_back(a.ToString());
  for (uint16_t p : here.Listeners) ports.push_back(std::to_string(p));
  lines.push_back("refused, the engine's address, every port: " +
                  Joined(engine, "the one the engine link uses"));
  lines.push_back("refused, this host's own addresses, every port (Harvox's own ports: " +
                  Joined(ports, "none") + ")");
  lines.push_back("admitted: every other address and port");
  return lines;
}

}  // namespace harvox
