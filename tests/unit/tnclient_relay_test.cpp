// The gateway's teardown from either side, its timers, engine loss and
// recovery, held data and whole-link matching; the line-end rules alone.
#include "tnclient_fixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "gateway/line_ends.h"

namespace harvox::test {
namespace {

using namespace std::chrono_literals;
using net::test::RawListener;
using net::test::RawPeer;

TEST(LineEnds, HostAndStationDirections) {
  struct Case {
    std::string in;
    bool quiet, lf_host, crlf;
    std::string to_station, to_host;
    bool lf_after;
  };
  const std::vector<Case> cases = {
      {"a\nb\n", true, false, false, "a\r\nb\r\n", "a\nb\n", true},
      {"a\r\nb\r\n", true, false, false, "a\r\nb\r\n", "a\r\nb\r\n", false},
      {"a\nb\n", false, false, false, "a\nb\n", "a\nb\n", false},
      {"w\r", true, true, false, "w\r", "w\n", true},
      {"w\r", false, true, true, "w\r", "w\r\n", true},
      {"l1\rl2\r", false, false, true, "l1\rl2\r", "l1\r\nl2\r\n", false},
  };
  for (const auto& c : cases) {
    bool lf = c.lf_host;
    EXPECT_EQ(HostToStation(c.in, c.quiet, lf), c.to_station) << c.in;
    EXPECT_EQ(lf, c.lf_after) << c.in;
    EXPECT_EQ(StationToHost(c.in, c.quiet, c.lf_host, c.crlf), c.to_host) << c.in;
  }
  EXPECT_TRUE(IsConvers("/ConVers\r"));
  EXPECT_FALSE(IsConvers("convers"));
}

struct RelayFixture : GatewayFixture {
  RawListener host;
  void Route(bool quiet = false, int32_t timeout = 0, int32_t maxtime = 0, int port = 0) {
    gw->IsrtClient("ROUTE", "127.0.0.1", port ? port : host.Port(), timeout, maxtime, quiet);
  }
  // A station linked through ROUTE to the local host.
  RawPeer Link(const std::string& station = "N0CALL", bool quiet = false) {
    Connect(station, "ROUTE");
    RawPeer peer = host.Accept();
    if (quiet) {
      EXPECT_TRUE(RunUntil([&] { return Logged("because Quiet(TRUE)"); }));
    } else {
      EXPECT_TRUE(Await("\r*** Linked with", station, "ROUTE"));
    }
    return peer;
  }
  bool HostEnded(RawPeer& p) {
    return RunUntil([&] { p.Pump(); return p.eof || p.reset; });
  }
  bool Gone() { return RunUntil([&] { return gw->Table().Count() == 0; }); }
};

TEST_F(RelayFixture, TeardownFromEitherSide) {
  enum class End { HostCloses, HostResets, StationLeaves };
  Route();
  Start();
  for (End end : {End::HostCloses, End::HostResets, End::StationLeaves}) {
    engine.Clear();
    engine.SetOutstanding({2, 1, 0});  // the host's last words are still queued
    RawPeer peer = Link();
    peer.Send("last words\r\n");
    ASSERT_TRUE(Await("last words\r\n", "N0CALL", "ROUTE"));
    if (end == End::StationLeaves) {
      Leave("N0CALL", "ROUTE");
      EXPECT_TRUE(HostEnded(peer));
      EXPECT_TRUE(Gone());
      RunFor(100ms);
      EXPECT_EQ(Disconnects("N0CALL", "ROUTE"), 0u);  // its link is gone already
      continue;
    }
    end == End::HostCloses ? peer.Close() : peer.Reset();
    // Disconnected only after the engine reported the queue empty.
    EXPECT_TRUE(AwaitDisconnect("N0CALL", "ROUTE"));
    const auto frames = engine.Frames();
    size_t polls = 0;
    for (const auto& f : frames) polls += f.kind == 'Y';
    EXPECT_GE(polls, 1u);
    EXPECT_TRUE(Gone());
  }
}

TEST_F(RelayFixture, ShutdownEndsEveryStationsLinkAfterItsDrainAndClosesItsHost) {
  Route();
  Start();
  engine.SetOutstanding({5});
  RawPeer peer = Link();
  peer.Send("bye all\r\n");
  ASSERT_TRUE(Await("bye all\r\n", "N0CALL", "ROUTE"));
  gw->Quiesce();
  EXPECT_EQ(gw->Table().Count(), 0u);
  EXPECT_FALSE(gw->Quiet());  // the link still drains
  EXPECT_TRUE(HostEnded(peer));
  Say("late\r", "N0CALL", "ROUTE");  // refused through the drain, not around it
  ASSERT_TRUE(RunUntil([&] { return Logged("Telnet Client instance not found, data ignored"); }));
  EXPECT_EQ(Disconnects("N0CALL", "ROUTE"), 0u);
  engine.SetOutstanding({0});
  EXPECT_TRUE(AwaitDisconnect("N0CALL", "ROUTE"));
  EXPECT_TRUE(RunUntil([&] { return gw->Quiet(); }));
  RunFor(50ms);
  EXPECT_EQ(Disconnects("N0CALL", "ROUTE"), 1u);  // one DISC, from our callsign first
  Connect("N0NEW", "ROUTE");  // no new station is taken
  EXPECT_TRUE(AwaitDisconnect("N0NEW", "ROUTE"));
}

// A route ends the station's link after telling it why; the node prompt
// keeps it, and the next T reaches a host.
TEST_F(RelayFixture, RefusedHostIsNamedToTheStation) {
  const std::string closed = "127.0.0.1:" + std::to_string(net::test::ClosedPort());
  const std::string refused = "\r*** Connection refused <" + closed + ">\r";
  Route(false, 0, 0, std::stoi(closed.substr(10)));
  std::vector<std::string> errors;
  gw->Policy = Destinations::Parse("127.0.0.1", "", errors);
  Start();
  Connect("N0CALL", "ROUTE");
  Say("held\r", "N0CALL", "ROUTE");
  EXPECT_TRUE(Await(refused, "N0CALL", "ROUTE"));
  EXPECT_TRUE(AwaitDisconnect("N0CALL", "ROUTE"));
  EXPECT_TRUE(Gone());
  EXPECT_TRUE(Logged("could not reach Host(" + closed + "): Connection refused (10061)"));
  Connect("N0CALL");
  ASSERT_TRUE(Await("telnet>\r"));
  engine.Clear();
  Say("T " + closed + "\r");
  EXPECT_TRUE(Await(refused + "{N0CALL de GATE}:\r"));
  Say("T 127.0.0.1:" + std::to_string(host.Port()) + "\r");
  RawPeer peer = host.Accept();
  EXPECT_TRUE(Await("\r*** Linked with <127.0.0.1:"));
  EXPECT_EQ(Disconnects(), 0u);
}

TEST_F(RelayFixture, InactivityAndMaximumTime) {
  struct Case {
    int32_t timeout, maxtime;
    bool host_answers;  // connected host, or one that never accepts
    std::string line;
  };
  const std::vector<Case> cases = {
      {150, 0, true, "{TNClient} Connection sustain, disconnecting Telnet end"},
      {0, 150, true, "{TNClient} <OnTimerMax>"},
      {150, 0, false, "{TNClient} Connection sustain, disconnecting Telnet end"},
  };
  gw->Timeout = 150;
  Start();
  for (const auto& c : cases) {
    Route(false, c.timeout, c.maxtime);
    engine.Clear();
    RawPeer peer = Link();
    if (c.host_answers) {
      peer.Send("x\r\n");
      ASSERT_TRUE(Await("x\r\n", "N0CALL", "ROUTE"));
    }
    EXPECT_TRUE(HostEnded(peer));
    EXPECT_TRUE(AwaitDisconnect("N0CALL", "ROUTE"));
    EXPECT_TRUE(Gone());
    EXPECT_TRUE(Logged(c.line));
  }
  // A listener without times: nothing fires.
  Route(false, 0, 0);
  RawPeer peer = Link();
  RunFor(400ms);
  EXPECT_EQ(gw->Table().Count(), 1u);
}

TEST_F(RelayFixture, EngineLossEndsCircuitsAndRecoverReopens) {
  Route();
  gw->Recover = true;
  gw->RecoverMs = 200;
  Start();
  RawPeer a = Link("N0AAA");
  Connect("N0BBB", "GATE");
  ASSERT_TRUE(Await("telnet>\r", "N0BBB"));
  engine.DropClient();
  EXPECT_TRUE(HostEnded(a));
  EXPECT_TRUE(Gone());
  ASSERT_TRUE(RunUntil([&] { return engine.Accepted() == 2 && gw->Active; }));
  EXPECT_TRUE(Logged("{TNClient} <OnTimer> Attempt recover of link with AGWPE"));
  engine.Clear();
  a.Send("after the loss\r\n");  // nothing may reach the engine for the old link
  RawPeer b = Link("N0CCC");
  b.Send("new\r\n");
  EXPECT_TRUE(Await("new\r\n", "N0CCC", "ROUTE"));
  EXPECT_EQ(engine.Count([](const AgwFrame& f) { return f.to == "N0AAA"; }), 0u);
}

TEST_F(RelayFixture, HeldDataIsBounded) {
  Route(true);  // quiet: held until the host speaks, which it never does
  Start();
  RawPeer peer = Link("N0CALL", true);
  const std::string chunk(4000, 'x');
  for (int i = 0; i < 20; ++i) Say(chunk + "\r", "N0CALL", "ROUTE");
  EXPECT_TRUE(AwaitDisconnect("N0CALL", "ROUTE"));
  EXPECT_TRUE(Logged("bytes, disconnecting N0CALL"));
  EXPECT_TRUE(HostEnded(peer));
  EXPECT_TRUE(Gone());
  EXPECT_TRUE(peer.received.empty());
}

// A full window from the first ask: neither a route's host (connected after
// the hold was taken) nor the prompt is served until the count falls.
TEST_F(RelayFixture, FullWindowHoldsHostAndPrompt) {
  Route();
  gw->Link().FlowPollMs = 5;
  engine.SetOutstanding({8});
  Start();
  Connect("N0CALL", "ROUTE");
  RawPeer peer = host.Accept();
  peer.Send(std::string(30000, '#'));
  Connect("N0CCC");
  ASSERT_TRUE(Await("telnet>\r", "N0CCC"));
  for (int i = 0; i < 20; ++i) Say("?\r\n", "N0CCC");
  const size_t asks = engine.Count(IsKind('Y'));
  ASSERT_TRUE(RunUntil([&] { return engine.Count(IsKind('Y')) >= asks + 40; }));
  EXPECT_EQ(Got("N0CALL", "ROUTE").find('#'), std::string::npos);
  EXPECT_EQ(Got("N0CCC").find("Help"), std::string::npos);
  engine.SetOutstanding({0});
  EXPECT_TRUE(Await(std::string(1000, '#'), "N0CALL", "ROUTE"));
  EXPECT_TRUE(Await("Help file not found", "N0CCC"));
}

// An idle prompt, a station beyond the limit, a host that takes nothing.
TEST_F(RelayFixture, IdlePromptCircuitLimitAndDeafHost) {
  Route();
  gw->IsrtClient("GATE", "", 0, 1000, 0, false);
  gw->Timeout = 1000;
  Start();
  Connect("N0CCC");
  EXPECT_TRUE(AwaitDisconnect("N0CCC"));
  EXPECT_TRUE(Logged("Station N0CCC idle at the prompt"));
  ASSERT_TRUE(Gone());
  gw->MaxCircuits = 1;
  RawPeer peer = Link();  // never reads
  Connect("N0DDD");
  EXPECT_TRUE(Await("\r*** Gateway busy\r", "N0DDD"));
  EXPECT_TRUE(AwaitDisconnect("N0DDD"));
  // The kernel's buffers take some megabytes before our queue fills; a
  // sanitizer build on a busy machine needs long for them.
  int sent = 0;
  EXPECT_TRUE(RunUntil([&] {
    if (sent++ < 1000) Say(std::string(60000, 'x'), "N0CALL", "ROUTE");
    return Disconnects("N0CALL", "ROUTE") > 0;
  }, 180s));
  EXPECT_TRUE(Logged("bytes queued for it, disconnecting N0CALL"));
}

TEST_F(RelayFixture, OneStationOnTwoOfOurCallsKeepsTheLinksApart) {
  Route();
  gw->IsrtClient("OTHER", "127.0.0.1", host.Port(), 0, 0, false);
  Start();
  RawPeer one = Link("N0CALL");
  Connect("N0CALL", "OTHER");
  RawPeer two = host.Accept();
  ASSERT_TRUE(Await("\r*** Linked with", "N0CALL", "OTHER"));
  Say("to route\r", "N0CALL", "ROUTE");
  Say("to other\r", "N0CALL", "OTHER");
  ASSERT_TRUE(net::test::PeerGets(one, 9));
  ASSERT_TRUE(net::test::PeerGets(two, 9));
  EXPECT_EQ(one.received, "to route\r");
  EXPECT_EQ(two.received, "to other\r");
  Leave("N0CALL", "OTHER");
  EXPECT_TRUE(HostEnded(two));
  EXPECT_TRUE(RunUntil([&] { return gw->Table().Count() == 1; }));
  one.Send("still here\r\n");
  EXPECT_TRUE(Await("still here\r\n", "N0CALL", "ROUTE"));
}

// An engine that holds each 'D' frame and sends three of them per count
// asked: the host is read at that pace, in order, and the engine never
// holds more than the window for the link.  At the default trace level the
// log grows by a line when the circuit is linked and one when it ends.
TEST_F(RelayFixture, FastHostIsReadAtTheRadiosPace) {
  log.TraceLevel = 1;
  Route();
  gw->Link().FlowPollMs = 5;
  Start();
  std::atomic<int64_t> queued{0}, most{0};
  std::atomic<size_t> delivered{0};
  engine.SetAutoReply('Y', false);
  engine.SetScript([&](FakeEngine& e, int client, const AgwFrame& f) {
    if (f.kind == 'D' && f.to == "N0CALL") {
      ++queued;  // one engine frame each
      delivered += f.data.size();
      most = std::max<int64_t>(most, queued);
    }
    if (f.kind != 'Y') return;
    const auto n = static_cast<uint32_t>(queued.load());
    std::string count{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8), '\0', '\0'};
    e.Send({.port = f.port, .kind = 'Y', .from = f.from, .to = f.to, .data = count}, client);
    queued = std::max<int64_t>(0, queued - 3);
  });
  RawPeer peer = Link();
  const size_t log_before = ReadFile(log.FileName).size();
  for (int i = 0; i < 64; ++i) Say(std::string(1024, 'u'), "N0CALL", "ROUTE");
  ASSERT_TRUE(net::test::PeerGets(peer, 64 * 1024, 30s));
  const std::string bulk = net::test::Pattern(1 << 20);
  std::thread sender([&] { peer.Send(bulk); peer.ShutdownSend(); });
  EXPECT_TRUE(RunUntil([&] { return delivered >= bulk.size() + 40; }, 60s));
  sender.join();
  const std::string got = Got("N0CALL", "ROUTE");
  const size_t at = got.find(bulk.substr(0, 64));
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(got.substr(at), bulk);
  EXPECT_LE(most.load(), static_cast<int64_t>(TL2::kFlowWindow));
  EXPECT_TRUE(AwaitDisconnect("N0CALL", "ROUTE"));
  Leave("N0CALL", "ROUTE");
  EXPECT_TRUE(RunUntil([&] { return Logged("ended, 65536 bytes to the host, 1048576 bytes to the station"); }));
  const size_t growth = ReadFile(log.FileName).size() - log_before;
  RecordProperty("log_bytes_for_1088_KiB_relayed", std::to_string(growth));
  EXPECT_LT(growth, 4096u);
}

}  // namespace
}  // namespace harvox::test
