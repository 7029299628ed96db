// The fake engine is the ground truth for every link and server test, so
// its replies, its recording and its fault injection are checked here
// against a plain blocking client over real loopback sockets.
#include "support/agw_client.h"
#include "support/fake_engine.h"

#include "util/event_loop.h"

#include <asio/write.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harvox::test {
namespace {

using namespace std::chrono_literals;

AgwFrame Frame(char kind, std::string from = "", std::string to = "", std::string data = "",
               uint8_t port = 0) {
  AgwFrame f;
  f.kind = kind;
  f.from = std::move(from);
  f.to = std::move(to);
  f.data = std::move(data);
  f.port = port;
  return f;
}

class FakeEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(engine.Running());
    ASSERT_TRUE(client.Connect("127.0.0.1", engine.Port()));
    ASSERT_TRUE(engine.WaitForClients(1));
  }
  AgwFrame Ask(const AgwFrame& f) {
    EXPECT_TRUE(client.Send(f));
    auto reply = client.Read(2s);
    EXPECT_TRUE(reply) << "no reply to " << Describe(f);
    return reply.value_or(AgwFrame{});
  }

  FakeEngine engine;
  AgwClient client;
};

TEST(FakeEngineCodec, RoundTripsEveryByteAndCutsLongCalls) {
  AgwFrame f = Frame('D', "N0CALL-1234", "N0BBB-7", "", 3);
  for (int i = 0; i < 256; ++i) f.data += static_cast<char>(i);
  std::string wire = f.Encode();
  ASSERT_EQ(wire.size(), 36u + 256u);
  EXPECT_EQ(wire.substr(8, 10), "N0CALL-123");  // 10 bytes, no NUL
  EXPECT_EQ(static_cast<uint8_t>(wire[28]), 0);
  EXPECT_EQ(static_cast<uint8_t>(wire[29]), 1);
  auto back = DecodeAgwFrame(wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->from, "N0CALL-123");
  EXPECT_EQ(back->data, f.data);
  EXPECT_EQ(back->port, 3);
  EXPECT_FALSE(DecodeAgwFrame(wire.substr(0, wire.size() - 1)));
}

TEST(FakeEngineCodec, ReaderReassemblesAnyCutAndRejectsHugeLengths) {
  std::string wire = Frame('X', "N0AAA").Encode() + Frame('D', "A", "B", "hello").Encode();
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    AgwFrameReader reader;
    reader.Feed(wire.substr(0, cut));
    reader.Feed(wire.substr(cut));
    auto a = reader.Next();
    auto b = reader.Next();
    ASSERT_TRUE(a && b) << "cut at " << cut;
    EXPECT_EQ(b->data, "hello");
    EXPECT_FALSE(reader.Next());
  }
  AgwFrameReader reader(100);
  std::string header = Frame('D').Encode();
  header[30] = 1;  // 65536 bytes announced
  reader.Feed(header);
  EXPECT_FALSE(reader.Next());
  EXPECT_TRUE(reader.Bad());
  EXPECT_EQ(reader.Buffered(), 0u);
}

TEST_F(FakeEngineTest, AnswersQueriesLikeTheEngine) {
  AgwFrame r = Ask(Frame('R'));
  ASSERT_EQ(r.data.size(), 8u);
  EXPECT_EQ(static_cast<uint8_t>(r.data[0]) + 256 * static_cast<uint8_t>(r.data[1]), 2005);
  EXPECT_EQ(static_cast<uint8_t>(r.data[4]), 127);

  engine.SetPortList("1;Port1 only;");
  EXPECT_EQ(Ask(Frame('G')).data, std::string("1;Port1 only;\0", 14));

  AgwFrame g = Ask(Frame('g', "", "", "", 1));
  EXPECT_EQ(g.kind, 'g');
  EXPECT_EQ(g.port, 1);
  EXPECT_EQ(g.data.size(), 12u);
  EXPECT_EQ(Ask(Frame('y', "", "", "", 1)).data, std::string(4, '\0'));

  engine.SetRegisterResult("n0bad", 0);
  AgwFrame ok = Ask(Frame('X', "N0AAA-3"));
  EXPECT_EQ(ok.from, "N0AAA-3");
  EXPECT_EQ(ok.data, std::string(1, '\1'));
  EXPECT_EQ(Ask(Frame('X', "N0BAD")).data, std::string(1, '\0'));

  engine.SetOutstanding({5, 2});
  for (uint8_t want : {5, 2, 2}) {
    AgwFrame y = Ask(Frame('Y', "N0AAA", "N0BBB"));
    EXPECT_EQ(y.from, "N0AAA");
    EXPECT_EQ(static_cast<uint8_t>(y.data[0]), want);
  }
}

