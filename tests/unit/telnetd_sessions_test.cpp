// A session belongs to its user: one session per callsign, notices and data
// only from the session's own node link, drains that end only their own
// link, held input, Telnet bytes and the login deadline.
#include <gtest/gtest.h>

#include "support/telnet_fixture.h"
#include "telnetd/login_guard.h"
#include "telnetd/telnet_input.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::AgwFrame;
using test::Kind;
using test::TcpPeer;
using test::TelnetFixture;

std::string Filter(std::initializer_list<std::string> reads, size_t* since = nullptr) {
  TelnetInput in;
  std::string out;
  for (const auto& r : reads) in.Feed(r, out);
  if (since) *since = in.SinceLineEnd();
  return out;
}

TEST(TelnetInput, CommandsAreRemovedAndLineEndsReduced) {
  // What PuTTY sends at connect, then a user id.
  static const char kPutty[] =
      "\xff\xfb\x1f\xff\xfb\x20\xff\xfb\x18\xff\xfb\x27\xff\xfd\x01\xff\xfb\x03\xff\xfd\x03"
      "\xff\xfa\x18\x00VT100\xff\xf0\xff\xfa\x1f\x00\x50\x00\x18\xff\xf0";
  const std::string putty(kPutty, sizeof kPutty - 1);
  struct Case {
    std::initializer_list<std::string> reads;
    std::string out;
  } cases[] = {
      {{putty + "demo\r\n"}, "demo\r"},
      {{"ab\r", std::string("\0cd\r", 4)}, "ab\rcd\r"},       // CR NUL across reads
      {{"a\xff\xff" "b\r"}, "a\xff" "b\r"},                     // IAC IAC is data
      {{"a\xff", "\xfd", "\x01", "b"}, "ab"},                   // DO ECHO cut into three
      {{"x\xff\xfa\x18\xff\xff\xff", "\xf0y"}, "xy"},           // escaped IAC inside SB
      {{"\xff\xf4\xff\xf1q\n\r\n"}, "q\r"},                     // IP, NOP, stray LF
      {{std::string("\xfe\x01z\0", 4)}, std::string("z\0", 2)}, // stray bytes; NUL kept mid-line
  };
  for (const auto& c : cases) EXPECT_EQ(Filter(c.reads), c.out);
  size_t since = 0;
  Filter({"line\r", std::string(100, '\n') + "ab\xff\xfb"}, &since);
  EXPECT_EQ(since, 104u);  // filtered bytes count towards the line too
}

TEST(TelnetInput, LinesAndBackspaces) {
  EXPECT_EQ(EditBackspaces("abc\b\bx\r"), "ax\r");
  EXPECT_EQ(EditBackspaces("\bab\r"), "ab\r");
  EXPECT_EQ(EditBackspaces("a\b\b\bb"), "b");
  std::string pending = "one\rtwo\x1bthree", line;
  size_t at = 0;
  ASSERT_TRUE(NextLine(pending, at, line));
  EXPECT_EQ(line, "one\r");
  ASSERT_TRUE(NextLine(pending, at, line));  // ESC without CR: all of it
  EXPECT_EQ(line, "two\x1bthree\r");
  EXPECT_FALSE(NextLine(pending, at, line));
  at = 0;
  EXPECT_FALSE(NextLine("no end", at, line));
}

TEST(LoginGuard, FailuresBlockAndTheTableIsBounded) {
  LoginGuard g;
  g.MaxAddresses = 3;
  const auto t0 = LoginGuard::Clock::now();
  const auto min = std::chrono::minutes(1);
  // Eight failures spread over more than the window never block.
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(g.Failed("a", t0 + i * 2 * min));
  // Eight within it do, once; the block ends after its time.
  bool blocked = false;
  for (int i = 0; i < 8; ++i) blocked = g.Failed("b", t0 + i * 10s) || blocked;
  EXPECT_TRUE(blocked);
  EXPECT_TRUE(g.Blocked("b", t0 + 5 * min));
  EXPECT_FALSE(g.Blocked("b", t0 + 12 * min));
  EXPECT_FALSE(g.Blocked("a", t0 + 5 * min));
  // New addresses push out the least recently seen.
  g.Failed("d", t0);
  g.Failed("e", t0);
  EXPECT_LE(g.Addresses(), 3u);
}

