// Faults from real engines: a lossy channel, an engine killed and restarted
// again and again, and a node that never answers.  The Telnet server and the
// gateway run on engine A; the test node (greets, echoes lines, BYE hangs
// up) and the radio stations on engine B; the gateway's route N0AAA-3 leads
// to a local echo host.
#include <gtest/gtest.h>

#include <cstdio>

#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "support/direwolf_pair.h"
#include "support/echo_sink.h"
#include "support/net_test_util.h"
#include "support/radio_station.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"
#include "support/test_node.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::DirewolfPair;
using test::RadioStation;
using test::Station;
using test::TcpPeer;

constexpr const char* kNode = "N0BBB-7";
constexpr const char* kRoute = "N0AAA-3";
constexpr const char* kFloodRoute = "N0AAA-4";  // to a host the test drives

// 4 KiB in 64 numbered lines of 64 bytes, each ended by CR.
std::string Lines(char tag) {
  std::string all;
  for (int i = 0; i < 64; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "%c%03d %s\r", tag, i,
                  std::string(58, static_cast<char>('a' + i % 26)).c_str());
    all += line;
  }
  return all;
}

std::string WithoutLf(std::string s) {
  std::erase(s, '\n');
  return s;
}

struct Faults : ::testing::Test {
  test::WorkDir wd;
  std::unique_ptr<DirewolfPair> pair;
  std::unique_ptr<test::TestNode> node;
  TLog log;
  std::unique_ptr<TTelnetD> server;
  test::EchoSink host;
  net::test::RawListener flood;
  std::unique_ptr<TTNClient> gw;

  void StartAll(DirewolfPair::Options options = {}) {
    pair = std::make_unique<DirewolfPair>(std::move(options));
    std::string error;
    ASSERT_TRUE(pair->Start(&error)) << error;
    node = std::make_unique<test::TestNode>("127.0.0.1", pair->AgwPort(Station::B), kNode);
    node->Start();
    ASSERT_TRUE(node->WaitForEvent("registered"));
    test::WriteFile(wd.File("USERS.INI"),
                    "[USERS]\r\nDEMO=demo,N0AAA-5,0,1:N0BBB-7\r\nLOST=pw,N0AAA-6,0,1:N0ZZZ-1\r\n"
                    "U1=pw,N0AAA-11\r\nU2=pw,N0AAA-12\r\nU3=pw,N0AAA-13\r\n");
    test::OpenLog(log, wd.File("HARVOX.LOG"), 3);
    server = std::make_unique<TTelnetD>(&log);
    server->ListenPort = 0;
    server->MaxUsers = 10;
    server->DefNodePort = 1;
    server->DefNodeCall = kNode;
    server->AGWAddress = "127.0.0.1";
    server->AGWPort = pair->AgwPort(Station::A);
    server->Recover = true;
    server->AGWReopenMs = 500;
    pair->Share(server->Link(), Station::A);
    server->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return server->Link().Active == 1; }, 30s));
    gw = std::make_unique<TTNClient>(&log);
    gw->CallSign = kRoute;
    gw->AGWPort = pair->AgwPort(Station::A);
    gw->Recover = true;
    gw->RecoverMs = 500;
    gw->IsrtClient(kRoute, "127.0.0.1", host.Port(), 600000, 3600000, false);
    gw->IsrtClient(kFloodRoute, "127.0.0.1", flood.Port(), 600000, 3600000, false);
    pair->Share(gw->Link(), Station::A);
    gw->SetActive(true);
    ASSERT_TRUE(GatewayUp());
  }
  bool GatewayUp() {
    return RunUntil([&] { return gw->Active && gw->Link().Active == 1; }, 15s);
  }
  void TearDown() override {
    gw.reset();
    server.reset();
    if (node) node->Stop();
  }
  std::unique_ptr<TcpPeer> LogIn(const std::string& id, const std::string& pw) {
    auto p = std::make_unique<TcpPeer>(server->BoundPort());
    EXPECT_TRUE(Await(*p, "Login:"));
    p->Send(id + "\r\n" + pw + "\r\n");
    EXPECT_TRUE(Await(*p, "Users logged in.\r\n"));
    return p;
  }
  static bool Await(TcpPeer& p, const std::string& text, std::chrono::milliseconds t = 20s) {
    return RunUntil([&] { return p.Has(text); }, t);
  }
  static bool Await(RadioStation& s, const std::string& text, std::chrono::milliseconds t = 30s) {
    return RunUntil([&] { return s.Has(text); }, t);
  }
  // A new station through the route to the echo host.
  std::unique_ptr<RadioStation> Call(const std::string& call, const char* route = kRoute) {
    auto s = std::make_unique<RadioStation>(pair->AgwPort(Station::B), call, route);
    EXPECT_TRUE(s->Ok());
    EXPECT_TRUE(Await(*s, "*** Linked with <127.0.0.1:")) << s->Got();
    return s;
  }
};

