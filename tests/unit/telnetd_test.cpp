// The Telnet server end to end on loopback: real Telnet-side sockets, the
// fake engine on the AX.25 side, real USERS.INI and TEXT/ files.
#include <gtest/gtest.h>

#include "support/telnet_fixture.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::AgwFrame;
using test::Kind;
using test::TcpPeer;
using test::TelnetFixture;

TEST_F(TelnetFixture, GreetingBuiltInEmptyAndFromFile) {
  Start();
  auto a = Connect();
  EXPECT_TRUE(Await(*a, "Login:"));
  EXPECT_EQ(a->Received(), "\r\nHi there\r\nLogin:");
  server->Welcome = "";
  auto b = Connect();
  EXPECT_TRUE(Await(*b, "Login:"));
  EXPECT_EQ(b->Received(), "\r\n\r\nLogin:");
  test::WriteFile(wd.File("text/welcome.TNS"), "Line one\r\nLine two\r\n");
  auto c = Connect();
  EXPECT_TRUE(Await(*c, "Login:"));
  EXPECT_EQ(c->Received(), "Line one\r\nLine two\r\nLogin:");
}

TEST_F(TelnetFixture, BusyWhileTheEngineLinkIsDown) {
  engine.Stop();
  server->SetActive(true);
  auto p = Connect();
  EXPECT_TRUE(AwaitClosed(*p));
  EXPECT_EQ(p->Received(), "\r\nServer Busy, Try Later\r\n");
  EXPECT_EQ(server->UserCount, 0u);
}

// MAXUSERS counts users logged in: a caller is turned away at the accept
// when it is reached, and at the end of his login when it was reached while
// he was at the prompts.  The users counted are those logged in.
TEST_F(TelnetFixture, MaxUsersTurnsTheNextCallerAwayAndKeepsTheCount) {
  server->MaxUsers = 2;
  Start();
  auto a = Login("demo", "demo");
  EXPECT_TRUE(a->Has("\r\n1 Users logged in."));
  auto waiting = Connect();
  ASSERT_TRUE(Await(*waiting, "Login:"));
  waiting->Send("plain\r");
  ASSERT_TRUE(Await(*waiting, "Password:"));
  auto b = Login("bare", "pw");
  EXPECT_TRUE(b->Has("\r\n2 Users logged in."));
  waiting->Send("pw\r");
  EXPECT_TRUE(AwaitClosed(*waiting));
  EXPECT_TRUE(waiting->Has("\r\nMaximum users logged in, try later\r\n"));
  auto c = Connect();
  EXPECT_TRUE(AwaitClosed(*c));
  EXPECT_EQ(c->Received(), "\r\nMaximum users logged in, try later\r\n");
  EXPECT_EQ(server->UserCount, 2u);
  a->Close();
  b->Close();
  EXPECT_TRUE(RunUntil([&] { return server->UserCount == 0 && server->LoggedIn == 0; }));
}

