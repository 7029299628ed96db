// The engine link against the scriptable fake engine over real sockets.
#include <gtest/gtest.h>

#include "agw/l2.h"
#include "agw/tcp_client.h"
#include "util/log.h"
#include "support/fake_engine.h"
#include "support/temp_dir.h"
#include "util/event_loop.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::AgwFrame;
using test::FakeEngine;

auto Kind(char k) {
  return [k](const AgwFrame& f) { return f.kind == k; };
}

struct L2Fixture : ::testing::Test {
  test::TempDir dir;
  TLog log;
  FakeEngine engine;
  std::unique_ptr<TL2> l2;
  std::vector<std::string> events;

  void SetUp() override {
    test::OpenLog(log, dir.File("HARVOX.LOG"), 5);
    l2 = std::make_unique<TL2>(&log);
    l2->SetCallSign("TELNET");
    l2->SetAddress("127.0.0.1");
    l2->SetPort(engine.Port());
    l2->FOnAGWUp = [this](TL2&) { events.push_back("up"); };
    l2->FOnAGWDown = [this](TL2&) { events.push_back("down"); };
    l2->FOnAGWError = [this](TL2&) { events.push_back("error"); };
  }
  void OpenAndWait() {
    l2->Open();
    ASSERT_TRUE(RunUntil([&] { return l2->Active == 1; }));
    ASSERT_TRUE(RunUntil([&] { return engine.Count(Kind('R')) >= 1; }));
    // Let the start-up exchange (port list, per-port queries) finish.
    ASSERT_TRUE(RunUntil([&] { return engine.Count(Kind('y')) >= 2; }));
    RunFor(30ms);
  }
  bool Logged(const std::string& text) { return test::ReadFile(log.FileName).find(text) != std::string::npos; }
  // Runs the loop until the engine has recorded n frames matching pred.
  bool Await(size_t n, const FakeEngine::Pred& pred) {
    return RunUntil([&] { return engine.Count(pred) >= n; });
  }
};

TEST_F(L2Fixture, LogsInAsksPortsAndVersionAndQueriesEveryPort) {
  l2->Login = "user";
  l2->Password = "secret";
  int ports = 0;
  std::pair<int, int> version;
  l2->FOnPort = [&](TL2&) { ++ports; };
  l2->FOnVersion = [&](TL2&, int32_t a, int32_t b) { version = {a, b}; };
  OpenAndWait();
  ASSERT_TRUE(RunUntil([&] { return ports == 1; }));
  const auto frames = engine.Frames();
  ASSERT_GE(frames.size(), 9u);
  EXPECT_EQ(frames[0].kind, 'P');
  EXPECT_EQ(frames[0].data.size(), 510u);
  EXPECT_EQ(frames[0].data.substr(0, 5), std::string("user\0", 5));
  EXPECT_EQ(frames[0].data.substr(255, 7), std::string("secret\0", 7));
  EXPECT_EQ(frames[1].kind, 'G');
  EXPECT_EQ(frames[2].kind, 'R');
  std::string order;
  for (size_t i = 3; i < 9; ++i) order += std::string(1, frames[i].kind) + char('0' + frames[i].port);
  EXPECT_EQ(order, "H0g0y0H1g1y1");
  EXPECT_EQ(l2->NumPorts, 2);
  EXPECT_EQ(l2->Ports[1].Description, "Port2 fake two");
  EXPECT_EQ(events, std::vector<std::string>{"up"});
  EXPECT_TRUE(RunUntil([&] { return version.first != 0; }));
  EXPECT_TRUE(Logged("{L2} Sending Login Frame User(user) Paswd(****)"));
  EXPECT_FALSE(Logged("Paswd(secret)"));
}