TEST_F(FakeEngineTest, ConnectNoticesSwapCallsAndDataWithoutLinkIsFlagged) {
  AgwFrame c = Ask(Frame('C', "N0AAA-3", "N0BBB-7", "", 1));
  EXPECT_EQ(c.kind, 'C');
  EXPECT_EQ(c.from, "N0BBB-7");
  EXPECT_EQ(c.to, "N0AAA-3");
  EXPECT_EQ(c.port, 1);
  EXPECT_EQ(c.data, std::string("*** CONNECTED With Station N0BBB-7\r\0", 36));

  ASSERT_TRUE(client.Send(Frame('D', "N0AAA-3", "N0BBB-7", "ok", 1)));
  ASSERT_TRUE(client.Send(Frame('D', "N0BBB-7", "N0AAA-3", "reversed", 1)));
  AgwFrame d = Ask(Frame('d', "N0AAA-3", "N0BBB-7", "", 1));
  EXPECT_EQ(d.from, "N0BBB-7");
  EXPECT_EQ(d.data, std::string("*** DISCONNECTED From Station N0BBB-7\r\0", 39));
  ASSERT_TRUE(client.Send(Frame('D', "N0AAA-3", "N0BBB-7", "late", 1)));
  ASSERT_TRUE(engine.WaitForCount(5));
  auto v = engine.Violations();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_NE(v[0].find("from N0BBB-7 to N0AAA-3"), std::string::npos);
  EXPECT_NE(v[1].find("from N0AAA-3 to N0BBB-7"), std::string::npos);

  // An injected notice opens a link just as the automatic one does.
  engine.SetAutoReply('C', false);
  ASSERT_TRUE(client.Send(Frame('C', "N0AAA-3", "N0CCC")));
  EXPECT_FALSE(client.Read(200ms));
  engine.Clear();
  ASSERT_TRUE(engine.Send(Frame('C', "N0CCC", "N0AAA-3", "*** CONNECTED With Station N0CCC\r")));
  ASSERT_TRUE(client.Read(2s));
  ASSERT_TRUE(client.Send(Frame('D', "N0AAA-3", "N0CCC", "x")));
  ASSERT_TRUE(engine.WaitFor(IsKind('D')));
  EXPECT_TRUE(engine.Violations().empty());
}

TEST_F(FakeEngineTest, RecordsFramesPerClientWhateverTheCuts) {
  AgwClient second;
  ASSERT_TRUE(second.Connect("127.0.0.1", engine.Port()));
  ASSERT_TRUE(engine.WaitForClients(2));
  engine.SetAutoReply('X', false);
  std::string wire = Frame('X', "FIRST").Encode();
  for (char byte : wire) {  // one byte per segment
    ASSERT_TRUE(client.SendRaw(std::string(1, byte)));
    usleep(1000);
  }
  ASSERT_TRUE(second.Send(Frame('X', "SECOND")));
  ASSERT_TRUE(engine.WaitForCount(2));
  EXPECT_EQ(engine.Frames(0).at(0).from, "FIRST");
  EXPECT_EQ(engine.Frames(1).at(0).from, "SECOND");
  auto found = engine.WaitFor([](const AgwFrame& f) { return f.from == "SECOND"; });
  ASSERT_TRUE(found);
  EXPECT_EQ(engine.Log().at(1).client, 1);
  EXPECT_FALSE(engine.WaitFor(IsKind('Z'), 50ms));
  engine.Clear();
  EXPECT_EQ(engine.Count(), 0u);
}

TEST_F(FakeEngineTest, InjectsFramesInPiecesAndRunsScripts) {
  std::string wire = Frame('U', "N0X", "ID", "one").Encode() + Frame('D', "B", "A", "two").Encode();
  ASSERT_TRUE(engine.SendRaw(wire, 1, 1ms));
  auto one = client.Read(3s);
  auto two = client.Read(3s);
  ASSERT_TRUE(one && two);
  EXPECT_EQ(one->data, "one");
  EXPECT_EQ(two->data, "two");
  for (uint32_t seed : {1u, 77u, 4096u}) ASSERT_TRUE(engine.SendTorn(Frame('D', "B", "A", "torn"), seed));
  for (int i = 0; i < 3; ++i) {
    auto torn = client.Read(3s);
    ASSERT_TRUE(torn);
    EXPECT_EQ(torn->data, "torn");
  }
  EXPECT_TRUE(engine.Flush());

  engine.SetScript([](FakeEngine& e, int who, const AgwFrame& f) {
    if (f.kind == 'D') e.Send(Frame('D', f.to, f.from, "echo:" + f.data), who);
  });
  Ask(Frame('C', "A", "B"));
  EXPECT_EQ(Ask(Frame('D', "A", "B", "hi")).data, "echo:hi");
  EXPECT_FALSE(engine.Send(Frame('R'), 7));  // no such client
}