TEST_F(TelnetFixture, WholeDialogueToTheNodeAndBack) {
  Start();
  engine.Clear();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  p->Send("d");
  p->Send("emo\r");
  ASSERT_TRUE(Await(*p, "\r\nPassword:"));
  p->Send("DeMo \r\n");
  ASSERT_TRUE(AwaitFrames(1, Kind('C')));
  const auto x = engine.WaitFor(Kind('X'));
  EXPECT_EQ(x->from, "N0CALL-7");
  const auto conn = engine.WaitFor(Kind('C'));
  EXPECT_EQ(conn->port, 1);  // node port 2
  EXPECT_EQ(conn->from, "N0CALL-7");
  EXPECT_EQ(conn->to, "NODE-1");
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  auto d = engine.WaitFor(Kind('D'));
  EXPECT_EQ(d->data, " \r");
  EXPECT_EQ(d->pid, 0xF0);
  ASSERT_TRUE(Await(*p, "Users logged in.\r\n\r\n"));
  const std::string seen = p->Received();
  const std::string login_line = "\r\nLogged in at ";
  ASSERT_NE(seen.find(login_line), std::string::npos);
  EXPECT_NE(seen.find(" as N0CALL-7\r\n1 Users logged in.\r\n\r\n"), std::string::npos);
  EXPECT_TRUE(Logged("{TelnetD} Logged UserId(DEMO) Paswd(****)"));
  EXPECT_TRUE(Logged("{TelnetD} User(DEMO) successfully logged as Call(N0CALL-7) Auth(5) Node(2:NODE-1)"));
  EXPECT_FALSE(Logged("Paswd(DEMO)"));

  engine.Clear();
  p->Clear();
  p->Send("hello\r\nab\bx\rab\x1b[Acd\r");  // an arrow key ends nothing
  ASSERT_TRUE(AwaitFrames(3, Kind('D')));
  std::vector<AgwFrame> frames;
  for (const auto& f : engine.Frames()) {
    if (f.kind == 'D') frames.push_back(f);  // each is followed by its link's flow question
  }
  EXPECT_EQ(frames[0].data, "hello\r");
  EXPECT_EQ(frames[1].data, "ax\r");
  EXPECT_EQ(frames[2].data, "abcd\r");
  EXPECT_FALSE(p->Has("Escape"));
  engine.Send(AgwFrame{1, 'D', 0xF0, "NODE-1", "N0CALL-7", "abc\rdef\r\nghi"});
  ASSERT_TRUE(Await(*p, "ghi"));
  EXPECT_EQ(p->Received(), "abc\r\ndef\r\n\nghi");

  // A long line is split into 255-byte frames by the link.
  engine.Clear();
  p->Send(std::string(600, 'L') + "\r");
  ASSERT_TRUE(AwaitFrames(3, Kind('D')));
  EXPECT_EQ(engine.Count(Kind('D')), 3u);
  EXPECT_EQ(engine.WaitFor([](const AgwFrame& f) { return f.kind == 'D' && f.data.size() != 255; })->data.size(),
            91u);
}

TEST_F(TelnetFixture, LinesTypedDuringSetUpGoOutInOrderInOneFrame) {
  engine.SetAutoReply('C', false);
  Start();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  p->Send("demo\rdemo\r");
  ASSERT_TRUE(AwaitFrames(1, Kind('C')));
  ASSERT_TRUE(Await(*p, "Users logged in."));
  p->Send("one\r");
  RunFor(30ms);
  p->Send("two\r");
  RunFor(30ms);
  EXPECT_EQ(engine.Count(Kind('D')), 0u);
  engine.Send(AgwFrame{1, 'C', 0, "NODE-1", "N0CALL-7", std::string("*** CONNECTED With Station NODE-1\r\0", 35)});
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  EXPECT_EQ(engine.WaitFor(Kind('D'))->data, " \rone\rtwo\r");
}

TEST_F(TelnetFixture, FourFailedAttemptsEndTheConnection) {
  Start();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  for (int i = 0; i < 4; ++i) p->Send("demo\rwrong\r");
  ASSERT_TRUE(AwaitClosed(*p));
  std::string expected = "\r\nHi there\r\nLogin:";
  for (int i = 0; i < 3; ++i) expected += "\r\nPassword:\r\nInvalid Login\r\n\r\nLogin:";
  expected += "\r\nPassword:\r\nMaximum invalid tries... bye!\r\n";
  EXPECT_EQ(p->Received(), expected);
  EXPECT_TRUE(Logged("{TelnetD} Invalid Login, Password does not match"));
  EXPECT_TRUE(Logged("{TelnetD} Failure to Log UserId(DEMO)"));
  EXPECT_EQ(engine.Count(Kind('X')), 0u);
}

TEST_F(TelnetFixture, SecurityOffAdmitsUnknownUsersAsIdDash11) {
  server->Secure = false;
  Start();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  p->Send("be-ta\rany\r");
  ASSERT_TRUE(AwaitFrames(1, Kind('C')));
  EXPECT_EQ(engine.WaitFor(Kind('X'))->from, "BETA-11");
  const auto c = engine.WaitFor(Kind('C'));
  EXPECT_EQ(c->to, "DEFNODE");
  EXPECT_EQ(c->port, 0);
}

