// The end-to-end harness itself, against two real engines on the simulated
// channel: registration, a connect over the air, binary data both ways,
// disconnect, the test node's dialogue, and an engine restart.  Prints how
// long the pair takes to start and a connect takes.
#include "support/agw_client.h"
#include "support/direwolf_pair.h"
#include "support/test_node.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace harvox::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

AgwFrame LinkFrame(char kind, const std::string& own, const std::string& remote,
                   std::string data = "") {
  AgwFrame f;
  f.kind = kind;
  f.from = own;
  f.to = remote;
  f.data = std::move(data);
  if (kind == 'D') f.pid = 0xF0;
  return f;
}

auto Kind(char kind) {
  return [kind](const AgwFrame& f) { return f.kind == kind; };
}

long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

// Connects to an engine and registers call; fails the test otherwise.
void Register(AgwClient& client, uint16_t port, const std::string& call) {
  const auto start = Clock::now();
  ASSERT_TRUE(client.Connect("127.0.0.1", port));
  ASSERT_TRUE(client.Send(LinkFrame('X', call, "")));
  auto reply = client.ReadUntil(Kind('X'), 30s);
  ASSERT_TRUE(reply) << "no registration reply for " << call;
  EXPECT_EQ(reply->from, call);
  EXPECT_EQ(reply->data, std::string(1, '\1'));
  std::printf("[ timing   ] registration of %s took %ld ms\n", call.c_str(), Ms(Clock::now() - start));
}

// Data arrives as a byte stream: collects 'D' frames until n bytes came.
std::string ReadData(AgwClient& client, size_t n, const std::string& from) {
  std::string got;
  while (got.size() < n) {
    auto f = client.ReadUntil(Kind('D'), 30s);
    if (!f) break;
    EXPECT_EQ(f->from, from);
    got += f->data;
  }
  return got;
}

std::string AllBytes(bool descending) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(descending ? 255 - i : i);
  return bytes;
}

void StartPair(DirewolfPair& pair) {
  std::string error;
  ASSERT_TRUE(pair.Start(&error)) << error;
  std::printf("[ timing   ] pair started in %ld ms\n", static_cast<long>(pair.StartTime().count()));
}

TEST(DirewolfHarness, RawClientsConnectOverTheAirAndPassEveryByte) {
  HARVOX_REQUIRE_DIREWOLF();
  DirewolfPair pair;
  ASSERT_NO_FATAL_FAILURE(StartPair(pair));
  AgwClient a, b;
  ASSERT_NO_FATAL_FAILURE(Register(a, pair.AgwPort(Station::A), "N0AAA-3"));
  ASSERT_NO_FATAL_FAILURE(Register(b, pair.AgwPort(Station::B), "N0BBB-9"));

  const auto asked = Clock::now();
  ASSERT_TRUE(a.Send(LinkFrame('C', "N0AAA-3", "N0BBB-9")));
  auto up = a.ReadUntil(Kind('C'), 30s);
  ASSERT_TRUE(up) << "no connect notice";
  std::printf("[ timing   ] connect took %ld ms\n", Ms(Clock::now() - asked));
  EXPECT_EQ(up->from, "N0BBB-9");
  EXPECT_EQ(up->to, "N0AAA-3");
  EXPECT_EQ(up->data, std::string("*** CONNECTED With Station N0BBB-9\r\0", 36));
  auto called = b.ReadUntil(Kind('C'), 30s);
  ASSERT_TRUE(called);
  EXPECT_EQ(called->from, "N0AAA-3");
  EXPECT_EQ(called->data, std::string("*** CONNECTED To Station N0AAA-3\r\0", 34));

  ASSERT_TRUE(a.Send(LinkFrame('D', "N0AAA-3", "N0BBB-9", AllBytes(false))));
  EXPECT_EQ(ReadData(b, 256, "N0AAA-3"), AllBytes(false));
  const auto sent = Clock::now();
  ASSERT_TRUE(b.Send(LinkFrame('D', "N0BBB-9", "N0AAA-3", AllBytes(true))));
  EXPECT_EQ(ReadData(a, 256, "N0BBB-9"), AllBytes(true));
  std::printf("[ timing   ] 256 bytes B->A took %ld ms\n", Ms(Clock::now() - sent));

  const auto asked_down = Clock::now();
  ASSERT_TRUE(a.Send(LinkFrame('d', "N0AAA-3", "N0BBB-9")));
  auto down_a = a.ReadUntil(Kind('d'), 30s);
  auto down_b = b.ReadUntil(Kind('d'), 30s);
  ASSERT_TRUE(down_a && down_b);
  std::printf("[ timing   ] disconnect took %ld ms\n", Ms(Clock::now() - asked_down));
  EXPECT_EQ(down_a->data, std::string("*** DISCONNECTED From Station N0BBB-9\r\0", 39));
  EXPECT_EQ(down_b->data, std::string("*** DISCONNECTED From Station N0AAA-3\r\0", 39));
}

