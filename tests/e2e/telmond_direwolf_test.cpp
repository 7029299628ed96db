// The monitor server against a real engine: while a Telnet user on engine A
// talks to the test node on engine B over the simulated channel, a viewer
// of the monitor on engine B sees the user's frames as lines.  direwolf
// sets its links up with SABME, so the I frames carry a two-byte control
// field: the line shows PID F0 and exactly the user's text.
#include <gtest/gtest.h>

#include <regex>

#include "agw/l2.h"
#include "support/direwolf_pair.h"
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
using test::DirewolfPair;
using test::Station;
using test::TcpPeer;

TEST(TelMonDirewolf, ViewerSeesTheUsersFramesOnTheAir) {
  HARVOX_REQUIRE_DIREWOLF();
  test::WorkDir wd;
  DirewolfPair pair;
  std::string error;
  ASSERT_TRUE(pair.Start(&error)) << error;
  test::TestNode node("127.0.0.1", pair.AgwPort(Station::B), "N0BBB-7");
  node.Start();
  ASSERT_TRUE(node.WaitForEvent("registered"));
  test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\nDEMO=demo,N0AAA-5,0,1:N0BBB-7\r\n");
  TLog log;
  log.FileName = wd.File("HARVOX.LOG");
  log.TraceLevel = 3;
  log.SetActive(true);

  TTelMonD monitor(&log);
  monitor.ListenPort = 0;
  monitor.AGWAddress = "127.0.0.1";
  monitor.AGWPort = pair.AgwPort(Station::B);
  monitor.Split = false;
  monitor.UseCRLF = false;
  monitor.SetActive(true);
  TTelnetD server(&log);
  server.ListenPort = 0;
  server.MaxUsers = 10;
  server.DefNodePort = 1;
  server.DefNodeCall = "N0BBB-7";
  server.AGWAddress = "127.0.0.1";
  server.AGWPort = pair.AgwPort(Station::A);
  server.SetActive(true);
  ASSERT_TRUE(RunUntil([&] { return server.Link().Active == 1 && monitor.Link().Active == 1; }, 30s));
  // The engine serves a new client's first requests up to a second late, and
  // raw frames flow only once it has taken the request for them, which
  // follows the version query: wait for that answer.
  ASSERT_TRUE(RunUntil([&] { return monitor.Link().VersionMajor != 0; }, 30s));
  RunFor(200ms);

  TcpPeer viewer(monitor.BoundPort());
  ASSERT_TRUE(RunUntil([&] { return viewer.Has("Monitor Telnet Server\r\n"); }, 30s));
  TcpPeer user(server.BoundPort());
  ASSERT_TRUE(RunUntil([&] { return user.Has("Login:"); }, 30s));
  user.Send("demo\r\ndemo\r\n");
  ASSERT_TRUE(RunUntil([&] { return user.Has("N0BBB-7"); }, 20s)) << user.Received();
  user.Send("seen on the air\r\n");
  ASSERT_TRUE(RunUntil([&] { return user.Has("seen on the air\r\n"); }, 20s)) << user.Received();

  const std::regex line("N0AAA-5>N0BBB-7 \\{I R[0-9]+ S[0-9]+\\} Pid\\(F0\\): seen on the air\r\r");
  ASSERT_TRUE(RunUntil([&] { return std::regex_search(viewer.Received(), line); }, 30s))
      << viewer.Received();
  // The set-up frame of the link and the node's answer frames were heard too.
  EXPECT_NE(viewer.Received().find("N0AAA-5>N0BBB-7 {"), std::string::npos);
  user.Send("BYE\r\n");
  EXPECT_TRUE(RunUntil([&] { return viewer.Has("N0AAA-5>N0BBB-7 {DISC}") || viewer.Has("{UA}"); }, 30s))
      << viewer.Received();
  node.Stop();
}

}  // namespace
}  // namespace harvox
