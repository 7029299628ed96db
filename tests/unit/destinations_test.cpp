// Where T may lead: entries as written, the built-in refusals, DENY before
// ALLOW before the defaults, ports, IPv6 and mapped addresses, and entries
// that must not be taken at all.
#include <gtest/gtest.h>

#include "gateway/destinations.h"

namespace harvox {
namespace {

TEST(Destinations, VerdictsAndTheRuleThatDecided) {
  const LocalSide here{{*net::ParseAddress("203.0.113.9")}, {*net::ParseAddress("198.51.100.7")},
                       {2323}};
  const struct {
    const char *allow, *deny, *address;
    uint16_t port;
    const char* rule;  // empty: admitted as a public address
  } cases[] = {
      {"", "", "8.8.8.8", 23, ""},
      {"", "", "127.0.0.1", 8001, "loopback 127.0.0.0/8"},
      {"", "", "127.255.0.1", 23, "loopback 127.0.0.0/8"},
      {"", "", "0.0.0.0", 23, "unspecified 0.0.0.0/8"},
      {"", "", "169.254.10.1", 80, "link-local 169.254.0.0/16"},
      {"", "", "10.200.0.1", 23, "private 10.0.0.0/8"},
      {"", "", "172.31.255.255", 23, "private 172.16.0.0/12"},
      {"", "", "172.32.0.1", 23, ""},
      {"", "", "192.168.1.1", 80, "private 192.168.0.0/16"},
      {"", "", "100.127.255.255", 23, "shared 100.64.0.0/10"},
      {"", "", "100.128.0.1", 23, ""},
      {"", "", "239.1.1.1", 23, "multicast 224.0.0.0/4"},
      {"", "", "255.255.255.255", 23, "broadcast 255.255.255.255"},
      {"", "", "::1", 23, "loopback ::1"},
      {"", "", "::", 23, "unspecified ::"},
      {"", "", "fe80::1", 23, "link-local fe80::/10"},
      {"", "", "fd00::1", 23, "private fc00::/7"},
      {"", "", "ff02::1", 23, "multicast ff00::/8"},
      {"", "", "2001:db8::1", 23, ""},
      {"", "", "::ffff:127.0.0.1", 23, "loopback 127.0.0.0/8"},
      {"", "", "::ffff:192.168.0.1", 23, "private 192.168.0.0/16"},
      {"", "", "203.0.113.9", 80, "the engine's address 203.0.113.9"},
      {"", "", "198.51.100.7", 2323, "Harvox's own port 2323 on this host"},
      {"", "", "198.51.100.7", 22, "this host's own address 198.51.100.7"},
      {"127.0.0.1:2424", "", "127.0.0.1", 2424, "ALLOW 127.0.0.1:2424"},
      {"127.0.0.1:2424", "", "127.0.0.1", 2425, "loopback 127.0.0.0/8"},
      {"198.51.100.7", "", "198.51.100.7", 2323, "ALLOW 198.51.100.7"},
      {" 10.0.0.0/8 ,, [fd00::/8]:23 ", "", "fd12::5", 23, "ALLOW [fd00::/8]:23"},
      {"10.0.0.0/8", "10.9.0.0/16", "10.9.1.1", 23, "DENY 10.9.0.0/16"},
      {"10.0.0.0/8", "10.9.0.0/16", "10.8.1.1", 23, "ALLOW 10.0.0.0/8"},
      {"*", "*:25", "8.8.8.8", 25, "DENY *:25"},
      {"*", "*:25", "127.0.0.1", 8001, "ALLOW *"},
      {"::ffff:127.0.0.1", "", "127.0.0.1", 23, "ALLOW 127.0.0.1"},
      {"::ffff:0:0/96", "", "10.0.0.1", 23, "ALLOW 0.0.0.0/0"},
      {"", "[2001:db8::]/32:23", "2001:db8:1::1", 23, "DENY [2001:db8::/32]:23"},
      {"", "[2001:db8::/32]:23", "2001:db8:1::1", 24, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> errors;
    const auto d = Destinations::Parse(c.allow, c.deny, errors);
    EXPECT_TRUE(errors.empty()) << c.allow << " " << c.deny;
    const auto v = d.Check(*net::ParseAddress(c.address), c.port, here);
    const bool allowed = *c.rule == '\0' || std::string(c.rule).rfind("ALLOW", 0) == 0;
    EXPECT_EQ(v.Allowed, allowed) << c.address << ":" << c.port;
    EXPECT_EQ(v.Rule, *c.rule ? c.rule : "a public address") << c.address << ":" << c.port;
  }
}

TEST(Destinations, EntriesNotUnderstoodAreNamedAndLeftOut) {
  for (const char* bad : {"10.0.0.0/33", "10.1.2.3/8", "300.1.1.1", "127.1", "0x7f.0.0.1",
                          "010.0.0.1", "host.example", "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:",
                          "[::1", "[::1]23", "::1/129", "fe80::1%eth0", "*:x", "**", "1.2.3.4:23:1",
                          "10.0.0.0/-8", "2001:db8::/+32"}) {
    std::vector<std::string> errors;
    const auto d = Destinations::Parse("8.8.8.8", std::string("1.1.1.1, ") + bad + " ", errors);
    ASSERT_EQ(errors.size(), 1u) << bad;
    EXPECT_EQ(errors[0],
              std::string("[GATEWAY] DENY entry '") + bad + "' is not an address, block or port");
    EXPECT_EQ(d.Deny.size(), 1u) << bad;
  }
}

}  // namespace
}  // namespace harvox
