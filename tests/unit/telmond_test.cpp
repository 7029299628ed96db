// The monitor server on loopback: raw frames injected by the fake engine,
// real viewer sockets.  One table holds the line of every frame kind.
#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "agw/l2.h"
#include "support/fake_engine.h"
#include "support/net_test_util.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"
#include "telmond/telmond.h"
#include "util/event_loop.h"
#include "util/log.h"
#include "util/strings.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::FakeEngine;
using test::IsKind;
using test::TcpPeer;

const std::string kWelcome = "\r\nWelcome to the AX.25 Monitor Telnet Server\r\n";

std::string Addr(const std::string& call, int ssid, bool last) {
  std::string a;
  for (size_t i = 0; i < 6; ++i) a += static_cast<char>((i < call.size() ? call[i] : ' ') << 1);
  a += static_cast<char>(0x60 | (ssid << 1) | (last ? 1 : 0));
  return a;
}

// Leading byte, NODE-1 (or NOCALL-1 when reversed), the other, digipeaters,
// then control field, PID and info as given.
std::string Raw(const std::string& rest, std::vector<std::string> digis = {}, bool reversed = false) {
  std::string f(1, '\0');
  f += Addr(reversed ? "NOCALL" : "NODE", 1, false);
  f += Addr(reversed ? "NODE" : "NOCALL", 1, digis.empty());
  for (size_t i = 0; i < digis.size(); ++i) f += Addr(digis[i], i + 1, i + 1 == digis.size());
  return f + rest;
}

struct MonitorFixture : ::testing::Test {
  test::WorkDir wd;
  TLog log;
  FakeEngine engine;
  std::unique_ptr<TTelMonD> mon;
  bool own = true, raw = false, stamp = false;
  uint32_t recover_ms = 0;

  void SetUp() override {
    test::OpenLog(log, wd.File("HARVOX.LOG"), 5);
  }
  void TearDown() override {
    mon.reset();
    RunFor(20ms);
  }
  // Settings as the configuration's defaults give them.
  void Start(bool details = true, bool split = true, bool crlf = false, std::string mask = "IUSC") {
    mon.reset();
    engine.Clear();
    mon = std::make_unique<TTelMonD>(&log);
    mon->ListenPort = 0;
    mon->AGWAddress = "127.0.0.1";
    mon->AGWPort = engine.Port();
    mon->Details = details;
    mon->Split = split;
    mon->UseCRLF = crlf;
    mon->Mask = mask;
    mon->Own = own;
    mon->Raw = raw;
    mon->Timestamp = stamp;
    mon->Recover = recover_ms != 0;
    mon->RecoverMs = recover_ms;
    mon->SetActive(true);
    ASSERT_TRUE(engine.RunLoopUntilFrame(IsKind('k')).has_value());
    ASSERT_EQ(mon->Link().Active, 1);
  }
  std::unique_ptr<TcpPeer> Viewer() {
    auto v = std::make_unique<TcpPeer>(mon->BoundPort());
    EXPECT_TRUE(RunUntil([&] { return v->Has(kWelcome); }));
    v->Clear();
    return v;
  }
  static test::AgwFrame K(const std::string& frame, char kind = 'K') {
    test::AgwFrame f;
    f.kind = kind;
    f.data = frame;
    return f;
  }
  void Inject(const std::string& frame) { engine.Send(K(frame)); }
  // The next text a viewer gets, once it holds at least `size` bytes.
  std::string Next(TcpPeer& v, size_t size) {
    RunUntil([&] { return v.Received().size() >= size; });
    std::string got = v.Received();
    v.Clear();
    return got;
  }
  bool Logged(const std::string& text) {
    return test::ReadFile(log.FileName).find(text) != std::string::npos;
  }
};

