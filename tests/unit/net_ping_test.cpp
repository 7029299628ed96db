// The resolver component: synchronous answers for dotted addresses, one
// event per lookup that is not superseded, and cancellation on release.
#include "net/ping.h"
#include "net/winsock.h"
#include "util/event_loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace harvox::net {
namespace {

struct Results {
  explicit Results(TPing& p) {
    p.OnDnsLookupDone = [this](TPing& sender, uint16_t code) {
      codes.push_back(code);
      addresses.push_back(sender.DnsResult);
    };
  }
  std::vector<int> codes;
  std::vector<std::string> addresses;
};

TEST(NetPing, DottedAddressAnswersBeforeReturning) {
  TPing p;
  Results r(p);
  p.LookupHost("10.1.2.3");
  EXPECT_EQ(r.codes, std::vector<int>{0});
  EXPECT_EQ(p.DnsResult, "10.1.2.3");
  EXPECT_FALSE(p.Pending());
}

TEST(NetPing, SecondLookupReplacesFirstSilently) {
  TPing p;
  Results r(p);
  p.LookupHost("bad..name");  // would fail if it were still reported
  p.LookupHost("localhost");
  EXPECT_TRUE(p.DnsResult.empty());
  ASSERT_TRUE(RunUntil([&] { return !r.codes.empty(); }));
  RunFor(std::chrono::milliseconds(50));
  EXPECT_EQ(r.codes, std::vector<int>{0});
  EXPECT_EQ(r.addresses, std::vector<std::string>{"127.0.0.1"});
}

TEST(NetPing, UnknownNameFailsWithEmptyResult) {
  TPing p;
  Results r(p);
  p.LookupHost("127.0.0.1");
  p.LookupHost("bad..name");
  ASSERT_TRUE(RunUntil([&] { return r.codes.size() == 2; }));
  EXPECT_EQ(r.codes[1], kWSAHOST_NOT_FOUND);
  EXPECT_TRUE(p.DnsResult.empty());
}

TEST(NetPing, ReleaseWhilePendingRaisesCancelOnce) {
  int events = 0;
  int code = 0;
  {
    TPing p;
    p.OnDnsLookupDone = [&](TPing& sender, uint16_t c) {
      ++events;
      code = c;
      sender.LookupHost("localhost");  // ignored while being released
    };
    p.LookupHost("localhost");
  }
  EXPECT_EQ(events, 1);
  EXPECT_EQ(code, kWSAEINTR);
  RunFor(std::chrono::milliseconds(50));
  EXPECT_EQ(events, 1);
}

TEST(NetPing, ReleaseInsideItsOwnHandler) {
  auto p = std::make_unique<TPing>();
  int events = 0;
  p->OnDnsLookupDone = [&](TPing&, uint16_t) {
    ++events;
    p.reset();
  };
  p->LookupHost("localhost");
  ASSERT_TRUE(RunUntil([&] { return !p; }));
  RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(events, 1);
}

}  // namespace
}  // namespace harvox::net
