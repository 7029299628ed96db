// The listening socket against loopback clients: listen and accept events,
// send-and-close from the accept handler, peer close and reset, port
// conflicts, the output bound, and release from inside handlers.
#include "net/server_socket.h"
#include "util/log.h"
#include "support/net_test_util.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace harvox::net {
namespace {

using test::RawListener;
using test::RawPeer;

struct Server {
  Server() {
    s.OnListen = [this](TServerSocket&) { ++listens; };
    s.OnAccept = [this](TServerSocket&, Connection& c) { accepted.push_back(&c); };
    s.OnClientRead = [this](TServerSocket&, Connection& c) {
      char buf[5001];
      const int n = c.ReceiveInto(buf, sizeof buf);
      if (n > 0) data[&c].append(buf, static_cast<size_t>(n));
    };
    s.OnClientDisconnect = [this](TServerSocket&, Connection& c) { gone.push_back(&c); };
    s.OnClientError = [this](TServerSocket&, Connection&, ErrorKind kind, int& code) {
      errors.push_back(code);
      kinds.push_back(kind);
      code = 0;
    };
    s.Open();
  }
  int Port() const { return s.LocalPort(); }

  TServerSocket s;
  int listens = 0;
  std::vector<Connection*> accepted, gone;
  std::map<Connection*, std::string> data;
  std::vector<int> errors;
  std::vector<ErrorKind> kinds;
};

TEST(NetServerSocket, ListensOnceAndNamesEachClientsOwnConnection) {
  Server srv;
  EXPECT_EQ(srv.listens, 1);
  EXPECT_TRUE(srv.s.Active());
  ASSERT_NE(srv.Port(), 0);
  RawPeer a = RawPeer::ConnectTo(srv.Port());
  RawPeer b = RawPeer::ConnectTo(srv.Port());
  ASSERT_TRUE(RunUntil([&] { return srv.accepted.size() == 2; }));
  EXPECT_EQ(srv.s.ConnectionCount(), 2u);
  std::map<int, Connection*> by_port;
  for (Connection* c : srv.accepted) {
    EXPECT_EQ(c->PeerAddress(), "127.0.0.1");
    by_port[c->PeerPort()] = c;
  }
  ASSERT_TRUE(by_port.count(a.LocalPort()) && by_port.count(b.LocalPort()));
  a.Send("from a");
  b.Send("from b");
  ASSERT_TRUE(RunUntil([&] { return srv.data.size() == 2; }));
  EXPECT_EQ(srv.data[by_port[a.LocalPort()]], "from a");
  EXPECT_EQ(srv.data[by_port[b.LocalPort()]], "from b");
  EXPECT_EQ(srv.listens, 1);
}

TEST(NetServerSocket, AcceptHandlerSendsAndClosesPeerGetsWholeText) {
  Server srv;
  const std::string text = test::Pattern(300000, 9);
  bool raised_inside = false;
  srv.s.OnAccept = [&](TServerSocket&, Connection& c) {
    c.SendText(text);
    c.Close();
    raised_inside = srv.gone.size() == 1;
    c.Close();
  };
  // The client speaks first; its unread bytes must not turn the close into a reset.
  RawPeer peer = RawPeer::ConnectTo(srv.Port());
  peer.Send("\xff\xfd\x01\xff\xfb\x1f");
  ASSERT_TRUE(RunUntil([&] { peer.Pump(); return peer.eof || peer.reset; }));
  EXPECT_TRUE(raised_inside);
  EXPECT_FALSE(peer.reset);
  EXPECT_TRUE(peer.received == text);
  RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(srv.gone.size(), 1u);
  EXPECT_EQ(srv.s.ConnectionCount(), 0u);
}

TEST(NetServerSocket, PeerCloseGivesOneDisconnectAfterTheLastData) {
  Server srv;
  RawPeer peer = RawPeer::ConnectTo(srv.Port());
  const std::string text = test::Pattern(11000, 1);
  peer.Send(text);
  peer.Close();
  ASSERT_TRUE(RunUntil([&] { return srv.gone.size() == 1; }));
  RunFor(std::chrono::milliseconds(30));
  EXPECT_EQ(srv.gone.size(), 1u);
  EXPECT_EQ(srv.data[srv.accepted[0]], text);
  EXPECT_EQ(srv.s.ConnectionCount(), 0u);
  EXPECT_TRUE(srv.errors.empty());
}

TEST(NetServerSocket, HandledResetLeavesConnectionUntilClosed) {
  Server srv;
  RawPeer peer = RawPeer::ConnectTo(srv.Port());
  ASSERT_TRUE(RunUntil([&] { return srv.accepted.size() == 1; }));
  peer.Reset();
  ASSERT_TRUE(RunUntil([&] { return !srv.errors.empty(); }));
  RunFor(std::chrono::milliseconds(30));
  EXPECT_EQ(srv.errors, std::vector<int>{kWSAECONNRESET});
  EXPECT_EQ(srv.kinds, std::vector<ErrorKind>{ErrorKind::Disconnect});
  EXPECT_TRUE(srv.gone.empty());
  EXPECT_EQ(srv.s.ConnectionCount(), 1u);
  srv.accepted[0]->Close();
  EXPECT_EQ(srv.gone.size(), 1u);
}

TEST(NetServerSocket, PortInUseThrowsBeforeListen) {
  RawListener other;
  TServerSocket s;
  int listens = 0;
  s.OnListen = [&](TServerSocket&) { ++listens; };
  s.Port = other.Port();
  try {
    s.Open();
    FAIL() << "Open on a taken port";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), kWSAEADDRINUSE);
  }
  EXPECT_EQ(listens, 0);
  EXPECT_FALSE(s.Active());
}

