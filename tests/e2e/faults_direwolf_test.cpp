// Faults from real engines: a lossy channel, an engine killed and restarted
// again and again, and a node that never answers.  The Telnet server runs on
// engine A; the test node (greets, echoes lines, BYE hangs up) on engine B.
#include <gtest/gtest.h>

#include <cstdio>

#include "agw/l2.h"
#include "support/direwolf_pair.h"
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
using test::Station;
using test::TcpPeer;

constexpr const char* kNode = "N0BBB-7";

struct Faults : ::testing::Test {
  test::WorkDir wd;
  std::unique_ptr<DirewolfPair> pair;
  std::unique_ptr<test::TestNode> node;
  TLog log;
  std::unique_ptr<TTelnetD> server;

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
    log.FileName = wd.File("HARVOX.LOG");
    log.TraceLevel = 3;
    log.SetActive(true);
    server = std::make_unique<TTelnetD>(&log);
    server->ListenPort = 0;
    server->MaxUsers = 10;
    server->DefNodePort = 1;
    server->DefNodeCall = kNode;
    server->AGWAddress = "127.0.0.1";
    server->AGWPort = pair->AgwPort(Station::A);
    server->Recover = true;
    server->AGWReopenMs = 500;
    server->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return server->Link().Active == 1; }, 5s));
  }
  void TearDown() override {
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
};

TEST_F(Faults, EveryByteArrivesInOrderOverALossyChannel) {
  HARVOX_REQUIRE_DIREWOLF();
  DirewolfPair::Options o;
  o.args_a = {"-E", "25", "-ER25"};  // a quarter of the frames lost each way
  o.extra_a = o.extra_b = "RETRY 15";
  StartAll(o);
  auto user = LogIn("demo", "demo");
  ASSERT_TRUE(Await(*user, kNode));
  std::string sent;
  for (int i = 0; i < 64; ++i) {  // 4 KiB of lines, echoed back by the node
    char line[80];
    std::snprintf(line, sizeof line, "L%03d %s\r\n", i, std::string(57, static_cast<char>('a' + i % 26)).c_str());
    sent += line;
  }
  user->Send(sent);
  ASSERT_TRUE(Await(*user, "L063 ", 120s)) << user->Received().size();
  ASSERT_TRUE(RunUntil([&] { return user->Received().find(sent.substr(sent.size() - 66)) != std::string::npos; }, 30s));
  const std::string got = user->Received();
  EXPECT_NE(got.find(sent), std::string::npos) << "lost, doubled or reordered bytes";
}

TEST_F(Faults, TheEngineKilledThreeTimesInARowIsRejoinedEveryTime) {
  HARVOX_REQUIRE_DIREWOLF();
  StartAll();
  const char* ids[] = {"u1", "u2", "u3"};
  for (const char* id : ids) {
    auto user = LogIn(id, "pw");
    ASSERT_TRUE(Await(*user, kNode)) << id << ": " << user->Received();
    user->Send(std::string("hello from ") + id + "\r\n");
    ASSERT_TRUE(Await(*user, std::string("hello from ") + id + "\r\n")) << user->Received();
    ASSERT_TRUE(pair->StopEngine(Station::A));
    ASSERT_TRUE(RunUntil([&] { return user->Closed(); }, 10s)) << id;
    std::string error;
    ASSERT_TRUE(pair->StartEngine(Station::A, &error)) << error;
    ASSERT_TRUE(RunUntil([&] { return server->Link().Active == 1; }, 10s)) << id;
  }
  auto last = LogIn("demo", "demo");  // the engine still serves, not wedged
  ASSERT_TRUE(Await(*last, kNode));
  last->Send("still alive\r\n");
  EXPECT_TRUE(Await(*last, "still alive\r\n")) << last->Received();
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
