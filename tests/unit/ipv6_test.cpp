// The Telnet server and the monitor listening on 127.0.0.1 and ::1, with
// their engine links reaching the fake engine over ::1.
#include <gtest/gtest.h>

#include "agw/l2.h"
#include "support/fake_engine.h"
#include "support/net_test_util.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;

template <typename Server>
void ServesBothFamilies(Server& server, int engine_port, const std::string& greeting, const std::string& tag) {
  server.ListenPort = 0;
  server.ListenAddresses = {"127.0.0.1", "::1"};
  server.AGWAddress = "::1";
  server.AGWPort = engine_port;
  server.SetActive(true);
  ASSERT_TRUE(RunUntil([&] { return server.Link().Active == 1; }, 20s)) << tag;
  for (const char* host : {"127.0.0.1", "::1"}) {
    test::TcpPeer peer(server.BoundPort(), nullptr, host);
    EXPECT_TRUE(RunUntil([&] { return peer.Has(greeting); }, 20s)) << tag << host << ": " << peer.Received();
  }
}

TEST(Ipv6, BothServersAcceptOnEveryAddressAndReachTheEngineOverIpv6) {
  if (!net::test::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
  test::WorkDir wd;
  TLog log;
  test::OpenLog(log, wd.File("HARVOX.LOG"), 2);
  test::FakeEngine engine{test::FakeEngine::Options{.address = "::1"}};
  TTelnetD telnet(&log);
  telnet.MaxUsers = 2;
  ServesBothFamilies(telnet, engine.Port(), "Login:", "{TelnetD}");
  TTelMonD monitor(&log);
  ServesBothFamilies(monitor, engine.Port(), "Welcome to the AX.25 Monitor", "{TelMonD}");
  const std::string text = test::ReadFile(log.FileName);
  for (const char* tag : {"{TelnetD}", "{TelMonD}"}) {
    EXPECT_NE(text.find(std::string(tag) + " TN Server Accepted a connection from ::1:"), std::string::npos) << tag;
  }
  RunFor(20ms);
}

}  // namespace
}  // namespace harvox