// A plain socket, to tell an RST from an orderly close.
int RawConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(FakeEngineTest, DropResetStopAndStartOnTheSamePort) {
  client.Close();
  ASSERT_TRUE(engine.WaitForClients(0));
  int fd = RawConnect(engine.Port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(engine.WaitForClients(1));
  ASSERT_TRUE(engine.ResetClient());
  char byte;
  errno = 0;
  EXPECT_EQ(recv(fd, &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  close(fd);
  EXPECT_TRUE(engine.WaitForClients(0));

  ASSERT_TRUE(client.Connect("127.0.0.1", engine.Port()));
  ASSERT_TRUE(engine.WaitForClients(1));
  ASSERT_TRUE(engine.DropClient());
  EXPECT_FALSE(client.Read(2s));
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(engine.DropClient());

  uint16_t port = engine.Port();
  ASSERT_TRUE(client.Connect("127.0.0.1", port));
  ASSERT_TRUE(client.Send(Frame('R')));
  ASSERT_TRUE(client.Read(2s));
  engine.Stop();
  EXPECT_FALSE(engine.Running());
  EXPECT_FALSE(client.Read(2s));
  EXPECT_FALSE(client.Connect("127.0.0.1", port, 500ms));
  ASSERT_TRUE(engine.Start());
  EXPECT_EQ(engine.Port(), port);
  ASSERT_TRUE(client.Connect("127.0.0.1", port));
  EXPECT_EQ(Ask(Frame('R')).kind, 'R');
  EXPECT_EQ(engine.Accepted(), 5);
  EXPECT_EQ(engine.Count(IsKind('R')), 2u);
}

TEST_F(FakeEngineTest, SurvivesGarbageAndStallsReading) {
  std::string header = Frame('D').Encode();
  header[31] = 0x7F;  // two gigabytes announced
  ASSERT_TRUE(client.SendRaw(header));
  EXPECT_FALSE(client.Read(2s));
  EXPECT_FALSE(client.Connected());
  ASSERT_EQ(engine.Violations().size(), 1u);

  ASSERT_TRUE(client.Connect("127.0.0.1", engine.Port()));
  ASSERT_TRUE(engine.WaitForClients(1));
  engine.SetReading(false);
  ASSERT_TRUE(client.Send(Frame('R')));
  EXPECT_FALSE(client.Read(300ms));
  EXPECT_FALSE(engine.WaitForCount(1, 100ms, IsKind('R')));
  engine.SetReading(true);
  EXPECT_TRUE(client.Read(2s));
}

TEST(FakeEngineSlots, FourthClientWaitsForAFreeSlot) {
  FakeEngine::Options options;
  options.max_clients = 3;
  FakeEngine engine(options);
  AgwClient clients[4];
  for (auto& c : clients) ASSERT_TRUE(c.Connect("127.0.0.1", engine.Port()));
  ASSERT_TRUE(engine.WaitForClients(4));
  for (auto& c : clients) ASSERT_TRUE(c.Send(Frame('R')));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(clients[i].Read(2s)) << i;
  EXPECT_FALSE(clients[3].Read(200ms));
  clients[1].Close();
  EXPECT_TRUE(clients[3].Read(2s));
}

TEST(FakeEngineLoop, WaitsWhileTheMainLoopRunsTheClient) {
  FakeEngine engine;
  asio::ip::tcp::socket sock(Loop());
  std::string wire = Frame('X', "N0LOOP").Encode();
  asio::ip::tcp::endpoint ep(asio::ip::make_address_v4("127.0.0.1"), engine.Port());
  sock.async_connect(ep, [&](const asio::error_code& ec) {
    if (!ec) asio::async_write(sock, asio::buffer(wire), [](const asio::error_code&, size_t) {});
  });
  auto got = engine.RunLoopUntilFrame(IsKind('X'), 3s);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->from, "N0LOOP");
  EXPECT_TRUE(engine.RunLoopUntilCount(1, 10ms));
  asio::error_code ec;
  sock.close(ec);
}

}  // namespace
}  // namespace harvox::test
