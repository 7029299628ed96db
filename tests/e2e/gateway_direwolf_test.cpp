// Radio stations reach Telnet hosts through the gateway on engine A: the
// stations are AGW clients of engine B, the hosts listen on 127.0.0.1 and
// are allowed for T; engine A's own KISS port is not.
#include <gtest/gtest.h>

#include <regex>

#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "support/direwolf_pair.h"
#include "support/net_test_util.h"
#include "support/radio_station.h"
#include "support/temp_dir.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using net::test::RawListener;
using net::test::RawPeer;
using test::DirewolfPair;
using test::RadioStation;
using test::Station;

constexpr uint16_t kKissA = 8011;

DirewolfPair::Options KissOnA() {
  DirewolfPair::Options o;
  o.extra_a = "KISSPORT " + std::to_string(kKissA);
  return o;
}

struct GatewayDirewolf : ::testing::Test {
  test::WorkDir wd;
  DirewolfPair pair{KissOnA()};
  TLog log;
  RawListener host;
  std::unique_ptr<TTNClient> gw;

  void SetUp() override {
    HARVOX_REQUIRE_DIREWOLF();
    std::string error;
    ASSERT_TRUE(pair.Start(&error)) << error;
    test::OpenLog(log, wd.File("HARVOX.LOG"), 4);
    gw = std::make_unique<TTNClient>(&log);
    gw->CallSign = "N0AAA-2";
    gw->AGWPort = pair.AgwPort(Station::A);
    gw->Recover = true;
    gw->RecoverMs = 1000;
    gw->IsrtClient("N0AAA-2", "", 0, 600000, 3600000, false);
    gw->IsrtClient("N0AAA-3", "127.0.0.1", host.Port(), 600000, 3600000, false);
    std::vector<std::string> errors;
    gw->Policy = Destinations::Parse("127.0.0.1:" + std::to_string(host.Port()), "", errors);
    pair.Share(gw->Link(), Station::A);
    gw->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return gw->Active; }, 30s));
    RunFor(300ms);  // both registrations answered
  }
  bool Await(RadioStation& s, const std::string& text, std::chrono::milliseconds t = 30s) {
    return RunUntil([&] { return s.Has(text); }, t);
  }
  // The largest outstanding-frame count the engine reported for a link.
  uint32_t MostOutstanding(const std::string& link) {
    const std::string text = test::ReadFile(log.FileName);
    const std::regex re("Outstanding frames " + link + " \\((\\d+)\\)");
    uint32_t most = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
      most = std::max<uint32_t>(most, static_cast<uint32_t>(std::stoul((*it)[1])));
    }
    return most;
  }
};

