// Telnet users reach a node over the air: the Telnet server on engine A, a
// small test node (greets, echoes, hangs up on BYE) on engine B.  Also the
// real program end to end, and an engine restart under a connected user.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "agw/l2.h"
#include "util/log.h"
#include "support/agw_client.h"
#include "support/direwolf_pair.h"
#include "support/process.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"
#include "support/test_node.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::DirewolfPair;
using test::Station;
using test::TcpPeer;

constexpr const char* kNode = "N0BBB-7";
constexpr const char* kUsers = "[USERS]\r\nDEMO=demo,N0AAA-5,0,1:N0BBB-7\r\nSECOND=two,N0AAA-6\r\n";

struct TelnetDirewolf : ::testing::Test {
  test::WorkDir wd;
  DirewolfPair pair;
  std::unique_ptr<test::TestNode> node;

  void SetUp() override {
    HARVOX_REQUIRE_DIREWOLF();
    std::string error;
    ASSERT_TRUE(pair.Start(&error)) << error;
    node = std::make_unique<test::TestNode>("127.0.0.1", pair.AgwPort(Station::B), kNode);
    node->Start();
    ASSERT_TRUE(node->WaitForEvent("registered"));
    test::WriteFile(wd.File("USERS.INI"), kUsers);
  }
  void TearDown() override {
    if (node) node->Stop();
  }

  TLog log;
  std::unique_ptr<TTelnetD> StartServer() {
    test::OpenLog(log, wd.File("HARVOX.LOG"), 3);
    auto server = std::make_unique<TTelnetD>(&log);
    server->ListenPort = 0;
    server->MaxUsers = 10;
    server->ServerCall = "TELNET";
    server->DefNodePort = 1;
    server->DefNodeCall = kNode;
    server->AGWAddress = "127.0.0.1";
    server->AGWPort = pair.AgwPort(Station::A);
    server->Recover = true;
    server->AGWReopenMs = 1000;
    pair.Share(server->Link(), Station::A);
    server->SetActive(true);
    EXPECT_TRUE(RunUntil([&] { return server->Link().Active == 1; }, 30s));
    return server;
  }
};

bool Await(TcpPeer& p, const std::string& text, std::chrono::milliseconds t = 20s) {
  return RunUntil([&] { return p.Has(text); }, t);
}

void Login(TcpPeer& p, const std::string& id, const std::string& pw) {
  ASSERT_TRUE(Await(p, "Login:"));
  p.Send(id + "\r\n");
  ASSERT_TRUE(Await(p, "Password:"));
  p.Send(pw + "\r\n");
}

TEST_F(TelnetDirewolf, UserTalksToTheNodeSurvivesAnEngineRestartAndANewUserGetsThrough) {
  auto owned = StartServer();
  TTelnetD& server = *owned;

  TcpPeer user(server.BoundPort());
  Login(user, "demo", "demo");
  ASSERT_TRUE(Await(user, "Users logged in.\r\n"));
  ASSERT_TRUE(Await(user, "N0BBB-7"));  // the node's greeting names it
  user.Send("hello node\r\n");
  ASSERT_TRUE(Await(user, "hello node\r\n")) << user.Received();
  user.Send("BYE\r\n");
  ASSERT_TRUE(RunUntil([&] { return user.Closed(); }, 30s)) << user.Received();
  EXPECT_NE(user.Received().find("\r\n73 & GoodBye!!\r\n"), std::string::npos);
  EXPECT_TRUE(node->WaitForEvent("bye N0AAA-5", 1, 30s));

  // A second user is connected when the engine goes away and comes back.
  TcpPeer second(server.BoundPort());
  Login(second, "second", "two");
  ASSERT_TRUE(Await(second, "Users logged in.\r\n"));
  ASSERT_TRUE(RunUntil([&] { return server.Sessions().CountActive() == 1 && second.Has("N0BBB-7"); }, 20s));
  TcpPeer waiting(server.BoundPort());
  ASSERT_TRUE(Await(waiting, "Login:"));
  ASSERT_TRUE(pair.StopEngine(Station::A));
  ASSERT_TRUE(RunUntil([&] { return second.Closed(); }, 30s));
  EXPECT_NE(second.Received().find("\r\n*** Packet engine link lost\r\n"), std::string::npos);
  EXPECT_FALSE(waiting.Closed());
  std::string error;
  ASSERT_TRUE(pair.StartEngine(Station::A, &error)) << error;
  ASSERT_TRUE(RunUntil([&] { return server.Link().Active == 1; }, 30s));

  // The engine still serves: a new user reaches the node over the air.
  TcpPeer third(server.BoundPort());
  Login(third, "demo", "demo");
  ASSERT_TRUE(Await(third, "Users logged in.\r\n"));
  ASSERT_TRUE(Await(third, "N0BBB-7"));
  third.Send("after restart\r\n");
  EXPECT_TRUE(Await(third, "after restart\r\n")) << third.Received();
}