TEST_F(L2Fixture, LongDataIsSplitUnlessItsPidTravelsWhole) {
  OpenAndWait();
  engine.Clear();
  std::string data(600, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i);
  l2->SendData(2, 0xF0, "N0AAA", "N0BBB", data);
  ASSERT_TRUE(Await(3, Kind('D')));
  auto d = engine.Frames();
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0].data.size(), 255u);
  EXPECT_EQ(d[1].data.size(), 255u);
  EXPECT_EQ(d[2].data.size(), 90u);
  EXPECT_EQ(d[0].data + d[1].data + d[2].data, data);
  for (const auto& f : d) {
    EXPECT_EQ(f.port, 1);
    EXPECT_EQ(f.pid, 0xF0);
    EXPECT_EQ(f.from, "N0AAA");
    EXPECT_EQ(f.to, "N0BBB");
  }
  engine.Clear();
  l2->SendData(1, 0xCA, "N0AAA", "N0BBB", data);
  ASSERT_TRUE(Await(1, Kind('D')));
  EXPECT_EQ(engine.Frames()[0].data, data);
  // Two partial deliveries, then the piece that completes the frame.
  const std::string text = test::ReadFile(log.FileName);
  const size_t split = text.find("{L2} <Send> Frame Split, partial delivery");
  const size_t second = text.find("{L2} <Send> Frame Split, partial delivery", split + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(text.find("Frame Split", second + 20), std::string::npos);
  EXPECT_NE(text.find("{L2} <Send> Send Frame Header+Info", second), std::string::npos);
  // A path of only empty items is no path: a plain 'C', and no VIA line.
  l2->ConnectExt(1, 0xF0, "N0AAA", "N0BBB", " , ,");
  ASSERT_TRUE(Await(1, Kind('C')));
  EXPECT_FALSE(Logged("{L2} VIA->[]"));
}

TEST_F(L2Fixture, AnEngineAddressGivenAsANameIsLookedUp) {
  l2->SetAddress("localhost");
  OpenAndWait();
  EXPECT_EQ(l2->Transport().Address, "127.0.0.1");
}

TEST_F(L2Fixture, OversizedWholeFrameIsRefusedAndWriteWhileDownFails) {
  EXPECT_FALSE(l2->Write(0, 0, 'G', "", "", {}));
  EXPECT_TRUE(Logged("{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE"));
  OpenAndWait();
  engine.Clear();
  l2->Write(0, 0, 'K', "", "", std::string(70000, 'k'));
  l2->Write(0, 0, 'G', "", "", {});
  ASSERT_TRUE(Await(1, Kind('G')));
  EXPECT_EQ(engine.Count(Kind('K')), 0u);
  EXPECT_TRUE(Logged("refused Len(70000)"));
}

std::string Stream() {
  std::string s;
  s += AgwFrame{0, 'C', 0, "N0BBB-7", "N0AAA-3", std::string("*** CONNECTED With Station N0BBB-7\r\0", 36)}.Encode();
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  s += AgwFrame{0, 'D', 0xF0, "n0bbb-7", "n0aaa-3", all}.Encode();
  s += AgwFrame{1, 'K', 0, "", "", "\x00raw"}.Encode();
  s += AgwFrame{0, 'Z', 0, "", "", ""}.Encode();
  return s;
}

struct Seen {
  std::vector<std::string> kinds;
  std::string data;
};

void Record(TL2& l2, Seen& seen) {
  l2.FOnFrame = [&seen](TL2&, uint8_t port, uint8_t, char kind, const std::string& from,
                        const std::string&, std::string_view data) {
    if (std::string("CDKZ").find(kind) == std::string::npos) return;
    seen.kinds.push_back(std::string(1, kind) + std::to_string(port) + from);
    if (kind == 'D') seen.data = std::string(data);
  };
}

TEST_F(L2Fixture, FramesCutAtEveryByteBoundaryDecodeTheSame) {
  OpenAndWait();
  const std::string stream = Stream();
  const std::vector<std::string> expected{"C1N0BBB-7", "D1N0BBB-7", "K2", "Z1"};
  for (size_t cut = 1; cut < stream.size(); cut += 37) {
    Seen seen;
    Record(*l2, seen);
    l2->Store(stream.substr(0, cut));
    l2->Store(stream.substr(cut));
    EXPECT_EQ(seen.kinds, expected) << "cut at " << cut;
    EXPECT_EQ(seen.data.size(), 256u);
  }
  // Over the socket: all frames in one write, then one byte at a time.
  for (size_t chunk : {size_t(0), size_t(1)}) {
    Seen seen;
    Record(*l2, seen);
    engine.SendRaw(stream, chunk, 0ms);
    EXPECT_TRUE(RunUntil([&] { return seen.kinds.size() == 4; }));
    EXPECT_EQ(seen.kinds, expected);
  }
}