// One visit to the test node: greeting, an echoed line, BYE.
void VisitNode(AgwClient& a) {
  const auto asked = Clock::now();
  ASSERT_TRUE(a.Send(LinkFrame('C', "N0AAA-3", "N0BBB-7")));
  ASSERT_TRUE(a.ReadUntil(Kind('C'), 30s)) << "no connect notice";
  std::printf("[ timing   ] connect took %ld ms\n", Ms(Clock::now() - asked));
  std::string greeting = TestNode::Greeting("N0BBB-7", "N0AAA-3");
  EXPECT_EQ(ReadData(a, greeting.size(), "N0BBB-7"), greeting);
  ASSERT_TRUE(a.Send(LinkFrame('D', "N0AAA-3", "N0BBB-7", "hello node\r")));
  EXPECT_EQ(ReadData(a, 11, "N0BBB-7"), "hello node\r");
  ASSERT_TRUE(a.Send(LinkFrame('D', "N0AAA-3", "N0BBB-7", "bye\r")));
  EXPECT_EQ(ReadData(a, 14, "N0BBB-7"), "73 de N0BBB-7\r");
  auto down = a.ReadUntil(Kind('d'), 30s);
  ASSERT_TRUE(down) << "the node did not disconnect";
  EXPECT_EQ(down->from, "N0BBB-7");
}

TEST(DirewolfHarness, TestNodeServesCallersAcrossAnEngineRestart) {
  HARVOX_REQUIRE_DIREWOLF();
  DirewolfPair pair;
  ASSERT_NO_FATAL_FAILURE(StartPair(pair));
  TestNode node("127.0.0.1", pair.AgwPort(Station::B), "N0BBB-7");
  node.Start();
  ASSERT_TRUE(node.WaitForEvent("registered N0BBB-7"));
  AgwClient a;
  ASSERT_NO_FATAL_FAILURE(Register(a, pair.AgwPort(Station::A), "N0AAA-3"));
  ASSERT_NO_FATAL_FAILURE(VisitNode(a));
  EXPECT_TRUE(node.WaitForEvent("disconnected N0AAA-3"));

  ASSERT_TRUE(pair.StopEngine(Station::A));
  EXPECT_FALSE(a.Read(2s));
  EXPECT_FALSE(a.Connected());
  std::string error;
  ASSERT_TRUE(pair.StartEngine(Station::A, &error)) << error;
  std::printf("[ timing   ] engine A restarted in %ld ms\n",
              static_cast<long>(pair.EngineStartTime().count()));
  ASSERT_NO_FATAL_FAILURE(Register(a, pair.AgwPort(Station::A), "N0AAA-3"));
  ASSERT_NO_FATAL_FAILURE(VisitNode(a));
  EXPECT_TRUE(node.WaitForEvent("connected N0AAA-3", 2));
}

}  // namespace
}  // namespace harvox::test
