// One engine connection for the three services on a real engine: while a
// Telnet user talks to the test node, a viewer watches the monitor and a
// station sits at the gateway's prompt, engine A still has client slots
// left, and a program of its own (the test's AGW client) connects over the
// air and exchanges frames.
#include <gtest/gtest.h>

#include <memory>

#include "agw/engine_connection.h"
#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "support/agw_client.h"
#include "support/direwolf_pair.h"
#include "support/radio_station.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"
#include "support/test_node.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::AgwFrame;
using test::Station;

TEST(SharedDirewolf, ThreeBusyServicesLeaveTheEngineAClientSlot) {
  HARVOX_REQUIRE_DIREWOLF();
  test::WorkDir wd;
  test::DirewolfPair pair;
  std::string error;
  ASSERT_TRUE(pair.Start(&error)) << error;
  test::TestNode node("127.0.0.1", pair.AgwPort(Station::B), "N0BBB-7");
  node.Start();
  ASSERT_TRUE(node.WaitForEvent("registered"));
  test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\nDEMO=demo,N0AAA-5,0,1:N0BBB-7\r\n");
  TLog log;
  test::OpenLog(log, wd.File("HARVOX.LOG"), 3);

  const uint16_t agw = pair.AgwPort(Station::A);
  auto connection = std::make_shared<EngineConnection>(&log, true);
  TTelMonD monitor(&log);
  monitor.ListenPort = 0;
  monitor.AGWAddress = "127.0.0.1";
  monitor.AGWPort = agw;
  monitor.Link().UseConnection(connection);
  TTelnetD server(&log);
  server.ListenPort = 0;
  server.DefNodePort = 1;
  server.DefNodeCall = "N0BBB-7";
  server.MaxUsers = 10;
  server.AGWAddress = "127.0.0.1";
  server.AGWPort = agw;
  server.Link().UseConnection(connection);
  TTNClient gw(&log);
  gw.CallSign = "N0AAA-2";
  gw.AGWPort = agw;
  gw.IsrtClient("N0AAA-2", "", 0, 600000, 3600000, false);
  gw.Link().UseConnection(connection);
  gw.SetActive(true);
  server.SetActive(true);
  monitor.SetActive(true);
  ASSERT_TRUE(RunUntil([&] {
    return server.Link().Active && gw.Active && monitor.Link().VersionMajor != 0;
  }, 30s));
  RunFor(300ms);  // monitoring switched on, the gateway's callsign registered

  // All three busy: a viewer, a user at the node, a station at the prompt.
  test::TcpPeer viewer(monitor.BoundPort());
  ASSERT_TRUE(RunUntil([&] { return viewer.Has("Monitor Telnet Server\r\n"); }, 30s));
  test::TcpPeer user(server.BoundPort());
  ASSERT_TRUE(RunUntil([&] { return user.Has("Login:"); }, 30s));
  user.Send("demo\r\ndemo\r\n");
  ASSERT_TRUE(RunUntil([&] { return user.Has("N0BBB-7"); }, 30s)) << user.Received();
  user.Send("shared link\r\n");
  ASSERT_TRUE(RunUntil([&] { return user.Has("shared link\r\n"); }, 30s)) << user.Received();
  EXPECT_TRUE(RunUntil([&] { return viewer.Has("N0AAA-5>N0BBB-7"); }, 30s)) << viewer.Received();
  test::RadioStation station(pair.AgwPort(Station::B), "N0BBB-1", "N0AAA-2");
  ASSERT_TRUE(station.Ok());
  ASSERT_TRUE(RunUntil([&] { return station.Has("telnet>\r"); }, 30s)) << station.Got();

  // A fourth program on engine A: registered, connected over the air, served.
  test::AgwClient fourth;
  ASSERT_TRUE(fourth.Connect("127.0.0.1", agw));
  fourth.Send(AgwFrame{0, 'X', 0, "N0AAA-9", "", ""});
  auto got = [&](char kind, const std::string& text) {
    return RunUntil([&] {
      return fourth.ReadUntil([&](const AgwFrame& f) {
        return f.kind == kind && f.data.find(text) != std::string::npos;
      }, 0ms).has_value();
    }, 30s);
  };
  ASSERT_TRUE(got('X', std::string(1, '\1')));
  fourth.Send(AgwFrame{0, 'C', 0, "N0AAA-9", "N0BBB-7", ""});
  ASSERT_TRUE(got('C', "CONNECTED"));
  fourth.Send(AgwFrame{0, 'D', 0xF0, "N0AAA-9", "N0BBB-7", "fourth client\r"});
  ASSERT_TRUE(got('D', "fourth client"));
  fourth.Send(AgwFrame{0, 'd', 0, "N0AAA-9", "N0BBB-7", ""});
  EXPECT_TRUE(got('d', "DISCONNECTED"));

  // The services went on meanwhile.
  user.Send("still here\r\n");
  EXPECT_TRUE(RunUntil([&] { return user.Has("still here\r\n"); }, 30s)) << user.Received();
  const size_t before = station.Got().size();
  station.Say("?\r");
  EXPECT_TRUE(RunUntil([&] { return station.Got().find("telnet>", before) != std::string::npos; }, 30s))
      << station.Got();
  node.Stop();
}

}  // namespace
}  // namespace harvox