// Every address of the list on one port, IPv6 sockets for IPv6 only, or
// nothing at all when one address fails.
TEST(NetServerSocket, ListensOnEveryAddressOrNowhere) {
  if (!test::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
  RawListener taken;  // 127.0.0.1 only
  const struct {
    std::vector<std::string> at;
    bool taken_port;
    int code;
  } cases[] = {
      {{"0.0.0.0", "::"}, false, 0},
      {{"::1", "127.0.0.1"}, false, 0},
      {{"::1", "127.0.0.1"}, true, kWSAEADDRINUSE},
      {{"::1", "nowhere"}, false, kWSAEADDRNOTAVAIL},
  };
  for (const auto& c : cases) {
    Server srv;
    srv.s.Close();
    srv.s.Addresses = c.at;
    srv.s.Port = c.taken_port ? taken.Port() : 0;
    int code = 0;
    try {
      srv.s.Open();
    } catch (const std::system_error& e) {
      code = e.code().value();
    }
    ASSERT_EQ(code, c.code) << c.at[0] << "," << c.at[1];
    if (code != 0) {
      EXPECT_FALSE(srv.s.Active());
      // ::1 was bound first and is closed again.
      EXPECT_FALSE(c.taken_port && harvox::test::TcpPeer(taken.Port(), nullptr, "::1").Connected());
      continue;
    }
    harvox::test::TcpPeer v4(srv.Port(), nullptr, "127.0.0.1"), v6(srv.Port(), nullptr, "::1");
    EXPECT_TRUE(RunUntil([&] { return srv.accepted.size() == 2; }, std::chrono::seconds(20)));
    std::vector<std::string> peers;
    for (Connection* conn : srv.accepted) peers.push_back(conn->PeerAddress());
    std::sort(peers.begin(), peers.end());
    EXPECT_EQ(peers, (std::vector<std::string>{"127.0.0.1", "::1"})) << c.at[0];
  }
}

TEST(NetServerSocket, NonReadingPeerIsClosedWhenOutputOverflows) {
  harvox::test::TempDir dir;
  TLog log;
  harvox::test::OpenLog(log, dir.File("net.log"), 1);
  Server srv;
  srv.s.MaxPendingOutput = 256 * 1024;
  srv.s.Log = &log;
  RawPeer peer = RawPeer::ConnectTo(srv.Port(), 4096);
  ASSERT_TRUE(RunUntil([&] { return srv.accepted.size() == 1; }));
  Connection* c = srv.accepted[0];
  const std::string chunk(64 * 1024, 'x');
  // At most 64 MiB: far beyond what the kernel buffers and the bound hold.
  for (int i = 0; i < 1024 && srv.gone.empty(); ++i) {
    c->SendText(chunk);
    RunFor(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(srv.gone.size(), 1u);
  EXPECT_NE(harvox::test::ReadFile(log.FileName).find("{TCPIP} Output queue overflow, closing connection from 127.0.0.1:" +
                                                  std::to_string(peer.LocalPort())),
            std::string::npos);
}

TEST(NetServerSocket, ReleaseInsideHandlersIsSafe) {
  for (int where = 0; where < 3; ++where) {  // accept, read, disconnect
    auto s = std::make_unique<TServerSocket>();
    s->OnAccept = [&](TServerSocket&, Connection& c) {
      c.SendText("welcome");
      if (where == 0) s.reset();
    };
    s->OnClientRead = [&](TServerSocket&, Connection&) { if (where == 1) s.reset(); };
    s->OnClientDisconnect = [&](TServerSocket&, Connection&) { if (where == 2) s.reset(); };
    s->Open();
    RawPeer peer = RawPeer::ConnectTo(s->LocalPort());
    peer.Send("hi");
    peer.ShutdownSend();
    ASSERT_TRUE(RunUntil([&] { return !s; }));
    ASSERT_TRUE(RunUntil([&] { peer.Pump(); return peer.eof || peer.reset; }));
    RunFor(std::chrono::milliseconds(20));
  }
}

}  // namespace
}  // namespace harvox::net