TEST_F(MonitorFixture, EveryFrameKindAsItsLine) {
  Start();
  auto v = Viewer();
  const std::string digi1 = "NOCALL-1>NODE-1 Via(DIGI-1)";
  struct Row {
    const char* what;
    std::string frame, line;
  } rows[] = {
      {"I", Raw("\x64\xF0hello"), "NOCALL-1>NODE-1 {I R3 S2} Pid(F0):\rhello\r"},
      {"RR", Raw("\xA1"), "NOCALL-1>NODE-1 {RR R5}:\r\r"},
      {"REJ, poll", Raw("\x59"), "NOCALL-1>NODE-1 {REJ R2}:\r\r"},
      {"SABM via one", Raw("\x3F", {"DIGI"}), digi1 + " {SABM}:\r\r"},
      {"UA", Raw("\x73"), "NOCALL-1>NODE-1 {UA}:\r\r"},
      {"DISC", Raw("\x53"), "NOCALL-1>NODE-1 {DISC}:\r\r"},
      {"DM", Raw("\x1F"), "NOCALL-1>NODE-1 {DM}:\r\r"},
      {"FRMR", Raw("\x87\x01\x02\x03"), "NOCALL-1>NODE-1 {FRMR}:\r\r"},
      {"UI via two", Raw("\x03\xF0" "beacon\rtwo", {"DIGI", "DIGI"}),
       "NOCALL-1>NODE-1 Via(DIGI-1,DIGI-2) {UI} Pid(F0):\rbeacon\rtwo\r"},
      {"SABME", Raw("\x7F"), "NOCALL-1>NODE-1 {SABME}:\r\r"},
      {"I mod 128, other way", Raw(std::string("\xC8\x9A\xF0v2.2", 7), {}, true),
       "NODE-1>NOCALL-1 {I R77 S100} Pid(F0):\rv2.2\r"},
      {"RR mod 128", Raw(std::string("\x01\xB4", 2)), "NOCALL-1>NODE-1 {RR R90}:\r\r"},
      {"SREJ mod 128", Raw(std::string("\x0D\x0B", 2)), "NOCALL-1>NODE-1 {SREJ R5}:\r\r"},
      {"UA mod 128 stays one byte", Raw("\x63"), "NOCALL-1>NODE-1 {UA}:\r\r"},
      {"DISC ends mod 128", Raw("\x43"), "NOCALL-1>NODE-1 {DISC}:\r\r"},
      {"I one byte again", Raw("\x64\xF0" "back"), "NOCALL-1>NODE-1 {I R3 S2} Pid(F0):\rback\r"},
      {"digipeater cut short", Raw("", {"DIGI"}).substr(0, 15) + "\xA0\x01",
       "NOCALL-1>NODE-1 { R5 S0} Pid(01):\r\r"},
      {"I without info", Raw("\x64\xF0"), "NOCALL-1>NODE-1 { R3 S2} Pid(F0):\r\r"},
      {"empty", "", ">:\r\r"},
  };
  for (const Row& row : rows) {
    Inject(row.frame);
    EXPECT_EQ(Next(*v, row.line.size()), row.line) << row.what;
  }
}

TEST_F(MonitorFixture, OptionsShapeTheLine) {
  struct Row {
    bool details, split, crlf;
    std::string line;
  } rows[] = {
      {true, false, false, "NOCALL-1>NODE-1 {I R3 S2} Pid(F0): hello\r"},
      {true, true, true, "NOCALL-1>NODE-1 {I R3 S2} Pid(F0):\r\nhello\r\n"},
      {false, true, false, "NOCALL-1>NODE-1:\rhello\r"},
      {false, false, true, "NOCALL-1>NODE-1: hello\r\n"},
  };
  for (const Row& row : rows) {
    Start(row.details, row.split, row.crlf);
    auto v = Viewer();
    Inject(Raw("\x64\xF0hello"));
    EXPECT_EQ(Next(*v, row.line.size()), row.line);
  }
}