TEST_F(Faults, EveryByteArrivesInOrderOverALossyChannel) {
  HARVOX_REQUIRE_DIREWOLF();
  DirewolfPair::Options o;
  o.args_a = {"-E", "25", "-ER25"};  // a quarter of the frames lost each way
  o.extra_a = o.extra_b = "RETRY 15";
  StartAll(o);
  // A Telnet user and a station each send 4 KiB, echoed back, at once.
  auto user = LogIn("demo", "demo");
  ASSERT_TRUE(Await(*user, kNode));
  auto station = Call("N0BBB-1");
  const std::string typed = Lines('U'), said = Lines('S');
  user->Send(WithoutLf(typed));
  for (size_t at = 0; at < said.size(); at += 64) station->Say(said.substr(at, 64));
  // The node and the echo host end each line with CR LF.
  EXPECT_TRUE(RunUntil([&] { return WithoutLf(user->Received()).find(typed) != std::string::npos; }, 150s))
      << "user: lost, doubled or reordered bytes; " << user->Received().size() << " received";
  auto echoed = [&] {  // from the first line on, after the link's banner
    const std::string got = WithoutLf(station->Got());
    return got.substr(std::min(got.find("S000"), got.size()));
  };
  EXPECT_TRUE(RunUntil([&] { return echoed().size() >= said.size(); }, 150s));
  EXPECT_EQ(echoed(), said)
      << "station: lost, doubled or reordered bytes; " << station->Got().size() << " received";
}

TEST_F(Faults, TheEngineKilledThreeTimesInARowIsRejoinedEveryTime) {
  HARVOX_REQUIRE_DIREWOLF();
  StartAll();
  const char* ids[] = {"u1", "u2", "u3"};
  int round = 0;
  for (const char* id : ids) {
    // A new user and a new station get through after every restart.
    auto user = LogIn(id, "pw");
    ASSERT_TRUE(Await(*user, kNode)) << id << ": " << user->Received();
    user->Send(std::string("hello from ") + id + "\r\n");
    ASSERT_TRUE(Await(*user, std::string("hello from ") + id + "\r\n")) << user->Received();
    auto station = Call("N0BBB-" + std::to_string(++round));
    station->Say("station " + std::to_string(round) + "\r");
    ASSERT_TRUE(Await(*station, "station " + std::to_string(round) + "\r\n")) << station->Got();
    ASSERT_TRUE(pair->StopEngine(Station::A));
    ASSERT_TRUE(RunUntil([&] { return user->Closed(); }, 30s)) << id;
    ASSERT_TRUE(RunUntil([&] { return gw->Table().Count() == 0; }, 30s)) << id;
    std::string error;
    ASSERT_TRUE(pair->StartEngine(Station::A, &error)) << error;
    ASSERT_TRUE(RunUntil([&] { return server->Link().Active == 1; }, 30s)) << id;
    ASSERT_TRUE(GatewayUp()) << id;
    RunFor(300ms);  // the route's registration answered
  }
  auto last = LogIn("demo", "demo");  // the engine still serves, not wedged
  ASSERT_TRUE(Await(*last, kNode));
  last->Send("still alive\r\n");
  EXPECT_TRUE(Await(*last, "still alive\r\n")) << last->Received();
  auto station = Call("N0BBB-9");
  station->Say("still here\r");
  EXPECT_TRUE(Await(*station, "still here\r\n")) << station->Got();
}

// The station's disconnect and the gateway's next data frames cross on the
// way: the engine must not be left wedged by data for the ended link.
TEST_F(Faults, AStationHangingUpUnderAFloodLeavesTheEngineServing) {
  HARVOX_REQUIRE_DIREWOLF();
  StartAll();
  for (int round = 1; round <= 3; ++round) {
    auto station = Call("N0BBB-" + std::to_string(round), kFloodRoute);
    net::test::RawPeer host_side = flood.Accept();
    host_side.Send(net::test::Pattern(64 * 1024, round));
    ASSERT_TRUE(RunUntil([&] { return station->Got().size() > 1500; }, 60s)) << station->Got().size();
    station->Hangup();
    ASSERT_TRUE(RunUntil([&] { host_side.Pump(); return host_side.eof || host_side.reset; }, 30s));
    ASSERT_TRUE(RunUntil([&] { return gw->Table().Count() == 0; }, 30s));
  }
  auto after = Call("N0BBB-9");
  after->Say("not wedged\r");
  EXPECT_TRUE(Await(*after, "not wedged\r\n")) << after->Got();
  auto user = LogIn("demo", "demo");
  EXPECT_TRUE(Await(*user, kNode)) << user->Received();
}

TEST_F(Faults, ANodeThatNeverAnswersEndsInTheEnginesRetryNotice) {
  HARVOX_REQUIRE_DIREWOLF();
  StartAll();
  auto user = LogIn("lost", "pw");
  ASSERT_TRUE(RunUntil([&] { return user->Closed(); }, 30s)) << user->Received();
  EXPECT_NE(user->Received().find("RETRYOUT"), std::string::npos) << user->Received();
  EXPECT_NE(user->Received().find("73 & GoodBye!!"), std::string::npos);
}

}  // namespace
}  // namespace harvox
