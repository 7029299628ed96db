// The monitor server against a real engine: while a Telnet user on engine A
// talks to the test node on engine B over the simulated channel, viewers of
// a monitor on each engine see the link's frames as lines: the ones their
// engine hears and the ones it sends itself.  direwolf sets its links up
// with SABME, so the I frames carry a two-byte control field: each line
// shows PID F0 and exactly the text sent.
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
  test::OpenLog(log, wd.File("HARVOX.LOG"), 3);

  TTelMonD near(&log), far(&log);
  TTelMonD* monitors[] = {&near, &far};
  for (TTelMonD* m : monitors) {
    m->ListenPort = 0;
    m->AGWAddress = "127.0.0.1";
    m->AGWPort = pair.AgwPort(m == &near ? Station::A : Station::B);
    m->Split = false;
    m->UseCRLF = false;
    pair.Share(m->Link(), m == &near ? Station::A : Station::B);
    m->SetActive(true);
  }
  TTelnetD server(&log);
  server.ListenPort = 0;
  server.MaxUsers = 10;
  server.DefNodePort = 1;
  server.DefNodeCall = "N0BBB-7";
  server.AGWAddress = "127.0.0.1";
  server.AGWPort = pair.AgwPort(Station::A);
  pair.Share(server.Link(), Station::A);
  server.SetActive(true);
  // The engine serves a new client's first requests up to a second late, and
  // monitoring starts only once it has taken the requests for it, which
  // follow the version query: wait for that answer.
  ASSERT_TRUE(RunUntil([&] {
    return server.Link().Active == 1 && near.Link().VersionMajor != 0 && far.Link().VersionMajor != 0;
  }, 30s));
  RunFor(200ms);

  TcpPeer near_viewer(near.BoundPort()), far_viewer(far.BoundPort());
  TcpPeer* viewers[] = {&near_viewer, &far_viewer};
  for (TcpPeer* v : viewers) ASSERT_TRUE(RunUntil([&] { return v->Has("Monitor Telnet Server\r\n"); }, 30s));
  TcpPeer user(server.BoundPort());
  ASSERT_TRUE(RunUntil([&] { return user.Has("Login:"); }, 30s));
  user.Send("demo\r\ndemo\r\n");
  ASSERT_TRUE(RunUntil([&] { return user.Has("N0BBB-7"); }, 20s)) << user.Received();
  user.Send("seen on the air\r\n");
  ASSERT_TRUE(RunUntil([&] { return user.Has("seen on the air\r\n"); }, 20s)) << user.Received();

  // The user's frame and the node's echo: one of them sent by the viewer's
  // own engine, the other heard, each after the SABME that set the link up.
  const std::regex lines[] = {
      std::regex("N0AAA-5>N0BBB-7 \\{SABME\\}: \r"),
      std::regex("N0AAA-5>N0BBB-7 \\{I R[0-9]+ S[0-9]+\\} Pid\\(F0\\): seen on the air\r\r"),
      std::regex("N0BBB-7>N0AAA-5 \\{I R[0-9]+ S[0-9]+\\} Pid\\(F0\\): seen on the air\r\r")};
  for (TcpPeer* v : viewers) {
    for (const std::regex& line : lines) {
      EXPECT_TRUE(RunUntil([&] { return std::regex_search(v->Received(), line); }, 30s)) << v->Received();
    }
  }
  user.Send("BYE\r\n");
  for (TcpPeer* v : viewers) {
    EXPECT_TRUE(RunUntil([&] { return v->Has("{DISC}") && v->Has("{UA}"); }, 30s)) << v->Received();
  }
  node.Stop();
}

}  // namespace
}  // namespace harvox