TEST_F(MonitorFixture, MaskIsUpperCasedAndNeverHidesUndecodedFrames) {
  const std::string mixed[] = {Raw("\x03\xF0ui"), Raw("\xA1"), Raw("\x3F"), "", Raw("\x64\xF0" "i")};
  struct Row {
    std::string mask, shown;
  } rows[] = {{"i", ">:\r\rNOCALL-1>NODE-1 {I R3 S2} Pid(F0):\ri\r"}, {"", ">:\r\r"}};
  for (const Row& row : rows) {
    Start(true, true, false, row.mask);
    EXPECT_EQ(mon->Mask, UpperText(row.mask));
    auto v = Viewer();
    for (const std::string& frame : mixed) Inject(frame);
    Inject(Raw("\x03\xF0" "end"));  // masked out too: wait for the engine to be drained
    EXPECT_EQ(Next(*v, row.shown.size()), row.shown);
    RunFor(100ms);
    EXPECT_EQ(v->Received(), "");
  }
}

TEST_F(MonitorFixture, TwoViewersBothSeeEachLineAndTheirInputIsIgnored) {
  Start();
  auto a = Viewer();
  auto b = Viewer();
  a->Send("connect N0BBB\r\nhello?\r\n");
  Inject(Raw("\x03\xF0" "one"));
  Inject(Raw("\x03\xF0" "two"));
  const std::string both = "NOCALL-1>NODE-1 {UI} Pid(F0):\rone\rNOCALL-1>NODE-1 {UI} Pid(F0):\rtwo\r";
  EXPECT_EQ(Next(*a, both.size()), both);
  EXPECT_EQ(Next(*b, both.size()), both);
  EXPECT_EQ(mon->Viewers().Count(), 2u);
  test::WriteFile(wd.File("TEXT/WELCOME.TNS"), "Our own\nwelcome");
  TcpPeer c(mon->BoundPort());
  EXPECT_TRUE(RunUntil([&] { return c.Has("Our own\r\nwelcome\r\n"); }));
  EXPECT_EQ(engine.Count(IsKind('X')) + engine.Count(IsKind('C')) + engine.Count(IsKind('D')), 0u);
  EXPECT_EQ(mon->Link().CallSign(), "MON-0");
}

TEST_F(MonitorFixture, LostEngineLinkIsAnnouncedOnceAndNewViewersAreBusy) {
  struct Row {
    bool reset;
    const char* event;
  } rows[] = {{false, "{TelMonD} Event <OnAX25AGWDown> AGWPE(MON-0)"},
              {true, "{TelMonD} Event <OnAX25AGWError> AGWPE(MON-0)"}};
  for (const Row& row : rows) {
    Start(true, true, true);
    auto a = Viewer();
    const int accepted = engine.Accepted();
    row.reset ? engine.ResetClient() : engine.DropClient();
    EXPECT_EQ(Next(*a, 29), "*** Packet engine link lost\r\n") << row.event;
    EXPECT_FALSE(mon->Active);
    TcpPeer late(mon->BoundPort());
    EXPECT_TRUE(RunUntil([&] { return late.Closed(); }));
    EXPECT_EQ(late.Received(), "\r\nServer Busy, Try Later\r\n");
    EXPECT_FALSE(a->Closed());
    EXPECT_EQ(a->Received(), "");
    EXPECT_EQ(mon->Viewers().Count(), 1u);
    EXPECT_TRUE(Logged(row.event));
    EXPECT_EQ(engine.Accepted(), accepted);  // the monitor never re-opens its link
  }
}

TEST_F(MonitorFixture, LostEngineLinkIsReopenedOnTheRecoverTimer) {
  recover_ms = 100;
  Start(true, true, true);
  auto a = Viewer();
  engine.ResetClient();
  ASSERT_TRUE(RunUntil([&] { return a->Has(TTelMonD::kLinkRestored); }, 30s)) << a->Received();
  EXPECT_EQ(a->Received(), "*** Packet engine link lost\r\n*** Packet engine link restored\r\n");
  // The engine counts its accept on its own thread, maybe after we connected.
  EXPECT_TRUE(RunUntil([&] { return engine.Accepted() >= 2; }, 30s));
  EXPECT_EQ(engine.Accepted(), 2);
  EXPECT_TRUE(engine.RunLoopUntilCount(2, 30s, IsKind('k')));
  auto b = Viewer();
  a->Clear();
  Inject(Raw("\x03\xF0" "back"));
  EXPECT_EQ(Next(*a, 37), "NOCALL-1>NODE-1 {UI} Pid(F0):\r\nback\r\n");
  EXPECT_EQ(Next(*b, 37), "NOCALL-1>NODE-1 {UI} Pid(F0):\r\nback\r\n");
}