// Keys that send terminal sequences edit nothing and end nothing; only an
// ESC that starts no sequence is kept, as the escape, however the input is cut.
TEST(TelnetInput, TerminalSequencesAreRemovedAndOnlyALoneEscapeStays) {
  const std::string esc = "\x1b";
  struct Case {
    std::initializer_list<std::string> reads;
    std::string out;
  } cases[] = {
      {{"ab" + esc + "[Acd\r"}, "abcd\r"},                         // arrow key mid-line
      {{"a" + esc, "[1;5", "Db\r"}, "ab\r"},                        // CSI cut across reads
      {{esc + "OPx", esc + "]11;rgb:0/0/0\x07y", esc + "]2;t" + esc + "\\z"}, "xyz"},  // SS3, OSC
      {{esc + "\r"}, esc + "\r"},                                   // ESC then Enter
      {{"a" + esc, "b"}, "a" + esc + "b"},                          // starts no sequence
      {{esc + esc + "[B"}, esc},                                    // the first ESC escapes
      {{esc + "[12\rq", esc + "O\r"}, "\rq\r"},                    // a CR ends a sequence
      {{esc + "]0;title" + esc + "\r"}, esc + "\r"},                 // ESC ends an OSC anew
  };
  for (const auto& c : cases) EXPECT_EQ(Filter(c.reads), c.out) << testing::PrintToString(c.out);
  TelnetInput in;
  std::string out;
  in.Feed("x" + esc, out);
  EXPECT_TRUE(in.EscapeHeld());
  in.ReleaseEscape(out);  // nothing came after it: the escape
  EXPECT_EQ(out, "x" + esc);
  EXPECT_FALSE(in.EscapeHeld());
}

struct SessionFixture : TelnetFixture {
  AgwFrame Notice(char kind, const std::string& from, const std::string& to, uint8_t port = 1) {
    const std::string text = kind == 'C' ? "*** CONNECTED To Station " + from + "\r"
                                         : "*** DISCONNECTED From Station " + from + "\r";
    return AgwFrame{static_cast<uint8_t>(port - 1), kind, 0, from, to, text + std::string(1, '\0')};
  }
  bool FrameSeen(char kind, const std::string& from, const std::string& to) {
    return RunUntil([&] {
      return engine.Count([&](const AgwFrame& f) { return f.kind == kind && f.from == from && f.to == to; }) > 0;
    });
  }
};

TEST_F(SessionFixture, ASecondLoginUnderAHeldCallsignIsRefusedWithoutEngineTraffic) {
  Start();
  auto first = LoginConnected();
  engine.Clear();
  auto second = Connect();
  ASSERT_TRUE(Await(*second, "Login:"));
  second->Send("demo\rdemo\r");
  ASSERT_TRUE(AwaitClosed(*second));
  EXPECT_NE(second->Received().find("\r\nAlready Registered, Try Later\r\n"), std::string::npos);
  RunFor(50ms);
  EXPECT_EQ(Kinds(), "");  // no X, C, d or x for the refused login
  first->Send("still here\r");
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  EXPECT_EQ(engine.WaitFor(Kind('D'))->data, "still here\r");
  EXPECT_EQ(server->UserCount, 1u);
}

TEST_F(SessionFixture, AStrangerCallingAUsersCallsignNeverTouchesTheSession) {
  engine.SetAutoReply('C', false);
  Start();
  auto user = Login();
  ASSERT_TRUE(AwaitFrames(1, Kind('C')));
  // During set-up: a stranger's connect is refused and does not connect us.
  engine.Send(Notice('C', "N0BAD", "N0CALL-7"));
  ASSERT_TRUE(FrameSeen('d', "N0CALL-7", "N0BAD"));  // own callsign first
  user->Send("typed early\r");
  RunFor(50ms);
  EXPECT_EQ(engine.Count(Kind('D')), 0u);
  // The node itself, but on another port, is a stranger too.
  engine.Send(Notice('C', "NODE-1", "N0CALL-7", 1));
  ASSERT_TRUE(FrameSeen('d', "N0CALL-7", "NODE-1"));
  EXPECT_EQ(engine.Count(Kind('D')), 0u);
  engine.Send(Notice('C', "NODE-1", "N0CALL-7", 2));
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  EXPECT_EQ(engine.WaitFor(Kind('D'))->data, " \rtyped early\r");
  // Connected: a stranger's data and disconnect are dropped.
  user->Clear();
  engine.Clear();
  engine.Send(AgwFrame{0, 'D', 0xF0, "N0BAD", "N0CALL-7", "spoof\r"});
  engine.Send(Notice('d', "N0BAD", "N0CALL-7"));
  engine.Send(AgwFrame{1, 'D', 0xF0, "NODE-1", "N0CALL-7", "real\r"});
  ASSERT_TRUE(Await(*user, "real\r\n"));
  EXPECT_EQ(user->Received(), "real\r\n");
  EXPECT_FALSE(user->Closed());
  user->Send("more\r");
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  EXPECT_EQ(Kinds(), "D");
  EXPECT_TRUE(Logged("{TelnetD} Data from <N0BAD> Len(6) dropped"));
}