TEST_F(L2Fixture, ResetAndCloseReportErrorAndDownAndReopenWorks) {
  OpenAndWait();
  engine.SendRaw(std::string(20, 'h'));  // half a header stays buffered
  RunFor(50ms);
  engine.ResetClient();
  ASSERT_TRUE(RunUntil([&] { return !events.empty() && events.back() == "error"; }));
  EXPECT_EQ(l2->Active, 0);
  EXPECT_EQ(l2->LastError, 10054);
  // A new connection starts a new stream: the old half header is gone.
  Seen seen;
  Record(*l2, seen);
  OpenAndWait();
  engine.Send(AgwFrame{0, 'Z', 0, "", "", ""});
  EXPECT_TRUE(RunUntil([&] { return seen.kinds.size() == 1; }));
  EXPECT_EQ(seen.kinds.at(0), "Z1");
  engine.DropClient();
  ASSERT_TRUE(RunUntil([&] { return events.back() == "down"; }));
  EXPECT_EQ(l2->LastError, 0);
  EXPECT_EQ(l2->Active, 0);
  // A length with its upper bytes set would swallow every frame after it:
  // the engine connection is closed, and the next one frames afresh.
  OpenAndWait();
  std::string corrupt = AgwFrame{0, 'D', 0xF0, "A", "B", "x"}.Encode();
  corrupt[30] = 1;
  engine.SendRaw(corrupt + AgwFrame{0, 'Z', 0, "", "", ""}.Encode());
  ASSERT_TRUE(RunUntil([&] { return events.back() == "down"; }));
  EXPECT_EQ(seen.kinds.size(), 1u);  // nothing after the broken header was decoded
  EXPECT_TRUE(Logged("{L2} Corrupt frame header from AGWPE (length over 65535)"));
  OpenAndWait();
  engine.Send(AgwFrame{0, 'Z', 0, "", "", ""});
  EXPECT_TRUE(RunUntil([&] { return seen.kinds.size() == 2; }));
}

TEST_F(L2Fixture, ConnectAndDisconnectNoticesRaiseTheirEvents) {
  std::vector<std::string> got;
  auto call = [&](const char* name) {
    return [&got, name](TL2&, uint8_t p, const std::string& c, const std::string& t) {
      got.push_back(std::string(name) + ":" + std::to_string(p) + ":" + c + ":" + t);
    };
  };
  l2->FOnMyConnect = call("my");
  l2->FOnHisConnect = call("his");
  l2->FOnRetryOut = call("retry");
  l2->FOnHisDisconnect = call("hisdisc");
  l2->FOnMyDisconnect = call("mydisc");
  l2->FOnConnectEx = [&](TL2&, uint8_t, const std::string& f, const std::string& t, const std::string& x) {
    got.push_back("cex:" + f + ">" + t + ":" + x);
  };
  l2->FOnDisconnectEx = [&](TL2&, uint8_t, const std::string& f, const std::string& t, const std::string& x) {
    got.push_back("dex:" + f + ">" + t + ":" + x);
  };
  auto feed = [&](char k, const std::string& text) {
    l2->Store(AgwFrame{0, k, 0, "n0bbb-7", "N0AAA-3", text + std::string("\r\0", 2)}.Encode());
  };
  feed('C', "*** CONNECTED With Station N0BBB-7");
  feed('C', "*** CONNECTED To Station N0BBB-7");
  feed('C', "something else");
  feed('d', "*** DISCONNECTED RETRYOUT With N0BBB-7 From");
  feed('d', "*** DISCONNECTED From Station N0BBB-7");
  feed('d', "*** DISCONNECTED With N0BBB-7");
  const std::vector<std::string> want{
      "my:1:N0BBB-7:*** CONNECTED With Station N0BBB-7",
      "cex:N0BBB-7>N0AAA-3:*** CONNECTED With Station N0BBB-7",
      "his:1:N0BBB-7:*** CONNECTED To Station N0BBB-7",
      "cex:N0BBB-7>N0AAA-3:*** CONNECTED To Station N0BBB-7",
      "retry:1:N0BBB-7 From:*** DISCONNECTED RETRYOUT With N0BBB-7 From",
      "dex:N0BBB-7>N0AAA-3:*** DISCONNECTED RETRYOUT With N0BBB-7 From",
      "hisdisc:1:N0BBB-7:*** DISCONNECTED From Station N0BBB-7",
      "dex:N0BBB-7>N0AAA-3:*** DISCONNECTED From Station N0BBB-7",
      "mydisc:1:N0AAA-3:*** DISCONNECTED With N0BBB-7",
      "dex:N0BBB-7>N0AAA-3:*** DISCONNECTED With N0BBB-7"};
  EXPECT_EQ(got, want);
}

