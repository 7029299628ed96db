// The engine socket against real loopback peers: lookup, connect, the
// order of data and close events, graceful close and release from inside
// its own handlers.
#include "net/winsock.h"
#include "net/wsocket.h"
#include "support/net_test_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace harvox::net {
namespace {

using test::RawListener;
using test::RawPeer;

// Records every event as text; data events read up to `chunk` bytes.
struct Recorder {
  explicit Recorder(TWSocket& s, size_t chunk = 5001) {
    s.OnSessionConnected = [this](TWSocket&, uint16_t c) { log.push_back("connected:" + std::to_string(c)); };
    s.OnSessionClosed = [this](TWSocket&, uint16_t c) { log.push_back("closed:" + std::to_string(c)); };
    s.OnDnsLookupDone = [this](TWSocket&, uint16_t c) { log.push_back("dns:" + std::to_string(c)); };
    s.OnError = [this](TWSocket& w) { log.push_back("error:" + std::to_string(w.LastError)); };
    s.OnDataAvailable = [this, chunk](TWSocket& w, uint16_t) {
      std::string buf(chunk, '\0');
      const int n = w.Receive(buf.data(), buf.size());
      if (n > 0) data.append(buf.data(), static_cast<size_t>(n));
      log.push_back("data:" + std::to_string(n > 0 ? n : 0));
    };
  }
  bool Has(const std::string& entry) const {
    for (const auto& e : log) if (e == entry) return true;
    return false;
  }
  std::vector<std::string> log;
  std::string data;
};

void ConnectTo(TWSocket& s, int port) {
  s.Addr = "127.0.0.1";
  s.Port = std::to_string(port);
  s.Connect();
}

TEST(NetWSocket, DottedLookupAnswersBeforeReturningAndNamesResolveLater) {
  TWSocket s;
  Recorder r(s);
  s.LookupHost("127.0.0.1");
  EXPECT_EQ(r.log, std::vector<std::string>{"dns:0"});
  EXPECT_EQ(s.DnsResult, "127.0.0.1");

  s.LookupHost("localhost");
  EXPECT_EQ(r.log.size(), 1u);
  EXPECT_EQ(s.GetState(), TWSocket::State::LookingUp);
  ASSERT_TRUE(RunUntil([&] { return r.log.size() == 2; }));
  EXPECT_EQ(r.log[1], "dns:0");
  EXPECT_EQ(s.DnsResult, "127.0.0.1");
  EXPECT_EQ(s.GetState(), TWSocket::State::Closed);

  s.LookupHost("localhost");
  s.CancelLookup();  // raised inside, and the late result is dropped
  EXPECT_EQ(r.log.back(), "dns:" + std::to_string(kWSAEINTR));
  s.CancelLookup();
  RunFor(std::chrono::milliseconds(50));
  EXPECT_EQ(r.log.size(), 3u);
}

TEST(NetWSocket, ConnectExchangeAndShortTextBeforePeerClose) {
  RawListener listener;
  TWSocket s;
  Recorder r(s);
  ConnectTo(s, listener.Port());
  EXPECT_EQ(s.GetState(), TWSocket::State::Connecting);
  RawPeer peer = listener.Accept();
  ASSERT_TRUE(RunUntil([&] { return r.Has("connected:0"); }));
  s.Send("hello", 5);
  ASSERT_TRUE(test::PeerGets(peer, 5));
  EXPECT_EQ(peer.received, "hello");

  peer.Send("73 de G4ABC");
  peer.Close();
  ASSERT_TRUE(RunUntil([&] { return r.Has("closed:0"); }));
  // The text comes in the data event right before the close event.
  EXPECT_EQ((std::vector<std::string>{"connected:0", "data:11", "closed:0"}), r.log);
  EXPECT_EQ(r.data, "73 de G4ABC");
  EXPECT_EQ(s.GetState(), TWSocket::State::Closed);
}

TEST(NetWSocket, ThreeReadsWorthArriveInThreeOrderedEvents) {
  RawListener listener;
  TWSocket s;
  Recorder r(s);
  ConnectTo(s, listener.Port());
  RawPeer peer = listener.Accept();
  const std::string sent = test::Pattern(3 * 5001);
  peer.Send(sent);
  ASSERT_TRUE(RunUntil([&] { return r.data.size() == sent.size(); }));
  RunFor(std::chrono::milliseconds(30));
  EXPECT_EQ((std::vector<std::string>{"connected:0", "data:5001", "data:5001", "data:5001"}), r.log);
  EXPECT_EQ(r.data, sent);
}

TEST(NetWSocket, FailedConnectClosesOnceWhetherOrNotTheHandlerCloses) {
  for (bool close_in_handler : {true, false}) {
    TWSocket s;
    Recorder r(s);
    bool closed_inside = false;
    s.OnSessionConnected = [&](TWSocket& w, uint16_t code) {
      r.log.push_back("connected:" + std::to_string(code));
      if (!close_in_handler) return;
      w.Close();
      closed_inside = r.Has("closed:0");
    };
    ConnectTo(s, test::ClosedPort());
    ASSERT_TRUE(RunUntil([&] { return r.log.size() >= 2; }));
    RunFor(std::chrono::milliseconds(30));
    EXPECT_EQ((std::vector<std::string>{"connected:" + std::to_string(kWSAECONNREFUSED), "closed:0"}),
              r.log);
    EXPECT_EQ(closed_inside, close_in_handler);
  }
}

TEST(NetWSocket, AttemptsRefusedAtOnceRaiseOnlyOnError) {
  TWSocket s;
  Recorder r(s);
  s.Addr = "not.an.address";
  s.Port = "8000";
  s.Connect();
  s.Addr = "127.0.0.1";
  s.Port = "0";
  s.Connect();
  s.Send("x", 1);
  RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ((std::vector<std::string>{"error:10049", "error:10049", "error:10057"}), r.log);
}

TEST(NetWSocket, PeerResetEndsTheSessionWithItsCode) {
  RawListener listener;
  TWSocket s;
  Recorder r(s);
  ConnectTo(s, listener.Port());
  RawPeer peer = listener.Accept();
  ASSERT_TRUE(RunUntil([&] { return r.Has("connected:0"); }));
  peer.Reset();
  ASSERT_TRUE(RunUntil([&] { return r.log.back().rfind("closed:", 0) == 0; }));
  EXPECT_EQ(r.log.back(), "closed:" + std::to_string(kWSAECONNRESET));
}

TEST(NetWSocket, CloseIsGracefulRaisesInsideOnceAndTheSocketIsReusable) {
  RawListener listener;
  TWSocket s;
  Recorder r(s);
  ConnectTo(s, listener.Port());
  RawPeer peer = listener.Accept();
  ASSERT_TRUE(RunUntil([&] { return r.Has("connected:0"); }));
  const std::string big = test::Pattern(4 << 20, 3);
  s.Send(big.data(), big.size());
  s.Close();
  EXPECT_EQ(r.log.back(), "closed:0");
  s.Close();
  EXPECT_EQ(r.log.size(), 2u);
  // Everything queued still reaches the peer, then the orderly end.
  ASSERT_TRUE(RunUntil([&] { peer.Pump(); return peer.eof || peer.reset; }));
  EXPECT_FALSE(peer.reset);
  EXPECT_TRUE(peer.received == big);

  ConnectTo(s, listener.Port());
  RawPeer second = listener.Accept();
  ASSERT_TRUE(RunUntil([&] { return r.log.size() == 3; }));
  EXPECT_EQ(r.log.back(), "connected:0");
}

TEST(NetWSocket, ReleaseInsideItsOwnHandlersIsSafe) {
  RawListener listener;
  // Released in the data event, in the close event and in a failed connect.
  for (int where = 0; where < 3; ++where) {
    auto s = std::make_unique<TWSocket>();
    int events = 0;
    s->OnDataAvailable = [&](TWSocket& w, uint16_t) {
      char buf[16];
      w.Receive(buf, sizeof buf);
      ++events;
      if (where == 0) s.reset();
    };
    s->OnSessionClosed = [&](TWSocket&, uint16_t) { ++events; if (where == 1) s.reset(); };
    s->OnSessionConnected = [&](TWSocket&, uint16_t code) { if (code && where == 2) s.reset(); };
    ConnectTo(*s, where == 2 ? test::ClosedPort() : listener.Port());
    if (where == 2) {
      ASSERT_TRUE(RunUntil([&] { return !s; }));
      continue;
    }
    RawPeer peer = listener.Accept();
    peer.Send("data");
    peer.Close();
    ASSERT_TRUE(RunUntil([&] { return !s; }));
    RunFor(std::chrono::milliseconds(20));
    EXPECT_EQ(events, where == 0 ? 1 : 2);
  }
}

// Many connections end at once while the socket answers the last data it
// read: the answer's send takes the socket's pending error, so the end must
// still be told apart (a reset was once reported as an orderly close).  A
// peer that closed in order and then refuses the answer closed in order.
TEST(NetWSocket, ResetAndOrderlyEndToldApartUnderLoad) {
  constexpr int kSockets = 40;
  RawListener listener;
  enum class End { Reset, ShutdownKeepReading, CloseRefusingMore };
  for (const End end : {End::Reset, End::ShutdownKeepReading, End::CloseRefusingMore}) {
    const bool reset = end == End::Reset;
    std::vector<std::unique_ptr<TWSocket>> sockets;
    std::vector<int> closed(kSockets, -1);
    std::vector<RawPeer> peers;
    for (int i = 0; i < kSockets; ++i) {
      auto& s = *sockets.emplace_back(std::make_unique<TWSocket>());
      s.OnDataAvailable = [](TWSocket& w, uint16_t) {
        char buf[64];
        if (w.Receive(buf, sizeof buf) > 0) w.Send("ack", 3);
      };
      s.OnSessionClosed = [&closed, i](TWSocket&, uint16_t code) { closed[i] = code; };
      ConnectTo(s, listener.Port());
      peers.push_back(listener.Accept());
    }
    RunFor(std::chrono::milliseconds(20));
    for (auto& peer : peers) {
      peer.Send("last words");
      if (reset) peer.Reset();
      if (end == End::ShutdownKeepReading) peer.ShutdownSend();
      if (end == End::CloseRefusingMore) peer.Close();  // the answer meets a reset
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all of it arrives before we look
    ASSERT_TRUE(RunUntil([&] {
      for (int c : closed) if (c < 0) return false;
      return true;
    }));
    for (int i = 0; i < kSockets; ++i) {
      EXPECT_EQ(closed[i], reset ? kWSAECONNRESET : 0) << "case " << static_cast<int>(end) << " #" << i;
    }
  }
}

TEST(NetWinsock, NativeErrorsMapToWindowsSocketsNumbers) {
  EXPECT_EQ(ToWinsock({}), 0);
  EXPECT_EQ(ToWinsock(asio::error::connection_refused), kWSAECONNREFUSED);
  EXPECT_EQ(ToWinsock(asio::error::connection_reset), kWSAECONNRESET);
  EXPECT_EQ(ToWinsock(asio::error::operation_aborted), kWSAEINTR);
  EXPECT_EQ(ToWinsock(asio::error::timed_out), kWSAETIMEDOUT);
  EXPECT_EQ(ToWinsock(asio::error::host_not_found), kWSAHOST_NOT_FOUND);
  EXPECT_EQ(ToWinsock(asio::error::address_in_use), kWSAEADDRINUSE);
  EXPECT_EQ(ToWinsock(std::make_error_code(std::errc::not_enough_memory)), kWSAENOBUFS);
  EXPECT_EQ(ToWinsock(asio::error::already_open), kWSAETIMEDOUT);  // no number of its own
  EXPECT_EQ(ToWinsock(WinsockError(kWSANO_DATA)), kWSANO_DATA);
}

}  // namespace
}  // namespace harvox::net
