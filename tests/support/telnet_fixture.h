// The Telnet server on loopback for tests: real Telnet-side sockets, the
// fake engine on the AX.25 side, real USERS.INI and TEXT/ files in a
// temporary working directory, the product on the main loop.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "agw/l2.h"
#include "support/fake_engine.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox::test {

using namespace std::chrono_literals;

inline auto Kind(char k) {
  return [k](const AgwFrame& f) { return f.kind == k; };
}

struct TelnetFixture : ::testing::Test {
  test::WorkDir wd;
  TLog log;
  FakeEngine engine;
  std::unique_ptr<TTelnetD> server;

  void SetUp() override {
    OpenLog(log, wd.File("HARVOX.LOG"), 5);
    test::WriteFile(wd.File("USERS.INI"),
                    "[USERS]\r\nDEMO=demo,N0CALL-7,5,2:NODE-1\r\nPLAIN=pw\r\nBARE=pw,,,NODE-9\r\n");
    server = std::make_unique<TTelnetD>(&log);
    server->ListenPort = 0;
    server->MaxUsers = 10;
    server->ServerCall = "TELNET";
    server->DefNodePort = 1;
    server->DefNodeCall = "DEFNODE";
    server->AGWAddress = "127.0.0.1";
    server->AGWPort = engine.Port();
    server->Welcome = "Hi there";
    server->Recover = true;
  }
  void TearDown() override {
    server.reset();
    RunFor(20ms);
  }
  void Start() {
    server->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return server->Link().Active == 1; }));
    ASSERT_TRUE(RunUntil([&] { return engine.Count(Kind('R')) >= 1; }));
  }
  std::unique_ptr<TcpPeer> Connect() {
    auto p = std::make_unique<TcpPeer>(server->BoundPort());
    EXPECT_TRUE(p->Connected());
    return p;
  }
  bool Await(TcpPeer& p, const std::string& text) {
    return RunUntil([&] { return p.Has(text); });
  }
  bool AwaitClosed(TcpPeer& p) { return RunUntil([&] { return p.Closed(); }); }
  bool AwaitFrames(size_t n, const FakeEngine::Pred& pred) {
    return RunUntil([&] { return engine.Count(pred) >= n; });
  }
  bool Logged(const std::string& text) { return test::ReadFile(log.FileName).find(text) != std::string::npos; }
  // The kinds of the frames the engine received, in order, polls ('Y') left out.
  std::string Kinds() {
    std::string kinds;
    for (const auto& f : engine.Frames()) {
      if (f.kind != 'Y') kinds += f.kind;
    }
    return kinds;
  }
  // Logs a user in up to the greeting after the registration.
  std::unique_ptr<TcpPeer> Login(const std::string& id = "demo", const std::string& pw = "demo") {
    auto p = Connect();
    EXPECT_TRUE(Await(*p, "Login:"));
    p->Send(id + "\r" + pw + "\r");
    EXPECT_TRUE(Await(*p, "Users logged in.\r\n"));
    return p;
  }
  // Logs a user in and waits for the AX.25 connection to be up.
  std::unique_ptr<TcpPeer> LoginConnected(const std::string& id = "demo", const std::string& pw = "demo") {
    auto p = Connect();
    EXPECT_TRUE(Await(*p, "Login:"));
    p->Send(id + "\r\n");
    EXPECT_TRUE(Await(*p, "Password:"));
    p->Send(pw + "\r\n");
    EXPECT_TRUE(Await(*p, "Users logged in.\r\n"));
    EXPECT_TRUE(RunUntil([&] { return server->Sessions().CountActive() > 0 && engine.Count(Kind('D')) > 0; }));
    return p;
  }
};

}  // namespace harvox::test