TEST_F(SessionFixture, ANodeAnsweringAfterTheUserLeftIsDisconnected) {
  engine.SetAutoReply('C', false);
  Start();
  auto user = Login();
  ASSERT_TRUE(AwaitFrames(1, Kind('C')));
  user->Close();
  ASSERT_TRUE(AwaitFrames(1, Kind('x')));
  engine.Clear();
  engine.Send(Notice('C', "NODE-1", "N0CALL-7", 2));
  ASSERT_TRUE(FrameSeen('d', "N0CALL-7", "NODE-1"));
  EXPECT_EQ(engine.Frames().front().port, 1);  // node port 2 on the wire
}

TEST_F(SessionFixture, ALoginAgainEndsTheOldDrainBeforeRegistering) {
  Start();
  auto user = LoginConnected();
  engine.SetOutstanding({3});  // the old link never drains by itself
  user->Send("bye now\r");
  ASSERT_TRUE(AwaitFrames(2, Kind('D')));
  user->Close();
  ASSERT_TRUE(RunUntil([&] { return server->Link().DrainsPending() == 1; }));
  engine.SetOutstanding({0});
  engine.Clear();
  auto again = LoginConnected();
  EXPECT_EQ(Kinds().substr(0, 4), "dxXC");  // the old link ends before the new one starts
  EXPECT_EQ(server->Link().DrainsPending(), 0u);
  again->Send("fresh\r");
  ASSERT_TRUE(AwaitFrames(2, Kind('D')));
  RunFor(50ms);
  EXPECT_EQ(engine.Count(Kind('x')), 1u);
  EXPECT_FALSE(again->Closed());
}

TEST_F(SessionFixture, DrainsKeepTheirPollAndTimeLimitUnderChurn) {
  Start();
  TL2& link = server->Link();
  link.DrainPollMs = 40;
  link.DrainLimitMs = 150;
  engine.SetOutstanding({1});  // nothing ever drains by itself
  size_t started = 0;
  for (; started < 30; ++started) {  // a new drain every 20 ms, for 600 ms
    const std::string call = "N0U-" + std::to_string(started + 1);
    link.SendData(1, 0xF0, call, "N0DST", "x");
    link.EndLinkAfterDrain(1, call, "N0DST", {{1, 0, 'd', call, "N0DST", {}}});
    RunFor(20ms);
  }
  // While drains kept starting, the early ones were polled and hit their
  // limit: judged on our side as the churn ends, then seen at the engine.
  const size_t left = link.DrainsPending();
  EXPECT_LE(left, started - 5);
  EXPECT_TRUE(RunUntil([&] { return engine.Count(Kind('d')) >= started - left; }, 30s));
  EXPECT_GT(engine.Count(Kind('Y')), started + 10);
}