TEST_F(TelnetFixture, UsersFileEdgeCases) {
  Start();
  auto bare = Connect();
  ASSERT_TRUE(Await(*bare, "Login:"));
  bare->Send("bare\rpw\r");
  ASSERT_TRUE(AwaitFrames(1, Kind('C')));
  EXPECT_EQ(engine.WaitFor(Kind('C'))->to, "DEFNODE");  // no ':' in the node field
  auto punct = Connect();
  ASSERT_TRUE(Await(*punct, "Login:"));
  punct->Send("--\rx\r");
  ASSERT_TRUE(Await(*punct, "Invalid Login"));
  EXPECT_TRUE(Logged("{TelnetD} Security verification Failed, Invalid Id()"));
  // An entry without a password admits nobody, an empty password neither.
  test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\nNOPASS=,N0NOPW\r\n");
  punct->Clear();
  punct->Send("nopass\r\r");
  ASSERT_TRUE(Await(*punct, "Invalid Login"));
  EXPECT_EQ(engine.Count([](const AgwFrame& f) { return f.kind == 'X' && f.from == "N0NOPW"; }), 0u);
  std::remove(wd.File("USERS.INI").c_str());
  punct->Send("demo\rdemo\r");
  ASSERT_TRUE(RunUntil([&] { return Logged("{TelnetD} Security verification Failed, no USERS file"); }));
}

TEST_F(TelnetFixture, RefusedRegistrationTellsTheUserAndUnregisters) {
  engine.SetRegisterResult("N0CALL-7", 0);
  Start();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  p->Send("demo\rdemo\r");
  ASSERT_TRUE(AwaitClosed(*p));
  EXPECT_NE(p->Received().find("\r\nAlready Registered, Try Later\r\n"), std::string::npos);
  ASSERT_TRUE(AwaitFrames(1, Kind('x')));
  EXPECT_EQ(engine.Count(Kind('d')), 0u);
  EXPECT_EQ(server->UserCount, 0u);
}

TEST_F(TelnetFixture, NodeHangsUpTheUserSeesTheNoticeAndGoodbye) {
  Start();
  auto p = LoginConnected();
  p->Clear();
  engine.Clear();
  engine.Send(AgwFrame{1, 'd', 0, "NODE-1", "N0CALL-7", std::string("*** DISCONNECTED From Station NODE-1\r\0", 39)});
  ASSERT_TRUE(AwaitClosed(*p));
  EXPECT_EQ(p->Received(), "\r\n*** DISCONNECTED From Station NODE-1\r\n\r\n73 & GoodBye!!\r\n");
  ASSERT_TRUE(AwaitFrames(1, Kind('x')));
  std::string kinds;
  for (const auto& f : engine.Frames()) kinds += f.kind;
  EXPECT_EQ(kinds, "x");  // the link is gone: no 'd' for it
}

TEST_F(TelnetFixture, UserQuitsAfterTypingTheLastLineStillReachesTheNode) {
  Start();
  auto p = LoginConnected();
  engine.SetOutstanding({2, 1, 0});
  server->Link().DrainPollMs = 20;
  engine.Clear();
  p->Send("last words\r");
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  p->Close();
  ASSERT_TRUE(AwaitFrames(1, Kind('x')));
  std::string kinds;
  for (const auto& f : engine.Frames()) {
    if (f.kind != 'Y') kinds += f.kind;
    if (f.kind == 'd') {
      EXPECT_EQ(f.from, "N0CALL-7");
      EXPECT_EQ(f.to, "NODE-1");
      EXPECT_EQ(f.port, 1);
    }
  }
  EXPECT_EQ(kinds, "Ddx");
  EXPECT_GE(engine.Count(Kind('Y')), 1u);
  EXPECT_EQ(server->UserCount, 0u);
}

TEST_F(TelnetFixture, ConnectionResetEndsTheAX25SideAndFreesTheSession) {
  Start();
  auto p = LoginConnected();
  auto other = Connect();
  ASSERT_TRUE(Await(*other, "Login:"));
  engine.Clear();
  p->Reset();
  ASSERT_TRUE(AwaitFrames(1, Kind('x')));
  std::string kinds;
  for (const auto& f : engine.Frames()) {
    if (f.kind != 'Y') kinds += f.kind;
  }
  EXPECT_EQ(kinds, "dx");
  EXPECT_TRUE(RunUntil([&] { return server->UserCount == 1; }));
  EXPECT_TRUE(Logged("TN Socket Error"));
  EXPECT_TRUE(Logged("{TelnetD} TN Socket not found."));  // the close that followed
  other->Send("demo\r");
  EXPECT_TRUE(Await(*other, "Password:"));
}