TEST_F(TelnetDirewolf, AStrangerCallingAUsersCallsignLeavesTheUserTalking) {
  auto server = StartServer();
  TcpPeer user(server->BoundPort());
  Login(user, "demo", "demo");
  ASSERT_TRUE(Await(user, "N0BBB-7"));
  // Another station on the air calls the user's callsign.
  test::AgwClient stranger;
  ASSERT_TRUE(stranger.Connect("127.0.0.1", pair.AgwPort(Station::B)));
  stranger.Send(test::AgwFrame{0, 'X', 0, "N0BBB-9", "", ""});
  auto got = [&](char kind, const std::string& text) {
    return RunUntil([&] {
      return stranger.ReadUntil([&](const test::AgwFrame& f) {
        return f.kind == kind && f.data.find(text) != std::string::npos;
      }, 0ms).has_value();
    }, 20s);
  };
  stranger.Send(test::AgwFrame{0, 'C', 0, "N0BBB-9", "N0AAA-5", ""});
  ASSERT_TRUE(got('C', "CONNECTED"));
  ASSERT_TRUE(got('d', "DISCONNECTED"));  // Harvox ended the stranger's link
  user.Send("still here\r\n");
  ASSERT_TRUE(Await(user, "still here\r\n")) << user.Received();
  EXPECT_FALSE(user.Closed());
  user.Send("and again\r\n");
  EXPECT_TRUE(Await(user, "and again\r\n")) << user.Received();
}

TEST_F(TelnetDirewolf, TheRealProgramCarriesAUserToTheNode) {
  test::WriteFile(wd.File("HARVOX.INI"),
                  "[HARVOX]\nTRACE=1\n[AGW]\nPORT=" + std::to_string(pair.AgwPort(Station::A)) +
                      "\nSHARED=" + (DirewolfPair::SharedMode() ? "YES" : "NO") +
                      "\n[TELNET]\nNODEPORT=1\nNODECALL=" + kNode +
                      "\nPORT=2323\n[MONITOR]\nENABLED=NO\n");
  test::Process harvox({HARVOX_BINARY}, wd.Path());
  std::unique_ptr<TcpPeer> user;
  for (int i = 0; i < 1500 && !(user && user->Connected()); ++i) {
    std::this_thread::sleep_for(20ms);
    user = std::make_unique<TcpPeer>(2323);
    if (user->Connected() && !Await(*user, "Login:", 10s)) user.reset();
  }
  ASSERT_TRUE(user && user->Connected());
  Login(*user, "demo", "demo");
  ASSERT_TRUE(Await(*user, "N0BBB-7"));
  user->Send("over the air\r\n");
  EXPECT_TRUE(Await(*user, "over the air\r\n"));
  user->Send("BYE\r\n");
  EXPECT_TRUE(RunUntil([&] { return user->Closed(); }, 30s));
  harvox.Signal(SIGTERM);
  EXPECT_EQ(harvox.Wait(30s), 0);
  const std::string log = test::ReadFile(wd.File("HARVOX.LOG"));
  EXPECT_NE(log.find("{TND} Telnet Server Object Released"), std::string::npos);
}

}  // namespace
}  // namespace harvox