TEST_F(GatewayDirewolf, PromptRouteBulkAndEngineRestart) {
  // From the prompt to a host and back; the host's last line arrives first.
  RadioStation one(pair.AgwPort(Station::B), "N0BBB-1", "N0AAA-2");
  ASSERT_TRUE(one.Ok());
  ASSERT_TRUE(Await(one, "telnet>\r")) << one.Got();
  one.Say("T 127.0.0.1:" + std::to_string(host.Port()) + "\r");
  RawPeer a = host.Accept();
  ASSERT_TRUE(Await(one, "*** Linked with <127.0.0.1:")) << one.Got();
  one.Say("hello host\r");
  ASSERT_TRUE(net::test::PeerGets(a, 11, 30s));
  EXPECT_EQ(a.received, "hello host\r");
  a.Send("echo: hello host\r\nlast line\r\n");
  a.Close();
  ASSERT_TRUE(RunUntil([&] { return one.Disconnected(); }, 30s)) << one.Got();
  EXPECT_NE(one.Got().find("echo: hello host\r\nlast line\r\n"), std::string::npos) << one.Got();

  // A route links straight to its host; 8 KiB at once arrives whole, with
  // the engine's queue for the link kept within the window.
  RadioStation two(pair.AgwPort(Station::B), "N0BBB-2", "N0AAA-3");
  ASSERT_TRUE(two.Ok());
  RawPeer b = host.Accept();
  ASSERT_TRUE(Await(two, "*** Linked with <127.0.0.1:")) << two.Got();
  const std::string bulk = net::test::Pattern(8192);
  b.Send(bulk);
  ASSERT_TRUE(RunUntil([&] { return two.Got().find(bulk) != std::string::npos; }, 90s))
      << two.Got().size();
  const uint32_t most = MostOutstanding("N0AAA-3->N0BBB-2");
  std::printf("largest outstanding count for the bulk link: %u frames\n", most);
  EXPECT_LE(most, TL2::kFlowWindow);

  // The engine goes away under the circuit: the circuit ends, the gateway
  // registers again, and a new station gets through.
  ASSERT_TRUE(pair.StopEngine(Station::A));
  ASSERT_TRUE(RunUntil([&] { b.Pump(); return b.eof || b.reset; }, 30s));
  EXPECT_TRUE(RunUntil([&] { return gw->Table().Count() == 0; }, 30s));
  std::string error;
  ASSERT_TRUE(pair.StartEngine(Station::A, &error)) << error;
  ASSERT_TRUE(RunUntil([&] { return gw->Active && gw->Link().Active == 1; }, 15s));
  RunFor(500ms);
  RadioStation three(pair.AgwPort(Station::B), "N0BBB-4", "N0AAA-3");
  ASSERT_TRUE(three.Ok());
  RawPeer c = host.Accept();
  ASSERT_TRUE(Await(three, "*** Linked with <127.0.0.1:")) << three.Got();
  three.Say("after restart\r");
  ASSERT_TRUE(net::test::PeerGets(c, 14, 30s));
  c.Send("still serving\r\n");
  EXPECT_TRUE(Await(three, "still serving\r\n"));
}

// A host flooding from its connect on is read at the radio's pace.
TEST_F(GatewayDirewolf, FloodingHostBehindThePromptKeepsTheWindow) {
  RadioStation one(pair.AgwPort(Station::B), "N0BBB-6", "N0AAA-2");
  ASSERT_TRUE(one.Ok());
  ASSERT_TRUE(Await(one, "telnet>\r")) << one.Got();
  one.Say("T 127.0.0.1:" + std::to_string(host.Port()) + "\r");
  RawPeer a = host.Accept();
  a.Send(net::test::Pattern(32768));
  ASSERT_TRUE(RunUntil([&] { return one.Got().size() > 2048; }, 60s)) << one.Got().size();
  EXPECT_LE(MostOutstanding("N0AAA-2->N0BBB-6"), TL2::kFlowWindow);
}

// The attack this closes: a station at the prompt asking for the engine's
// own KISS port, to send frames under any callsign.  Refused before any
// connection, with the station kept at the prompt.
TEST_F(GatewayDirewolf, TToTheEnginesKissPortIsRefused) {
  ASSERT_TRUE(test::TcpListening(kKissA));
  RadioStation one(pair.AgwPort(Station::B), "N0BBB-5", "N0AAA-2");
  ASSERT_TRUE(one.Ok());
  ASSERT_TRUE(Await(one, "telnet>\r")) << one.Got();
  const std::string target = "127.0.0.1:" + std::to_string(kKissA);
  one.Say("T " + target + "\r");
  ASSERT_TRUE(Await(one, "\r*** Host <" + target + "> is not allowed\r{N0BBB-5 de N0AAA-2}:\r"))
      << one.Got();
  one.Say("?\r");
  ASSERT_TRUE(Await(one, "Help file not found\r")) << one.Got();
  EXPECT_FALSE(one.Disconnected());
  const std::string text = test::ReadFile(log.FileName);
  EXPECT_NE(text.find("may not reach Host(" + target + "): 127.0.0.1 refused by loopback"),
            std::string::npos);
  EXPECT_EQ(text.find("Telnet Connection established"), std::string::npos);
  EXPECT_EQ(pair.EngineLog(Station::A).find("Attached to KISS"), std::string::npos);
}

}  // namespace
}  // namespace harvox