TEST_F(L2Fixture, RegistrationRepliesAndRawFrames) {
  std::vector<std::string> regs;
  l2->FOnRegister = [&](TL2& l, const std::string& c, std::string_view d) {
    const int rc = d.empty() ? -1 : d[0];
    regs.push_back(c + "=" + std::to_string(rc) + " before=" + std::to_string(l.Registered));
  };
  std::string raw;
  l2->FOnKissFrame = [&](TL2&, uint8_t port, std::string_view d) { raw = std::to_string(port) + std::string(d); };
  OpenAndWait();
  engine.SetRegisterResult("BAD", 0);
  EXPECT_TRUE(l2->AGWRegister("N0AAA-3"));
  EXPECT_TRUE(RunUntil([&] { return regs.size() == 1; }));
  EXPECT_EQ(l2->Registered, 1);
  EXPECT_TRUE(l2->AGWRegister("BAD"));
  EXPECT_TRUE(RunUntil([&] { return regs.size() == 2; }));
  EXPECT_EQ(l2->Registered, 0);
  EXPECT_EQ(regs[0], "N0AAA-3=1 before=0");
  EXPECT_EQ(regs[1], "BAD=0 before=1");
  EXPECT_FALSE(l2->AGWRegister(""));
  l2->Store(AgwFrame{0, 'X', 0, "N0AAA-3", "", ""}.Encode());  // empty reply
  EXPECT_TRUE(Logged("{L2} Exception on Module TL2.Decode (FrameX)"));
  ASSERT_EQ(regs.size(), 3u);  // the service still hears of it, first
  EXPECT_EQ(regs[2], "N0AAA-3=-1 before=0");
  engine.Send(AgwFrame{2, 'K', 0, "", "", std::string("\0\x96\x68", 3)});
  EXPECT_TRUE(RunUntil([&] { return !raw.empty(); }));
  EXPECT_EQ(raw, std::string("3\0\x96\x68", 4));
}

TEST_F(L2Fixture, SettersRefuseWhileActiveAndOpenNeedsACallsign) {
  l2->SetPort(0);
  EXPECT_EQ(l2->Port(), engine.Port());
  TL2 bare(&log);
  bare.SetAddress("127.0.0.1");
  bare.Open();
  EXPECT_TRUE(Logged("{L2} ERROR No CallSign indicated, object creation aborted"));
  OpenAndWait();
  l2->SetCallSign("OTHER");
  EXPECT_EQ(l2->CallSign(), "TELNET");
  EXPECT_TRUE(Logged("{L2} Error can not change the callsign while active"));
  l2->SetMonitor("ui");
  EXPECT_EQ(l2->Monitor(), "UI");
  l2->SetMonitor("UX");
  EXPECT_EQ(l2->Monitor(), "UI");
  EXPECT_TRUE(Await(1, Kind('m')));
}

// --- ending a link after its queue drained ---

struct DrainFixture : L2Fixture {
  std::vector<QueuedFrame> Bye() {
    return {{1, 0, 'd', "N0AAA", "N0BBB", {}}, {1, 0, 'd', "N0AAA", "N0BBB", {}}, {0, 0, 'x', "N0AAA", {}, {}}};
  }
  std::string AfterKinds() {
    std::string s;
    for (const auto& f : engine.Frames()) {
      if (f.kind == 'd' || f.kind == 'x' || f.kind == 'D') s += f.kind;
    }
    return s;
  }
};