TEST_F(TelnetFixture, EscapeAsksOneDisconnectAndKeepsTheUserUntilItIsDone) {
  Start();
  auto p = LoginConnected();
  engine.SetAutoReply('d', false);
  engine.Clear();
  p->Send("\x1b");
  ASSERT_TRUE(Await(*p, "\r\nEscape...\r\n"));
  ASSERT_TRUE(AwaitFrames(1, Kind('d')));
  RunFor(50ms);
  EXPECT_EQ(engine.Count(Kind('d')), 1u);
  EXPECT_FALSE(p->Closed());
}

TEST_F(TelnetFixture, EscapeAtTheLoginPromptClosesSilently) {
  Start();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  p->Clear();
  p->Send("\x1b");
  ASSERT_TRUE(AwaitClosed(*p));
  EXPECT_EQ(p->Received(), "");
}

TEST_F(TelnetFixture, InactiveUsersAreTimedOutEvenWhileDataFlowsToThem) {
  server->SessionTimeout = 300;
  Start();
  auto p = LoginConnected();
  for (int i = 0; i < 5; ++i) {
    engine.Send(AgwFrame{1, 'D', 0xF0, "NODE-1", "N0CALL-7", "tick\r"});
    RunFor(40ms);
  }
  ASSERT_TRUE(AwaitClosed(*p));
  EXPECT_NE(p->Received().find("\r\nInactivity Timeout, closing session\r\n"), std::string::npos);
}

TEST_F(TelnetFixture, EngineLossEndsConnectedUsersKeepsPromptsAndReopens) {
  server->AGWReopenMs = 200;
  Start();
  auto connected = LoginConnected();
  auto waiting = Connect();
  ASSERT_TRUE(Await(*waiting, "Login:"));
  connected->Clear();
  engine.DropClient();
  ASSERT_TRUE(AwaitClosed(*connected));
  EXPECT_EQ(connected->Received(), "\r\n*** Packet engine link lost\r\n\r\n73 & GoodBye!!\r\n");
  EXPECT_FALSE(waiting->Closed());
  EXPECT_TRUE(RunUntil([&] { return engine.Accepted() >= 2 && server->Link().Active == 1; }));
  EXPECT_EQ(engine.Violations(), std::vector<std::string>{});
}

TEST_F(TelnetFixture, AClosedEngineLinkIsReopenedAlsoWithoutRecover) {
  server->AGWReopenMs = 100;
  server->Recover = false;
  int downs = 0;
  server->OnLinkDown = [&](TTelnetD&) { ++downs; };
  Start();
  // The engine closes after reading all we sent (both ports' 'H'): a close
  // with our frames still unread would reach us as a reset, an error.
  ASSERT_TRUE(RunUntil([&] { return engine.Count(Kind('H')) >= 2; }));
  const int accepted = engine.Accepted();
  engine.DropClient();
  ASSERT_TRUE(RunUntil([&] { return downs == 1; }));
  auto busy = Connect();
  EXPECT_TRUE(AwaitClosed(*busy));
  EXPECT_EQ(busy->Received(), "\r\nServer Busy, Try Later\r\n");
  EXPECT_TRUE(RunUntil([&] { return engine.Accepted() == accepted + 1 && server->Link().Active == 1; }));
}

TEST_F(TelnetFixture, OverlongLineClosesOnlyThatConnection) {
  Start();
  auto flood = Connect();
  auto calm = Connect();
  ASSERT_TRUE(Await(*flood, "Login:") && Await(*calm, "Login:"));
  flood->Send(std::string(5000, 'A'));
  ASSERT_TRUE(AwaitClosed(*flood));
  EXPECT_TRUE(Logged("Input line too long"));
  calm->Send("demo\r");
  EXPECT_TRUE(Await(*calm, "Password:"));
}

}  // namespace
}  // namespace harvox
