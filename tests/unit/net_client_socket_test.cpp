// Outbound connections with connection-object events, against loopback
// peers: connect failures, close semantics, reads, resets, and release
// from inside the handlers.
#include "net/client_socket.h"
#include "support/net_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace harvox::net {
namespace {

using test::RawListener;
using test::RawPeer;

struct Events {
  explicit Events(TClientSocket& s) {
    s.OnConnect = [this](TClientSocket&, Connection& c) { log.push_back("connect"); conn = &c; };
    s.OnDisconnect = [this](TClientSocket&, Connection&) { log.push_back("disconnect"); };
    s.OnRead = [this](TClientSocket&, Connection& c) {
      char buf[5001];
      const int n = c.ReceiveInto(buf, sizeof buf);
      if (n > 0) data.append(buf, static_cast<size_t>(n));
      log.push_back("read");
    };
    s.OnError = [this](TClientSocket&, Connection&, ErrorKind kind, int& code) {
      log.push_back("error:" + std::to_string(static_cast<int>(kind)) + ":" + std::to_string(code));
      code = handle ? 0 : code;
    };
  }
  std::vector<std::string> log;
  std::string data;
  Connection* conn = nullptr;
  bool handle = true;
};

void Target(TClientSocket& s, int port) {
  s.Address = "127.0.0.1";
  s.Port = port;
}

TEST(NetClientSocket, ClosedPortGivesOneConnectErrorAndNothingElse) {
  TClientSocket s;
  Events e(s);
  Target(s, test::ClosedPort());
  s.Open();
  EXPECT_TRUE(s.Active());
  ASSERT_TRUE(RunUntil([&] { return !e.log.empty(); }));
  RunFor(std::chrono::milliseconds(30));
  const std::string connect_kind = std::to_string(static_cast<int>(ErrorKind::Connect));
  EXPECT_EQ(e.log, std::vector<std::string>{"error:" + connect_kind + ":10061"});
  EXPECT_FALSE(s.Active());
  s.Close();  // nothing left to close
  EXPECT_EQ(e.log.size(), 1u);
}

TEST(NetClientSocket, OpenRefusedAtOnceThrowsWithoutEvents) {
  TClientSocket s;
  Events e(s);
  s.Address = "no.such.host";
  s.Port = 23;
  try {
    s.Open();
    FAIL() << "Open accepted a name";
  } catch (const std::system_error& err) {
    EXPECT_EQ(err.code().value(), kWSAEADDRNOTAVAIL);
  }
  s.Address = "127.0.0.1";
  s.Port = 0;
  EXPECT_THROW(s.Open(), std::system_error);
  RunFor(std::chrono::milliseconds(20));
  EXPECT_TRUE(e.log.empty());
  EXPECT_FALSE(s.Active());
}

TEST(NetClientSocket, CloseRaisesDisconnectInsideOnceAlsoWhileConnecting) {
  RawListener listener;
  for (bool wait_connected : {true, false}) {
    TClientSocket s;
    Events e(s);
    Target(s, listener.Port());
    s.Open();
    RawPeer peer = listener.Accept();
    if (wait_connected) {
      ASSERT_TRUE(RunUntil([&] { return e.conn != nullptr; }));
    }
    s.Close();
    EXPECT_EQ(e.log.back(), "disconnect");
    s.Close();
    s.Socket().Close();
    RunFor(std::chrono::milliseconds(30));
    const std::vector<std::string> expected =
        wait_connected ? std::vector<std::string>{"connect", "disconnect"}
                       : std::vector<std::string>{"disconnect"};
    EXPECT_EQ(e.log, expected);
    EXPECT_FALSE(s.Active());
    ASSERT_TRUE(RunUntil([&] { peer.Pump(); return peer.eof; }));
  }
}

TEST(NetClientSocket, ReadsThenPeerCloseGivesOneDisconnect) {
  RawListener listener;
  TClientSocket s;
  Events e(s);
  Target(s, listener.Port());
  s.Open();
  RawPeer peer = listener.Accept();
  ASSERT_TRUE(RunUntil([&] { return e.conn != nullptr; }));
  EXPECT_EQ(e.conn, &s.Socket());
  EXPECT_EQ(s.Socket().PeerAddress(), "127.0.0.1");
  EXPECT_EQ(s.Socket().PeerPort(), listener.Port());
  s.Socket().SendText(std::string("a\0b\xff", 4));
  ASSERT_TRUE(test::PeerGets(peer, 4));
  EXPECT_EQ(peer.received, std::string("a\0b\xff", 4));

  const std::string text = test::Pattern(12000, 5);
  peer.Send(text);
  peer.Close();
  ASSERT_TRUE(RunUntil([&] { return !e.log.empty() && e.log.back() == "disconnect"; }));
  RunFor(std::chrono::milliseconds(30));
  EXPECT_EQ(e.data, text);
  EXPECT_EQ(std::count(e.log.begin(), e.log.end(), "disconnect"), 1);
  EXPECT_FALSE(s.Active());
}

TEST(NetClientSocket, ResetIsReportedAsErrorAndOnlyCloseEndsAHandledOne) {
  RawListener listener;
  for (bool handle : {true, false}) {
    TClientSocket s;
    Events e(s);
    e.handle = handle;
    Target(s, listener.Port());
    s.Open();
    RawPeer peer = listener.Accept();
    ASSERT_TRUE(RunUntil([&] { return e.conn != nullptr; }));
    peer.Reset();
    ASSERT_TRUE(RunUntil([&] { return e.log.size() >= 2; }));
    RunFor(std::chrono::milliseconds(30));
    const std::string reset = "error:" + std::to_string(static_cast<int>(ErrorKind::Disconnect)) +
                              ":" + std::to_string(kWSAECONNRESET);
    if (handle) {
      EXPECT_EQ(e.log, (std::vector<std::string>{"connect", reset}));
      EXPECT_TRUE(s.Active());
      s.Socket().SendText("into the void");  // dropped, no event
      s.Close();
    }
    EXPECT_EQ(e.log, (std::vector<std::string>{"connect", reset, "disconnect"}));
  }
}

TEST(NetClientSocket, ReleaseInsideHandlersIsSafe) {
  RawListener listener;
  for (int where = 0; where < 3; ++where) {  // read, disconnect, connect error
    auto s = std::make_unique<TClientSocket>();
    s->OnRead = [&](TClientSocket&, Connection& c) {
      char buf[8];
      c.ReceiveInto(buf, sizeof buf);
      if (where == 0) s.reset();
    };
    s->OnDisconnect = [&](TClientSocket&, Connection&) { if (where == 1) s.reset(); };
    s->OnError = [&](TClientSocket&, Connection&, ErrorKind, int& code) { code = 0; s.reset(); };
    Target(*s, where == 2 ? test::ClosedPort() : listener.Port());
    s->Open();
    if (where < 2) {
      RawPeer peer = listener.Accept();
      peer.Send("x");
      peer.Close();
      ASSERT_TRUE(RunUntil([&] { return !s; }));
    } else {
      ASSERT_TRUE(RunUntil([&] { return !s; }));
    }
    RunFor(std::chrono::milliseconds(20));
  }
}

}  // namespace
}  // namespace harvox::net