TEST_F(DrainFixture, WaitsForTheEngineToReportTheQueueEmpty) {
  l2->DrainPollMs = 20;
  OpenAndWait();
  engine.SetOutstanding({3, 2, 0});
  engine.Clear();
  l2->SendData(1, 0xF0, "N0AAA", "N0BBB", "last words\r");
  l2->EndLinkAfterDrain(1, "N0AAA", "N0BBB", Bye());
  RunFor(10ms);
  EXPECT_EQ(l2->DrainsPending(), 1u);  // the 'd' waits for the queue to empty
  ASSERT_TRUE(Await(1, Kind('x')));
  EXPECT_EQ(AfterKinds(), "Dddx");
  EXPECT_GE(engine.Count(Kind('Y')), 3u);
  const auto y = engine.WaitFor(Kind('Y'));
  EXPECT_EQ(y->from, "N0AAA");
  EXPECT_EQ(y->to, "N0BBB");
  EXPECT_EQ(l2->DrainsPending(), 0u);
}

TEST_F(DrainFixture, LinkWithoutDataEndsAtOnceAndStuckLinkAfterTheLimit) {
  OpenAndWait();
  engine.Clear();
  l2->EndLinkAfterDrain(1, "N0AAA", "N0BBB", Bye());
  EXPECT_TRUE(Await(1, Kind('x')));
  EXPECT_EQ(engine.Count(Kind('Y')), 0u);

  l2->DrainPollMs = 20;
  l2->DrainLimitMs = 200;
  engine.SetOutstanding({5});
  engine.Clear();
  l2->SendData(1, 0xF0, "N0AAA", "N0BBB", "x");
  l2->EndLinkAfterDrain(1, "N0AAA", "N0BBB", Bye());
  RunFor(100ms);
  EXPECT_EQ(engine.Count(Kind('x')), 0u);
  EXPECT_TRUE(Await(1, Kind('x')));
  EXPECT_EQ(AfterKinds(), "Dddx");
}

// One drain per link, one 'd'; none for a link that ends or connects anew.
TEST_F(DrainFixture, OneDisconnectAtMostWhateverHappensWhileDraining) {
  l2->DrainLimitMs = 300;
  OpenAndWait();
  engine.SetOutstanding({5});  // the queue never empties by itself
  struct Case { char kind; std::string notice, kinds; };
  for (const Case& c : {Case{0, "", "Dddx"}, Case{'C', "*** CONNECTED To Station N0BBB\r", "Dx"},
                        Case{'d', "*** DISCONNECTED From Station N0BBB\r", "Dx"}}) {
    engine.Clear();
    l2->SendData(1, 0xF0, "N0AAA", "N0BBB", "last words\r");
    for (int ask = 0; ask < 4; ++ask) l2->EndLinkAfterDrain(1, "N0AAA", "N0BBB", Bye());
    if (c.kind) engine.Send(AgwFrame{0, c.kind, 0, "N0BBB", "N0AAA", c.notice});
    ASSERT_TRUE(Await(1, Kind('x')));
    EXPECT_EQ(AfterKinds(), c.kinds) << c.notice;  // the data first, one 'd' at most
  }
}

TEST_F(DrainFixture, EngineLossDropsWhatWaited) {
  l2->DrainPollMs = 20;
  OpenAndWait();
  engine.SetOutstanding({5});
  l2->SendData(1, 0xF0, "N0AAA", "N0BBB", "x");
  l2->EndLinkAfterDrain(1, "N0AAA", "N0BBB", Bye());
  engine.DropClient();
  ASSERT_TRUE(RunUntil([&] { return l2->Active == 0; }));
  EXPECT_EQ(l2->DrainsPending(), 0u);
  engine.Clear();
  OpenAndWait();
  RunFor(100ms);
  EXPECT_EQ(engine.Count(Kind('d')), 0u);
}

}  // namespace
}  // namespace harvox