TEST_F(SessionFixture, TimeoutsZeroDeadlineAndLinkDownAtLogin) {
  server->SessionTimeout = 0;  // none
  server->LoginDeadlineMs = 300;
  Start();
  auto idle = Connect();
  auto typing = Connect();
  auto in_time = Login();
  ASSERT_TRUE(Await(*typing, "Login:"));
  for (int i = 0; i < 12; ++i) {
    typing->Send("x");  // input does not extend the deadline
    RunFor(50ms);
  }
  EXPECT_TRUE(AwaitClosed(*idle));
  EXPECT_TRUE(AwaitClosed(*typing));
  EXPECT_NE(typing->Received().find("\r\nInactivity Timeout, closing session\r\n"), std::string::npos);
  EXPECT_FALSE(in_time->Closed());  // logged in before the deadline; no inactivity limit
  // The engine link goes down while a user types his password.
  auto late = Connect();
  ASSERT_TRUE(Await(*late, "Login:"));
  late->Send("plain\r");
  ASSERT_TRUE(Await(*late, "Password:"));
  engine.Stop();
  ASSERT_TRUE(RunUntil([&] { return server->Link().Active == 0; }));
  late->Send("pw\r");
  ASSERT_TRUE(AwaitClosed(*late));
  EXPECT_NE(late->Received().find("\r\nServer Busy, Try Later\r\n"), std::string::npos);
}

TEST_F(SessionFixture, InputWhileRegisteringOrConnectingIsHeldEditedAndInOrder) {
  engine.SetAutoReply('X', false);
  engine.SetAutoReply('C', false);
  Start();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  p->Send("\xff\xfd\x01\xff\xfb\x18" "demo\r\ndemo\r\n");
  ASSERT_TRUE(AwaitFrames(1, Kind('X')));
  p->Send("ls\r");  // not a password: the registration is pending
  RunFor(50ms);
  EXPECT_FALSE(p->Has("Invalid Login"));
  engine.Send(AgwFrame{0, 'X', 0, "N0CALL-7", "", std::string(1, '\1')});
  ASSERT_TRUE(AwaitFrames(1, Kind('C')));
  p->Send("ab\bx\r\xff\xff\r");
  RunFor(50ms);
  engine.Send(AgwFrame{1, 'C', 0, "NODE-1", "N0CALL-7", "*** CONNECTED With Station NODE-1\r"});
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  EXPECT_EQ(engine.WaitFor(Kind('D'))->data, " \rls\rax\r\xff\r");
  EXPECT_EQ(engine.Count(Kind('X')), 1u);
}

TEST_F(SessionFixture, EightFailedLoginsTurnTheAddressAway) {
  Start();
  auto a = Connect();
  auto b = Connect();
  ASSERT_TRUE(Await(*a, "Login:") && Await(*b, "Login:"));
  for (int i = 0; i < 4; ++i) {
    a->Send("demo\rwrong\r");
    b->Send("demo\rwrong\r");
  }
  ASSERT_TRUE(AwaitClosed(*a) && AwaitClosed(*b));
  auto c = Connect();
  ASSERT_TRUE(AwaitClosed(*c));
  EXPECT_EQ(c->Received(), "\r\nServer Busy, Try Later\r\n");
  EXPECT_TRUE(Logged("{TelnetD} Address(127.0.0.1) blocked for a while after 8 failed logins"));
}

TEST_F(SessionFixture, AUsersInputGoesNoFasterThanTheNodesLinkTakesIt) {
  Start();
  server->Link().FlowPollMs = 30;
  auto p = LoginConnected();
  engine.SetOutstanding({TL2::kFlowWindowMost});  // the link is full
  engine.Clear();
  p->Send("one\r");
  ASSERT_TRUE(AwaitFrames(1, Kind('D')));
  RunFor(100ms);
  p->Send("two\r");  // waits in the socket while the link is full
  EXPECT_TRUE(AwaitFrames(2, Kind('Y')));  // the link is polled
  RunFor(150ms);
  EXPECT_EQ(engine.Count(Kind('D')), 1u);
  engine.SetOutstanding({TL2::kFlowWindow / 2 - 1});
  ASSERT_TRUE(AwaitFrames(2, Kind('D')));
  std::string data;
  for (const auto& f : engine.Frames()) {
    if (f.kind == 'D') data += f.data;
  }
  EXPECT_EQ(data, "one\rtwo\r");  // nothing lost, in order
}

TEST_F(SessionFixture, FilteredBytesCountTowardsTheLineCap) {
  Start();
  auto p = Connect();
  ASSERT_TRUE(Await(*p, "Login:"));
  std::string nops;
  for (int i = 0; i < 2100; ++i) nops += "\xff\xf1";  // IAC NOP: nothing kept
  p->Send(nops + "\n\n");
  EXPECT_TRUE(AwaitClosed(*p));
  EXPECT_TRUE(Logged("Input line too long"));
}

}  // namespace
}  // namespace harvox
