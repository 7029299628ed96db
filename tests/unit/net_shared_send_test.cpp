// One buffer queued on many accepted connections: the bytes arrive in order
// with the copied sends around them, and no connection keeps a copy or a
// reference once its output has gone.
#include "net/server_socket.h"
#include "support/net_test_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace harvox::net {
namespace {

using test::RawPeer;

TEST(NetSharedSend, SharedAndCopiedTextsKeepTheirOrderOnEveryConnection) {
  TServerSocket server;
  std::vector<Connection*> accepted;
  server.OnAccept = [&](TServerSocket&, Connection& c) { accepted.push_back(&c); };
  server.Open();
  RawPeer a = RawPeer::ConnectTo(server.LocalPort());
  RawPeer b = RawPeer::ConnectTo(server.LocalPort(), 4096);
  ASSERT_TRUE(RunUntil([&] { return accepted.size() == 2; }));

  // Large enough that a write is still running when the next piece comes.
  auto big = std::make_shared<const std::string>(test::Pattern(200000, 3));
  auto small = std::make_shared<const std::string>("line\r\n");
  std::string expected;
  for (Connection* c : accepted) {
    c->SendText("head ");
    c->SendShared(big);
    c->SendText("mid ");
    c->SendText("dle ");
    c->SendShared(small);
    c->SendShared(std::make_shared<const std::string>());  // empty: nothing
    c->SendShared(small);
  }
  expected = "head " + *big + "mid dle line\r\nline\r\n";
  EXPECT_GT(accepted[0]->PendingOutput(), 0u);
  ASSERT_TRUE(test::PeerGets(a, expected.size()));
  ASSERT_TRUE(test::PeerGets(b, expected.size()));
  EXPECT_EQ(a.received, expected);
  EXPECT_EQ(b.received, expected);
  ASSERT_TRUE(RunUntil([&] {
    return accepted[0]->PendingOutput() == 0 && accepted[1]->PendingOutput() == 0;
  }));
  EXPECT_EQ(big.use_count(), 1);
  EXPECT_EQ(small.use_count(), 1);
}

TEST(NetSharedSend, OutputBoundCountsSharedBytesAndClosesTheLaggard) {
  TServerSocket server;
  server.MaxPendingOutput = 64 * 1024;
  std::vector<Connection*> accepted, gone;
  server.OnAccept = [&](TServerSocket&, Connection& c) { accepted.push_back(&c); };
  server.OnClientDisconnect = [&](TServerSocket&, Connection& c) { gone.push_back(&c); };
  server.Open();
  RawPeer stalled = RawPeer::ConnectTo(server.LocalPort(), 4096);
  ASSERT_TRUE(RunUntil([&] { return accepted.size() == 1; }));
  auto chunk = std::make_shared<const std::string>(test::Pattern(16384, 1));
  ASSERT_TRUE(RunUntil([&] {
    if (gone.empty()) accepted[0]->SendShared(chunk);
    return !gone.empty();
  }, std::chrono::milliseconds(20000)));
  ASSERT_TRUE(RunUntil([&] { return chunk.use_count() == 1; }));
}

}  // namespace
}  // namespace harvox::net