// The engine's SABME comes only as its own monitor text; the node's answer
// is heard raw and must be read modulo 128 whether or not own frames show.
TEST_F(MonitorFixture, OwnFramesSetTheLinkModeAndShowUnlessOwnIsOff) {
  const std::string end = "[12:00:00]\r", nul(1, '\0');
  const std::string heard = "NODE-1>NOCALL-1 {I R77 S100} Pid(F0): v2.2\r";
  for (bool shown : {true, false}) {
    own = shown;
    Start(true, false);
    ASSERT_TRUE(engine.RunLoopUntilFrame(IsKind('m')).has_value());
    auto v = Viewer();
    engine.Send(K(" 1:Fm NOCALL-1 To NODE-1 <SABME P=1 >" + end + nul, 'T'));
    engine.Send(K(" 1:Fm NOCALL-1 To NODE-1 <I S5 R100 pid=F0 Len=2 P=0 >" + end + "up\r" + nul, 'T'));
    Inject(Raw(std::string("\xC8\x9A\xF0v2.2", 7), {}, true));
    const std::string want =
        (shown ? "NOCALL-1>NODE-1 {SABME}: \rNOCALL-1>NODE-1 {I R100 S5} Pid(F0): up\r" : "") + heard;
    EXPECT_EQ(Next(*v, want.size()), want) << shown;
  }
}

TEST_F(MonitorFixture, ControlBytesShowEscapedUnlessRawAndTheTimeMayLeadEachFrame) {
  const std::string info = "\x1B[2J\a\tok\n\x7F";
  const struct {
    bool raw, stamp;
    std::string line;
  } rows[] = {{false, false, "NOCALL-1>NODE-1 {UI} Pid(F0): \\x1B[2J\\x07\tok\n\\x7F\r"},
              {true, true, "NOCALL-1>NODE-1 {UI} Pid(F0): " + info + "\r"}};
  for (const auto& row : rows) {
    raw = row.raw;
    stamp = row.stamp;
    Start(true, false);
    auto v = Viewer();
    Inject(Raw("\x03\xF0" + info));
    const std::string got = Next(*v, row.line.size() + (row.stamp ? 9 : 0));
    EXPECT_EQ(got.substr(row.stamp ? 9 : 0), row.line);
    EXPECT_EQ(std::regex_match(got.substr(0, 9), std::regex("\\d\\d:\\d\\d:\\d\\d ")), row.stamp);
  }
}

TEST_F(MonitorFixture, ViewerThatNeverReadsIsCutOffAndTheOtherGetsEveryLine) {
  log.TraceLevel = 1;  // 10,000 frames traced at full detail would take minutes
  Start();
  auto reader = Viewer();
  net::test::RawPeer stalled = net::test::RawPeer::ConnectTo(mon->BoundPort(), 4096);
  ASSERT_TRUE(RunUntil([&] { return mon->Viewers().Count() == 2; }));
  constexpr int kFrames = 10000;
  // 8 MB in all: more than the kernel buffers a peer that never reads.
  const std::string pad(800, '.');
  std::string burst, expected;
  for (int i = 0; i < kFrames; ++i) {
    const std::string info = std::to_string(i) + pad;
    burst += K(Raw("\x03\xF0" + info)).Encode();
    expected += "NOCALL-1>NODE-1 {UI} Pid(F0):\r" + info + "\r";
  }
  engine.SendRaw(burst);
  std::string got;
  ASSERT_TRUE(RunUntil([&] {
    got += reader->Received();
    reader->Clear();
    return got.size() >= expected.size();
  }, 60s)) << got.size();
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(mon->Viewers().Count(), 1u);
  EXPECT_TRUE(Logged("{TCPIP} Output queue overflow, closing connection from 127.0.0.1"));
}

}  // namespace
}  // namespace harvox
